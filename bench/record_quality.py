#!/usr/bin/env python3
"""Recording quality per CPU: orvik-capture record against ffmpeg (x11grab +
libx264) on screen content people record, with every recorded frame compared
with the exact frame the screen showed. Run by hand, not in CI, on a quiet
machine (the "others" column near zero).

Usage (BUILD defaults to build-bench at the top of the tree):
    bash scripts/build.sh BUILD -DORVIK_BENCH=ON -- orvik-capture record_animator
    python3 bench/record_quality.py [--build BUILD] [--seconds 20]
        [--workloads terminal,document,windows,video,motion]
        [--sizes 1280x720,1920x1080,2560x1440] [--rates 30,60]
        [--tools orvik,ffmpeg-same,ffmpeg-defaults]
        [--presets P,...] [--tunes none,zerolatency,...] [--threads auto,1,2]
        [--json FILE] [--check] [--markdown FILE]
A quick look: --workloads terminal --sizes 1280x720 --rates 30 --seconds 5.

For each size an Xvfb of that size; for each workload, rate and tool,
bench/record_animator starts afresh (so every tool records the same frames),
plays the workload full-screen at twice the rate, and the tool records it for
--seconds; one program at a time, the analysis after the recording:
  - orvik: orvik-capture record {"output":...,"fps":N,"scale":1}, stopped
    with "stop" on standard input.
  - ffmpeg-same: x11grab + libx264 with the writer's choices
    (capture/platform/linux/media/): its preset (ultrafast at every size
    and rate), bit rate max(4*W*H, 6000000), no B-frames, no lookahead, sliced
    threads, constant-rate rate control, keyframes every 2 s, fragmented
    file, BT.709 limited-range conversion to yuv420p with chroma averaged
    over each 2x2 square of full-resolution colour, automatic
    thread count (libx264's default in libavcodec, which the writer keeps).
    --presets, --tunes (none: no -tune) and --threads (auto: -threads 0)
    give one ffmpeg-same run per combination: the guide for choosing the
    writer's options, since libx264 does the same work on the same options
    whatever program feeds it.
  - ffmpeg-defaults: x11grab + libx264's defaults (preset medium, automatic
    threads) at the same bit rate, bicubic BT.709 limited-range conversion.
Both ffmpeg rows write every grabbed frame once (-fps_mode passthrough), so a
frame grabbed late or not at all is missing from the file as from orvik's.

Workloads (bench/animator_*.cpp), each frame painted where it changed, inside
a server grab: terminal (commands typed at 15 characters/s, output bursts of
50 lines/s scrolling the screen), document (a viewer scrolling pages of text,
pictures and charts by almost half a screen, then pausing 2 s), windows (a
browser window dragged over a desktop of windows, 2 s moving, 0.6 s still),
video (a 30 frames/s landscape flight in a quarter of the screen), motion
(the whole screen scrolled sideways every frame). The corner code (below)
changes every frame, so no frame is idle for orvik: record_bench.py measures
the still screen.

Quality: frame n of a workload is a pure function of n (copies from pictures
made at start-up, and fills), and the animator stamps n in its top-left
corner as 2 x 12 squares of 16 pixels, black or white: 20 bits of n and 4
check bits. The corner of every recorded frame is read back (ffmpeg averages
each square); a frame whose check bits do not match is left out ("matched" is
the share kept). `record_animator render` paints the matched frames again in
memory, exactly as the X server did, and ffmpeg's ssim and psnr filters
compare each recorded frame with its own source converted to yuv420p (BT.709,
limited range, area averaging, exact rounding): SSIM "All" (mean over the
frames) and PSNR "average" (from the mean squared error), over all frames and
"2s+" over those showing source frames from 2 s after the first recorded one.
The first seconds differ between the tools: libx264's rate control starts
low, and the writer's warm-up frames (blank, before the recording) leave it
bits in hand. A frame shown late is compared with the frame it shows.

Reported per workload x size x rate x tool (and encoder variant): frames
written / expected (frames in the file over rate x the file's duration), gaps
(intervals missing between the first and last frame), CPU ms per written
frame (user + sys from wait4), the X server's CPU ms per written frame, SSIM,
PSNR, matched, and "others": cores kept busy on average by anything but the
tool, the X server and the animator (from /proc/stat). Then orvik / ffmpeg
CPU per frame and orvik - ffmpeg SSIM. --json writes every figure, with each
run's analysis time, to a file.

--check proves the method instead: ffmpeg records each workload losslessly
(libx264rgb at qp 0) and every recorded frame must equal, byte for byte, the
frame `record_animator render` paints for the number in its corner.
`record_animator check SCENE RATE W H COUNT` proves, in memory, that painting
only what a scene says changed gives the same frames as painting them whole.

Duration: each run takes --seconds, a few seconds of start-up and the
analysis (measured on a loaded 2-core machine: about 9 ms per recorded frame
at 1280x720, 20 at 1920x1080, so about 35 at 2560x1440); the default matrix
(5 workloads x 3 sizes x 2 rates x 3 tools = 90 runs of 20 s) takes about an
hour.

A quiet run for the README, in this order: --check --seconds 5 (the proof,
about 5 minutes); the default matrix with --json; then the encoder options,
    --tools orvik,ffmpeg-same,ffmpeg-defaults --workloads terminal,windows,video
    --presets ultrafast,superfast,veryfast,faster --tunes none,zerolatency
    --seconds 10 --json FILE
(180 runs, about an hour and ten minutes), whose rows that keep 100 % of the frames give the
best SSIM per CPU for each size and rate.
"""
import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import record_bench as rb
from host import processor
from record_bench import Animator, Run, bit_rate, x264_preset

