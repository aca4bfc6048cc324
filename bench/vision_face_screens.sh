#!/usr/bin/env bash
# Screenshots of X applications without faces (clocks, eyes, a calculator,
# dialogs, a text editor, a font table) on a 1280x720 Xvfb, as PNG files in
# the folder given, for vision_face_eval.
# Usage: bench/vision_face_screens.sh DIR
set -euo pipefail
out="$1"
mkdir -p "$out"
Xvfb :97 -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb' EXIT
export DISPLAY=:97
sleep 1
shot() {  # name, then the command; each application alone on the screen
  local name=$1
  shift
  "$@" >/dev/null 2>&1 &
  local app=$!
  sleep 1.5
  import -window root "$out/$name.png"
  kill $app 2>/dev/null || true
  wait $app 2>/dev/null || true
}
shot xclock xclock -geometry 400x400+100+100
shot xclock-digital xclock -digital -geometry 500x80+300+300 -face 'DejaVu Sans:size=40'
shot xeyes xeyes -geometry 500x300+200+200
shot xeyes-small xeyes -geometry 120x80+900+500
shot xlogo xlogo -geometry 300x300+700+100
shot xcalc xcalc -geometry 300x400+400+100
shot xmessage xmessage -center -fn '-*-*-*-*-*-*-24-*-*-*-*-*-*-*' "Do you want to save the changes?"
shot xmessage-buttons xmessage -buttons "Sign in,Cancel" -center "Welcome back. Sign in to continue."
shot xedit xedit -geometry 1000x600+100+50 "$(dirname "$0")/vision_face_eval.cpp"
shot xfd xfd -geometry 1200x650+20+20 -fn fixed
shot xload xload -geometry 600x300+300+200
shot xfontsel xfontsel -geometry 800x300+200+200
shot xman xman -geometry 300x200+500+300
shot xbiff xbiff -geometry 200x200+500+300
