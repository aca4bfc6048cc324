#!/usr/bin/env python3
"""orvik-vision faces on real photographs, fed as BGRA frames the way the host feeds them.

Usage: vision_faces_test.py PATH-TO-orvik-vision
The photographs come from Debian's opencv-doc package; ImageMagick turns them
into raw BGRA.
"""
import json
import os
import subprocess
import sys
import unittest

TOOL = None
DATA = "/usr/share/doc/opencv-doc/examples/data"
HTML = "/usr/share/doc/opencv-doc/opencv4/html"
MESSI = f"{DATA}/messi5.jpg"           # 548 × 342, one face of about 37 px
PORTRAIT = f"{HTML}/230501201_1.jpg"   # 584 × 824, a head-and-shoulders close-up
FRUITS = f"{DATA}/fruits.jpg"          # 512 × 480, no face
BUILDING = f"{DATA}/building.jpg"      # a busy background for a desktop-sized frame


def bgra(*convert_args):
    return subprocess.run(["convert", *convert_args, "-depth", "8", "bgra:-"],
                          check=True, capture_output=True).stdout


def faces(width, height, frames):
    result = subprocess.run([TOOL, "faces", str(width), str(height)], input=b"".join(frames),
                            capture_output=True, timeout=600)
    return result


def box(line):
    return json.loads(line)


class Photographs(unittest.TestCase):
    def assertCovers(self, face, left, top, right, bottom, max_width):
        """The box (fractions, top-left origin) holds the face's eyes-to-mouth
        region given in fractions, and is not much wider than a face."""
        self.assertLessEqual(face["x"], left, face)
        self.assertLessEqual(face["y"], top, face)
        self.assertGreaterEqual(face["x"] + face["w"], right, face)
        self.assertGreaterEqual(face["y"] + face["h"], bottom, face)
        self.assertLess(face["w"], max_width, face)

    def test_one_frame_each(self):
        cases = [
            # A footballer's face of about 37 px in a wide picture.
            (MESSI, 548, 342, (228 / 548, 100 / 342, 250 / 548, 122 / 342), 0.15),
            # A close-up: eyes to mouth fill a third of the picture.
            (PORTRAIT, 584, 824, (240 / 584, 340 / 824, 420 / 584, 530 / 824), 0.8),
        ]
        for path, w, h, core, max_width in cases:
            with self.subTest(path=path):
                result = faces(w, h, [bgra(path)])
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                line = result.stdout.decode()
                self.assertTrue(line.endswith("}\n") and line.count("\n") == 1, line)
                self.assertRegex(line, r'^\{"x":-?\d+\.\d{4},"y":-?\d+\.\d{4},"w":\d+\.\d{4},"h":\d+\.\d{4}\}\n$')
                self.assertCovers(box(line), *core, max_width)

    def test_no_face(self):
        result = faces(512, 480, [bgra(FRUITS)])
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"null\n", b""))

    def test_a_small_webcam_picture_in_a_desktop_frame(self):
        # A screen recording: a 1920 × 1080 desktop with the portrait shown at
        # 180 px high in a corner (the face is about 70 px wide), and the same
        # desktop with the portrait filling the height (a close-up).
        small = bgra("-size", "1920x1080", f"{BUILDING}[1920x1080!]",
                     "(", PORTRAIT, "-resize", "x180", ")", "-geometry", "+1600+860", "-composite")
        large = bgra("-size", "1920x1080", f"{BUILDING}[1920x1080!]",
                     "(", PORTRAIT, "-resize", "x1080", ")", "-geometry", "+700+0", "-composite")
        result = faces(1920, 1080, [small, large])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        lines = result.stdout.decode().splitlines()
        self.assertEqual(len(lines), 2, lines)
        s = 180 / 824  # portrait pixels to frame pixels
        self.assertCovers(box(lines[0]), (1600 + 240 * s) / 1920, (860 + 340 * s) / 1080,
                          (1600 + 420 * s) / 1920, (860 + 530 * s) / 1080, 0.1)
        s = 1080 / 824
        self.assertCovers(box(lines[1]), (700 + 240 * s) / 1920, (340 * s) / 1080,
                          (700 + 420 * s) / 1920, (530 * s) / 1080, 0.4)

    def test_frames_are_answered_alone_and_in_order(self):
        # Rows of 548 pixels do not fill the 64-byte rows of the frame buffer;
        # a face in one frame must not leak into the next.
        messi = bgra(MESSI)
        empty = bgra(FRUITS, "-resize", "548x342!")
        alone = faces(548, 342, [messi]).stdout
        result = faces(548, 342, [empty, messi, empty, messi])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(result.stdout, b"null\n" + alone + b"null\n" + alone)


class Memory(unittest.TestCase):
    def test_peak_memory_is_flat_over_ten_thousand_frames(self):
        w, h = 32, 32
        frame = bgra(MESSI, "-resize", f"{w}x{h}!")
        proc = subprocess.Popen([TOOL, "faces", str(w), str(h)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def feed(count):
            # Keep one frame in flight, so that the answer to frame n is read
            # before frame n + 2 is written.
            for _ in range(count):
                proc.stdin.write(frame)
                proc.stdin.flush()
                line = proc.stdout.readline()
                self.assertTrue(line.endswith(b"\n"), line)

        def peak_kib():
            with open(f"/proc/{proc.pid}/status") as status:
                for field in status:
                    if field.startswith("VmHWM:"):
                        return int(field.split()[1])
            raise AssertionError("no VmHWM")

        feed(100)
        after_100 = peak_kib()
        feed(9900)
        after_10000 = peak_kib()
        proc.stdin.close()
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertLess(after_10000 - after_100, 4 * 1024, (after_100, after_10000))


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
