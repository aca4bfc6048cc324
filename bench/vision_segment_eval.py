#!/usr/bin/env python3
"""Segment mode on photographs, the whole program as the host runs it: the
masks of people against the hand-traced masks of tests/vision/data
(intersection over union of bytes >= 128), and the share of bytes >= 128 on
photographs without people (Debian's opencv-doc examples). A second program,
an earlier build, is measured on the same frames.

Usage: vision_segment_eval.py REFERENCE_MASK_DIR ORVIK_VISION [OTHER_ORVIK_VISION]
"""
import subprocess
import sys

DATA = "/usr/share/doc/opencv-doc/examples/data"
HTML = "/usr/share/doc/opencv-doc/opencv4/html"
HOPPER = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg"
PEOPLE = [("portrait", HOPPER, "grace_hopper_person.png"),
          ("action shot", f"{DATA}/messi5.jpg", "messi5_person.png")]
NOBODY = ["fruits.jpg", "building.jpg", "baboon.jpg", "home.jpg", "orange.jpg", "apple.jpg",
          "board.jpg", "butterfly.jpg", "starry_night.jpg", "squirrel_cls.jpg", "aero1.jpg",
          "HappyFish.jpg", "sudoku.png", "pic1.png", "smarties.png", "left01.jpg"]
SIZES = [(500, 600), (1280, 720)]


def convert(path, w, h, fmt="bgra"):
    return subprocess.run(["convert", f"{path}[{w}x{h}!]", "-depth", "8", f"{fmt}:-"],
                          check=True, capture_output=True).stdout


def masks(program, w, h, frames):
    out = subprocess.run([program, "segment", str(w), str(h)], input=b"".join(frames),
                         capture_output=True, check=True).stdout
    return [out[i * w * h:(i + 1) * w * h] for i in range(len(frames))]


def iou(mask, reference):
    both = sum(1 for m, r in zip(mask, reference) if m >= 128 and r >= 128)
    either = sum(1 for m, r in zip(mask, reference) if m >= 128 or r >= 128)
    return both / either


def main():
    folder, programs = sys.argv[1], sys.argv[2:]
    for w, h in SIZES:
        frames = [convert(path, w, h) for _, path, _ in PEOPLE]
        frames += [convert(f"{DATA}/{name}", w, h) for name in NOBODY]
        results = [masks(program, w, h, frames) for program in programs]
        for i, (name, _, reference) in enumerate(PEOPLE):
            ref = convert(f"{folder}/{reference}", w, h, fmt="gray")
            print(f"{w}x{h} {name:12s} IoU " + " | ".join(f"{iou(r[i], ref):.3f}" for r in results))
        for j, name in enumerate(NOBODY):
            k = len(PEOPLE) + j
            shares = [100 * sum(1 for b in r[k] if b >= 128) / (w * h) for r in results]
            print(f"{w}x{h} {name:17s} bytes >= 128: " + " | ".join(f"{s:5.1f} %" for s in shares))


if __name__ == "__main__":
    main()
