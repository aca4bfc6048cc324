"""The capture tool's command line, driven as the host drives it.

Usage: command_line_test.py PATH_TO_ORVIK_CAPTURE

Runs the program built on the scripted platform, so every command that gets
past the dispatcher answers without touching a real display.
"""
import json
import subprocess
import sys
import unittest

TOOL = None
USAGE = {"event": "error", "message": "usage: orvik-capture record '<json>' | check"}


def run(*args, stdin=b""):
    p = subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=30)
    return p.returncode, p.stdout, p.stderr


def events(stdout):
    lines = stdout.split(b"\n")
    assert lines[-1] == b"", "output must end with a line feed"
    return [json.loads(line) for line in lines[:-1]]


class UsageErrors(unittest.TestCase):
    def assertUsage(self, *args):
        code, out, err = run(*args)
        self.assertEqual(code, 2, args)
        self.assertEqual(err, b"", args)
        self.assertEqual(events(out), [USAGE], args)
        # The solidus-free usage text is written exactly as one compact line.
        self.assertEqual(out.count(b"\n"), 1)

    def test_wrong_argument_counts(self):
        self.assertUsage()
        self.assertUsage("check", "extra")
        self.assertUsage("apps", "")
        self.assertUsage("record")
        self.assertUsage("screenshot")
        self.assertUsage("record", '{"output":"a"}', "extra")

    def test_command_words_are_exact(self):
        for word in ["Record", "RECORD", "Check", " check", "check ", "app", "apps\n", ""]:
            self.assertUsage(word)
        self.assertUsage("Record", '{"output":"a.mov"}')
        self.assertUsage("screenShot", '{"output":"a.png"}')

    def test_undecodable_jobs(self):
        for job in ["", "{", "[]", '[{"output":"a"}]', "{}", '{"output":null}',
                    '{"output":1}', '{"output":"a","fps":"30"}', '{"output":"a","fps":30.5}',
                    '{"output":"a","display":-1}', '{"output":"a","showsCursor":1}',
                    ' {"output":"a"} x']:
            self.assertUsage("record", job)
            self.assertUsage("screenshot", job)


class DecodableJobsReachTheirCommand(unittest.TestCase):
    def test_check_answers(self):
        code, out, err = run("check")
        self.assertEqual((code, err), (0, b""))
        [event] = events(out)
        self.assertEqual(event["event"], "check")

    def test_screenshot_job_is_not_a_usage_error(self):
        # The scripted platform has no displays: the job decodes and the
        # command itself refuses it.
        code, out, err = run("screenshot", '{"output":"\\/tmp\\/x.png","unknown":[1]}')
        self.assertEqual((code, err), (2, b""))
        [event] = events(out)
        self.assertEqual(event["event"], "error")
        self.assertNotEqual(event, USAGE)

    def test_solidus_is_escaped_and_unicode_raw(self):
        code, out, _ = run("screenshot", '{"output":"/tmp/é.png"}')
        self.assertNotIn(b"\\u", out)
        for line in out.splitlines():
            self.assertNotIn(b"/", line.replace(b"\\/", b""))


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
