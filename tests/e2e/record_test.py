"""The record command end to end on the scripted platform.

Usage: record_test.py PATH_TO_ORVIK_CAPTURE_FAKE

The fake program reads its script from the file named by ORVIK_FAKE_SCRIPT:
the displays and applications it shows, the failures it answers with, and a
capture stream that produces frames and audio on its own thread. Its writers
leave a JSON summary (session start and end, written times) at their paths.
"""
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time
import unittest

TOOL = None
USAGE = {"event": "error", "message": "usage: orvik-capture record '<json>' | check"}
DISPLAY = [{"id": 1, "width": 1440, "height": 900}]


def parse(line):
    event = json.loads(line)
    assert isinstance(event, dict) and isinstance(event.get("event"), str), line
    return event


def workdir(test):
    d = tempfile.TemporaryDirectory()
    test.addCleanup(d.cleanup)
    return d.name


class Session:
    """One spawned recording: events are read as they arrive."""

    def __init__(self, test, script, job):
        path = os.path.join(workdir(test), "script.json")
        with open(path, "w") as f:
            json.dump(script, f)
        env = dict(os.environ, ORVIK_FAKE_SCRIPT=path)
        self.proc = subprocess.Popen([TOOL, "record", json.dumps(job)], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.events = []
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def wait_for(self, name, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            if line is None:
                raise AssertionError(f"output ended before {name}: {self.events}")
            assert line.endswith(b"\n")
            self.events.append(parse(line))
            if self.events[-1]["event"] == name:
                return self.events[-1]

    def send(self, text):
        self.proc.stdin.write(text)
        self.proc.stdin.flush()

    def finish(self, timeout=20):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        code = self.proc.wait(timeout=timeout)
        self.reader.join(timeout)
        while (line := self.lines.get_nowait()) is not None:
            self.events.append(parse(line))
        err = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code, err


def summary(path):
    with open(path) as f:
        return json.load(f)


class Recording(unittest.TestCase):
    def test_pause_resume_stop_through_the_control_channel(self):
        # Audio is handed over a tenth of a second after its capture, as from a
        # sound server that holds it back.
        script = {"displays": DISPLAY,
                  "generator": {"frameRate": 60, "audioInterval": 0.02, "audioLatency": 0.1,
                                "incompleteEvery": 4}}
        d = workdir(self)
        job = {"output": os.path.join(d, "movie.mov"), "systemAudio": os.path.join(d, "audio.m4a"),
               "fps": 60}
        for path in (job["output"], job["systemAudio"]):
            with open(path, "w") as f:
                f.write("an earlier recording")
        s = Session(self, script, job)
        s.wait_for("first-frame")
        time.sleep(0.3)
        s.send(b" \tpause\t \r\n")
        s.wait_for("paused")
        s.send(b"Pause\n\npause now\npause\n")  # only the last is a word
        s.wait_for("paused")
        time.sleep(0.8)                          # cut out of the timeline
        s.send(b"resume\r\n")
        s.wait_for("resumed")
        time.sleep(0.3)
        s.send(b"stopp\nstop\npause\n")          # nothing after stop is read
        code, err = s.finish()

        self.assertEqual((code, err), (0, b""))
        names = [e["event"] for e in s.events]
        # Samples may arrive before the start has been announced.
        self.assertCountEqual(names[:2], ["started", "first-frame"])
        self.assertEqual(names[2:], ["paused", "paused", "resumed", "stopped"])
        started, first, stopped = s.events[names.index("started")], s.events[
            names.index("first-frame")], s.events[-1]
        self.assertEqual((started["width"], started["height"]), (2880, 1800))
        self.assertAlmostEqual(started["time"], time.time(), delta=30)
        self.assertEqual(stopped["output"], job["output"])
        self.assertEqual(stopped["systemAudio"], job["systemAudio"])

        movie, audio = summary(job["output"]), summary(job["systemAudio"])
        times = movie["times"]
        self.assertEqual(stopped["frames"], len(times))
        self.assertGreater(len(times), 20)
        self.assertEqual(first["hostTime"], movie["sessionStart"])
        self.assertEqual(times[0], movie["sessionStart"])
        self.assertEqual(times, sorted(times))
        self.assertLessEqual(times[-1], movie["sessionEnd"])
        self.assertAlmostEqual(stopped["duration"], movie["sessionEnd"] - movie["sessionStart"],
                               places=6)
        # The pause of at least 0.8 s leaves no gap in the written frames.
        self.assertLess(max(b - a for a, b in zip(times, times[1:])), 0.6)
        self.assertEqual((audio["sessionStart"], audio["sessionEnd"]),
                         (movie["sessionStart"], movie["sessionEnd"]))
        self.assertTrue(audio["times"])
        self.assertGreaterEqual(min(audio["times"]), movie["sessionStart"])
        self.assertLessEqual(max(audio["times"]), movie["sessionEnd"])
        self.assertEqual(audio["times"], sorted(audio["times"]))
        # The audio captured up to the end arrives after stop and is still written.
        self.assertGreater(max(audio["times"]), movie["sessionEnd"] - 0.03)

    def test_input_closed_right_after_start_stops_at_once(self):
        d = workdir(self)
        job = {"output": os.path.join(d, "movie.mov"), "systemAudio": os.path.join(d, "audio.m4a")}
        with open(job["output"], "w") as f:
            f.write("an earlier recording")
        s = Session(self, {"displays": DISPLAY}, job)
        code, err = s.finish()
        self.assertEqual((code, err), (0, b""))
        self.assertEqual([e["event"] for e in s.events], ["started", "stopped"])
        self.assertEqual(s.events[1], {"event": "stopped", "frames": 0, "duration": 0,
                                       "output": job["output"], "systemAudio": ""})
        self.assertFalse(os.path.exists(job["output"]))

    def test_a_failing_stream_is_reported_and_the_recording_goes_on(self):
        script = {"displays": DISPLAY,
                  "generator": {"frameRate": 50, "failAfter": 0.3,
                                "failMessage": "The display went away."}}
        s = Session(self, script, {"output": "/nonexistent-dir/movie.mov"})
        error = s.wait_for("error")
        self.assertEqual(error, {"event": "error", "message": "The display went away."})
        time.sleep(0.1)
        s.send(b"pause\nresume\nstop\n")
        code, err = s.finish()
        self.assertEqual((code, err), (0, b""))
        self.assertEqual([e["event"] for e in s.events][-4:],
                         ["error", "paused", "resumed", "stopped"])
        self.assertGreater(s.events[-1]["frames"], 0)


class StartFailures(unittest.TestCase):
    def assertFails(self, script, job, message):
        s = Session(self, script, job)
        code, err = s.finish()
        self.assertEqual((code, err), (2, b""))
        self.assertEqual(s.events, [{"event": "error", "message": message}])

    def test_each_failure_is_one_error_event_and_status_2(self):
        job = {"output": "/nonexistent-dir/a.mov"}
        self.assertFails({"displays": []}, job, "display-not-found")
        self.assertFails({"displays": DISPLAY, "refuseSettings": "Settings refused."}, job,
                         "start-failed: Settings refused.")
        self.assertFails({"displays": DISPLAY, "writerError": "Disk full."}, job,
                         "start-failed: Disk full.")
        self.assertFails({"displays": DISPLAY, "streamStartError": "Not permitted."}, job,
                         "start-failed: Not permitted.")
        self.assertFails({"displays": DISPLAY, "contentError": "No display."}, job,
                         "start-failed: No display.")
        self.assertFails({"displays": [{"id": 1, "width": 4000000000, "height": 4000000000}]},
                         dict(job, scale=1),
                         "start-failed: The output size 4000000000 x 4000000000 is too large"
                         " to encode.")

    def test_audio_applications_that_do_not_run(self):
        with tempfile.TemporaryDirectory() as d:
            job = {"output": os.path.join(d, "a.mov"), "systemAudio": os.path.join(d, "a.m4a"),
                   "audioApps": ["org.example.gone", "org.example.Player"]}
            for path in (job["output"], job["systemAudio"]):
                with open(path, "w") as f:
                    f.write("old")
            script = {"displays": DISPLAY,
                      "applications": [{"pid": 4, "bundleId": "org.example.player"}]}
            self.assertFails(script, job, "audio-apps-not-running")
            # A window target on a desktop without displays has no display for the audio.
            windowed = {"applications": [{"pid": 4, "bundleId": "org.example.player"}],
                        "windows": [{"id": 5, "frame": [0, 0, 300, 200], "pid": 4}]}
            self.assertFails(windowed, dict(job, window=5, audioApps=["org.example.player"]),
                             "audio-apps-not-running")
            # Removed before the applications were looked for.
            self.assertFalse(os.path.exists(job["output"]))
            self.assertFalse(os.path.exists(job["systemAudio"]))
            # Without an audio file the applications are not looked for at all.
            s = Session(self, script, {"output": job["output"], "audioApps": ["org.example.gone"]})
            code, err = s.finish()
            self.assertEqual((code, err, [e["event"] for e in s.events]),
                             (0, b"", ["started", "stopped"]))


class UsageErrors(unittest.TestCase):
    def test_refused_command_lines(self):
        for args in ([], ["RECORD", '{"output":"a"}'], ["Record", '{"output":"a"}'],
                     ["record", '{"output":"a"}', "extra"], ["record"],
                     ["record", '{"output":'], ["record", '[{"output":"a"}]'],
                     ["record", '{"systemAudio":"a.m4a"}']):
            p = subprocess.run([TOOL, *args], stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=30)
            self.assertEqual(p.returncode, 2, args)
            self.assertEqual(p.stderr, b"", args)
            self.assertEqual(p.stdout, b'{"event":"error","message":"usage: orvik-capture '
                                       b'record \'<json>\' | check"}\n', args)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
