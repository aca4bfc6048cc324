"""Audio and video stay in sync across pauses: a beacon flashes the screen and
clicks at the same instant once a second, half a frame interval before a frame
is taken; each pause swallows one flash. From the files alone, between two
pauses the median click-to-flash distance must stay under two intervals, so a
pause that cuts audio and video differently, or drift, fails. A starved machine
may take frames late (stamped truthfully), or make the beacon miss a flash or
a click: single flashes are not judged, and a few may be missing.

Usage: av_sync_test.py ORVIK_CAPTURE SYNC_BEACON
"""
import json
import statistics
import subprocess
import time

import harness

SECONDS, FPS = 30, 30
CUT = [4, 10, 16, 22]


def flash_times(movie):
    """Presentation times of frames that turn white after a dark one."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-f", "lavfi", "-i", f"movie={movie},signalstats",
         "-show_entries", "frame=pts_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"],
        capture_output=True, text=True, check=True).stdout
    times, dark = [], True
    for t, y in (map(float, line.split(",")[:2]) for line in out.split()):
        if dark and y > 128:
            times.append(t)
        dark = y < 128
    return times


def click_times(audio):
    """Onsets of clicks: loud samples after at least 0.3 s of quiet."""
    onsets, quiet_since = [], -48000  # the file may open with a click
    for i, s in enumerate(harness.pcm(audio)):
        if abs(s) > 6000:
            if i - quiet_since > 0.3 * 48000:
                onsets.append(i / 48000)
            quiet_since = i
    return onsets


class AudioVideoSync(harness.EndToEnd):
    def test_flashes_and_clicks_align_across_pauses(self):
        movie, audio = self.path("sync.mov"), self.path("sync.m4a")
        beacon = self.helper([BEACON, str(SECONDS)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, bufsize=1)
        self.assertEqual(beacon.stdout.readline().strip(), '{"ready":true}')
        rec = harness.Recording(CAPTURE, {"output": movie, "systemAudio": audio, "fps": FPS,
                                       "scale": 0.5})
        first = rec.wait_for("first-frame")
        beacon.stdin.write(f"{first['hostTime']:.9f} {1 / FPS:.9f}\n")
        start = json.loads(beacon.stdout.readline())["start"]
        expected = {0: 0.0}  # from flash k on, the paused time on the files' timeline
        paused = 0.0  # host-clock time between the pause and resume words so far
        for k in CUT:  # each pause from 0.55 s before flash k to 0.55 s after it
            for at, word in ((k - 0.55, "pause"), (k + 0.55, "resume")):
                time.sleep(max(0.0, start + at - time.monotonic()))
                rec.send(word + "\n")
                paused += time.monotonic() * (1 if word == "resume" else -1)
            expected[k + 1] = paused
        time.sleep(max(0.0, start + SECONDS - 0.5 - time.monotonic()))
        self.assertEqual(rec.finish(b"stop\n"), (0, b""))

        # Each kept flash k is looked for near where the files should have it.
        flashes, clicks, distance = flash_times(movie), click_times(audio), {}
        for k in (k for k in range(SECONDS) if k not in CUT):
            at = start + k - first["hostTime"] - max(p for j, p in expected.items() if j <= k)
            f, c = (min(t, key=lambda x: abs(x - at)) for t in (flashes, clicks))
            if abs(f - at) < 0.3 and abs(c - at) < 0.3:
                distance[k] = c - (f - 0.5 / FPS)
        shown = {k: round(d * 1000, 1) for k, d in distance.items()}  # click less flash, ms
        self.assertGreaterEqual(len(distance), SECONDS - len(CUT) - 3, (flashes, clicks))
        for segment in range(len(CUT) + 1):
            between = [d for k, d in distance.items() if sum(c < k for c in CUT) == segment]
            self.assertLess(abs(statistics.median(between)), 2 / FPS, (segment, shown))

if __name__ == "__main__":
    CAPTURE, BEACON = harness.programs(2)
    harness.unittest.main(verbosity=2)
