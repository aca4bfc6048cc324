"""The capture tool's X11 side on a virtual display of its own: `check`,
`apps` and `screenshot` against real windows of known sizes and colours.

Usage: x11_capture_test.py ORVIK_CAPTURE
Needs Xvfb, xlogo, xsetroot, xprop, xdotool and ImageMagick's convert.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

CAPTURE = None
ENV = None
ROOT_BG = (0x20, 0x40, 0x60)
RED, GREEN, BLUE = (255, 0, 0), (0, 255, 0), (0, 0, 255)


def free_display():
    for n in range(150, 200):
        if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
            return f":{n}"
    raise RuntimeError("no free display number")


def run(*args, env=None):
    """Runs the tool, returns (exit status, events, standard error)."""
    out = subprocess.run([CAPTURE, *args], capture_output=True, text=True, timeout=30,
                         env=env or ENV)
    events = [json.loads(line) for line in out.stdout.splitlines()]
    assert out.stdout == "" or out.stdout.endswith("\n")
    return out.returncode, events, out.stderr


def x(*args):
    return subprocess.run(list(args), capture_output=True, text=True, env=ENV, check=True).stdout


class Logo:
    """An xlogo window of a known size and colour (logo drawn in the same colour)."""

    def __init__(self, name, geometry, colour="red", map_it=True):
        name = "orvik-" + name
        self.process = subprocess.Popen(
            ["xlogo", "-name", name, "-geometry", geometry, "-bg", colour, "-fg", colour, "-bw", "0"],
            env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.process.pid
        self.window = int(x("xdotool", "search", "--sync", "--classname", f"^{name}$").split()[0])
        if not map_it:
            x("xdotool", "windowunmap", "--sync", str(self.window))

    def set_property(self, name, form, value):
        x("xprop", "-id", str(self.window), "-f", name, form, "-set", name, value)

    def close(self):
        self.process.terminate()
        self.process.wait()


def pixels(path):
    """(width, height, rows of RGB tuples) of a PNG file."""
    size = x("identify", "-format", "%w %h", path).split()
    w, h = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", path, "-depth", "8", "rgba:-"], capture_output=True,
                         check=True).stdout
    assert len(raw) == w * h * 4
    def at(px, py):
        i = (py * w + px) * 4
        return tuple(raw[i:i + 3]), raw[i + 3]
    return w, h, at


class OwnDisplay(unittest.TestCase):
    """A virtual display of the suite's own, with a plain background."""
    window_manager = None

    @classmethod
    def setUpClass(cls):
        global ENV
        cls.dir = tempfile.mkdtemp(prefix="orvik-x11-")
        display = free_display()
        cls.xvfb = subprocess.Popen(
            ["Xvfb", display, "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset",
             "+extension", "Composite", "+extension", "DAMAGE", "+extension", "RANDR",
             "+extension", "XFIXES", "+extension", "RENDER", "+extension", "MIT-SHM"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ENV = dict(os.environ, DISPLAY=display)
        cls.addClassCleanup(cls.stop_display)
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=ENV, capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        x("xsetroot", "-solid", "#%02x%02x%02x" % ROOT_BG)
        cls.wm = None
        if cls.window_manager:
            cls.wm = subprocess.Popen(cls.window_manager, env=ENV, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            for _ in range(100):
                if "_NET_SUPPORTING_WM_CHECK(WINDOW)" in x("xprop", "-root"):
                    break
                time.sleep(0.1)

    @classmethod
    def stop_display(cls):
        if cls.wm:
            cls.wm.terminate()
            cls.wm.wait()
        cls.xvfb.terminate()
        cls.xvfb.wait()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def logo(self, *args, **kwargs):
        w = Logo(*args, **kwargs)
        self.addCleanup(w.close)
        return w

    def shoot(self, job, name="shot.png"):
        path = os.path.join(self.dir, name)
        if os.path.exists(path):
            os.remove(path)
        status, events, err = run("screenshot", json.dumps(dict(job, output=path)))
        self.assertEqual(err, "")
        self.assertEqual(status, 0, events)
        self.assertEqual(events, [{"event": "screenshot", "width": events[0]["width"],
                                   "height": events[0]["height"], "output": path}])
        w, h, at = pixels(path)
        self.assertEqual((w, h), (events[0]["width"], events[0]["height"]))
        return w, h, at

    def refused(self, job, message):
        status, events, err = run("screenshot", json.dumps(job))
        self.assertEqual((status, events, err), (2, [{"event": "error", "message": message}], ""))



class X11Capture(OwnDisplay):
    def test_check(self):
        self.assertEqual(run("check"), (0, [{"event": "check", "permission": True}], ""))
        nowhere = dict(ENV, DISPLAY=":7391")
        status, events, err = run("check", env=nowhere)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(len(events), 1)
        self.assertEqual(events[0]["permission"], False)
        self.assertIn(":7391", events[0]["message"])
        unset = {k: v for k, v in ENV.items() if k != "DISPLAY"}
        status, events, err = run("check", env=unset)
        self.assertEqual((status, err, events[0]["permission"]), (0, "", False))
        self.assertTrue(events[0]["message"])
        # apps without a display: the description as an error, status 0.
        status, events, err = run("apps", env=nowhere)
        self.assertEqual((status, err, len(events), events[0]["event"]), (0, "", 1, "error"))
        self.assertEqual(events[0]["message"], run("check", env=nowhere)[1][0]["message"])

    def test_apps(self):
        exact = self.logo("exact", "120x80+0+0")
        self.logo("narrow", "119x80+0+100")
        self.logo("low", "120x79+0+200")
        hidden = self.logo("hidden", "300x300+0+0", map_it=False)
        # Minimised: unmapped, in the iconic state a window manager records.
        iconic = self.logo("iconic", "300x300+0+0", map_it=False)
        iconic.set_property("WM_STATE", "32c", "3")
        dock = self.logo("dock", "300x300+300+0")
        dock.set_property("_NET_WM_WINDOW_TYPE", "32a", "_NET_WM_WINDOW_TYPE_DOCK")
        offscreen = self.logo("offscreen", "200x200-900-900")
        gtk = self.logo("gtk", "200x200+200+200")
        gtk.set_property("_GTK_APPLICATION_ID", "8u", "org.example.Logo")
        # Three windows of one application, told by their _NET_WM_PID.
        first = self.logo("first", "150x150+100+100")
        for n in ("second", "third"):
            self.logo(n, "150x150+120+120").set_property("_NET_WM_PID", "32c", str(first.pid))
        first.set_property("_NET_WM_PID", "32c", str(first.pid))

        status, events, err = run("apps")
        self.assertEqual((status, err, len(events)), (0, "", 1))
        self.assertEqual(events[0]["event"], "apps")
        listed = {a["pid"]: a for a in events[0]["apps"]}
        self.assertEqual(len(listed), len(events[0]["apps"]), "one entry per application")
        self.assertEqual(set(listed), {exact.pid, offscreen.pid, gtk.pid, first.pid, iconic.pid})
        self.assertEqual(listed[exact.pid], {"pid": exact.pid, "bundleId": "XLogo", "name": "XLogo"})
        self.assertEqual(listed[gtk.pid]["bundleId"], "org.example.Logo")
        self.assertNotIn(hidden.pid, listed)

    def test_screenshots_show_what_was_drawn(self):
        red = self.logo("red", "200x150+100+100", "red")
        green = self.logo("green", "200x150+200+150", "green1")
        time.sleep(0.3)

        w, h, at = self.shoot({"scale": 1})
        self.assertEqual((w, h), (640, 480))
        self.assertEqual(at(50, 50), (ROOT_BG, 255))
        self.assertEqual(at(150, 120), (RED, 255))
        self.assertEqual(at(250, 200), (GREEN, 255))

        w, h, at = self.shoot({})  # twice the size in points by default
        self.assertEqual((w, h), (1280, 960))
        self.assertEqual(at(500, 400)[0], GREEN)
        self.assertEqual(at(300, 240)[0], RED)

        # An area: (160, 120) to (480, 360) of the display.
        w, h, at = self.shoot({"scale": 1, "area": [0.25, 0.25, 0.5, 0.5], "maxWidth": 100})
        self.assertEqual((w, h), (320, 240))
        self.assertEqual(at(0, 0)[0], RED)
        self.assertEqual(at(90, 80)[0], GREEN)
        self.assertEqual(at(319, 239)[0], ROOT_BG)
        w, h, at = self.shoot({"scale": 0.5, "area": [0.25, 0.25, 0.5, 0.5]})
        self.assertEqual((w, h), (160, 120))
        self.assertEqual(at(10, 5)[0], RED)
        self.assertEqual(at(60, 50)[0], GREEN)

        # The red window, half covered by the green one, whole.
        w, h, at = self.shoot({"window": red.window, "scale": 1, "area": [9]})
        self.assertEqual((w, h), (200, 150))
        for px, py in ((0, 0), (150, 100), (199, 149), (120, 60)):
            self.assertEqual(at(px, py), (RED, 255), (px, py))

        # The green application left out: the red window and the background
        # beneath it show instead.
        w, h, at = self.shoot({"scale": 1, "excludePids": [green.pid, 999999]})
        self.assertEqual(at(250, 200)[0], RED)
        self.assertEqual(at(350, 280)[0], ROOT_BG)
        self.assertEqual(at(150, 120)[0], RED)
        # ... also at another size, for an area.
        w, h, at = self.shoot({"scale": 2, "area": [0.25, 0.25, 0.5, 0.5], "excludePids": [green.pid]})
        self.assertEqual((w, h), (640, 480))
        self.assertEqual(at(180, 160)[0], RED)
        self.assertEqual(at(500, 400)[0], ROOT_BG)

        # The pointer, only when asked.
        x("xdotool", "mousemove", "50", "400")
        time.sleep(0.1)
        _, _, plain = self.shoot({"scale": 1, "area": [0, 0.75, 0.25, 0.25]})
        _, _, cursor = self.shoot({"scale": 1, "area": [0, 0.75, 0.25, 0.25], "showsCursor": True})
        differing = sum(plain(px, py) != cursor(px, py) for px in range(30, 80) for py in range(20, 70))
        self.assertGreater(differing, 10)
        self.assertTrue(all(plain(px, py) == (ROOT_BG, 255) for px in range(30, 80) for py in range(20, 70)))

    def test_desktop_scale_from_xft_dpi(self):
        subprocess.run(["xrdb", "-nocpp", "-merge"], input="Xft.dpi:\t192\n", text=True, env=ENV,
                       check=True)
        self.addCleanup(lambda: x("xprop", "-root", "-remove", "RESOURCE_MANAGER"))
        red = self.logo("scaled", "200x150+100+100", "red")
        # Points are half the pixels now, so the default scale gives the pixels.
        w, h, at = self.shoot({})
        self.assertEqual((w, h), (640, 480))
        self.assertEqual(at(150, 120)[0], RED)
        self.assertEqual(at(50, 50)[0], ROOT_BG)
        w, h, at = self.shoot({"area": [0.5, 0.5, 0.5, 0.5]})
        self.assertEqual((w, h), (320, 240))
        w, h, at = self.shoot({"window": red.window})
        self.assertEqual((w, h), (200, 150))
        self.assertEqual(at(199, 149), (RED, 255))

    def test_refusals(self):
        red = self.logo("victim", "200x150+100+100")
        hidden = self.logo("unmapped", "200x150+100+100", map_it=False)
        out = os.path.join(self.dir, "never.png")
        self.refused({"output": out, "display": 999}, "display-not-found")
        self.refused({"output": out, "area": [0, 0, 0.04, 0.5]}, "invalid-area")
        self.refused({"output": out, "window": 1}, "window-not-found")
        self.refused({"output": out, "window": hidden.window}, "window-not-found")
        self.refused({"output": out, "window": red.window, "excludePids": [red.pid]}, "window-excluded")
        self.refused({"output": out, "scale": 1e300}, "invalid-scale")
        self.refused({"output": out, "scale": 0}, "screenshot-failed: The capture size is not supported.")
        self.assertFalse(os.path.exists(out))
        blocker = os.path.join(self.dir, "file")
        open(blocker, "w").close()
        self.refused({"output": os.path.join(blocker, "x.png")}, "screenshot-write-failed")
        self.refused({"output": os.path.join(self.dir, "missing", "x.png")}, "screenshot-write-failed")
        status, events, err = run("screenshot", json.dumps({"output": out}),
                                  env=dict(ENV, DISPLAY=":7391"))
        self.assertEqual((status, err, len(events)), (2, "", 1))
        self.assertTrue(events[0]["message"].startswith("screenshot-failed: "))


class UnderWindowManager(OwnDisplay):
    """With a window manager: clients inside decorated frames, its stacking list."""
    window_manager = ["openbox"]

    def client_rect(self, window):
        info = x("xwininfo", "-id", str(window))
        value = lambda key: int(info.split(key)[1].split()[0])
        return (value("Absolute upper-left X:"), value("Absolute upper-left Y:"),
                value("Width:"), value("Height:"))

    def test_covered_and_excluded_windows(self):
        bottom = self.logo("bottom", "300x250+50+50", "red")
        top = self.logo("top", "130x90+150+150", "green1")
        x("xdotool", "windowactivate", "--sync", str(top.window))
        time.sleep(0.5)
        bx, by, bw, bh = self.client_rect(bottom.window)
        tx, ty, tw, th = self.client_rect(top.window)
        self.assertEqual((bw, bh, tw, th), (300, 250, 130, 90))
        self.assertTrue(bx < tx and tx + tw < bx + bw and by < ty and ty + th < by + bh)

        status, events, err = run("apps")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual({a["pid"] for a in events[0]["apps"]}, {bottom.pid, top.pid})

        cx, cy = tx + tw // 2, ty + th // 2
        _, _, at = self.shoot({"scale": 1})
        self.assertEqual(at(cx, cy)[0], GREEN)
        self.assertEqual(at(bx + 5, by + 5)[0], RED)
        _, _, at = self.shoot({"scale": 1, "excludePids": [top.pid]})
        self.assertEqual(at(cx, cy)[0], RED)
        self.assertEqual(at(tx + 2, ty - 5)[0], RED)  # where the top frame's title bar was

        w, h, at = self.shoot({"window": bottom.window, "scale": 1})
        self.assertEqual((w, h), (300, 250))
        self.assertEqual(at(cx - bx, cy - by), (RED, 255))
        self.assertEqual(at(0, 0), (RED, 255))


if __name__ == "__main__":
    CAPTURE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
