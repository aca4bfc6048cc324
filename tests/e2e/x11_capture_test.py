"""orvik-capture's `check`, `apps` and `screenshot` on a display of the test's
own, against real windows of known sizes and colours.

Usage: x11_capture_test.py ORVIK_CAPTURE
"""
import json
import os
import subprocess

import harness

ROOT = (0x20, 0x40, 0x60)
RED, GREEN = (255, 0, 0), (0, 255, 0)


class X11Capture(harness.EndToEnd):
    def setUp(self):
        super().setUp()
        _, self.env = self.own_display()
        self.x("xsetroot", "-solid", "#%02x%02x%02x" % ROOT)

    def tool(self, *args, env=None):
        return harness.run(CAPTURE, *args, env=env or self.env)

    def shoot(self, job):
        """Takes a screenshot: (width, height, pixel lookup giving (rgb, alpha))."""
        path = self.path("shot.png")
        code, events, err = self.tool("screenshot", json.dumps(dict(job, output=path)))
        self.assertEqual((code, err), (0, b""), events)
        w, h = events[0]["width"], events[0]["height"]
        self.assertEqual(events, [{"event": "screenshot", "width": w, "height": h,
                                   "output": path}])
        raw = subprocess.run(["convert", path, "-depth", "8", "rgba:-"], capture_output=True,
                             check=True).stdout
        self.assertEqual(len(raw), w * h * 4)
        at = lambda x, y: (tuple(raw[(y * w + x) * 4:][:3]), raw[(y * w + x) * 4 + 3])
        return w, h, at

    def test_check_and_apps(self):
        self.assertEqual(self.tool("check"), (0, [{"event": "check", "permission": True}], b""))
        code, [event], err = self.tool("check", env=dict(self.env, DISPLAY=":7391"))
        self.assertEqual((code, err, event["permission"]), (0, b"", False))
        self.assertIn(":7391", event["message"])

        exact, _ = self.logo("exact", "120x80+0+0")
        self.logo("hidden", "300x300+0+0", mapped=False)
        iconic, window = self.logo("iconic", "300x300+0+0", mapped=False)  # minimised
        self.prop(window, "WM_STATE", "32c", "3")
        _, window = self.logo("dock", "300x300+300+0")
        self.prop(window, "_NET_WM_WINDOW_TYPE", "32a", "_NET_WM_WINDOW_TYPE_DOCK")
        offscreen, _ = self.logo("offscreen", "200x200-900-900")
        gtk, window = self.logo("gtk", "200x200+200+200")
        self.prop(window, "_GTK_APPLICATION_ID", "8u", "org.example.Logo")
        # Three windows of one application, told by their _NET_WM_PID.
        first, window = self.logo("first", "150x150+100+100")
        for w in [self.logo(n, "150x150+120+120")[1] for n in ("second", "third")] + [window]:
            self.prop(w, "_NET_WM_PID", "32c", str(first))
        code, [event], err = self.tool("apps")
        self.assertEqual((code, err, event["event"]), (0, b"", "apps"))
        listed = {a["pid"]: a for a in event["apps"]}
        self.assertEqual(len(listed), len(event["apps"]), "one entry per application")
        self.assertEqual(set(listed), {exact, offscreen, gtk, first, iconic})
        self.assertEqual(listed[exact], {"pid": exact, "bundleId": "XLogo", "name": "XLogo"})
        self.assertEqual(listed[gtk]["bundleId"], "org.example.Logo")

    def test_screenshots_show_what_was_drawn(self):
        _, red = self.logo("red", "200x150+100+100", "red")
        green, _ = self.logo("green", "200x150+200+150", "green1")
        self.x("xdotool", "mousemove", "50", "400")
        area = [0.25, 0.25, 0.5, 0.5]
        for job, size, points in (
                ({"scale": 1}, (640, 480), {(50, 50): ROOT, (150, 120): RED, (250, 200): GREEN}),
                ({}, (1280, 960), {(500, 400): GREEN, (300, 240): RED}),  # 2 pixels a point
                ({"scale": 1, "area": area, "maxWidth": 100}, (320, 240),
                 {(0, 0): RED, (90, 80): GREEN, (319, 239): ROOT}),
                ({"window": red, "scale": 1, "area": [9]}, (200, 150),  # covered, yet whole
                 {(0, 0): RED, (199, 149): RED}),
                ({"scale": 2, "area": area, "excludePids": [green, 999999]}, (640, 480),
                 {(180, 160): RED, (500, 400): ROOT})):
            w, h, at = self.shoot(job)
            self.assertEqual((w, h), size, job)
            for (px, py), colour in points.items():
                self.assertEqual(at(px, py), (colour, 255), (job, px, py))
        # The pointer only when asked.
        corner = {"scale": 1, "area": [0, 0.75, 0.25, 0.25]}
        plain, cursor = self.shoot(corner)[2], self.shoot(dict(corner, showsCursor=True))[2]
        square = [(px, py) for px in range(30, 80) for py in range(20, 70)]
        self.assertTrue(all(plain(*p) == (ROOT, 255) for p in square))
        self.assertGreater(sum(plain(*p) != cursor(*p) for p in square), 10)

    def test_desktop_scale_and_refusals(self):
        subprocess.run(["xrdb", "-nocpp", "-merge"], input="Xft.dpi:\t192\n", text=True,
                       env=self.env, check=True)
        _, red = self.logo("scaled", "200x150+100+100", "red")
        _, hidden = self.logo("unmapped", "200x150+100+100", mapped=False)
        # Points are half the pixels now: the default scale gives the pixels.
        for job, size in (({}, (640, 480)), ({"area": [0.5, 0.5, 0.5, 0.5]}, (320, 240)),
                          ({"window": red}, (200, 150))):
            self.assertEqual(self.shoot(job)[:2], size, job)
        out = self.path("never.png")
        for env, job, message in (
                (None, {"output": out, "window": hidden}, "window-not-found"),
                (dict(self.env, DISPLAY=":7391"), {"output": out}, "screenshot-failed: ")):
            code, [event], err = self.tool("screenshot", json.dumps(job), env=env)
            self.assertEqual((code, err, event["event"]), (2, b"", "error"), job)
            self.assertTrue(event["message"].startswith(message), event)
        self.assertFalse(os.path.exists(out))

    def test_under_a_window_manager(self):
        self.helper(["openbox"], self.env)
        self.until(lambda: "_NET_SUPPORTING_WM_CHECK" in self.x("xprop", "-root"), "no WM")
        bottom, bottom_window = self.logo("bottom", "300x250+50+50", "red")
        top, top_window = self.logo("top", "130x90+150+150", "green1")
        self.x("xdotool", "windowactivate", "--sync", str(top_window))
        self.until(lambda: self.x("xprop", "-root", "_NET_CLIENT_LIST_STACKING").rstrip()
                   .endswith(hex(top_window)), "not raised")
        rect = lambda w: [int(self.x("xwininfo", "-id", str(w)).split(key)[1].split()[0])
                          for key in ("Absolute upper-left X:", "Absolute upper-left Y:")]
        (bx, by), (tx, ty) = rect(bottom_window), rect(top_window)
        code, [event], _ = self.tool("apps")
        self.assertEqual({a["pid"] for a in event["apps"]}, {bottom, top})
        for job, points in (
                ({"scale": 1}, {(tx + 65, ty + 45): GREEN, (bx + 5, by + 5): RED}),
                ({"scale": 1, "excludePids": [top]},  # also where its title bar was
                 {(tx + 65, ty + 45): RED, (tx + 2, ty - 5): RED}),
                ({"window": bottom_window, "scale": 1},
                 {(tx + 65 - bx, ty + 45 - by): RED, (0, 0): RED, (299, 249): RED})):
            at = self.shoot(job)[2]
            for (px, py), colour in points.items():
                self.assertEqual(at(px, py)[0], colour, (job, px, py))


if __name__ == "__main__":
    CAPTURE, = harness.programs(1)
    harness.unittest.main(verbosity=2)
