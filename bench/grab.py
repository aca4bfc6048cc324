"""CPU per grabbed frame: the capture tool's X11 grab path against ffmpeg's
x11grab, on the same virtual display in the same run.

Usage: grab.py GRAB_BENCH [SIZE ...]     (sizes like 1920x1080, the default
                                          1920x1080 and 3840x2160)
For every size it starts an Xvfb of that size with a few windows, grabs the
whole display at its own size with both (and, for reference only, the tool's
scaled and composed paths), and reports the CPU time per frame of the
grabbing process and of the X server. Start-up costs cancel out: every
figure is the difference between a long and a short run, divided by the
difference in frames.
"""
import os
import statistics
import subprocess
import sys
import time

BENCH = None


def free_display():
    for n in range(200, 260):
        if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
            return f":{n}"
    raise RuntimeError("no free display number")


def server_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measured(command, env, server):
    """(client CPU, server CPU) seconds of one run of the command."""
    before = server_cpu(server)
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise RuntimeError(f"{command[0]} failed: {process.stderr.read().decode()}")
    return usage.ru_utime + usage.ru_stime, server_cpu(server) - before


def per_frame(make_command, env, server, short, long, repeats=3):
    clients, servers = [], []
    for _ in range(repeats):
        c1, s1 = measured(make_command(short), env, server)
        c2, s2 = measured(make_command(long), env, server)
        clients.append((c2 - c1) / (long - short))
        servers.append((s2 - s1) / (long - short))
    return statistics.median(clients), statistics.median(servers)


def bench(size):
    width, height = map(int, size.split("x"))
    display = free_display()
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", f"{size}x24", "-nolisten", "tcp",
                             "-noreset", "+extension", "Composite", "+extension", "DAMAGE",
                             "+extension", "RANDR", "+extension", "XFIXES", "+extension",
                             "RENDER", "+extension", "MIT-SHM"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, DISPLAY=display)
    windows = []
    try:
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=env, capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        for i, colour in enumerate(("red", "green", "blue")):
            windows.append(subprocess.Popen(
                ["xlogo", "-geometry", f"{width // 3}x{height // 3}+{i * width // 5}+{i * height // 5}",
                 "-bg", colour], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(1)
        pixels = width * height
        short, long = (20, 220) if pixels <= 2_100_000 else (10, 70)

        ffmpeg = lambda n: ["ffmpeg", "-nostdin", "-v", "error", "-f", "x11grab", "-draw_mouse", "0",
                            "-framerate", "1000", "-video_size", size, "-i", f"{display}+0,0",
                            "-frames:v", str(n), "-f", "null", "-"]
        ours = lambda mode: (lambda n: [BENCH, str(n), mode])
        rows = [("ffmpeg x11grab", per_frame(ffmpeg, env, xvfb.pid, short, long))]
        for mode in ("native", "shared", "half", "exclude"):
            rows.append((f"orvik {mode}", per_frame(ours(mode), env, xvfb.pid, short, long)))
        ref_client, ref_server = rows[0][1]
        print(f"\n{size}: CPU per frame in milliseconds (client / X server / total), "
              f"and total relative to ffmpeg")
        for name, (client, server) in rows:
            total = client + server
            print(f"  {name:16s} {client * 1e3:7.2f} / {server * 1e3:7.2f} / {total * 1e3:7.2f}"
                  f"   x{total / (ref_client + ref_server):.2f}"
                  f"   (client alone x{client / ref_client:.2f})")
    finally:
        for w in windows:
            w.terminate()
            w.wait()
        xvfb.terminate()
        xvfb.wait()


if __name__ == "__main__":
    BENCH = os.path.abspath(sys.argv[1])
    for size in sys.argv[2:] or ["1920x1080", "3840x2160"]:
        bench(size)
