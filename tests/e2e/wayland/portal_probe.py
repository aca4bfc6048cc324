#!/usr/bin/env python3
"""Proves a Wayland test session delivers screen-cast frames through the
portal: CreateSession, SelectSources (monitor, persist_mode 2), Start,
OpenPipeWireRemote, then frames through PipeWire while the background
changes colour. Runs twice, the second time with the first run's restore
token, and once with a token the portal never issued.

usage (as the session's uid): portal_probe.py PW_FRAMES_BINARY
Prints what it learns; exits non-zero when a step fails or a colour is
missing from the frames."""
import os
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
# Centre pixel in BGRx byte order for each background colour.
COLOURS = {"#ff0000": "0000ff", "#00ff00": "00ff00", "#0000ff": "ff0000"}

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = bus.get_object(PORTAL, PATH)
cast = dbus.Interface(portal, SCREENCAST)
sender = bus.get_unique_name()[1:].replace(".", "_")
counter = 0


def request(method, *args, options):
    """Calls a portal method and waits for its Request's Response."""
    global counter
    counter += 1
    token = f"orvik{counter}"
    options = dict(options, handle_token=token)
    path = f"/org/freedesktop/portal/desktop/request/{sender}/{token}"
    loop = GLib.MainLoop()
    answer = {}

    def on_response(code, results):
        answer.update(code=int(code), results=results)
        loop.quit()

    match = bus.add_signal_receiver(on_response, "Response", "org.freedesktop.portal.Request",
                                    PORTAL, path)
    GLib.timeout_add_seconds(10, loop.quit)
    getattr(cast, method)(*args, dbus.Dictionary(options, signature="sv"))
    loop.run()
    match.remove()
    if answer.get("code") != 0:
        raise SystemExit(f"{method}: response {answer.get('code', 'none (timeout)')}")
    return answer["results"]


def animate(stop):
    """Cycles the background colour until told to stop."""
    while not stop.is_set():
        for colour in COLOURS:
            subprocess.run(["swaymsg", "output", "HEADLESS-1", "bg", colour, "solid_color"],
                           check=True, stdout=subprocess.DEVNULL)
            if stop.wait(0.25):
                return


def frames_of(pw_frames, fd, node, want, seconds):
    """Runs the PipeWire consumer on the remote; returns its lines and frames."""
    out = subprocess.run([pw_frames, str(fd), str(node), str(want), str(seconds)],
                         pass_fds=(fd,), capture_output=True, text=True)
    if out.stderr.strip():
        print("pw stderr:", out.stderr.strip()[:300])
    lines = out.stdout.splitlines()
    return out.returncode, lines, [dict(kv.split("=", 1) for kv in line.split())
                                   for line in lines if line.startswith("frame=")]


def run(pw_frames, restore_token=None):
    t0 = time.monotonic()
    counter_before = counter
    session = request("CreateSession", options={"session_handle_token": f"orvik_s{counter_before}"})
    handle = session["session_handle"]
    options = {"types": dbus.UInt32(1), "cursor_mode": dbus.UInt32(2),
               "persist_mode": dbus.UInt32(2)}
    if restore_token:
        options["restore_token"] = restore_token
    request("SelectSources", dbus.ObjectPath(handle), options=options)
    started = request("Start", dbus.ObjectPath(handle), "", options={})
    handshake_ms = (time.monotonic() - t0) * 1000
    streams = [(int(node), {str(k): v for k, v in props.items()})
               for node, props in started["streams"]]
    print(f"start: {handshake_ms:.0f} ms; restore_token={started.get('restore_token')!s}")
    for node, props in streams:
        print(f"stream: node={node} " + " ".join(f"{k}={tuple(v) if isinstance(v, dbus.Struct) else v}"
                                                 for k, v in sorted(props.items())))
    fd = cast.OpenPipeWireRemote(dbus.ObjectPath(handle), dbus.Dictionary({}, signature="sv")).take()

    # A still screen: at most one frame (the first), then nothing.
    _, _, still = frames_of(pw_frames, fd, streams[0][0], 100, 2)
    print(f"still screen: {len(still)} frame(s) in 2 s")

    stop = threading.Event()
    painter = threading.Thread(target=animate, args=(stop,))
    painter.start()
    t1 = time.monotonic()
    status, lines, frames = frames_of(pw_frames, fd, streams[0][0], 12, 10)
    stop.set()
    painter.join()
    # Our copy of the remote keeps the connection (and a stale consumer
    # node) alive until closed.
    os.close(fd)
    for line in lines:
        if not line.startswith("frame=") or line in lines[-2:] or "frame=0 " in line:
            print("pw:", line)
    seen = {c for c, bgrx in COLOURS.items() if any(f.get("centre", "").startswith(bgrx)
                                                      for f in frames)}
    print(f"frames: {len(frames)} in {(time.monotonic() - t1) * 1000:.0f} ms;"
          f" colours seen {sorted(seen)}")
    dbus.Interface(bus.get_object(PORTAL, handle), "org.freedesktop.portal.Session").Close()
    if status != 0 or len(still) > 1 or seen != set(COLOURS):
        raise SystemExit("frames missing or wrong")
    return started.get("restore_token")


def main():
    props = dbus.Interface(portal, "org.freedesktop.DBus.Properties")
    print("portal: version={} source_types={} cursor_modes={}".format(
        *(int(props.Get(SCREENCAST, p)) for p in
          ("version", "AvailableSourceTypes", "AvailableCursorModes"))))
    token = run(sys.argv[1])
    print("-- again with the restore token")
    second = run(sys.argv[1], token)
    print(f"token reused: {second == token}")
    print("-- with a token the portal never issued")
    run(sys.argv[1], "00000000-0000-0000-0000-000000000000")


if __name__ == "__main__":
    main()
