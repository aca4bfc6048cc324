#!/usr/bin/env bash
# orvik-capture in a headless Wayland session (sway, the screen-cast portal,
# PipeWire): check, apps, the refusals, a still screen's screenshot, a display
# recording whose colours follow the screen, one with the audio of one of two
# players, one with a pause and system audio on the remembered portal grant,
# and one that loses the compositor.
#   tests/e2e/wayland/capture_test.sh [PROGRAM]      (as root)
# The session runs as an unprivileged uid, which must reach PROGRAM (default
# build/capture/orvik-capture of this checkout).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
program="${1:-$root/build/capture/orvik-capture}"
# shellcheck source=/dev/null
source "$root/scripts/wayland.sh"
trap orvik_stop_wayland EXIT
orvik_start_wayland || exit 1
out=$ORVIK_WAYLAND_DIR/home
passed=0 failed=0
verdict() {  # NAME, then the command that must succeed
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name" >&2; failed=$((failed + 1)); fi
}
run() { (cd "$out" && orvik_in_wayland "$program" "$@"); }
paint() { orvik_in_wayland swaymsg output HEADLESS-1 bg "$1" solid_color >/dev/null; }

# check: true with the portal on the bus.
verdict check grep -qx '{"event":"check","permission":true}' <(run check)

# Excluding applications cannot be done through the portal: refused, nothing recorded.
events=$(run record '{"output":"x.mov","excludePids":[1]}' </dev/null)
status=$?
ok=0
[ "$status" = 2 ] && [ "$events" = '{"event":"error","message":"excluding-apps-unsupported"}' ] &&
  [ ! -e "$out/x.mov" ] && ok=1
# A window: this portal shares displays only.
events=$(run record '{"output":"x.mov","window":1}' </dev/null 2>&1)
[ "$?" = 2 ] && [ "$events" = '{"event":"error","message":"window-capture-unsupported"}' ] || ok=0
verdict refusal [ "$ok" = 1 ]

# A recording driven through a FIFO: control lines sent when events have come.
fifo=$out/control
mkfifo "$fifo" && chown "$ORVIK_WAYLAND_UID" "$fifo"
record() {  # JOB, events to $out/events
  run record "$1" <"$fifo" >"$out/events" &
  recorder=$!
  exec 3>"$fifo"
}
await() {  # until the event has come, at most 20 s
  for _ in $(seq 1 400); do
    grep -q "\"event\":\"$1\"" "$out/events" && return
    sleep 0.05
  done
}
# (a recorder that has ended already is no reader: the write fails, not the script)
finish() { (echo stop >&3) 2>/dev/null; exec 3>&-; wait "$recorder"; }

# apps: each toplevel's app id with the process sway tells, without the portal too.
# Two players: ffplay's own 440 Hz, and wev whose child plays 1000 Hz.
orvik_wayland_background ffplay env SDL_VIDEODRIVER=wayland SDL_AUDIODRIVER=pulseaudio \
  SDL_VIDEO_WAYLAND_WMCLASS=orvik.player ffplay -v error -f lavfi -x 320 -y 200 \
  -i 'color=s=320x200:r=1[out0];sine=frequency=440:sample_rate=48000[out1]'
ffplay=$ORVIK_WAYLAND_LAST
orvik_wayland_background wev sh -c \
  'ffmpeg -v error -re -f lavfi -i sine=frequency=1000:sample_rate=48000 -f pulse -name t t & exec wev'
wev=$ORVIK_WAYLAND_LAST
a="{\"bundleId\":\"wev\",\"name\":\"wev\",\"pid\":$wev}"
b="{\"bundleId\":\"orvik.player\",\"name\":\"orvik.player\",\"pid\":$ffplay}"
both() { grep -qF "$a" <<<"$apps" && grep -qF "$b" <<<"$apps"; }
for _ in $(seq 1 200); do  # both listed, and both playing
  apps=$(orvik_in_wayland env DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$program" apps)
  both && [ "$(orvik_in_wayland pactl list short sink-inputs | wc -l)" = 2 ] && break
  sleep 0.1
done
verdict apps both
# Only the chosen player's sound, which its window's child process plays.
record '{"output":"a.mov","systemAudio":"a.m4a","audioApps":["wev"],"scale":1,"fps":30}'
await first-frame
sleep 3  # the tone is looked for in the middle second
finish
kill "$ffplay" "$wev" $(pgrep -P "$wev")
verdict app-audio /usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1])
from harness import holds_tone, pcm; sys.exit(not holds_tone(pcm(sys.argv[2]), 1000, 440))' \
  "$root/tests/e2e" "$out/a.m4a"

# Screenshot of a still screen: the compositor sends no frame by itself.
shows() {  # until the screen's centre shows the colour, at most 10 s
  for _ in $(seq 1 200); do
    [ "$(orvik_in_wayland grim -g '640,360 1x1' -t ppm - | tail -c 3 | od -An -tx1 | tr -d ' \n')" = "$1" ] && return
    sleep 0.05
  done
}
paint '#ff8000'
shows ff8000
events=$(run screenshot '{"output":"s.png","scale":1}')
centre=$(ffmpeg -v error -i "$out/s.png" -vf crop=1:1:640:360 -f rawvideo -pix_fmt rgb24 - |
  od -An -tx1 | tr -d ' \n')
