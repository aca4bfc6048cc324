#!/usr/bin/env python3
"""orvik-vision in segment mode, driven as the host drives it: frames made from
real photographs written to its standard input, every mask read back.

usage: vision_segment_test.py ORVIK_VISION REFERENCE_MASK_DIR
"""
import subprocess
import sys
import threading

VISION = sys.argv[1]
MASKS = sys.argv[2]
PORTRAIT = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg"
ACTION = "/usr/share/doc/opencv-doc/examples/data/messi5.jpg"
NO_PERSON = "/usr/share/doc/opencv-doc/examples/data/sudoku.png"

failures = []
passes = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    (passes if ok else failures).append(what)


def raw(path, w, h, fmt):
    """The picture stretched to w × h, as raw BGRA or gray bytes."""
    return subprocess.run(
        ["convert", path, "-resize", f"{w}x{h}!", "-depth", "8", f"{fmt}:-"],
        check=True, capture_output=True).stdout


def solid(w, h, bgra):
    return bytes(bgra) * (w * h)


def run(w, h, frames):
    """Writes the frames and closes the input; returns (status, masks, stderr)."""
    proc = subprocess.Popen([VISION, "segment", str(w), str(h)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def feed():
        for f in frames:
            proc.stdin.write(f)
        proc.stdin.close()

    writer = threading.Thread(target=feed)
    writer.start()
    out = proc.stdout.read()
    err = proc.stderr.read()
    writer.join()
    status = proc.wait(timeout=600)
    size = w * h
    return status, [out[i:i + size] for i in range(0, len(out), size)], out, err


def iou(mask, reference):
    inter = union = 0
    for m, r in zip(mask, reference):
        a, b = m >= 128, r >= 128
        inter += a and b
        union += a or b
    return inter / union


# A person, nobody, a photograph without people, the person again: each frame
# answered with exactly its own mask, nothing carried over.
w, h = 512, 600
status, masks, out, err = run(w, h, [raw(PORTRAIT, w, h, "bgra"), solid(w, h, (40, 90, 160, 255)),
                                     raw(NO_PERSON, w, h, "bgra"), raw(PORTRAIT, w, h, "bgra")])
check(status == 0 and err == b"", f"segment {w}x{h}: status {status}, stderr {err!r}")
check(len(out) == 4 * w * h, f"four frames give four masks of {w * h} bytes ({len(out)} read)")
if len(masks) == 4:
    score = iou(masks[0], raw(f"{MASKS}/grace_hopper_person.png", w, h, "gray"))
    check(score >= 0.93, f"portrait against the traced mask: intersection over union {score:.3f}")
    check(masks[1] == bytes(w * h), "a plain frame after the person is all zeros")
    check(sum(masks[2]) < w * h // 2, "a photograph of a printed puzzle is (nearly) all zeros")
    check(masks[3] == masks[0], "the same frame again gives the same mask")

# The action shot stretched to 1280 × 720: the mask is stretched back to it.
w, h = 1280, 720
status, masks, out, err = run(w, h, [raw(ACTION, w, h, "bgra")])
check(status == 0 and len(out) == w * h, f"segment {w}x{h}: one mask of {w * h} bytes")
if len(out) == w * h:
    score = iou(out, raw(f"{MASKS}/messi5_person.png", w, h, "gray"))
    check(score >= 0.78, f"action shot at 1280x720: intersection over union {score:.3f}")

# The smallest and the largest frames.
status, masks, out, err = run(16, 16, [raw(PORTRAIT, 16, 16, "bgra"), solid(16, 16, (0, 0, 0, 255))])
check(status == 0 and len(out) == 2 * 256, f"16x16: two masks of 256 bytes ({len(out)} read)")
big = 4096
status, masks, out, err = run(big, big, [raw(PORTRAIT, big, big, "bgra"), solid(big, big, (0, 0, 0, 255))])
check(status == 0 and len(out) == 2 * big * big,
      f"4096x4096: two masks of 16,777,216 bytes ({len(out)} read)")
if len(masks) == 2:
    check(masks[0].count(0) < big * big // 2 and masks[1] == bytes(big * big),
          "4096x4096: the person is found, the black frame is all zeros")

# Input that ends inside a frame: the masks of the whole frames, then the
# fatal message.
status, masks, out, err = run(64, 64, [solid(64, 64, (1, 2, 3, 255)) * 2, b"\0" * 100])
check(status == 2 and len(out) == 2 * 64 * 64 and err == b"truncated frame\n",
      f"2 frames and a piece: two masks, then 'truncated frame' (status {status}, {err!r})")

print(f"{len(passes)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
