"""Real recordings of the virtual display and sound server, driven as the host
drives them; every property of a recording is read back from its files.

Usage: recording_test.py ORVIK_CAPTURE
Needs DISPLAY (Xvfb) and PULSE_SERVER (PulseAudio with a null default sink).
"""
import subprocess
import time

import harness
from harness import holds_tone, pcm, probe


class RealRecording(harness.EndToEnd):
    def tone(self, name, frequency, geometry="200x150+0+0", env=None):
        """A window whose process plays a tone from a child, as players do."""
        player = self.helper(["sh", "-c", f"ffmpeg -v error -re -f lavfi -i sine=frequency="
                              f"{frequency}:sample_rate=48000 -f pulse -name {name} tone; exit"],
                             env)
        _, window = self.logo(name, geometry)
        self.prop(window, "_NET_WM_PID", "32c", str(player.pid))
        self.prop(window, "_GTK_APPLICATION_ID", "8u", name)
        self.until(lambda: f'application.name = "{name}"' in self.x(
            "pactl", "list", "sink-inputs", env=env), "no tone")

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
        self.tone("orvik-tone-a", 440)
        self.tone("orvik-tone-b", 1000, "200x150+300+0")
        audio = self.path("b.m4a")
        rec = harness.Recording(CAPTURE, {"output": self.path("b.mov"), "systemAudio": audio,
                                       "audioApps": ["orvik-tone-a"], "scale": 0.5})
        rec.wait_for("started", "first-frame")
        time.sleep(3)
        self.assertEqual(rec.finish(b"stop\n"), (0, b""))
        self.assertEqual(rec.events[-1]["systemAudio"], audio)
        self.assertTrue(holds_tone(pcm(audio), 440, 1000))

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

    def test_a_killed_recording_plays_up_to_its_last_fragment(self):
        movie = self.path("k.mov")
        rec = harness.Recording(CAPTURE, {"output": movie, "scale": 0.5})
        rec.wait_for("started", "first-frame")
        self.helper(["sh", "-c", "while :; do xsetroot -solid '#101010'; xsetroot -solid "
                     "'#f0f0f0'; sleep 0.05; done"], self.env)
        time.sleep(7)
        rec.proc.kill()
        rec.proc.communicate()
        times = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                "frame=pts_time", "-of", "csv=p=0", movie],
                               capture_output=True, text=True, check=True).stdout.split()
        self.assertGreaterEqual(float(times[-1]), 4.0)  # fragments are 2 s long


if __name__ == "__main__":
    CAPTURE, = harness.programs(1)
    harness.unittest.main(verbosity=2)
