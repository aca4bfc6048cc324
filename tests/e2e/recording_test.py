"""Real recordings of the virtual display and sound server, driven as the host
drives them; every property of a recording is read back from its files.

Usage: recording_test.py ORVIK_CAPTURE
Needs DISPLAY (Xvfb) and PULSE_SERVER (PulseAudio with a null default sink).
"""
import array
import contextlib
import glob
import os
import random
import subprocess
import threading
import time

import harness
from harness import holds_tone, pcm, probe


def waiting(pid):
    """Seconds the process's threads have spent ready to run but without a core."""
    total = 0
    for stat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        with contextlib.suppress(OSError, IndexError, ValueError), open(stat) as f:
            total += int(f.read().split()[1])  # a thread that ended meanwhile counts 0
    return total / 1e9


class RealRecording(harness.EndToEnd):
    def tone(self, name, frequency, geometry="200x150+0+0", env=None, buffer_ms=0):
        """A window whose process plays a tone from a child, as players do."""
        buffer = f"-buffer_duration {buffer_ms} " if buffer_ms else ""
        player = self.helper(["sh", "-c", f"ffmpeg -v error -re -f lavfi -i sine=frequency="
                              f"{frequency}:sample_rate=48000 -f pulse {buffer}-name {name} tone; "
                              "exit"], env)
        _, window = self.logo(name, geometry)
        self.prop(window, "_NET_WM_PID", "32c", str(player.pid))
        self.prop(window, "_GTK_APPLICATION_ID", "8u", name)
        self.until(lambda: f'application.name = "{name}"' in self.x(
            "pactl", "list", "sink-inputs", env=env), "no tone")
        if buffer_ms:  # heard once the player's buffer has filled
            self.until(lambda: max(map(abs, array.array("h", subprocess.run(
                "timeout 5 parec -d @DEFAULT_MONITOR@ --raw --format=s16le --channels=1 | "
                "head -c 19200", shell=True, capture_output=True, env=env).stdout[:19200])),
                default=0) > 1000, "tone not heard")

    def test_display_with_system_audio_paused_and_resumed(self):
        self.tone("orvik-tone-a", 440)
        self.x("xsetroot", "-solid", "#ff0000")
        movie, audio = self.path("a.mov"), self.path("a.m4a")
        rec = harness.Recording(CAPTURE, {"output": movie, "systemAudio": audio, "fps": 30,
                                       "scale": 0.5})
        started, first = rec.wait_for("started", "first-frame")
        time.sleep(2)
        pause_sent = time.monotonic()
        rec.send("pause\n")
        rec.wait_for("paused")
        paused_seen = time.monotonic()
        self.x("xsetroot", "-solid", "#0000ff")  # on screen only while paused: never recorded
        time.sleep(1.5)
        self.x("xsetroot", "-solid", "#00ff00")
        time.sleep(1)
        resume_sent = time.monotonic()
        rec.send("resume\n")
        rec.wait_for("resumed")
        resumed_seen = time.monotonic()
        time.sleep(2)
        stop_sent = time.monotonic()
        self.assertEqual(rec.finish(b"stop\npause\n"), (0, b""))  # nothing read after stop
        stopped_seen = time.monotonic()
        self.assertCountEqual(rec.names()[:2], ["started", "first-frame"])
        self.assertEqual(rec.names()[2:], ["paused", "resumed", "stopped"])
        stopped = rec.events[-1]
        self.assertEqual((stopped["output"], stopped["systemAudio"]), (movie, audio))
        # The host clock is the monotonic clock: the recorded time lies
        # between what was surely recorded and what may have been.
        self.assertGreater(stopped["duration"],
                           (pause_sent - first["hostTime"]) + (stop_sent - resumed_seen))
        self.assertLess(stopped["duration"],
                        (paused_seen - first["hostTime"]) + (stopped_seen - resume_sent))

        video, _, container = probe(movie)
        self.assertEqual((container["tags"]["major_brand"].strip(), video["codec_name"],
                          video["pix_fmt"], video.get("color_space"), video.get("color_range"),
                          video["width"], video["height"]),
                         ("qt", "h264", "yuv420p", "bt709", "tv", started["width"],
                          started["height"]))
        self.assertEqual(int(video["nb_read_frames"]), stopped["frames"])
        self.assertAlmostEqual(float(video["duration"]), stopped["duration"], delta=1 / 30)

        _, sound, container = probe(audio)
        self.assertEqual((container["tags"]["major_brand"].strip(), sound["codec_name"],
                          sound["profile"], int(sound["sample_rate"]), sound["channels"]),
                         ("M4A", "aac", "LC", 48000, 2))
        self.assertAlmostEqual(float(sound["duration"]), stopped["duration"], delta=0.05)
        self.assertTrue(holds_tone(pcm(audio), 440, 1000))

        blue = subprocess.run(
            ["ffprobe", "-v", "error", "-f", "lavfi", "-i",
             f"movie={movie},crop=iw/2:ih/2:iw/2:ih/2,signalstats",
             "-show_entries", "frame_tags=lavfi.signalstats.UAVG", "-of", "csv=p=0"],
            capture_output=True, text=True, check=True).stdout.split()
        self.assertLess(max(map(float, blue), default=255), 200, "painted during the pause")

    def test_application_audio_holds_only_the_chosen_application(self):
        self.tone("orvik-tone-a", 440, buffer_ms=2000)  # players that render far ahead
        self.tone("orvik-tone-b", 1000, "200x150+300+0", buffer_ms=2000)
        audio = self.path("b.m4a")
        rec = harness.Recording(CAPTURE, {"output": self.path("b.mov"), "systemAudio": audio,
                                       "audioApps": ["orvik-tone-a"], "scale": 0.5})
        rec.wait_for("started", "first-frame")
        time.sleep(3)
        self.assertEqual(rec.finish(b"stop\n"), (0, b""))
        self.assertEqual(rec.events[-1]["systemAudio"], audio)
        samples = pcm(audio)
        self.assertTrue(holds_tone(samples, 440, 1000))
        # Its sound from the start: the first 50 ms are not silent.
        self.assertLess(next(i for i, x in enumerate(samples) if abs(x) > 1000), 2400)

    def test_a_lost_server_is_reported_once_and_stop_still_finishes(self):
        for lost in ("display", "sound"):
            with self.subTest(lost):
                server, env = self.own_display() if lost == "display" else self.own_sound()
                if lost == "sound":
                    self.tone("orvik-tone-lost", 440, env=env)
                movie, audio = self.path(lost + ".mov"), self.path(lost + ".m4a")
                rec = harness.Recording(CAPTURE, {"output": movie, "systemAudio": audio,
                                               "scale": 0.5}, env)
                rec.wait_for("started", "first-frame")
                time.sleep(2.5)
                server.kill()
                rec.wait_for("error")
                time.sleep(1)
                self.assertEqual(rec.finish(b"stop\n"), (0, b""))
                stopped = rec.events[-1]
                self.assertEqual((rec.names().count("error"), stopped["event"]), (1, "stopped"))
                video, _, _ = probe(movie)
                self.assertEqual(int(video["nb_read_frames"]), stopped["frames"])
                if lost == "sound":
                    # What was captured before the loss is in the file, and plays.
                    self.assertEqual(stopped["systemAudio"], audio)
                    samples = pcm(audio)[:48000 * 2]
                    self.assertEqual(len(samples), 48000 * 2)
                    self.assertTrue(holds_tone(samples, 440, 1000))

    def test_a_killed_recording_keeps_all_but_its_last_two_seconds(self):
        # Steady motion, then a screen that changes twice and once a second.
        for n, period in enumerate((0.05, 0.5, 1.0)):
            with self.subTest(period=period):
                movie, changes, done = self.path(f"k{n}.mov"), [], threading.Event()
                rec = harness.Recording(CAPTURE, {"output": movie, "fps": 30, "scale": 0.5})
                first = rec.wait_for("first-frame")
                def paint():
                    while not done.wait(period):
                        self.x("xsetroot", "-solid", "#f0f0f0" if len(changes) % 2 else "#101010")
                        changes.append(time.monotonic())
                painter = threading.Thread(target=paint)
                painter.start()
                killed = first["hostTime"] + random.uniform(4, 7)
                time.sleep(max(0, killed - 3 - time.monotonic()))
                waited = waiting(rec.proc.pid)
                time.sleep(max(0, killed - time.monotonic()))
                waited, killed = waiting(rec.proc.pid) - waited, time.monotonic()
                rec.proc.kill()
                rec.proc.communicate()
                done.set()
                painter.join()
                times = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v",
                                        "-show_entries", "frame=pts_time", "-of", "csv=p=0",
                                        movie], capture_output=True, text=True).stdout.split()
                # The frame of the last change up to 2 s before the kill is in
                # the file and decodes; the margin is the way to the file, and
                # the time the program waited for a core in its last 3 s.
                kept = [c for c in changes if c <= killed - 2.75 - waited]
                if kept:
                    self.assertGreater(first["hostTime"] + float(times[-1]), max(kept) - 0.25)

    def test_a_full_disk_is_an_error_and_what_was_written_plays(self):
        os.mkdir(disk := self.path("disk"))
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk],
                          capture_output=True).returncode:
            self.skipTest("no tmpfs can be mounted here")
        self.addCleanup(subprocess.run, ["umount", "-l", disk])
        with open(os.path.join(disk, "filler"), "wb") as f:
            f.write(bytes(1024 * 1024 - 160 * 1024))  # leaves room for about 6 s of sound
        self.tone("orvik-tone-full", 440)
        movie, audio = os.path.join(disk, "f.mov"), os.path.join(disk, "f.m4a")
        rec = harness.Recording(CAPTURE, {"output": movie, "systemAudio": audio, "scale": 0.5})
        error = rec.wait_for("error")
        self.assertRegex(error["message"], "^write-failed: .*/f\\.(mov|m4a): No space left on device$")
        self.assertEqual(rec.finish(b"stop\n")[0], 2)
        self.assertNotIn("stopped", rec.names())
        for failed in {e["message"].split(": ")[1] for e in rec.events if e["event"] == "error"}:
            stream = next(s for s in probe(failed)[:2] if s)  # plays up to its last fragment
            self.assertGreater(int(stream["nb_read_frames"]), 0, failed)


if __name__ == "__main__":
    CAPTURE, = harness.programs(1)
    harness.unittest.main(verbosity=2)
