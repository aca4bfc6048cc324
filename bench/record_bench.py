#!/usr/bin/env python3
"""Recording benchmark: orvik-capture record against ffmpeg (x11grab + libx264)
on the same virtual display, in the same run. Run by hand, not in CI.

Usage (BUILD defaults to build-bench at the top of the tree):
    bash scripts/build.sh BUILD    (or: cmake --build BUILD --target
                                    orvik-capture record_animator)
    python3 bench/record_bench.py [--build BUILD] [--seconds 20] [--rates 30,60]
                                  [--memory-seconds 60] [--memory-fps 60]
                                  [--skip still,memory,matched,threads]

It starts its own Xvfb at 1920x1080 (the extensions scripts/services.sh
enables) and, one program at a time:
  - motion: bench/record_animator repaints a full-screen window at twice the
    recording rate, every frame different everywhere (a textured picture
    scrolled sideways). For each rate, orvik-capture records
    {"output":...,"fps":N,"scale":1} for --seconds and is stopped with "stop"
    on stdin; ffmpeg records the same with
        -f x11grab -draw_mouse 0 -framerate N -video_size 1920x1080
        -c:v libx264 -preset P -b:v B -pix_fmt yuv420p -fps_mode passthrough
    and is stopped with "q" on stdin. P and B are what orvik's movie writer
    chooses (capture/platform/linux/writer_settings.cpp, bit rate
    max(4*W*H, 6000000)). -pix_fmt yuv420p is orvik's output format (ffmpeg
    would pick yuv444p for screen input); passthrough writes every grabbed
    frame once, so a frame x11grab could not grab in time is missing from
    the file as it is from orvik's. A third row, "ffmpeg-matched", also gives
    ffmpeg orvik's encoder options (no B-frames, no lookahead, slice threads,
    constant-rate rate control, keyframes every 2 s, fragmented file,
    area conversion from full-resolution chroma) to separate encoder
    settings from the rest of the pipeline.
    Every run also reports "others": cores kept busy on average by anything
    but the program, the X server and the animator (from /proc/stat), the
    measure of how quiet the machine was.
    Reported: frames in the file (ffprobe -count_frames) / (N x the file's
    duration), gaps (frame intervals missing between the file's first and
    last frame: frames dropped, whatever the start and end), CPU seconds of the process (user+sys from wait4) per written
    frame, the X server's CPU per written frame, and orvik / ffmpeg ratios.
  - still: the animator paints once and nothing changes; CPU seconds per
    second for both at 30 fps (total, and steady from 5 s to the end).
  - memory: --memory-seconds of motion at --memory-fps; ru_maxrss and the
    resident set sampled every second from /proc, at 10 s and at the end.
  - threads: one more 10 s motion run at the highest rate by orvik and by
    ffmpeg-matched, whose threads are named from one look at their stacks
    with gdb after the last CPU sample (neither names its threads), with
    each thread's CPU per written frame: where each program spends it.
The machine should be quiet: the load average before and after is printed.
"""
import argparse
import json
import re
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WIDTH, HEIGHT = 1920, 1080
TICK = os.sysconf("SC_CLK_TCK")


def x264_preset(width, height, fps):
    # As capture/platform/linux/media/writer_settings.hpp chooses it: the
    # same preset at every size and rate.
    del width, height, fps
    return "ultrafast"


def bit_rate(width, height):
    return max(4 * width * height, 6_000_000)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def process_cpu(pid):
    """User+sys seconds of a process (all its threads, live and ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (FileNotFoundError, ProcessLookupError):
        return None


def threads_cpu(pid):
    """{tid: CPU seconds} of a process's live threads."""
    result = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return result
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            result[int(tid)] = (int(fields[11]) + int(fields[12])) / TICK
        except (FileNotFoundError, ProcessLookupError):
            pass
    return result


def machine_busy():
    """CPU seconds all cores have spent busy since boot."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:9]]
    user, nice, system, _, _, irq, softirq, steal = fields
    return (user + nice + system + irq + softirq + steal) / TICK


# The animator of the moment: its CPU, like the X server's, is the
# benchmark's own and not other load on the machine.
HELPERS = set()


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


class Sampler(threading.Thread):
    """Every second: the process's CPU, resident set and per-thread CPU."""

    def __init__(self, pid, start):
        super().__init__(daemon=True)
        self.pid, self.start_time = pid, start
        self.samples = []  # (seconds since start, cpu, rss KiB, {tid: cpu})
        self.done = threading.Event()

    def take(self):
        cpu, rss, tasks = process_cpu(self.pid), resident_kib(self.pid), threads_cpu(self.pid)
        if cpu is not None and rss is not None:
            self.samples.append((time.monotonic() - self.start_time, cpu, rss, tasks))

    def run(self):
        n = 1
        while not self.done.wait(max(0.0, self.start_time + n - time.monotonic())):
            self.take()
            n += 1

    def at(self, seconds):
        """The sample nearest to a time."""
        return min(self.samples, key=lambda s: abs(s[0] - seconds)) if self.samples else None


