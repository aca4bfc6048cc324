"""Audio and video stay in sync across pauses.

Usage: av_sync_test.py ORVIK_CAPTURE SYNC_BEACON

The beacon flashes the whole screen white and plays a click at the same
host-clock instant once a second, half a frame interval before the recording
takes a frame, so the first white frame is stamped half an interval after the
flash. A 60 s recording with 10 pauses is made of it; then, from the files
alone, each click is compared with its flash's instant (the first white
frame's time less half an interval). Between two pauses the typical distance
must stay under one frame interval, so a pause that cuts audio and video
differently, or audio that drifts, fails; a single flash may be off by up to
two intervals, since a capture thread woken late on a busy machine takes that
frame late and stamps it truthfully.
"""
import array
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

CAPTURE = BEACON = None
SECONDS = 60
FPS = 30


def wait_until(t):
    while True:
        left = t - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.05))


def flash_times(movie):
    """Presentation times of frames that turn white after a dark one."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-f", "lavfi", "-i", f"movie={movie},signalstats",
         "-show_entries", "frame=pts_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"],
        capture_output=True, text=True, check=True).stdout
    times, dark = [], True
    for line in out.split():
        t, y = (float(v) for v in line.split(",")[:2])
        if dark and y > 128:
            times.append(t)
        dark = y < 128
    return times


def click_times(audio):
    """Onsets of clicks: loud samples after at least 0.3 s of quiet."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", audio, "-f", "s16le", "-ac", "1",
                          "-ar", "48000", "-"], capture_output=True, check=True).stdout
    samples = array.array("h")
    samples.frombytes(raw)
    onsets, quiet_since = [], -48000  # the file may open with a click
    for i, s in enumerate(samples):
        if abs(s) > 6000:
            if i - quiet_since > 0.3 * 48000:
                onsets.append(i / 48000)
            quiet_since = i
    return onsets


class AudioVideoSync(unittest.TestCase):
    def test_flashes_and_clicks_align_across_ten_pauses(self):
        tmp = tempfile.mkdtemp(prefix="orvik-sync-")
        movie, audio = os.path.join(tmp, "sync.mov"), os.path.join(tmp, "sync.m4a")
        beacon = subprocess.Popen([BEACON, str(SECONDS)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.assertTrue(json.loads(beacon.stdout.readline())["ready"])
        job = json.dumps({"output": movie, "systemAudio": audio, "fps": FPS, "scale": 0.5})
        rec = subprocess.Popen([CAPTURE, "record", job], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        early = [json.loads(rec.stdout.readline()) for _ in range(2)]
        self.assertEqual(sorted(e["event"] for e in early), ["first-frame", "started"])
        # Frames are taken every 1/FPS from the first one on; the beacon puts
        # its flashes half an interval after a frame instant, so the first
        # frame showing a flash is taken about half an interval after it.
        first_frame = next(e["hostTime"] for e in early if e["event"] == "first-frame")
        beacon.stdin.write(f"{first_frame:.9f} {1 / FPS:.9f}\n")
        beacon.stdin.flush()
        start = json.loads(beacon.stdout.readline())["start"]

        # Each pause swallows one whole flash (from 0.45 s before it to
        # 0.55 s after), so both timelines lose exactly the same events.
        cut = list(range(4, SECONDS, 6))[:10]
        for k in cut:
            wait_until(start + k - 0.55)
            rec.stdin.write(b"pause\n")
            rec.stdin.flush()
            wait_until(start + k + 0.55)
            rec.stdin.write(b"resume\n")
            rec.stdin.flush()
        wait_until(start + SECONDS - 0.5)
        out, err = rec.communicate(b"stop\n", timeout=120)
        beacon.wait(timeout=30)
        beacon.stdin.close()
        beacon.stdout.close()
        self.assertEqual(rec.returncode, 0)
        self.assertEqual(err, b"")
        events = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(events[-1]["event"], "stopped")
        self.assertEqual(sum(e["event"] == "paused" for e in events), 10)

        flashes, clicks = flash_times(movie), click_times(audio)
        expected = SECONDS - len(cut)
        self.assertEqual(len(flashes), expected, flashes)
        self.assertEqual(len(clicks), expected, clicks)
        kept = [k for k in range(SECONDS) if k not in cut]
        distance = [c - (f - 0.5 / FPS) for f, c in zip(flashes, clicks)]
        shown = [round(d * 1000, 1) for d in distance]
        print(f"click less flash instant, ms: {shown}", file=sys.stderr)
        for segment in range(len(cut) + 1):
            between = [d for k, d in zip(kept, distance) if sum(c < k for c in cut) == segment]
            self.assertLess(abs(statistics.median(between)), 1 / FPS, (segment, shown))
        self.assertLess(max(abs(d) for d in distance), 2 / FPS, shown)


if __name__ == "__main__":
    CAPTURE, BEACON = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
