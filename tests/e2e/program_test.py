"""orvik-capture on the scripted platform (its displays and failures named in
the file ORVIK_FAKE_SCRIPT), driven as the host drives it: dispatch, and the
events and exit status of a record command that starts, fails or ends.

Usage: program_test.py ORVIK_CAPTURE_FAKE
"""
import json
import os

import harness
from harness import run

USAGE = {"event": "error", "message": "usage: orvik-capture record '<json>' | check"}
DISPLAY = [{"id": 1, "width": 1440, "height": 900}]


class Program(harness.EndToEnd):
    def record(self, script, job):
        path = self.path("script.json")
        with open(path, "w") as f:
            json.dump(script, f)
        return harness.Recording(TOOL, job, dict(os.environ, ORVIK_FAKE_SCRIPT=path))

    def test_refused_command_lines_get_the_usage_text(self):
        job = '{"output":"a"}'
        for args in ([], ["check", "x"], ["apps", ""], ["record"], ["record", job, "x"],
                     ["Record", job], ["screenShot", job], [" check"], ["app"], [""],
                     ["record", "{"], ["record", f"[{job}]"], ["screenshot", "{}"],
                     ["record", '{"output":"a","fps":30.5}']):
            self.assertEqual(run(TOOL, *args), (2, [USAGE], b""), args)

    def test_decodable_commands_reach_their_command(self):
        self.assertEqual(run(TOOL, "check"), (0, [{"event": "check", "permission": True}], b""))
        # No displays on this platform: the job decodes, the command refuses it.
        code, events, err = run(TOOL, "screenshot", '{"output":"\\/tmp\\/x.png","unknown":[1]}')
        self.assertEqual((code, events, err),
                         (2, [{"event": "error", "message": "display-not-found"}], b""))

    def test_end_of_input_stops_the_recording(self):
        job = {"output": self.path("m.mov"), "systemAudio": self.path("a.m4a")}
        rec = self.record({"displays": DISPLAY}, job)
        self.assertEqual(rec.finish(), (0, b""))
        self.assertEqual((rec.names(), rec.events[1]), (["started", "stopped"], {
            "event": "stopped", "frames": 0, "duration": 0, "output": job["output"],
            "systemAudio": ""}))

    def test_start_failures_end_with_one_error_and_status_2(self):
        job = {"output": "/nonexistent-dir/a.mov"}
        apps = {"systemAudio": "/nonexistent-dir/a.m4a", "audioApps": ["org.example.gone"]}
        for script, extra, message in (
                ({"displays": []}, {}, "display-not-found"),
                ({"writerError": "Disk full."}, {}, "start-failed: Disk full."),
                ({}, apps, "audio-apps-not-running")):
            rec = self.record(dict({"displays": DISPLAY}, **script), dict(job, **extra))
            self.assertEqual((rec.finish(), rec.events),
                             ((2, b""), [{"event": "error", "message": message}]), message)


if __name__ == "__main__":
    TOOL, = harness.programs(1)
    harness.unittest.main(verbosity=2)