class Run:
    """One recording by one program, started now and stopped after a time."""

    def __init__(self, name, command, stop_text, seconds, output, env, server_pid, fps=None,
                 label_threads=False):
        self.name, self.output = name, output
        server_before = process_cpu(server_pid)
        helpers = {pid: process_cpu(pid) for pid in HELPERS}
        machine_before = machine_busy()
        log = tempfile.TemporaryFile()
        start = time.monotonic()
        process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=log,
                                   stderr=subprocess.STDOUT)
        sampler = Sampler(process.pid, start)
        sampler.start()
        time.sleep(max(0.0, start + seconds - time.monotonic()))
        sampler.done.set()
        sampler.join()
        sampler.take()  # the last sample right before the stop
        self.thread_names = gdb_thread_names(process.pid) if label_threads else {}
        try:
            process.stdin.write(stop_text)
            process.stdin.close()
        except BrokenPipeError:
            pass
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        self.wall = time.monotonic() - start
        log.seek(0)
        self.log = log.read().decode(errors="replace")
        if process.returncode != 0:
            raise RuntimeError(f"{name} exited with {process.returncode}:\n{self.log}")
        self.cpu = usage.ru_utime + usage.ru_stime
        self.maxrss_kib = usage.ru_maxrss
        self.server_cpu = process_cpu(server_pid) - server_before
        helpers_cpu = sum(process_cpu(pid) - before for pid, before in helpers.items())
        # Cores kept busy by anything else on the machine, on average.
        self.others = max(0.0, machine_busy() - machine_before - self.cpu - self.server_cpu -
                          helpers_cpu) / self.wall
        self.sampler = sampler
        self.frames, self.duration = probe(output)
        self.gaps = gaps(output, fps) if fps else None

    def steady_cpu_per_second(self, after=5.0):
        """CPU seconds per second between `after` seconds and the last sample."""
        samples = self.sampler.samples
        first = self.sampler.at(after)
        last = samples[-1] if samples else None
        if not first or last[0] - first[0] < 1:
            return None
        return (last[1] - first[1]) / (last[0] - first[0])


def probe(path):
    """(frames, duration seconds) of the first video stream."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
         "stream=nb_read_frames,duration:format=duration", "-of", "json", path],
        capture_output=True, text=True, check=True)
    info = json.loads(result.stdout)
    stream = info["streams"][0]
    duration = stream.get("duration") or info["format"]["duration"]
    return int(stream["nb_read_frames"]), float(duration)


def gaps(path, fps):
    """Frame intervals missing between the file's first and last frame: the
    frames a recording dropped, whatever its start and end."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
         "-of", "csv=p=0", path], capture_output=True, text=True, check=True)
    times = sorted(float(t) for t in result.stdout.split() if t.strip() not in ("", "N/A"))
    if not times:
        return 0
    return max(0, round((times[-1] - times[0]) * fps) + 1 - len(times))


GDB_SCRIPT = r"""
import os
import gdb
for thread in gdb.selected_inferior().threads():
    thread.switch()
    frame, queue, names = gdb.newest_frame(), "", []
    while frame is not None:
        name = frame.name() or ""
        if name.startswith("platform::SerialQueue::run") and not queue:
            try:
                label = frame.read_var("this").dereference()["label_"]
                queue = label["_M_dataplus"]["_M_p"].string()
            except Exception:
                queue = "?"
        library = os.path.basename(gdb.solib_name(frame.pc()) or "")
        names.append(name + "@" + library)
        frame = frame.older()
    print("THREAD %d %s %s" % (thread.ptid[1], queue or "-", "|".join(names)))
"""


def gdb_thread_names(pid):
    """{tid: what the thread runs}, from one look at every thread's stack."""
    if not shutil.which("gdb"):
        return {}
    with tempfile.NamedTemporaryFile("w", suffix=".py") as script:
        script.write(GDB_SCRIPT)
        script.flush()
        result = subprocess.run(["gdb", "-batch", "-nx", "-p", str(pid), "-x", script.name],
                                capture_output=True, text=True)
    names = {}
    for line in result.stdout.splitlines():
        parts = line.split(" ", 3)
        if len(parts) == 4 and parts[0] == "THREAD":
            names[int(parts[1])] = thread_label(int(parts[1]) == pid, parts[2], parts[3])
    return names


