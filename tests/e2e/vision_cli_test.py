#!/usr/bin/env python3
"""orvik-vision's command line and frame input, driven as the host drives it.

Usage: vision_cli_test.py PATH-TO-orvik-vision
"""
import subprocess
import sys
import time
import unittest

TOOL = None
USAGE = b"usage: orvik-vision segment|faces|text <width> <height>\n"


def run(*args, stdin=b""):
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=120)


class CommandLine(unittest.TestCase):
    def assertFails(self, args, message):
        result = run(*args)
        self.assertEqual(result.returncode, 2, args)
        self.assertEqual(result.stderr, message, args)
        self.assertEqual(result.stdout, b"", args)

    def test_check_prints_capabilities_without_reading_input(self):
        # stdin is left open: the tool must not wait on it.
        proc = subprocess.Popen([TOOL, "check"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = proc.stdout.read()
        proc.wait(timeout=30)
        err = proc.stderr.read()
        proc.stdin.close()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(out, b'{"segmentation":true,"faces":true,"text":true}\n')
        self.assertEqual(len(out), 47)
        self.assertEqual(err, b"")

    def test_wrong_argument_counts(self):
        for args in ([], ["check", "extra"], ["faces"], ["faces", "64"],
                     ["faces", "64", "64", "64"], ["segment"], ["Check"]):
            self.assertFails(args, USAGE)

    def test_sizes(self):
        bad = ["15", "4097", "-16", " 64", "64 ", "64px", "0x40", "", "+", "-",
               "123456789012345678901234567890", "1e2", "6\u0664"]
        for size in bad:
            self.assertFails(["faces", size, "64"], USAGE)
            self.assertFails(["faces", "64", size], USAGE)
        for size in ["16", "4096", "+64", "0064", "000000000000000000000000000000064"]:
            result = run("faces", size, size)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""), size)

    def test_mode_word_is_checked_after_the_sizes(self):
        self.assertFails(["Faces", "64", "64"], b"unknown mode Faces\n")
        self.assertFails(["blur", "8", "8"], USAGE)
        self.assertFails(["faces ", "64", "64"], b"unknown mode faces \n")
        self.assertFails(["", "64", "64"], b"unknown mode \n")
        self.assertFails(["gr\u00fcn", "64", "64"], "unknown mode gr\u00fcn\n".encode())

    def test_empty_input_in_every_mode(self):
        for mode in ("segment", "faces", "text"):
            result = run(mode, "64", "48")
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""), mode)


class FrameInput(unittest.TestCase):
    """Frames of 20 × 16 gray pixels in faces mode: each one is answered "null"."""

    W, H = 20, 16
    FRAME = bytes([128, 128, 128, 255]) * (W * H)

    def test_two_and_a_half_frames(self):
        result = run("faces", str(self.W), str(self.H), stdin=self.FRAME * 2 + self.FRAME[: len(self.FRAME) // 2])
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"null\n" * 2)
        self.assertEqual(result.stderr, b"truncated frame\n")

    def test_one_byte_short_and_one_byte_over(self):
        for data in (self.FRAME[:-1], self.FRAME + b"\0"):
            result = run("faces", str(self.W), str(self.H), stdin=data)
            self.assertEqual(result.returncode, 2)
            self.assertEqual(result.stderr, b"truncated frame\n")
            self.assertEqual(result.stdout, b"null\n" * (len(data) // len(self.FRAME)))

    def test_frames_in_small_pieces_are_each_answered_once(self):
        proc = subprocess.Popen([TOOL, "faces", str(self.W), str(self.H)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        data = self.FRAME * 3
        for at in range(0, len(data), 97):
            proc.stdin.write(data[at:at + 97])
            proc.stdin.flush()
            time.sleep(0.001)
        proc.stdin.close()
        out = proc.stdout.read()
        err = proc.stderr.read()
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertEqual((out, err), (b"null\n" * 3, b""))


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
