"""CPU per written frame on a Wayland desktop: orvik-capture record against
GStreamer (pipewiresrc ! videoconvert ! x264enc) on the same screen-cast
portal stream, full motion and still screen, in the same run.

Run by bench/wayland_bench.sh inside the headless sway session, as the
session's uid (it needs the session bus and PipeWire), with /usr/bin/python3
(python3-dbus and python3-gi):
    wayland_bench.py ORVIK_CAPTURE OUTPUT_DIR [SECONDS] [FPS]

Both record the whole 1280x720 output at FPS (30) for SECONDS (20) and
SECONDS/4, twice each; a figure is the difference between the long and the
short run (start-up cancels out). GStreamer gets what orvik's movie writer
chooses: x264 preset ultrafast, 6 Mbit/s, I420, no B-frames, the same
portal settings (monitor, hidden cursor), its own portal session (one
consumer per session, as orvik's), the frames it is given (videorate drops
none: both write a frame per frame the compositor sends). Motion: swaymsg
changes the background colour every frame interval (each change is a frame
for both). Still: nothing changes; CPU seconds per second.
"""
import json
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
SCREENCAST = "org.freedesktop.portal.ScreenCast"
BIT_RATE_KBIT = 6000  # max(4 W H, 6 000 000) bit/s at 1280x720
PRESET = "ultrafast"  # kX264Preset in capture/platform/linux/media/writer_settings.hpp

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
cast = dbus.Interface(bus.get_object(PORTAL, PATH), SCREENCAST)
sender = bus.get_unique_name()[1:].replace(".", "_")
counter = 0


def request(method, *args, options):
    """Calls a portal method and waits for its Request's Response."""
    global counter
    counter += 1
    token = f"bench{counter}"
    path = f"/org/freedesktop/portal/desktop/request/{sender}/{token}"
    loop, answer = GLib.MainLoop(), {}

    def on_response(code, results):
        answer.update(code=int(code), results=results)
        loop.quit()

    match = bus.add_signal_receiver(on_response, "Response", "org.freedesktop.portal.Request",
                                    PORTAL, path)
    GLib.timeout_add_seconds(10, loop.quit)
    getattr(cast, method)(*args, dbus.Dictionary(dict(options, handle_token=token),
                                                  signature="sv"))
    loop.run()
    match.remove()
    if answer.get("code") != 0:
        raise SystemExit(f"{method}: response {answer.get('code', 'none')}")
    return answer["results"]


def portal_stream():
    """(session handle, PipeWire remote fd, node) of a new display cast."""
    session = request("CreateSession", options={"session_handle_token": f"s{counter}"})
    handle = dbus.ObjectPath(session["session_handle"])
    request("SelectSources", handle, options={"types": dbus.UInt32(1),
                                              "cursor_mode": dbus.UInt32(1)})
    started = request("Start", handle, "", options={})
    fd = cast.OpenPipeWireRemote(handle, dbus.Dictionary({}, signature="sv")).take()
    return handle, fd, int(started["streams"][0][0])


def frames_in(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                          "stream=nb_read_frames", "-of", "csv=p=0", path],
                         capture_output=True, text=True).stdout.split()
    return int(out[0]) if out and out[0].isdigit() else 0


def busy_cores():
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    return sum(fields) - fields[3] - fields[4], sum(fields)


def orvik(program, out, seconds, fps):
    path = f"{out}/orvik.mov"
    process = subprocess.Popen([program, "record", json.dumps(
        {"output": path, "fps": fps, "scale": 1})], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    process.stdin.write(b"stop\n")
    process.stdin.flush()
    _, _, usage = os.wait4(process.pid, 0)
    return usage.ru_utime + usage.ru_stime, frames_in(path)


def gstreamer(out, seconds, fps):
    path = f"{out}/gst.mp4"
    handle, fd, node = portal_stream()
    process = subprocess.Popen(
        ["gst-launch-1.0", "-q", "-e", "pipewiresrc", f"fd={fd}", f"path={node}",
         "always-copy=false", "!", f"video/x-raw,max-framerate={fps}/1", "!", "videoconvert", "!",
         "video/x-raw,format=I420", "!", "x264enc", f"speed-preset={PRESET}",
         f"bitrate={BIT_RATE_KBIT}", "bframes=0", "rc-lookahead=0", "sliced-threads=true",
         "key-int-max=0", "!", "mp4mux", "fragment-duration=2000", "!", "filesink",
         f"location={path}"], pass_fds=(fd,), stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    os.close(fd)
    time.sleep(seconds)
    process.send_signal(signal.SIGINT)
    _, _, usage = os.wait4(process.pid, 0)
    dbus.Interface(bus.get_object(PORTAL, handle), "org.freedesktop.portal.Session").Close()
    return usage.ru_utime + usage.ru_stime, frames_in(path)


def painter(stop, interval):
    colours = ["#ff0000", "#00ff00", "#0000ff", "#ffffff"]
    i = 0
    while not stop.wait(interval):
        subprocess.run(["swaymsg", "output", "HEADLESS-1", "bg", colours[i % 4], "solid_color"],
                       stdout=subprocess.DEVNULL)
        i += 1


def measure(run, seconds, motion, fps):
    """CPU per written frame (motion) or per second (still): long minus short run."""
    figures, frames = [], []
    for _ in range(2):
        results = []
        for length in (seconds / 4, seconds):
            stop = threading.Event()
            thread = threading.Thread(target=painter, args=(stop, 1 / fps)) if motion else None
            if thread:
                thread.start()
            results.append(run(length))
            stop.set()
            if thread:
                thread.join()
        (c1, f1), (c2, f2) = results
        frames.append(f2)
        if motion:
            figures.append((c2 - c1) / max(f2 - f1, 1))
        else:
            figures.append((c2 - c1) / (seconds - seconds / 4))
    return statistics.median(figures), statistics.median(frames)


def main():
    program, out = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 20
    fps = int(sys.argv[4]) if len(sys.argv) > 4 else 30
    busy0, total0 = busy_cores()
    load0 = os.getloadavg()[0]
    rows = {}
    for motion in (True, False):
        for name, run in (("orvik", lambda s: orvik(program, out, s, fps)),
                          ("gstreamer", lambda s: gstreamer(out, s, fps))):
            rows[(name, motion)] = measure(run, seconds, motion, fps)
    busy1, total1 = busy_cores()
    cores = os.cpu_count() * (busy1 - busy0) / max(total1 - total0, 1)
    print(f"1280x720 at {fps} fps, {seconds:.0f} s runs; load average {load0:.2f} -> "
          f"{os.getloadavg()[0]:.2f}; {cores:.2f} cores busy on average (everything)")
    for motion in (True, False):
        unit = "ms per written frame" if motion else "ms CPU per second"
        for name in ("orvik", "gstreamer"):
            figure, frames = rows[(name, motion)]
            print(f"{'motion' if motion else 'still '} {name:9} {figure * 1000:8.2f} {unit}"
                  f" ({frames} frames in the long run)")
        o, g = rows[("orvik", motion)][0], rows[("gstreamer", motion)][0]
        print(f"{'motion' if motion else 'still '} orvik / gstreamer = "
              f"{o / g if g > 0 else float('nan'):.2f}")


main()