WORKLOADS = ["terminal", "document", "windows", "video", "motion"]
SQUARE, COLUMNS, ROWS, NUMBER_BITS, CHECK_BITS = 16, 12, 2, 20, 4  # animator_scene.hpp
REFERENCE = "scale=out_color_matrix=bt709:out_range=tv:flags=area+accurate_rnd,format=yuv420p"
WRITER_X264 = ("bframes=0:rc-lookahead=0:sync-lookahead=0:scenecut=0:keyint=infinite:"
               "sliced-threads=1:force-cfr=1")


def code_check(n):
    check = 0
    for shift in range(0, NUMBER_BITS, CHECK_BITS):
        check ^= n >> shift
    return check & ((1 << CHECK_BITS) - 1)


def frame_numbers(path):
    """The number in each recorded frame's corner code, None where unreadable."""
    squares = COLUMNS * ROWS
    # Numbered timestamps: frames whose own times are too close for the output
    # are kept all the same, as in the quality pass.
    crop = (f"settb=1/25,setpts=N,crop={COLUMNS * SQUARE}:{ROWS * SQUARE}:0:0,"
            f"scale={COLUMNS}:{ROWS}:flags=area,format=gray")
    data = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf", crop, "-fps_mode",
                           "passthrough", "-f", "rawvideo", "-"],
                          capture_output=True, check=True).stdout
    numbers = []
    for at in range(0, len(data) - squares + 1, squares):
        bits = sum(1 << k for k, v in enumerate(data[at:at + squares]) if v > 128)
        n = bits & ((1 << NUMBER_BITS) - 1)
        numbers.append(n if bits >> NUMBER_BITS == code_check(n) else None)
    return numbers


def render_command(animator, workload, rate, size, numbers, work):
    listing = os.path.join(work, "frames.txt")
    with open(listing, "w") as f:
        f.write("".join(f"{n}\n" for n in numbers if n is not None))
    return [animator, "render", workload, str(rate), str(size[0]), str(size[1]), listing]


def raw_input(size):
    return ["-f", "rawvideo", "-pix_fmt", "bgr0", "-s", f"{size[0]}x{size[1]}", "-framerate", "25",
            "-i", "pipe:0"]