ok=0
[ "$centre" = ff8000 ] && grep -q '"width":1280' <<<"$events" && ok=1
verdict screenshot [ "$ok" = 1 ]

# A 4 s recording at 30 fps while the screen changes colour once a second;
# the wall-clock time of each change is kept to compare with the movie.
paint '#000000'
changes=$out/changes
: >"$changes"
{
  sleep 0.8
  for c in ff0000 00ff00 0000ff ffffff; do
    paint "#$c"
    echo "$c $(date +%s.%N)" >>"$changes"
    sleep 0.8
  done
  echo stop
} | run record '{"output":"r.mov","scale":1,"fps":30}' >"$out/events"
verdict recording /usr/bin/python3 - "$out" <<'PY'
import json, subprocess, sys
out = sys.argv[1]
events = {e["event"]: e for e in map(json.loads, open(f"{out}/events"))}
stopped, first = events["stopped"], events["first-frame"]
probe = json.loads(subprocess.run(
    ["ffprobe", "-v", "error", "-count_frames", "-show_entries",
     "stream=width,height,nb_read_frames:format=duration", "-of", "json", f"{out}/r.mov"],
    capture_output=True, text=True).stdout)
stream = probe["streams"][0]
ok = (stream["width"], stream["height"]) == (1280, 720)
ok &= int(stream["nb_read_frames"]) == stopped["frames"]
ok &= abs(float(probe["format"]["duration"]) - stopped["duration"]) < 0.05
# Centre pixel and time of every frame.
times = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "frame=pts_time", "-of", "csv=p=0",
                        f"{out}/r.mov"], capture_output=True, text=True).stdout.split()
pixels = subprocess.run(["ffmpeg", "-v", "error", "-i", f"{out}/r.mov", "-fps_mode", "passthrough", "-vf", "crop=2:2:639:359,scale=1:1",
                         "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True).stdout
frames = [(float(t), pixels[3 * i:3 * i + 3]) for i, t in enumerate(times)]
def near(p, colour):
    return all(abs(a - b) < 40 for a, b in zip(p, bytes.fromhex(colour)))
for line in open(f"{out}/changes"):
    colour, at = line.split()
    due = float(at) - first["time"]  # seconds into the movie
    shown = [t for t, p in frames if near(p, colour)]
    # Shown from shortly after the change (a loaded machine may be late), never before it.
    if not shown or not (due - 0.1 <= shown[0] <= due + 0.6):
        print(f"colour {colour} due at {due:.2f} s, shown at {shown[:1]}", file=sys.stderr)
        ok = False
if not ok:
    print(json.dumps(events), probe, [(t, p.hex()) for t, p in frames], file=sys.stderr)
sys.exit(0 if ok else 1)
PY

# The portal's grant is kept owner-only and used again: the same token comes back.
token=$(ls "$out"/.local/state/orvik/display-*.token)
verdict token-file [ "$(stat -c %a "$token")" = 600 ]
kept=$(cat "$token")

# Pause and resume cut the paused colour out; system audio through PipeWire's Pulse server.
orvik_wayland_background tone ffmpeg -v error -re -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -f pulse -name orvik-tone tone
paint '#ff0000'
shows ff0000
record '{"output":"p.mov","systemAudio":"p.m4a","scale":1,"fps":30}'
await first-frame
echo pause >&3
await paused
paint '#ff00ff'
sleep 1
paint '#00ff00'
shows 00ff00
sleep 0.5
echo resume >&3
await resumed
paint '#0000ff'
sleep 1.5
finish
kill "$ORVIK_WAYLAND_LAST"  # the tone
verdict pause-and-audio /usr/bin/python3 - "$out" "$root/tests/e2e" <<'PY'
import subprocess, sys
sys.path.insert(0, sys.argv[2])
from harness import holds_tone, pcm
out = sys.argv[1]
px = subprocess.run(["ffmpeg", "-v", "error", "-i", f"{out}/p.mov", "-vf", "crop=2:2:640:360",
                     "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                    capture_output=True).stdout
seen = {tuple(c // 128 for c in px[i:i + 3]) for i in range(0, len(px), 3)}  # each channel high/low
samples = pcm(f"{out}/p.m4a")
ok = ({(1, 0, 0), (0, 0, 1)} <= seen and (1, 0, 1) not in seen
      and holds_tone(samples, 440, 1000))
if not ok:  # what the movie showed, frame by frame, and how long the audio is
    print([px[i:i + 3].hex() for i in range(0, len(px), 3)], len(samples),
          holds_tone(samples, 440, 1000), file=sys.stderr)
sys.exit(not ok)
PY
verdict token-reused [ "$(cat "$token")" = "$kept" ]

# The compositor killed mid-recording: one "error"; stop still finishes a playable movie.
record '{"output":"k.mov","scale":1,"fps":30}'
await first-frame
sway=${ORVIK_WAYLAND_SWAYSOCK%.sock}  # …/sway-ipc.UID.PID.sock
kill "${sway##*.}"
await error
finish
ok=0
[ "$(grep -c '"event":"error"' "$out/events")" = 1 ] && grep -q '"event":"stopped"' "$out/events" &&
  [ "$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$out/k.mov")" -ge 1 ] && ok=1
verdict compositor-lost [ "$ok" = 1 ]

echo "wayland capture: $passed passed, $failed failed"
[ "$failed" = 0 ]
