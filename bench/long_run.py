#!/usr/bin/env python3
"""Long-run benchmark: one recording of an hour (by default) at 1920x1080 and
30 fps, with a moving window, a continuous tone, a flash/click beacon and ten
pauses; then, from the files alone, how audio and video stay aligned from the
first minute to the last, how the recorder's memory grows, and whether any
frame is missing. Run by hand, not in CI.

Usage (BUILD defaults to build at the top of the tree; it needs orvik-capture,
sync_beacon and record_animator):
    source scripts/services.sh; orvik_start_display; orvik_start_sound
    python3 bench/long_run.py [--build BUILD] [--seconds 3600] [--out DIR]
    orvik_stop_services

What runs, on the display and sound server of the calling shell:
  - tests' sync_beacon: a full-screen window that turns white, and a click on
    the default sink, at the same host-clock instant once a second, half a
    frame interval after a frame is taken;
  - bench's record_animator in window mode: a quarter-screen textured window
    moving over the beacon and repainted 30 times a second;
  - a 440 Hz tone at -26 dB played for the whole run (pacat);
  - orvik-capture record {"output","systemAudio","fps":30,"scale":1}, paused
    ten times, for 1 to 10 seconds, each pause swallowing whole flashes.
Reported (JSON on stdout, progress on stderr):
  - offset: click minus flash (less the half interval) in ms, for each flash
    found in both files; median over the first and the last 5 minutes, and
    their change (goal: under one frame interval, 33 ms);
  - memory: the recorder's resident set and peak (VmRSS, VmHWM) at 1 minute
    and at the end, and every 5 minutes;
  - frames: written (packets in the movie) against expected (30 x the movie's
    duration); gaps: frame intervals over 1.5 intervals, with their times;
  - cpu: the recorder's CPU seconds per written frame; load averages.
"""
import argparse
import bisect
import json
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FPS = 30