def quality(path, numbers, animator, workload, rate, size, work, settle):
    """SSIM All and PSNR average of the matched frames against their sources,
    over all of them and over those from `settle` source frames after the
    first (the encoder's rate control has settled by then)."""
    unmatched = [i for i, n in enumerate(numbers) if n is None]
    keep = f"select='not({'+'.join(f'eq(n,{i})' for i in unmatched)})'," if unmatched else ""
    ssim_log, psnr_log = os.path.join(work, "ssim.log"), os.path.join(work, "psnr.log")
    graph = (f"[0:v]{keep}settb=1/25,setpts=N[d];[1:v]{REFERENCE},settb=1/25,setpts=N[r];"
             f"[d]split[d1][d2];[r]split[r1][r2];[d1][r1]ssim=stats_file={ssim_log}[s];"
             f"[d2][r2]psnr=stats_file={psnr_log}[p]")
    render = subprocess.Popen(render_command(animator, workload, rate, size, numbers, work),
                              stdout=subprocess.PIPE)
    result = subprocess.run(
        ["ffmpeg", "-nostats", "-v", "error", "-i", path] + raw_input(size) +
        ["-filter_complex", graph, "-map", "[s]", "-fps_mode", "passthrough", "-f", "null", "-",
         "-map", "[p]", "-fps_mode", "passthrough", "-f", "null", "-"],
        stdin=render.stdout, capture_output=True, text=True)
    render.stdout.close()
    render.wait()
    if result.returncode != 0 or render.returncode != 0:
        raise RuntimeError(f"quality of {path} not measured:\n{result.stderr[-2000:]}")
    matched = [n for n in numbers if n is not None]
    ssim = [float(re.search(r"All:([0-9.]+)", line).group(1)) for line in open(ssim_log)]
    mse = [float(re.search(r"mse_avg:([0-9.]+)", line).group(1)) for line in open(psnr_log)]
    if not (len(matched) == len(ssim) == len(mse)):
        raise RuntimeError(f"{path}: {len(matched)} frames matched, {len(ssim)} compared")
    late = [i for i, n in enumerate(matched) if n >= matched[0] + settle] or [len(matched) - 1]

    def psnr(values):
        mean = sum(values) / len(values)
        return 10 * math.log10(255 ** 2 / mean) if mean > 0 else float("inf")

    return {"ssim": sum(ssim) / len(ssim), "psnr": psnr(mse),
            "ssim_settled": sum(ssim[i] for i in late) / len(late),
            "psnr_settled": psnr([mse[i] for i in late])}


def frame_hashes(command, stdin=None):
    out = subprocess.run(command + ["-vf", "settb=1/25,setpts=N", "-pix_fmt", "bgr24", "-f",
                                    "framemd5", "-"], stdin=stdin, capture_output=True, text=True,
                         check=True).stdout
    return [line.rsplit(",", 1)[1].strip() for line in out.splitlines()
            if line and not line.startswith("#")]


def check_exact(path, numbers, animator, workload, rate, size, work):
    """Frames of a lossless recording that differ from their regenerated source."""
    matched = [i for i, n in enumerate(numbers) if n is not None]
    recorded = frame_hashes(["ffmpeg", "-v", "error", "-i", path])
    render = subprocess.Popen(render_command(animator, workload, rate, size, numbers, work),
                              stdout=subprocess.PIPE)
    sources = frame_hashes(["ffmpeg", "-v", "error"] + raw_input(size), stdin=render.stdout)
    render.stdout.close()
    render.wait()
    if len(sources) != len(matched):
        raise RuntimeError(f"{path}: {len(matched)} frames matched, {len(sources)} rendered")
    return sum(recorded[i] != source for i, source in zip(matched, sources))


def encoders(tool, size, fps, args):
    """The (preset, tune, threads) variants a tool runs with."""
    if tool == "orvik":
        return [(x264_preset(*size, fps), "none", "auto")]
    if tool == "ffmpeg-defaults":
        return [("medium", "none", "auto")]
    if tool == "lossless":
        return [("rgb-qp0", "none", "auto")]
    split = lambda text: [v for v in text.split(",") if v]
    return [(p, t, n) for p in split(args.presets) or [x264_preset(*size, fps)]
            for t in split(args.tunes) for n in split(args.threads)]