def thread_label(main_thread, queue, stack):
    if main_thread:
        return "main"
    if queue != "-":
        return f"queue {queue}"
    if "ScreenCapture::run" in stack:
        return "screen capture thread"
    if "libx264" in stack:
        return "libx264 worker"
    if "readControlLine" in stack:
        return "control reader (stdin)"
    # Else the first library on the stack beyond the C and C++ runtimes.
    for frame in stack.split("|"):
        library = frame.rsplit("@", 1)[-1]
        if library and not re.match(r"(libc|libstdc\+\+|libpthread|ld-linux)", library):
            return "other, in " + re.sub(r"\.so.*", "", library)
    return "other"


def start_display(width=WIDTH, height=HEIGHT):
    for n in range(300, 400):
        if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
            display = f":{n}"
            break
    else:
        raise RuntimeError("no free display number")
    server = subprocess.Popen(
        ["Xvfb", display, "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp", "-noreset",
         "+extension", "Composite", "+extension", "DAMAGE", "+extension", "RANDR", "+extension",
         "XFIXES", "+extension", "RENDER", "+extension", "MIT-SHM"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, DISPLAY=display)
    for _ in range(100):
        if subprocess.run(["xdpyinfo"], env=env, capture_output=True).returncode == 0:
            return server, env
        if server.poll() is not None:
            break
        time.sleep(0.1)
    server.kill()
    raise RuntimeError(f"Xvfb did not start on {display}")


class Animator:
    def __init__(self, binary, rate, env, scene=None):
        self.process = subprocess.Popen([binary] + ([scene] if scene else []) + [str(rate)], env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        if self.process.stdout.readline().strip() != "ready":
            raise RuntimeError("record_animator did not start")
        HELPERS.add(self.process.pid)
        time.sleep(0.5)

    def stop(self):
        HELPERS.discard(self.process.pid)
        self.process.terminate()
        self.process.wait()


def orvik_command(capture, output, fps):
    return [capture, "record", json.dumps({"output": output, "fps": fps, "scale": 1})]


def ffmpeg_command(display, output, fps, matched=False):
    command = ["ffmpeg", "-y", "-v", "error", "-f", "x11grab", "-draw_mouse", "0", "-framerate",
               str(fps), "-video_size", f"{WIDTH}x{HEIGHT}", "-i", f"{display}+0,0",
               "-c:v", "libx264", "-preset", x264_preset(WIDTH, HEIGHT, fps), "-b:v",
               str(bit_rate(WIDTH, HEIGHT)), "-pix_fmt", "yuv420p", "-fps_mode", "passthrough"]
    if matched:
        command += ["-sws_flags", "area+full_chroma_inp", "-x264-params",
                    "bframes=0:rc-lookahead=0:sync-lookahead=0:scenecut=0:keyint=infinite:"
                    "sliced-threads=1:force-cfr=1",
                    "-forced-idr", "1", "-force_key_frames", "expr:gte(t,n_forced*2)",
                    "-movflags", "+frag_keyframe+empty_moov+default_base_moof"]
    return command + [output]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rates", default="30,60")
    parser.add_argument("--memory-seconds", type=float, default=60)
    parser.add_argument("--memory-fps", type=int, default=60)
    parser.add_argument("--skip", default="", help="comma-separated: still,memory,matched,threads")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    rates = [int(r) for r in args.rates.split(",")]
    capture = os.path.join(args.build, "capture", "orvik-capture")
    animator = os.path.join(args.build, "bench", "record_animator")
    for path in (capture, animator):
        if not os.access(path, os.X_OK):
            sys.exit(f"missing {path}: build it first")

    load_before = load_average()
    server, env = start_display()
    display = env["DISPLAY"]
    work = tempfile.mkdtemp(prefix="orvik-record-bench.")
    out = lambda name: os.path.join(work, name)
    motion, still, memory, threads = {}, {}, {}, None

    def orvik(fps, seconds, **options):
        return Run("orvik", orvik_command(capture, out("o.mov"), fps), b"stop\n", seconds,
                   out("o.mov"), env, server.pid, fps, **options)

    def ffmpeg(fps, seconds, matched=False, **options):
        return Run("ffmpeg-matched" if matched else "ffmpeg",
                   ffmpeg_command(display, out("f.mov"), fps, matched), b"q", seconds,
                   out("f.mov"), env, server.pid, fps, **options)

    try:
        for fps in rates:
            anim = Animator(animator, 2 * fps, env)
            try:
                motion[(fps, "orvik")] = orvik(fps, args.seconds)
                motion[(fps, "ffmpeg")] = ffmpeg(fps, args.seconds)
                if "matched" not in skip:
                    motion[(fps, "ffmpeg-matched")] = ffmpeg(fps, args.seconds, matched=True)
            finally:
                anim.stop()
        if "still" not in skip:
            anim = Animator(animator, "still", env)
            try:
                still["orvik"] = orvik(30, args.seconds)
                still["ffmpeg"] = ffmpeg(30, args.seconds)
            finally:
                anim.stop()
        if "memory" not in skip:
            anim = Animator(animator, 2 * args.memory_fps, env)
            try:
                memory["orvik"] = orvik(args.memory_fps, args.memory_seconds)
                memory["ffmpeg"] = ffmpeg(args.memory_fps, args.memory_seconds)
            finally:
                anim.stop()
        if "threads" not in skip:
            fps = max(rates)
            anim = Animator(animator, 2 * fps, env)
            try:
                threads = [orvik(fps, min(args.seconds, 10), label_threads=True),
                           ffmpeg(fps, min(args.seconds, 10), matched=True, label_threads=True)]
            finally:
                anim.stop()
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)
    load_after = load_average()

    print(f"Recording {WIDTH}x{HEIGHT} on Xvfb, {args.seconds:g} s per run, one program at a time; "
          f"load average before {load_before}, after {load_after}")
    print()
    print("motion  tool             preset     frames  expected  written  gaps  CPU s   "
          "CPU ms/frame  X ms/frame  others")
    for (fps, name), run in motion.items():
        expected = fps * run.duration
        print(f"{fps:3d} fps {name:16s} {x264_preset(WIDTH, HEIGHT, fps):9s} {run.frames:7d} "
              f"{expected:9.0f} {run.frames / expected:7.1%} {run.gaps:5d} {run.cpu:6.2f} "
              f"{1000 * run.cpu / run.frames:12.2f} {1000 * run.server_cpu / run.frames:11.2f} "
              f"{run.others:7.2f}")
    for fps in rates:
        o, f = motion[(fps, "orvik")], motion[(fps, "ffmpeg")]
        line = (f"{fps:3d} fps orvik / ffmpeg: written "
                f"{(o.frames / o.duration) / (f.frames / f.duration):.2f}, CPU per frame "
                f"{(o.cpu / o.frames) / (f.cpu / f.frames):.2f}")
        m = motion.get((fps, "ffmpeg-matched"))
        if m:
            line += (f"; against ffmpeg-matched: written "
                     f"{(o.frames / o.duration) / (m.frames / m.duration):.2f}, CPU per frame "
                     f"{(o.cpu / o.frames) / (m.cpu / m.frames):.2f}")
        print(line)
    if still:
        print()
        print("still (30 fps)  CPU s/s total  steady (5 s to end)  frames in file  others")
        for name, run in still.items():
            steady = run.steady_cpu_per_second()
            steady = f"{steady:.4f}" if steady is not None else "n/a"
            print(f"  {name:13s} {run.cpu / run.wall:13.4f} {steady:>20s} {run.frames:15d} "
                  f"{run.others:7.2f}")
        o, f = still["orvik"], still["ffmpeg"]
        print(f"  orvik / ffmpeg: {(o.cpu / o.wall) / (f.cpu / f.wall):.3f}")
    if memory:
        print()
        print(f"memory ({args.memory_seconds:g} s at {args.memory_fps} fps)  ru_maxrss MiB  "
              f"RSS 10 s  RSS end  end-10 s  written  others")
        for name, run in memory.items():
            ten, last = run.sampler.at(10), run.sampler.samples[-1]
            print(f"  {name:27s} {run.maxrss_kib / 1024:10.1f} {ten[2] / 1024:9.1f} "
                  f"{last[2] / 1024:8.1f} {(last[2] - ten[2]) / 1024:+9.1f} "
                  f"{run.frames / (args.memory_fps * run.duration):8.1%} {run.others:7.2f}")
        print("  RSS every 10 s (MiB), orvik: " + " ".join(
            f"{s[2] / 1024:.0f}" for s in memory["orvik"].sampler.samples if round(s[0]) % 10 == 0)
            + f" (one frame buffer is {WIDTH * HEIGHT * 4 / 2**20:.1f} MiB)")
        o, f = memory["orvik"], memory["ffmpeg"]
        print(f"  orvik / ffmpeg ru_maxrss: {o.maxrss_kib / f.maxrss_kib:.2f}")
    if threads:
        fps = max(rates)
        print()
        print(f"threads at {fps} fps, CPU ms per written frame (labels from one gdb look after "
              f"the last sample; the files miss the second gdb held the process)")
        for run in threads:
            last = run.sampler.samples[-1]
            by_label = {}
            for tid, cpu in sorted(last[3].items()):
                label = run.thread_names.get(tid, "unnamed")
                by_label.setdefault(label, []).append(cpu)
            print(f"  {run.name}: {1000 * run.cpu / run.frames:.2f} in all (wait4), "
                  f"{run.frames} frames, others {run.others:.2f}")
            for label, cpus in sorted(by_label.items(), key=lambda kv: -sum(kv[1])):
                count = f" x{len(cpus)}" if len(cpus) > 1 else ""
                print(f"    {1000 * sum(cpus) / run.frames:8.2f}  {label}{count}")


if __name__ == "__main__":
    main()
