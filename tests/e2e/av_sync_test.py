"""Audio and video stay in sync across pauses: a beacon flashes the screen and
clicks at the same instant once a second, half a frame interval before a frame
is taken; each pause swallows one flash. From the files alone, between two
pauses the typical click-to-flash distance must stay under one interval (a
pause that cuts audio and video differently, or drift, fails it); one flash
may be off by two, as a capture thread woken late on a busy machine takes it
late and stamps it truthfully.

Usage: av_sync_test.py ORVIK_CAPTURE SYNC_BEACON
"""
import json
import statistics
import subprocess
import sys
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
                             stdout=subprocess.PIPE, text=True)
        self.assertEqual(beacon.stdout.readline().strip(), '{"ready":true}')
        rec = harness.Recording(CAPTURE, {"output": movie, "systemAudio": audio, "fps": FPS,
                                       "scale": 0.5})
        first = rec.wait_for("first-frame")
        beacon.stdin.write(f"{first['hostTime']:.9f} {1 / FPS:.9f}\n")
        beacon.stdin.flush()
        start = json.loads(beacon.stdout.readline())["start"]
        for at, word in [(k + d, w) for k in CUT for d, w in ((-.55, "pause"), (.55, "resume"))]:
            time.sleep(max(0.0, start + at - time.monotonic()))  # around flash k
            rec.send(word + "\n")
        time.sleep(max(0.0, start + SECONDS - 0.5 - time.monotonic()))
        self.assertEqual(rec.finish(b"stop\n"), (0, b""))
        self.assertEqual(rec.names().count("paused"), len(CUT))

        flashes, clicks = flash_times(movie), click_times(audio)
        self.assertEqual((len(flashes), len(clicks)), (SECONDS - len(CUT),) * 2, (flashes, clicks))
        distance = [c - (f - 0.5 / FPS) for f, c in zip(flashes, clicks)]
        shown = [round(d * 1000, 1) for d in distance]
        print(f"click less flash instant, ms: {shown}", file=sys.stderr)
        kept = [k for k in range(SECONDS) if k not in CUT]
        for segment in range(len(CUT) + 1):
            between = [d for k, d in zip(kept, distance) if sum(c < k for c in CUT) == segment]
            self.assertLess(abs(statistics.median(between)), 1 / FPS, (segment, shown))
        self.assertLess(max(abs(d) for d in distance), 2 / FPS, shown)


if __name__ == "__main__":
    CAPTURE, BEACON = harness.programs(2)
    harness.unittest.main(verbosity=2)