def ffmpeg_command(display, size, fps, output, tool, encoder):
    width, height = size
    preset, tune, threads = encoder
    command = ["ffmpeg", "-y", "-v", "error", "-f", "x11grab", "-draw_mouse", "0", "-framerate",
               str(fps), "-video_size", f"{width}x{height}", "-i", f"{display}+0,0",
               "-fps_mode", "passthrough"]
    if tool == "lossless":
        return command + ["-c:v", "libx264rgb", "-qp", "0", "-preset", "ultrafast", "-pix_fmt",
                          "bgr24", output]
    flags = "area+full_chroma_inp" if tool == "ffmpeg-same" else "bicubic"
    command += ["-vf", f"scale=out_color_matrix=bt709:out_range=tv:flags={flags},format=yuv420p",
                "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709",
                "-color_range", "tv", "-c:v", "libx264", "-b:v", str(bit_rate(width, height))]
    if tool == "ffmpeg-same":
        command += ["-preset", preset, "-threads", "0" if threads == "auto" else threads,
                    "-x264-params", WRITER_X264, "-forced-idr", "1", "-force_key_frames",
                    "expr:gte(t,n_forced*2)", "-movflags",
                    "+frag_keyframe+empty_moov+default_base_moof"]
        command += ["-tune", tune] if tune != "none" else []
    return command + [output]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(rb.ROOT, "build-bench"))
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--sizes", default="1280x720,1920x1080,2560x1440")
    parser.add_argument("--rates", default="30,60")
    parser.add_argument("--tools", default="orvik,ffmpeg-same,ffmpeg-defaults")
    parser.add_argument("--presets", default="", help="ffmpeg-same presets (default: the writer's)")
    parser.add_argument("--tunes", default="none", help="ffmpeg-same tunes (none: no tune)")
    parser.add_argument("--threads", default="auto", help="ffmpeg-same threads (auto: 0)")
    parser.add_argument("--json", help="write every figure to this file")
    parser.add_argument("--check", action="store_true", help="prove the method losslessly")
    parser.add_argument("--markdown", help="print a --json file's figures as README rows, and stop")
    args = parser.parse_args()
    if args.markdown:
        with open(args.markdown) as f:
            print_markdown(json.load(f)["runs"])
        return
    split = lambda text: [v for v in text.split(",") if v]
    workloads, tools = split(args.workloads), ["lossless"] if args.check else split(args.tools)
    sizes = [tuple(int(v) for v in s.split("x")) for s in split(args.sizes)]
    rates = [int(r) for r in split(args.rates)]
    paths = {"capture": os.path.join(args.build, "capture", "orvik-capture"),
             "animator": os.path.join(args.build, "bench", "record_animator")}
    for path in paths.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"missing {path}: build it first")
    load_before = rb.load_average()
    work = tempfile.mkdtemp(prefix="orvik-record-quality.")
    rows = []
    try:
        for size in sizes:
            server, env = rb.start_display(*size)
            try:
                for workload, fps, tool in ((w, r, t) for w in workloads for r in rates
                                            for t in tools):
                    for encoder in encoders(tool, size, fps, args):
                        rows.append(measure(args, tool, encoder, workload, size, fps, paths,
                                            env, server, work))
                        print_row(rows[-1])
            finally:
                server.terminate()
                server.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    load_after = rb.load_average()
    print(f"\nload average before {load_before}, after {load_after}; {processor()}")
    if not args.check:
        print_ratios(rows)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"load_before": load_before, "load_after": load_after, "runs": rows}, f,
                      indent=1)


