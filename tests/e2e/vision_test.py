#!/usr/bin/env python3
"""orvik-vision driven as the host drives it: raw BGRA frames on standard
input, answers read back from standard output. One run per mode on real
photographs (Debian's opencv-doc and matplotlib's sample data) and rendered
text (ImageMagick, DejaVu Sans), each checking many properties of the run.

Usage: vision_test.py ORVIK_VISION REFERENCE_MASK_DIR [unittest arguments]
Frame widths are chosen so that rows do not fill whole 64-byte lines, which
exercises the padded rows of the frame buffer.
"""
import collections
import json
import os
import re
import subprocess
import sys
import unittest

TOOL = MASKS = None
DATA = "/usr/share/doc/opencv-doc/examples/data"
PORTRAIT = "/usr/share/doc/opencv-doc/opencv4/html/230501201_1.jpg"  # head and shoulders
MESSI = f"{DATA}/messi5.jpg"  # 548 × 342, one face of about 37 px
HOPPER = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg"
FRUITS, BUILDING = f"{DATA}/fruits.jpg", f"{DATA}/building.jpg"
USAGE = b"usage: orvik-vision segment|faces|text <width> <height>\n"


def convert(*args, fmt="bgra"):
    return subprocess.run(["convert", *args, "-depth", "8", f"{fmt}:-"], check=True,
                          capture_output=True).stdout


def run(*args, frames=()):
    return subprocess.run([TOOL, *map(str, args)], input=b"".join(frames), capture_output=True,
                          timeout=600)