def status(pid):
    """VmRSS and VmHWM of a process, in MiB."""
    with open(f"/proc/{pid}/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return {k: round(int(fields[k].split()[0]) / 1024, 1) for k in ("VmRSS", "VmHWM")}


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def flash_times(movie):
    """Presentation times of frames that turn white after a dark one (frames
    scaled down before measuring: only the mean brightness matters)."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-f", "lavfi", "-i", f"movie={movie},scale=64:36,signalstats",
         "-show_entries", "frame=pts_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"],
        capture_output=True, text=True, check=True).stdout
    times, dark = [], True
    for t, y in (map(float, line.split(",")[:2]) for line in out.split()):
        if dark and y > 128:
            times.append(t)
        dark = y < 128
    return times


def click_times(audio):
    """Onsets of the 2 kHz clicks: the tone is filtered out, and ffmpeg's
    silence detector reports where sound resumes after 0.3 s of quiet."""
    err = subprocess.run(
        ["ffmpeg", "-nostats", "-seek_timestamp", "1", "-ss", "0", "-i", audio, "-af",
         "highpass=f=1200,highpass=f=1200,silencedetect=n=-30dB:d=0.3", "-f", "null", "-"],
        capture_output=True, text=True, check=True).stderr
    return [float(m) for m in re.findall(r"silence_end: ([0-9.]+)", err)]


def frame_times(movie):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                          "packet=pts_time", "-of", "csv=p=0", movie],
                         capture_output=True, text=True, check=True).stdout
    return sorted(float(t) for t in out.split())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seconds", type=int, default=3600)
    parser.add_argument("--out", default="/tmp/orvik-long-run")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    movie, audio = os.path.join(args.out, "long.mov"), os.path.join(args.out, "long.m4a")
    log = lambda *a: print(time.strftime("%H:%M:%S"), *a, file=sys.stderr, flush=True)
    seconds = args.seconds
    # Ten pauses spread over the run, of 1 to 10 seconds' worth of flashes.
    pauses = [(seconds * (i + 1) // 11, 1 + i) for i in range(10)]

    beacon = subprocess.Popen([os.path.join(args.build, "tests/e2e/sync_beacon"), str(seconds)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    assert beacon.stdout.readline().strip() == '{"ready":true}'
    animator = subprocess.Popen([os.path.join(args.build, "bench/record_animator"), "window",
                                 str(FPS)], stdout=subprocess.PIPE, text=True)
    assert animator.stdout.readline().strip() == "ready"
    tone = subprocess.Popen(
        f"ffmpeg -v error -f lavfi -i sine=f=440:r=48000:d={seconds + 60} -af volume=-20dB "
        "-f s16le -ac 1 - | pacat --raw --rate=48000 --channels=1 --format=s16le", shell=True)
    load_before = open("/proc/loadavg").read().split()[:3]

    job = {"output": movie, "systemAudio": audio, "fps": FPS, "scale": 1}
    rec = subprocess.Popen([os.path.join(args.build, "capture/orvik-capture"), "record", json.dumps(job)],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    events = []
    def event(name):
        while True:
            events.append(json.loads(rec.stdout.readline()))
            if events[-1]["event"] in (name, "error"):
                return events[-1]
    first = event("first-frame")
    beacon.stdin.write(f"{first['hostTime']:.9f} {1 / FPS:.9f}\n")
    start = json.loads(beacon.stdout.readline())["start"]
    memory = {}
    def sample(label):
        memory[label] = status(rec.pid)
        log("memory", label, memory[label])
    marks = sorted([(60, "1 min")] + [(m * 300, f"{m * 5} min") for m in range(1, seconds // 300)])
    for k, extra in pauses:
        marks.append((k - 0.55, ("pause", extra)))
        marks.append((k + extra - 1 + 0.55, ("resume", extra)))
    marks.sort(key=lambda m: m[0])
    for at, what in marks:
        time.sleep(max(0.0, start + at - time.monotonic()))
        if isinstance(what, str):
            sample(what)
        else:
            rec.stdin.write(f"{what[0]}\n".encode())
            log(what[0], f"at {at:.2f} s")
    time.sleep(max(0.0, start + seconds - 0.5 - time.monotonic()))
    sample("end")
    cpu = cpu_seconds(rec.pid)
    rec.stdin.write(b"stop\n")
    stopped = event("stopped")
    rec.wait()
    load_after = open("/proc/loadavg").read().split()[:3]
    for p in (tone, animator, beacon):
        p.kill() if p is not beacon else p.wait()
    subprocess.run("pkill -f 'sine=f=440'", shell=True)
    log("recorded:", stopped)

    log("measuring flashes")
    flashes = flash_times(movie)
    log("measuring clicks")
    clicks = click_times(audio)
    offsets = []  # (file time, click less flash) for every flash with a click near it
    for f in flashes:  # flashes are a second apart: the nearest click within half of it
        i = bisect.bisect_left(clicks, f)
        c = min(clicks[max(0, i - 1):i + 1], key=lambda x: abs(x - f), default=None)
        if c is not None and abs(c - f) < 0.5:
            offsets.append((f, c - (f - 0.5 / FPS)))
    times = frame_times(movie)
    duration = times[-1] + 1 / FPS if times else 0
    gaps = [(round(a, 3), round(b - a, 3)) for a, b in zip(times, times[1:]) if b - a > 1.5 / FPS]
    window = 300
    head = [d for t, d in offsets if t < window] or [float("nan")]
    tail = [d for t, d in offsets if t > duration - window] or [float("nan")]
    ms = lambda x: round(x * 1000, 1)
    report = {
        "seconds": seconds, "pauses": [[k, extra] for k, extra in pauses],
        "stopped": stopped,
        "offset_ms": {"first_5_min_median": ms(statistics.median(head)),
                      "last_5_min_median": ms(statistics.median(tail)),
                      "change": ms(statistics.median(tail) - statistics.median(head)),
                      "min": ms(min(d for _, d in offsets)), "max": ms(max(d for _, d in offsets)),
                      "flashes": len(flashes), "paired": len(offsets),
                      "over_one_frame": sum(abs(d) > 1 / FPS for _, d in offsets)},
        "memory_mib": memory,
        "frames": {"written": len(times), "expected": round(duration * FPS),
                   "gaps": len(gaps), "gap_list": gaps[:20]},
        "cpu_ms_per_frame": round(cpu * 1000 / max(1, len(times)), 2),
        "load_before": load_before, "load_after": load_after,
    }
    print(json.dumps(report))


if __name__ == "__main__":
    main()
