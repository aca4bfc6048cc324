#!/usr/bin/env python3
"""Frames per second and CPU per frame of the whole orvik-vision program, fed
back to back from a file of 1280x720 frames as the host would feed it: faces
mode on a frame without a face, with a small face (a webcam picture 180 px
high in a corner) and with a close-up, and segment mode on a person and on a
photograph without people. The machine's load is printed with the figures.

Usage: vision_program_bench.py ORVIK_VISION [OTHER_ORVIK_VISION] [--frames N] [--runs N]
(a second program, an earlier build, is measured on the same files; with
several runs, taken in turn, each figure is the best run's, the one least
disturbed by other work on the machine).
"""
import argparse
import os
import resource
import subprocess
import tempfile
import time

from host import processor

DATA = "/usr/share/doc/opencv-doc/examples/data"
PORTRAIT = "/usr/share/doc/opencv-doc/opencv4/html/230501201_1.jpg"
W, H = 1280, 720


def frame(*args):
    return subprocess.run(["convert", *args, "-depth", "8", "bgra:-"], check=True,
                          capture_output=True).stdout


def kinds():
    desk = ("-size", f"{W}x{H}", f"{DATA}/building.jpg[{W}x{H}!]")
    return {
        "faces: no face": ("faces", frame(*desk)),
        "faces: small face": ("faces", frame(*desk, "(", PORTRAIT, "-resize", "x180", ")",
                                            "-geometry", "+1050+500", "-composite")),
        "faces: close-up": ("faces", frame(*desk, "(", PORTRAIT, "-resize", f"x{H}", ")",
                                           "-geometry", "+400+0", "-composite")),
        "segment: person": ("segment", frame(f"{DATA}/messi5.jpg[{W}x{H}!]")),
        "segment: no person": ("segment", frame(f"{DATA}/fruits.jpg[{W}x{H}!]")),
    }


def run(program, mode, path, frames):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    with open(path, "rb") as source:
        subprocess.run([program, mode, str(W), str(H)], stdin=source, stdout=subprocess.DEVNULL,
                       check=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return frames / wall, cpu * 1000 / frames


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("programs", nargs="+")
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        for name, (mode, data) in kinds().items():
            path = os.path.join(folder, "frames.bgra")
            with open(path, "wb") as out:
                for _ in range(args.frames):
                    out.write(data)
            with open(path, "rb") as cached:  # in the page cache from here on
                while cached.read(1 << 24):
                    pass
            best = [(0.0, 0.0)] * len(args.programs)
            for _ in range(args.runs):
                for i, program in enumerate(args.programs):
                    best[i] = max(best[i], run(program, mode, path, args.frames))
            figures = [f"{fps:6.1f} frames/s, {cpu:5.2f} CPU ms/frame" for fps, cpu in best]
            print(f"{name:20s} " + " | ".join(figures), flush=True)
    print("load average (1, 5, 15 min): %.2f %.2f %.2f" % os.getloadavg())
    print("processor:", processor())


if __name__ == "__main__":
    main()