def measure(args, tool, encoder, workload, size, fps, paths, env, server, work):
    output = os.path.join(work, "lossless.mkv" if tool == "lossless" else f"{tool}.mov")
    if tool == "orvik":
        command = [paths["capture"], "record",
                   json.dumps({"output": output, "fps": fps, "scale": 1})]
        stop = b"stop\n"
    else:
        command = ffmpeg_command(env["DISPLAY"], size, fps, output, tool, encoder)
        stop = b"q"
    # The animator starts afresh for each run, so that every tool records the
    # same frames, and stops before the analysis.
    anim = Animator(paths["animator"], 2 * fps, env, workload)
    try:
        run = Run(tool, command, stop, args.seconds, output, env, server.pid, fps)
    finally:
        anim.stop()
    numbers = frame_numbers(output)
    row = {"workload": workload, "size": f"{size[0]}x{size[1]}", "fps": fps, "tool": tool,
           "preset": encoder[0], "tune": encoder[1], "threads": encoder[2],
           "frames": run.frames, "expected": fps * run.duration, "gaps": run.gaps,
           "cpu_ms": 1000 * run.cpu / run.frames, "x_ms": 1000 * run.server_cpu / run.frames,
           "others": run.others, "matched": sum(n is not None for n in numbers)}
    started = time.monotonic()
    source = (paths["animator"], workload, 2 * fps, size, work)
    if tool == "lossless":
        row["differing"] = check_exact(output, numbers, *source)
    else:
        row.update(quality(output, numbers, *source, settle=2 * 2 * fps))
    row["analysis_s"] = time.monotonic() - started
    os.remove(output)
    return row


HEADER = ("workload  size       fps tool            preset    tune        thr  written  gaps "
          "CPU ms/f  X ms/f    SSIM    PSNR  SSIM 2s+ PSNR 2s+ matched  others")


def print_row(r):
    if not hasattr(print_row, "started"):
        print(HEADER)
        print_row.started = True
    if "differing" in r:
        quality_text = f"{'frames differing: ' + str(r['differing']):>34s}"
    else:
        quality_text = (f"{r['ssim']:.5f} {r['psnr']:7.2f}  {r['ssim_settled']:.5f} "
                        f"{r['psnr_settled']:7.2f}")
    print(f"{r['workload']:9s} {r['size']:10s} {r['fps']:3d} {r['tool']:15s} {r['preset']:9s} "
          f"{r['tune']:11s} {r['threads']:4s} {r['frames'] / r['expected']:6.1%} {r['gaps']:5d} {r['cpu_ms']:8.2f} "
          f"{r['x_ms']:7.2f} {quality_text} {r['matched'] / r['frames']:7.1%} {r['others']:6.2f}",
          flush=True)


def print_ratios(rows):
    print("\norvik / ffmpeg CPU per frame, orvik - ffmpeg SSIM (all frames, from 2 s)")
    for o in (r for r in rows if r["tool"] == "orvik"):
        line = f"{o['workload']:9s} {o['size']:10s} {o['fps']:3d}"
        for r in rows:
            if (r["tool"] != "orvik" and r["workload"] == o["workload"] and r["size"] == o["size"]
                    and r["fps"] == o["fps"]):
                line += (f"  {r['tool']} {r['preset']}/{r['tune']}/{r['threads']}: CPU "
                         f"{o['cpu_ms'] / r['cpu_ms']:.2f}, SSIM {o['ssim'] - r['ssim']:+.4f} "
                         f"{o['ssim_settled'] - r['ssim_settled']:+.4f}")
        print(line)


def print_markdown(rows):
    """orvik's rows beside both ffmpeg rows of the same workload, size and rate."""
    def peer(o, tool):
        return next(r for r in rows if r["tool"] == tool and
                    all(r[k] == o[k] for k in ("workload", "size", "fps")))
    for o in (r for r in rows if r["tool"] == "orvik"):
        same, defaults = peer(o, "ffmpeg-same"), peer(o, "ffmpeg-defaults")
        print(f"| {o['workload']} | {o['size']} | {o['fps']} | {o['preset']} "
              f"| {o['frames'] / o['expected']:.1%} | {o['cpu_ms']:.2f} "
              f"| {o['cpu_ms'] / same['cpu_ms']:.2f} | {o['cpu_ms'] / defaults['cpu_ms']:.2f} "
              f"| {o['ssim']:.5f} | {o['ssim'] - same['ssim']:+.5f} "
              f"| {o['ssim'] - defaults['ssim']:+.5f} | {o['psnr']:.2f} | {o['others']:.2f} |")


if __name__ == "__main__":
    main()
