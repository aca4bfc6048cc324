#!/usr/bin/env python3
"""orvik-vision text mode on rendered screenshots and a photograph, fed as raw
BGRA frames the way the host feeds them.

Usage: vision_text_test.py PATH-TO-orvik-vision
ImageMagick renders the text in DejaVu Sans (fonts-dejavu-core); the photograph
comes from Debian's opencv-doc package.
"""
import json
import re
import subprocess
import sys
import unittest

TOOL = None
WIDTH, HEIGHT = 1280, 720
MESSI = "/usr/share/doc/opencv-doc/examples/data/messi5.jpg"  # 548 × 342, one face
FRUITS = "/usr/share/doc/opencv-doc/examples/data/fruits.jpg"  # no text, no face

LINES = [
    "File Edit View History Bookmarks Tools Help",
    "The quick brown fox jumps over the lazy dog near the river bank.",
    "Open the settings panel to choose which display should be recorded.",
    "Select an area of the screen, or pick one window from the list below.",
    "Meeting notes: review the quarterly budget before Friday afternoon.",
    "Please remember to save your work often while editing documents.",
    "Download complete: 248 files copied to the backup folder.",
    "Your subscription renews on March 14 unless you cancel it today.",
    "Invite people to this project by sharing the link with your team.",
]


def screenshot(scale, extra=()):
    """A light window with LINES at a 13 px font × scale, 22 px × scale apart;
    returns the BGRA bytes and each line's band (top, bottom) in pixels."""
    args = ["convert", "-size", f"{WIDTH}x{HEIGHT}", "xc:#f4f4f4", *extra,
            "-font", "DejaVu-Sans", "-pointsize", str(13 * scale), "-fill", "#1e1e1e"]
    bands = []
    for i, line in enumerate(LINES):
        baseline = (40 + 22 * i) * scale
        args += ["-annotate", f"+{24 * scale}+{baseline}", line]
        bands.append((baseline - 13 * scale, baseline + 4 * scale))
    args += ["-depth", "8", "bgra:-"]
    return subprocess.run(args, check=True, capture_output=True).stdout, bands


def photo_frame(path):
    return subprocess.run(["convert", "-size", f"{WIDTH}x{HEIGHT}", "xc:#808080", path,
                           "-geometry", "+0+0", "-composite", "-depth", "8", "bgra:-"],
                          check=True, capture_output=True).stdout


def run_text(frames):
    return subprocess.run([TOOL, "text", str(WIDTH), str(HEIGHT)], input=b"".join(frames),
                          capture_output=True, timeout=600)


def common_words(expected, found):
    """Length of the longest common subsequence of two word lists."""
    prev = [0] * (len(found) + 1)
    for e in expected:
        cur = [0]
        for j, f in enumerate(found):
            cur.append(prev[j] + 1 if e == f else max(prev[j + 1], cur[j]))
        prev = cur
    return prev[-1]


class TextMode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The photograph sits below and right of the 100% text, clear of it.
        cls.shots = [screenshot(1, extra=("(", MESSI, ")", "-geometry", "+700+370",
                                          "-composite")), screenshot(2)]
        cls.result = run_text([cls.shots[0][0], cls.shots[1][0], photo_frame(FRUITS),
                               b"\xff" * (WIDTH * HEIGHT * 4)])
        cls.docs_raw = cls.result.stdout.split(b"\n")

    def test_one_compact_document_line_per_frame_and_nothing_on_stderr(self):
        self.assertEqual((self.result.returncode, self.result.stderr), (0, b""))
        self.assertEqual(len(self.docs_raw), 5)  # four lines and the empty rest
        self.assertEqual(self.docs_raw[-1], b"")
        for raw in self.docs_raw[:-1]:
            outside_strings = re.sub(rb'"(?:[^"\\]|\\.)*"', b"", raw)
            self.assertNotRegex(outside_strings, rb"\s", raw)
            doc = json.loads(raw)
            self.assertEqual(set(doc), {"lines", "faces"})

    def test_frames_without_text_or_faces(self):
        for raw in self.docs_raw[2:4]:
            self.assertEqual(json.loads(raw), {"lines": [], "faces": []})

    def test_reads_the_words_where_they_are_drawn(self):
        for (frame, bands), raw in zip(self.shots, self.docs_raw):
            doc = json.loads(raw)
            expected = " ".join(LINES).split()
            found = [w["text"] for line in doc["lines"] for w in line["words"]]
            right = common_words(expected, found)
            self.assertGreaterEqual(right / len(expected), 0.98, (right, len(expected), found))
            for line in doc["lines"]:
                for word in line["words"]:
                    # ASCII text: characters are code points.
                    off = word["offset"]
                    self.assertIsInstance(off, int)
                    self.assertEqual(line["text"][off:off + len(word["text"])], word["text"])
                    top, bottom = word["y"] * HEIGHT, (word["y"] + word["h"]) * HEIGHT
                    centre = (top + bottom) / 2
                    band = [b for b in bands if b[0] <= centre <= b[1]]
                    self.assertEqual(len(band), 1, (word, bands))
                    self.assertGreaterEqual(top, band[0][0] - 3, word)
                    self.assertLessEqual(bottom, band[0][1] + 3, word)
                    self.assertTrue(0 <= word["x"] and word["x"] + word["w"] <= 1, word)

    def test_faces_come_with_the_text(self):
        self.assertEqual(json.loads(self.docs_raw[1])["faces"], [])
        faces = json.loads(self.docs_raw[0])["faces"]
        self.assertGreaterEqual(len(faces), 1, faces)
        # Messi's face, about 228..250 × 100..122 in the photograph placed at (700, 370).
        cx, cy = (700 + 239) / WIDTH, (370 + 111) / HEIGHT
        self.assertTrue(any(f["x"] <= cx <= f["x"] + f["w"] and f["y"] <= cy <= f["y"] + f["h"]
                            for f in faces), faces)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
