"""Real recordings: the capture tool records the virtual display and the sound
server as the host drives it, and the files are checked with ffprobe.

Usage: recording_test.py ORVIK_CAPTURE TONE_WINDOW
Needs DISPLAY (Xvfb) and PULSE_SERVER (PulseAudio with a null default sink).
"""
import array
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

CAPTURE = TONE_WINDOW = None


def probe(path, *entries):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *entries, path],
                         capture_output=True, text=True)
    return json.loads(out.stdout or "{}"), out.returncode


def stream(path, kind):
    info, _ = probe(path, "-show_streams", "-show_format", "-count_frames")
    streams = [s for s in info.get("streams", []) if s["codec_type"] == kind]
    return (streams[0] if streams else None), info.get("format", {})


def pcm(path):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-ac", "1",
                          "-ar", "48000", "-"], capture_output=True, check=True).stdout
    samples = array.array("h")
    samples.frombytes(raw)
    return samples


def tone_power(samples, frequency, rate=48000):
    """Goertzel power of one frequency over the middle second of the signal."""
    n = min(len(samples), rate)
    start = max(0, len(samples) // 2 - n // 2)
    coefficient = 2 * math.cos(2 * math.pi * frequency / rate)
    s1 = s2 = 0.0
    for x in samples[start:start + n]:
        s1, s2 = x + coefficient * s1 - s2, s1
    return (s1 * s1 + s2 * s2 - coefficient * s1 * s2) / max(n, 1) ** 2


class Recording:
    """One `record` process, driven through its standard input."""

    def __init__(self, job, env=None):
        self.proc = subprocess.Popen([CAPTURE, "record", json.dumps(job)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.events = []

    def next_event(self):
        line = self.proc.stdout.readline()
        if not line:
            raise AssertionError(f"no more events after {self.events}: "
                                 f"{self.proc.stderr.read()!r}")
        self.events.append(json.loads(line))
        return self.events[-1]

    def send(self, word):
        self.proc.stdin.write(word.encode() + b"\n")
        self.proc.stdin.flush()

    def finish(self):
        out, err = self.proc.communicate(b"stop\n", timeout=120)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.events += [json.loads(line) for line in out.splitlines()]
        return self.proc.returncode, err


class RecordingTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="orvik-rec-")
        self.helpers = []

    def tearDown(self):
        for p in self.helpers:
            p.kill()
            p.communicate()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def tone(self, cls, frequency, geometry="200x150+0+0", env=None):
        p = subprocess.Popen([TONE_WINDOW, cls, str(frequency), geometry],
                             stdout=subprocess.PIPE, text=True, env=env)
        self.assertEqual(p.stdout.readline().strip(), "ready")
        self.helpers.append(p)
        time.sleep(0.3)
        return p


class Files(RecordingTest):
    def test_movie_and_audio_with_a_pause_cut_out(self):
        self.tone("orvik-tone-a", 440)
        subprocess.run(["xsetroot", "-solid", "#ff0000"], check=True)
        movie, audio = self.path("a.mov"), self.path("a.m4a")
        rec = Recording({"output": movie, "systemAudio": audio, "fps": 30, "scale": 0.5})
        started = rec.next_event()
        self.assertEqual(started["event"], "started")
        self.assertEqual((started["width"] % 2, started["height"] % 2), (0, 0))
        self.assertEqual(rec.next_event()["event"], "first-frame")
        time.sleep(2)
        rec.send("  pause\t")
        self.assertEqual(rec.next_event(), {"event": "paused"})
        # Painted while paused: none of it may reach the movie.
        subprocess.run(["xsetroot", "-solid", "#0000ff"], check=True)
        time.sleep(1.5)
        subprocess.run(["xsetroot", "-solid", "#00ff00"], check=True)
        time.sleep(0.5)
        rec.send("resume")
        self.assertEqual(rec.next_event(), {"event": "resumed"})
        time.sleep(2)
        code, err = rec.finish()
        self.assertEqual((code, err), (0, b""))
        stopped = rec.events[-1]
        self.assertEqual(stopped["event"], "stopped")
        self.assertEqual(stopped["output"], movie)
        self.assertEqual(stopped["systemAudio"], audio)

        video, fmt = stream(movie, "video")
        self.assertEqual(fmt["tags"]["major_brand"].strip(), "qt")
        self.assertEqual(video["codec_name"], "h264")
        self.assertEqual(video["pix_fmt"], "yuv420p")
        self.assertEqual(video.get("color_space"), "bt709")
        self.assertEqual(video.get("color_range"), "tv")
        self.assertEqual((video["width"], video["height"]), (started["width"], started["height"]))
        self.assertEqual(int(video["nb_read_frames"]), stopped["frames"])
        self.assertAlmostEqual(float(video["duration"]), stopped["duration"], delta=1 / 30)
        self.assertAlmostEqual(stopped["duration"], 4.0, delta=0.5)

        sound, afmt = stream(audio, "audio")
        self.assertEqual(afmt["tags"]["major_brand"].strip(), "M4A")
        self.assertEqual((sound["codec_name"], sound["profile"]), ("aac", "LC"))
        self.assertEqual((int(sound["sample_rate"]), sound["channels"]), (48000, 2))
        self.assertAlmostEqual(float(sound["duration"]), stopped["duration"], delta=0.05)
        samples = pcm(audio)
        self.assertGreater(tone_power(samples, 440), 50 * tone_power(samples, 1000))

        # Blue was on screen only while paused.
        out = subprocess.run(
            ["ffprobe", "-v", "error", "-f", "lavfi", "-i",
             f"movie={movie},crop=iw/2:ih/2:iw/2:ih/2,signalstats",
             "-show_entries", "frame_tags=lavfi.signalstats.UAVG", "-of", "csv=p=0"],
            capture_output=True, text=True, check=True).stdout.split()
        self.assertTrue(out)
        self.assertLess(max(float(u) for u in out), 200, "a frame painted during the pause")

    def test_application_audio_holds_only_the_chosen_application(self):
        self.tone("orvik-tone-a", 440, "200x150+0+0")
        self.tone("orvik-tone-b", 1000, "200x150+300+0")
        movie, audio = self.path("b.mov"), self.path("b.m4a")
        rec = Recording({"output": movie, "systemAudio": audio, "audioApps": ["orvik-tone-a"],
                         "scale": 0.5})
        self.assertEqual(rec.next_event()["event"], "started")
        time.sleep(3)
        code, err = rec.finish()
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(rec.events[-1]["systemAudio"], audio)
        samples = pcm(audio)
        self.assertGreater(tone_power(samples, 440), 50 * tone_power(samples, 1000))

    def test_audio_apps_not_running(self):
        movie, audio = self.path("c.mov"), self.path("c.m4a")
        for path in (movie, audio):
            with open(path, "w") as f:
                f.write("old")
        p = subprocess.run([CAPTURE, "record", json.dumps(
            {"output": movie, "systemAudio": audio, "audioApps": ["no.such.app"]})],
            capture_output=True, timeout=30)
        self.assertEqual((p.returncode, p.stderr), (2, b""))
        self.assertEqual(json.loads(p.stdout), {"event": "error",
                                                "message": "audio-apps-not-running"})
        self.assertFalse(os.path.exists(movie) or os.path.exists(audio))


class Failures(RecordingTest):
    def test_killed_recording_stays_playable(self):
        movie = self.path("k.mov")
        rec = Recording({"output": movie, "scale": 0.5})
        self.assertEqual(rec.next_event()["event"], "started")
        mover = subprocess.Popen(["sh", "-c", "while :; do xsetroot -solid '#101010'; "
                                  "xsetroot -solid '#f0f0f0'; sleep 0.05; done"])
        self.helpers.append(mover)
        time.sleep(7)
        rec.proc.kill()
        rec.proc.communicate()
        out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v",
                              "-show_entries", "stream=nb_read_frames:frame=pts_time",
                              "-of", "json", movie], capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        frames = json.loads(out.stdout)["frames"]
        self.assertGreaterEqual(float(frames[-1]["pts_time"]), 4.0)

    def private_display(self):
        for n in range(150, 200):
            if not os.path.exists(f"/tmp/.X11-unix/X{n}"):
                break
        xvfb = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "640x480x24", "-nolisten",
                                 "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.helpers.append(xvfb)
        env = dict(os.environ, DISPLAY=f":{n}")
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=env, capture_output=True).returncode == 0:
                return xvfb, env
            time.sleep(0.1)
        self.fail("private Xvfb did not start")

    def lose_then_stop(self, rec, server):
        """Kills a server the recording depends on: exactly one "error" event
        follows, the recording goes on, and a later stop still finishes it."""
        server.kill()
        server.wait()
        self.assertEqual(rec.next_event()["event"], "error")
        time.sleep(1)
        code, err = rec.finish()
        self.assertEqual((code, err), (0, b""))
        self.assertEqual([e["event"] for e in rec.events].count("error"), 1)
        stopped = rec.events[-1]
        self.assertEqual(stopped["event"], "stopped")
        self.assertGreater(stopped["frames"], 0)
        return stopped

    def test_losing_the_x_server_reports_once_and_stop_still_finishes(self):
        xvfb, env = self.private_display()
        movie = self.path("x.mov")
        rec = Recording({"output": movie, "scale": 1}, env=env)
        self.assertEqual(rec.next_event()["event"], "started")
        self.assertEqual(rec.next_event()["event"], "first-frame")
        time.sleep(2.5)
        self.lose_then_stop(rec, xvfb)
        _, rc = probe(movie, "-show_streams")
        self.assertEqual(rc, 0)

    def private_sound(self):
        runtime = tempfile.mkdtemp(prefix="orvik-pulse-")
        self.addCleanup(shutil.rmtree, runtime, ignore_errors=True)
        socket = os.path.join(runtime, "native")
        server = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
             "--load=module-null-sink sink_name=orvik_private rate=48000",
             f"--load=module-native-protocol-unix auth-anonymous=1 socket={socket}",
             "--load=module-always-sink"],
            env=dict(os.environ, XDG_RUNTIME_DIR=runtime, HOME=runtime),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.helpers.append(server)
        env = dict(os.environ, PULSE_SERVER=f"unix:{socket}")
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
                subprocess.run(["pactl", "set-default-sink", "orvik_private"], env=env,
                               capture_output=True)
                return server, env
            time.sleep(0.1)
        self.fail("private PulseAudio did not start")

    def test_losing_the_sound_server_reports_once_and_stop_still_finishes(self):
        server, env = self.private_sound()
        self.tone("tone-lost", 440, env=env)
        movie, audio = self.path("s.mov"), self.path("s.m4a")
        rec = Recording({"output": movie, "systemAudio": audio, "scale": 0.5}, env=env)
        self.assertEqual(sorted([rec.next_event()["event"], rec.next_event()["event"]]),
                         ["first-frame", "started"])
        mover = subprocess.Popen(["sh", "-c", "while :; do xsetroot -solid '#101010'; "
                                  "xsetroot -solid '#f0f0f0'; sleep 0.1; done"])
        self.helpers.append(mover)
        time.sleep(2.5)
        stopped = self.lose_then_stop(rec, server)
        self.assertEqual(stopped["systemAudio"], audio)
        video, _ = stream(movie, "video")
        sound, fmt = stream(audio, "audio")
        self.assertIsNotNone(video)
        self.assertIsNotNone(sound)
        # What was captured before the loss is in the file, and it plays.
        self.assertGreater(float(fmt["duration"]), 2.0)
        samples = pcm(audio)[:48000 * 2]
        self.assertGreater(tone_power(samples, 440), 50 * tone_power(samples, 1000))


if __name__ == "__main__":
    CAPTURE, TONE_WINDOW = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
