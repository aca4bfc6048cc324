"""Shared by the end-to-end tests of orvik-capture: the programs spawned as the
host spawns them, their events, private X and sound servers, file checks."""
import array
import json
import math
import os
import queue
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

USAGE = {"event": "error", "message": "usage: orvik-capture record '<json>' | check"}
XVFB_EXTENSIONS = ["+extension", "Composite", "+extension", "DAMAGE", "+extension", "RANDR",
                   "+extension", "XFIXES", "+extension", "RENDER", "+extension", "MIT-SHM"]


def parse(line):
    """One event line: a JSON object with a string "event", ended by a line feed."""
    assert line.endswith(b"\n"), line
    event = json.loads(line)
    assert isinstance(event, dict) and isinstance(event.get("event"), str), line
    return event


def run(*command, env=None, stdin=b""):
    """Runs a command to its end: (exit status, events, standard error)."""
    p = subprocess.run(list(command), input=stdin, capture_output=True, timeout=60, env=env)
    return p.returncode, [parse(l) for l in p.stdout.splitlines(keepends=True)], p.stderr


class Recording:
    """A running `record` command: events read as they come, words written."""

    def __init__(self, tool, job, env=None):
        self.proc = subprocess.Popen([tool, "record", json.dumps(job)], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.events, self.lines = [], queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def _take(self, timeout):
        line = self.lines.get(timeout=timeout)
        if line is not None:
            self.events.append(parse(line))
        return line

    def wait_for(self, *names, timeout=60):
        """Reads until each of `names` has come, in any order; returns them."""
        deadline, found = time.monotonic() + timeout, {}
        while set(names) - set(found):
            if self._take(max(0.01, deadline - time.monotonic())) is None:
                raise AssertionError(f"output ended before {names}: {self.events}")
            found.setdefault(self.events[-1]["event"], self.events[-1])
        return [found[n] for n in names] if len(names) > 1 else found[names[0]]

    def send(self, text):
        self.proc.stdin.write(text.encode() if isinstance(text, str) else text)
        self.proc.stdin.flush()

    def finish(self, text=b"", timeout=120):
        """Writes `text`, ends the input, waits: (exit status, standard error)."""
        try:
            self.send(text)
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        code = self.proc.wait(timeout=timeout)
        while self._take(timeout) is not None:
            pass
        err = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code, err

    def names(self):
        return [e["event"] for e in self.events]


def probe(path):
    """(video stream or None, audio stream or None, format), frames counted."""
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-count_frames",
                          "-show_streams", "-show_format", path],
                         capture_output=True, text=True, check=True).stdout
    info = json.loads(out)
    first = lambda kind: next((s for s in info["streams"] if s["codec_type"] == kind), None)
    return first("video"), first("audio"), info["format"]


def pcm(path):
    """The audio of a file as 48 kHz mono 16-bit samples."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-ac", "1",
                          "-ar", "48000", "-"], capture_output=True, check=True).stdout
    samples = array.array("h")
    samples.frombytes(raw)
    return samples


def tone_power(samples, frequency, rate=48000):
    """Goertzel power of one frequency over the middle second of the samples."""
    n = min(len(samples), rate)
    start = max(0, len(samples) // 2 - n // 2)
    k = 2 * math.cos(2 * math.pi * frequency / rate)
    s1 = s2 = 0.0
    for x in samples[start:start + n]:
        s1, s2 = x + k * s1 - s2, s1
    return (s1 * s1 + s2 * s2 - k * s1 * s2) / max(n, 1) ** 2


def holds_tone(samples, frequency, other):
    return tone_power(samples, frequency) > 50 * tone_power(samples, other)


class EndToEnd(unittest.TestCase):
    """A test with a scratch directory and helper processes that end with it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvik-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def helper(self, command, env=None, ready=None):
        """Starts a helper that is killed when the test ends; with `ready`,
        waits for it to print that line first."""
        p = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE if ready else subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(lambda: (p.kill(), p.communicate()))
        if ready:
            self.assertEqual(p.stdout.readline().strip(), ready, command)
        return p

    def own_display(self, size="640x480x24"):
        """A private Xvfb on a display number it picks itself: (process, env)."""
        r, w = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", size,
                                 "-nolisten", "tcp", "-noreset", *XVFB_EXTENSIONS],
                                pass_fds=(w,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(w)
        self.addCleanup(lambda: (xvfb.kill(), xvfb.wait()))
        number = b""
        while not number.endswith(b"\n") and select.select([r], [], [], 30)[0]:
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        self.assertTrue(number.strip().isdigit(), "Xvfb did not start")
        return xvfb, dict(os.environ, DISPLAY=":" + number.decode().strip())

    def own_sound(self):
        """A private PulseAudio server with a null default sink: (process, env)."""
        runtime = tempfile.mkdtemp(prefix="orvik-pulse-")
        self.addCleanup(shutil.rmtree, runtime, ignore_errors=True)
        socket = os.path.join(runtime, "native")
        server = self.helper(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
             "--load=module-null-sink sink_name=orvik_null rate=48000",
             f"--load=module-native-protocol-unix auth-anonymous=1 socket={socket}",
             "--load=module-always-sink"], env=dict(os.environ, XDG_RUNTIME_DIR=runtime,
                                                    HOME=runtime))
        env = dict(os.environ, PULSE_SERVER=f"unix:{socket}")
        for _ in range(300):
            if subprocess.run(["pactl", "set-default-sink", "orvik_null"], env=env,
                              capture_output=True).returncode == 0:
                return server, env
            time.sleep(0.1)
        self.fail("PulseAudio did not start")


def programs(count):
    """Takes the paths of the programs a test drives from its command line."""
    return [os.path.abspath(sys.argv.pop(1)) for _ in range(count)]
