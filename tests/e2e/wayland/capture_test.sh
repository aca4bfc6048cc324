#!/usr/bin/env bash
# orvik-capture in a headless Wayland session (sway, the screen-cast portal,
# PipeWire): check, a display recording whose colours follow the screen, a
# screenshot's pixels, and the refusal to leave applications out.
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
verdict refusal [ "$ok" = 1 ]

# Screenshot: the first frame the portal sends. It sends frames when the
# screen changes, so the screen changes (between two near colours) meanwhile;
# sway shows its grey for a moment at each change, so a grey shot is taken again.
paint '#ff8000'
(for _ in $(seq 1 150); do paint '#ff8002'; sleep 0.1; paint '#ff8000'; sleep 0.1; done) &
painter=$!
ok=0
for _ in 1 2 3; do
  events=$(run screenshot '{"output":"s.png","scale":1}')
  centre=$(ffmpeg -v error -i "$out/s.png" -vf crop=1:1:640:360 -f rawvideo -pix_fmt rgb24 - |
    od -An -tx1 | tr -d ' \n')
  [ "$centre" = 3f3f3f ] && continue
  [[ "$centre" =~ ^ff800[02]$ ]] && grep -q '"width":1280' <<<"$events" && ok=1
  break
done
kill "$painter" 2>/dev/null
wait "$painter" 2>/dev/null
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

echo "wayland capture: $passed passed, $failed failed"
[ "$failed" = 0 ]
