"""Shared by the end-to-end tests of orvik-capture: the programs spawned as the
host spawns them, their events, private X and sound servers, file checks."""
import array
import json
import math
import os
import shutil
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

def parse(line):
    """One event line: a JSON object with a string "event", ended by a line feed."""
    event = json.loads(line)
    assert line.endswith(b"\n") and isinstance(event.get("event"), str), line
    return event


def run(*command, env=None):
    """Runs a command to its end: (exit status, events, standard error)."""
    p = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=60)
    return p.returncode, [parse(l) for l in p.stdout.splitlines(keepends=True)], p.stderr


class Recording:
    """A running `record` command: events read as they come, words written."""

    def __init__(self, tool, job, env=None):
        self.proc = subprocess.Popen([tool, "record", json.dumps(job)], env=env, bufsize=0,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.events = []

    def wait_for(self, *names, seconds=60):
        """Reads until each of `names` has come, in any order; returns them."""
        found = {}
        while set(names) - set(found):
            ready = select.select([self.proc.stdout], [], [], seconds)[0]
            line = ready and self.proc.stdout.readline()  # unbuffered: no line held back
            if not line:
                raise AssertionError(f"no {names} within {seconds} s: {self.events}")
            self.events.append(parse(line))
            found.setdefault(self.events[-1]["event"], self.events[-1])
        return [found[n] for n in names] if len(names) > 1 else found[names[0]]

    def send(self, text):
        self.proc.stdin.write(text.encode())

    def finish(self, text=b""):
        """Writes `text`, ends the input, waits: (exit status, standard error)."""
        out, err = self.proc.communicate(text, timeout=120)
        self.events += [parse(line) for line in out.splitlines(keepends=True)]
        return self.proc.returncode, err

    def names(self):
        return [e["event"] for e in self.events]


def probe(path):
    """(video stream or None, audio stream or None, format), frames counted."""
    info = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-count_frames",
                                      "-show_streams", "-show_format", path],
                                     capture_output=True, check=True).stdout)
    first = lambda kind: next((s for s in info["streams"] if s["codec_type"] == kind), None)
    return first("video"), first("audio"), info["format"]


def pcm(path):
    """The audio of a file as 48 kHz mono 16-bit samples, from time zero on, as a player
    plays it (an edit that hides the encoder's priming honoured)."""
    return array.array("h", subprocess.run(["ffmpeg", "-v", "error", "-seek_timestamp", "1",
                                            "-ss", "0", "-i", path, "-f", "s16le",
                                            "-ac", "1", "-ar", "48000", "-"],
                                           capture_output=True, check=True).stdout)


def holds_tone(samples, frequency, other, rate=48000):
    """Whether, over the middle second, one frequency is 50 times as strong as
    another (Goertzel power)."""
    middle = samples[max(0, len(samples) // 2 - rate // 2):][:rate]
    def power(f):
        k, s1, s2 = 2 * math.cos(2 * math.pi * f / rate), 0.0, 0.0
        for x in middle:
            s1, s2 = x + k * s1 - s2, s1
        return s1 * s1 + s2 * s2 - k * s1 * s2
    return power(frequency) > 50 * power(other)


class EndToEnd(unittest.TestCase):
    """A test with a scratch directory and helper processes that end with it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvik-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.env = dict(os.environ)

    def x(self, *args, env=None, **kwargs):
        """Runs a client of the test's display (and sound server): its output."""
        return subprocess.run(args, capture_output=True, text=True, env=env or self.env,
                              check=True, timeout=60, **kwargs).stdout

    def until(self, check, what, seconds=30):
        deadline = time.monotonic() + seconds
        while not check():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.1)

    def logo(self, name, geometry, colour="red", mapped=True):
        """An xlogo window of one colour: (process id, window id)."""
        p = self.helper(["xlogo", "-name", name, "-geometry", geometry, "-bg", colour, "-fg",
                         colour, "-bw", "0"], self.env)
        window = self.x("xdotool", "search", "--sync", "--onlyvisible", "--classname",
                        f"^{name}$").split()[0]
        if not mapped:
            self.x("xdotool", "windowunmap", "--sync", window)
        return p.pid, int(window)

    def prop(self, window, name, form, value):
        self.x("xprop", "-id", str(window), "-f", name, form, "-set", name, value)

    def path(self, name):
        return os.path.join(self.dir, name)

    def helper(self, command, env=None, **kwargs):
        """Starts a program that is killed, with its children, when the test ends."""
        streams = {k: subprocess.DEVNULL for k in ("stdin", "stdout", "stderr")}
        p = subprocess.Popen(command, env=env, start_new_session=True, **(streams | kwargs))
        self.addCleanup(lambda: (os.killpg(p.pid, signal.SIGKILL), p.wait()))
        return p

    def own_display(self):
        """A private Xvfb on a display number it picks itself: (process, env)."""
        r, w = os.pipe()
        xvfb = self.helper(f"Xvfb -displayfd {w} -screen 0 640x480x24 -nolisten tcp -noreset "
                           "+extension Composite +extension DAMAGE +extension RANDR +extension "
                           "XFIXES +extension RENDER +extension MIT-SHM".split(), pass_fds=(w,))
        os.close(w)
        with os.fdopen(r) as pipe:  # the number, once Xvfb accepts clients
            number = pipe.readline().strip()
        self.assertTrue(number.isdigit(), "Xvfb did not start")
        return xvfb, dict(os.environ, DISPLAY=":" + number)

    def own_sound(self):
        """A private PulseAudio server with a null default sink: (process, env)."""
        runtime = self.path("pulse")
        os.mkdir(runtime, 0o700)
        socket = os.path.join(runtime, "native")
        server = self.helper(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
             "--load=module-null-sink sink_name=orvik_null rate=48000",
             f"--load=module-native-protocol-unix auth-anonymous=1 socket={socket}"],
            env=dict(os.environ, XDG_RUNTIME_DIR=runtime, HOME=runtime))
        env = dict(os.environ, PULSE_SERVER=f"unix:{socket}")
        self.until(lambda: subprocess.run(["pactl", "set-default-sink", "orvik_null"], env=env,
                                          capture_output=True).returncode == 0,
                   "PulseAudio did not start")
        return server, env


def programs(count):  # the paths of the programs a test drives, from its arguments
    return [os.path.abspath(sys.argv.pop(1)) for _ in range(count)]
