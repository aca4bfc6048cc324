"""orvik-capture driven as the host drives it, built on the scripted platform:
dispatch, exit statuses and the record command's control channel.

Usage: program_test.py ORVIK_CAPTURE_FAKE

The fake program reads its script from the file named by ORVIK_FAKE_SCRIPT:
displays, applications, failures and a capture stream generating frames and
audio. Its writers leave a JSON summary (session start and end, written
times) at their paths.
"""
import json
import os
import time

import harness
from harness import USAGE, run

DISPLAY = [{"id": 1, "width": 1440, "height": 900}]


class Program(harness.EndToEnd):
    def record(self, script, job):
        path = self.path("script.json")
        with open(path, "w") as f:
            json.dump(script, f)
        return harness.Recording(TOOL, job, dict(os.environ, ORVIK_FAKE_SCRIPT=path))

    def summary(self, path):
        with open(path) as f:
            return json.load(f)

    def test_refused_command_lines_get_the_usage_text(self):
        for args in ([], ["check", "x"], ["apps", ""], ["record"], ["screenshot"],
                     ["record", '{"output":"a"}', "x"], ["Record", '{"output":"a"}'],
                     ["RECORD", '{"output":"a"}'], ["screenShot", '{"output":"a"}'],
                     [" check"], ["check "], ["app"], [""], ["record", "{"],
                     ["record", '[{"output":"a"}]'], ["screenshot", "{}"],
                     ["record", '{"output":"a","fps":30.5}'], ["screenshot", '{"output":1}']):
            self.assertEqual(run(TOOL, *args), (2, [USAGE], b""), args)

    def test_decodable_commands_reach_their_command(self):
        self.assertEqual(run(TOOL, "check"), (0, [{"event": "check", "permission": True}], b""))
        # No displays on this platform: the job decodes, the command refuses it.
        code, events, err = run(TOOL, "screenshot", '{"output":"\\/tmp\\/x.png","unknown":[1]}')
        self.assertEqual((code, events, err),
                         (2, [{"event": "error", "message": "display-not-found"}], b""))

    def test_control_channel_drives_a_recording(self):
        script = {"displays": DISPLAY, "generator": {"frameRate": 60, "audioInterval": 0.02}}
        job = {"output": self.path("m.mov"), "systemAudio": self.path("a.m4a"), "fps": 60}
        rec = self.record(script, job)
        started, _ = rec.wait_for("started", "first-frame")
        time.sleep(0.3)
        rec.send(" \tpause\t \r\n")
        rec.wait_for("paused")
        rec.send("Pause\n\npause now\npause\n")   # only the last is a control word
        rec.wait_for("paused")
        time.sleep(0.8)                             # cut out of the timeline
        rec.send("resume\n")
        rec.wait_for("resumed")
        time.sleep(0.3)
        self.assertEqual(rec.finish(b"stopp\nstop\npause\n"), (0, b""))  # nothing read after stop
        self.assertCountEqual(rec.names()[:2], ["started", "first-frame"])
        self.assertEqual(rec.names()[2:], ["paused", "paused", "resumed", "stopped"])
        self.assertEqual((started["width"], started["height"]), (2880, 1800))
        stopped, movie = rec.events[-1], self.summary(job["output"])
        self.assertEqual((stopped["output"], stopped["systemAudio"]),
                         (job["output"], job["systemAudio"]))
        self.assertEqual(stopped["frames"], len(movie["times"]))
        self.assertAlmostEqual(stopped["duration"], movie["sessionEnd"] - movie["sessionStart"],
                               places=6)
        # A pause of 0.8 s or more leaves no gap between written frames.
        times = movie["times"]
        self.assertLess(max(b - a for a, b in zip(times, times[1:])), 0.6)

    def test_end_of_input_stops_the_recording(self):
        job = {"output": self.path("m.mov"), "systemAudio": self.path("a.m4a")}
        rec = self.record({"displays": DISPLAY}, job)
        self.assertEqual(rec.finish(), (0, b""))
        self.assertEqual(rec.events, [rec.events[0], {
            "event": "stopped", "frames": 0, "duration": 0, "output": job["output"],
            "systemAudio": ""}])
        self.assertEqual(rec.events[0]["event"], "started")

    def test_failures(self):
        job = {"output": "/nonexistent-dir/a.mov"}
        apps = {"systemAudio": "/nonexistent-dir/a.m4a", "audioApps": ["org.example.gone"]}
        for script, extra, message in (
                ({"displays": []}, {}, "display-not-found"),
                ({"refuseSettings": "Settings refused."}, {}, "start-failed: Settings refused."),
                ({"writerError": "Disk full."}, {}, "start-failed: Disk full."),
                ({"streamStartError": "Not permitted."}, {}, "start-failed: Not permitted."),
                ({"contentError": "No display."}, {}, "start-failed: No display."),
                ({}, apps, "audio-apps-not-running")):
            rec = self.record(dict({"displays": DISPLAY}, **script), dict(job, **extra))
            self.assertEqual((rec.finish(), rec.events),
                             ((2, b""), [{"event": "error", "message": message}]), message)
        # A stream that fails mid-recording is reported; the recording goes on.
        rec = self.record({"displays": DISPLAY, "generator": {
            "frameRate": 50, "failAfter": 0.3, "failMessage": "The display went away."}}, job)
        self.assertEqual(rec.wait_for("error"),
                         {"event": "error", "message": "The display went away."})
        self.assertEqual(rec.finish(b"pause\nresume\nstop\n"), (0, b""))
        self.assertEqual(rec.names()[-3:], ["paused", "resumed", "stopped"])
        self.assertEqual(rec.names().count("error"), 1)
        self.assertGreater(rec.events[-1]["frames"], 0)


if __name__ == "__main__":
    TOOL, = harness.programs(1)
    harness.unittest.main(verbosity=2)
