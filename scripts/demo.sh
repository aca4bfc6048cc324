#!/usr/bin/env bash
# The main job on this machine: builds both tools and runs them for real.
# Without a display it starts a virtual one with a moving test window, and a
# sound server playing a tone; then it records a few seconds with a pause in
# the middle, takes a screenshot, analyses the screenshot, and says where the
# files are and what ffprobe makes of them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
bash scripts/models.sh
bash scripts/build.sh build

# shellcheck source=services.sh
source scripts/services.sh
trap orvik_stop_services EXIT
if [ -z "${DISPLAY:-}" ]; then
  orvik_start_display
  xsetroot -solid '#203040'
  xlogo -geometry 320x240+100+100 -bg white -fg '#c02020' 2>/dev/null &
  ORVIK_STARTED_PIDS+=($!)
  # Something to read and a face to find, for the analysis of the screenshot.
  mkdir -p "$root/out"
  convert -background white -fill black -font DejaVu-Sans -pointsize 28 \
    label:'orvik demo: recorded, paused, resumed and stopped' "$root/out/label.png"
  display -geometry +100+800 "$root/out/label.png" 2>/dev/null &
  ORVIK_STARTED_PIDS+=($!)
  display -geometry +1300+200 /usr/share/doc/opencv-doc/opencv4/html/230501201_1.jpg 2>/dev/null &
  ORVIK_STARTED_PIDS+=($!)
  # Keep the window moving so the recording has motion in it.
  (
    x=100
    while sleep 0.05; do
      x=$(((x + 8) % 1400))
      xdotool search --class xlogo windowmove --sync %@ "$x" 120 >/dev/null 2>&1 || true
    done
  ) &
  ORVIK_STARTED_PIDS+=($!)
fi
if ! pactl info >/dev/null 2>&1; then orvik_start_sound; fi

out="$root/out"
mkdir -p "$out"
sox -q -n -r 48000 -c 2 "$out/tone.wav" synth 12 sine 440 vol 0.5
paplay "$out/tone.wav" 2>/dev/null &
ORVIK_STARTED_PIDS+=($!)
sleep 0.5

capture="$root/build/capture/orvik-capture"
vision="$root/build/vision/orvik-vision"

echo "== orvik-capture check"
"$capture" check
echo "== orvik-capture apps"
"$capture" apps

echo "== orvik-capture record (3 s, pause 1.5 s, 3 s)"
job="{\"output\":\"$out/demo.mov\",\"systemAudio\":\"$out/demo.m4a\",\"fps\":30,\"scale\":1}"
# As a host does: the timing starts once the recording has started (the
# sound capture may first wait for the output to deliver).
coproc recorder { "$capture" record "$job"; }
events=${recorder[0]} control=${recorder[1]} pid=$recorder_PID
started=false
while IFS= read -r line <&"$events"; do
  echo "$line"
  if [[ $line == *'"event":"started"'* ]]; then started=true; break; fi
done
if $started; then
  sleep 3
  echo pause >&"$control"
  sleep 1.5
  echo resume >&"$control"
  sleep 3
  echo stop >&"$control"
  cat <&"$events"
fi
wait "$pid"

echo "== orvik-capture screenshot"
"$capture" screenshot "{\"output\":\"$out/demo.png\",\"scale\":1,\"showsCursor\":true}"

echo "== orvik-vision on the screenshot"
"$vision" check
size=$(ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0:s=x \
  "$out/demo.png")
w=${size%x*}
h=${size#*x}
ffmpeg -v error -y -i "$out/demo.png" -f rawvideo -pix_fmt bgra "$out/demo.bgra"
echo "faces: $("$vision" faces "$w" "$h" <"$out/demo.bgra")"
echo "text:  $("$vision" text "$w" "$h" <"$out/demo.bgra" | head -c 400)"
"$vision" segment "$w" "$h" <"$out/demo.bgra" >"$out/demo.mask"
echo "mask:  $(wc -c <"$out/demo.mask") bytes for ${w}x${h}," \
  "$(tr -d '\000' <"$out/demo.mask" | wc -c) of them marking a person"

echo "== files"
for f in demo.mov demo.m4a demo.png; do
  echo "$out/$f:"
  ffprobe -v error -show_entries \
    format=format_name,duration:stream=codec_name,width,height,pix_fmt,sample_rate,channels \
    -of default=noprint_wrappers=1 "$out/$f" | sed 's/^/  /'
done