class CommandLine(unittest.TestCase):
    def test_answers_and_fatal_messages(self):
        gray = bytes([128, 128, 128, 255]) * (20 * 16)
        cases = [  # arguments, input, status, stdout, stderr
            (["check"], None, 0, b'{"segmentation":true,"faces":true,"text":true}\n', b""),
            ([], b"", 2, b"", USAGE),
            (["faces", "15", "64"], b"", 2, b"", USAGE),
            (["gr\u00fcn", "64", "64"], b"", 2, b"", "unknown mode gr\u00fcn\n".encode()),
            (["segment", "64", "48"], b"", 0, b"", b""),
            (["text", "64", "48"], b"", 0, b"", b""),
            (["faces", "20", "16"], gray * 2 + gray[:100], 2, b"null\n" * 2, b"truncated frame\n"),
        ]
        # Settings of the libraries underneath that make them talk or look elsewhere.
        env = dict(os.environ, OMP_NUM_THREADS="abc", OMP_DISPLAY_ENV="true", TBB_VERSION="1")
        for args, data, status, out, err in cases:
            with self.subTest(args=args):
                # check must answer with its input left open and unread.
                proc = subprocess.Popen([TOOL, *args], stdin=subprocess.PIPE, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                if data is not None:
                    proc.stdin.write(data)
                    proc.stdin.close()
                got = (proc.stdout.read(), proc.stderr.read(), proc.wait(timeout=60))
                if data is None:
                    proc.stdin.close()
                self.assertEqual(got, (out, err, status))


class Faces(unittest.TestCase):
    def assertCovers(self, face, left, top, right, bottom, max_width):
        """The box (fractions, top-left origin) holds the face's eyes-to-mouth
        region and is not much wider than a face."""
        self.assertLessEqual(face["x"], left, face)
        self.assertLessEqual(face["y"], top, face)
        self.assertGreaterEqual(face["x"] + face["w"], right, face)
        self.assertGreaterEqual(face["y"] + face["h"], bottom, face)
        self.assertLess(face["w"], max_width, face)

    def test_desktop_frames_with_a_small_face_a_close_up_and_none(self):
        # A desktop with the portrait 180 px high in a corner (a webcam
        # picture, face about 70 px wide), with the portrait filling the
        # height, a photograph without a face, the first frame again.
        w, h = 1910, 1070
        desktop = ("-size", f"{w}x{h}", f"{BUILDING}[{w}x{h}!]")
        small = convert(*desktop, "(", PORTRAIT, "-resize", "x180", ")", "-geometry",
                        "+1590+850", "-composite")
        large = convert(*desktop, "(", PORTRAIT, "-resize", f"x{h}", ")", "-geometry", "+700+0",
                        "-composite")
        # Last, a slide title: letters are not faces.
        slide = convert("-size", f"{w}x{h}", "xc:white", "-font", "DejaVu-Sans", "-pointsize", "200",
                        "-gravity", "center", "-annotate", "0", "Thank you!")
        result = run("faces", w, h,
                     frames=[small, large, convert(f"{FRUITS}[{w}x{h}!]"), small, slide])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        lines = result.stdout.decode().split("\n")
        self.assertEqual(len(lines), 6, lines)
        for line in lines[:2]:
            self.assertRegex(line, r'^\{"x":-?\d\.\d{4},"y":-?\d\.\d{4},"w":\d\.\d{4},"h":\d\.\d{4}\}$')
        # Eyes to mouth span about 240..420 × 340..530 of the portrait's pixels.
        s = 180 / 824
        self.assertCovers(json.loads(lines[0]), (1590 + 240 * s) / w, (850 + 340 * s) / h,
                          (1590 + 420 * s) / w, (850 + 530 * s) / h, 0.1)
        s = h / 824
        self.assertCovers(json.loads(lines[1]), (700 + 240 * s) / w, 340 * s / h,
                          (700 + 420 * s) / w, 530 * s / h, 0.4)
        self.assertEqual(lines[2:], ["null", lines[0], "null", ""])


class Segment(unittest.TestCase):
    def iou(self, mask, reference):
        both = sum(1 for m, r in zip(mask, reference) if m >= 128 and r >= 128)
        either = sum(1 for m, r in zip(mask, reference) if m >= 128 or r >= 128)
        return both / either

    def test_masks_of_people_nobody_and_a_truncated_input(self):
        # The square network: a portrait, a plain frame, a photograph without
        # people (which the network alone marks a quarter of), the portrait
        # again; each frame answered with its own mask.
        w, h = 500, 600
        portrait = convert(f"{HOPPER}[{w}x{h}!]")
        result = run("segment", w, h, frames=[portrait, bytes([160, 90, 40, 255]) * (w * h),
                                              convert(f"{FRUITS}[{w}x{h}!]"), portrait])
        self.assertEqual((result.returncode, result.stderr, len(result.stdout)), (0, b"", 4 * w * h))
        masks = [result.stdout[i * w * h:(i + 1) * w * h] for i in range(4)]
        reference = convert(f"{MASKS}/grace_hopper_person.png[{w}x{h}!]", fmt="gray")
        self.assertGreaterEqual(self.iou(masks[0], reference), 0.93)
        self.assertEqual(masks[1], bytes(w * h))
        self.assertEqual(masks[2], bytes(w * h))
        self.assertEqual(masks[3], masks[0])

        # The landscape network on an action shot whose thin limbs are hard,
        # then input ending inside the second frame.
        w, h = 1280, 720
        action = convert(f"{MESSI}[{w}x{h}!]")
        result = run("segment", w, h, frames=[action, action[:1000]])
        self.assertEqual((result.returncode, result.stderr, len(result.stdout)),
                         (2, b"truncated frame\n", w * h))
        reference = convert(f"{MASKS}/messi5_person.png[{w}x{h}!]", fmt="gray")
        self.assertGreaterEqual(self.iou(result.stdout, reference), 0.78)


class Text(unittest.TestCase):
    W, H = 1270, 720
    LINES = [
        "File Edit View History Bookmarks Tools Help",
        "The quick brown fox jumps over the lazy dog near the river bank.",
        "Open the settings panel to choose which display should be recorded.",
        "Select an area of the screen, or pick one window from the list below.",
        "Meeting notes: review the quarterly budget before Friday afternoon.",
        "Download complete: 248 files copied to the backup folder.",
        "Invite people to this project by sharing the link with your team.",
    ]

    def screenshot(self, scale, *extra):
        """LINES at a 13 px font × scale, 22 px × scale apart, on a light
        window; the BGRA bytes and each line's band (top, bottom) in pixels."""
        args = ["-size", f"{self.W}x{self.H}", "xc:#f4f4f4", *extra, "-font", "DejaVu-Sans",
                "-pointsize", str(13 * scale), "-fill", "#1e1e1e"]
        bands = []
        for i, line in enumerate(self.LINES):
            baseline = (40 + 22 * i) * scale
            args += ["-annotate", f"+{24 * scale}+{baseline}", line]
            bands.append((baseline - 13 * scale, baseline + 4 * scale))
        return convert(*args), bands

    def test_words_where_they_are_drawn_and_faces_beside_them(self):
        # The portrait, 300 px high, sits below and right of the 100 % text.
        shots = [self.screenshot(1, "(", PORTRAIT, "-resize", "x300", ")", "-geometry", "+800+300",
                                 "-composite"),
                 self.screenshot(2)]
        photo = convert("-size", f"{self.W}x{self.H}", "xc:#808080", FRUITS, "-composite")
        result = run("text", self.W, self.H,
                     frames=[shots[0][0], shots[1][0], photo, b"\xff" * (self.W * self.H * 4)])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        raw = result.stdout.split(b"\n")
        self.assertEqual(len(raw), 5)
        for line in raw[:4]:  # compact: no white space outside strings
            self.assertNotRegex(re.sub(rb'"(?:[^"\\]|\\.)*"', b"", line), rb"\s", line)
        docs = [json.loads(line) for line in raw[:4]]
        self.assertEqual(docs[2:], [{"lines": [], "faces": []}] * 2)

        expected = collections.Counter(" ".join(self.LINES).split())
        for (_, bands), doc, scale in zip(shots, docs, (1, 2)):
            self.assertEqual(set(doc), {"lines", "faces"})
            found = collections.Counter(w["text"] for l in doc["lines"] for w in l["words"])
            # A line's last full stop may be lost at 13 px.
            self.assertGreaterEqual(sum((expected & found).values()), 0.95 * sum(expected.values()))
            for line in doc["lines"]:
                for i, word in enumerate(line["words"]):
                    off = word["offset"]  # ASCII: characters are code points
                    self.assertEqual(line["text"][off:off + len(word["text"])], word["text"])
                    top, bottom = word["y"] * self.H, (word["y"] + word["h"]) * self.H
                    band = [b for b in bands if b[0] <= (top + bottom) / 2 <= b[1]]
                    self.assertEqual(len(band), 1, (word, bands))
                    self.assertTrue(band[0][0] - 3 <= top and bottom <= band[0][1] + 3, word)
                    if i == 0:  # lines start at the left margin
                        self.assertAlmostEqual(word["x"] * self.W, 24 * scale + 1, delta=3)

        self.assertEqual(docs[1]["faces"], [])
        # The middle of the face, about (330, 435) of the portrait's pixels.
        s = 300 / 824
        cx, cy = (800 + 330 * s) / self.W, (300 + 435 * s) / self.H
        self.assertTrue(any(f["x"] <= cx <= f["x"] + f["w"] and f["y"] <= cy <= f["y"] + f["h"]
                            for f in docs[0]["faces"]), docs[0]["faces"])


if __name__ == "__main__":
    TOOL, MASKS = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
