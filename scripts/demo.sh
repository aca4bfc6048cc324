#!/usr/bin/env bash
# The main job on this machine: builds the tools and runs them for real.
# Without a display it starts a virtual one (and a sound server) first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
[ -x scripts/models.sh ] && bash scripts/models.sh
bash scripts/build.sh build

# shellcheck source=services.sh
source scripts/services.sh
trap orvik_stop_services EXIT
if [ -z "${DISPLAY:-}" ]; then
  orvik_start_display
  xlogo -geometry 300x200+100+100 &
  ORVIK_STARTED_PIDS+=($!)
  sleep 0.5
fi
if ! pactl info >/dev/null 2>&1; then orvik_start_sound; fi

capture="$root/build/capture/orvik-capture"
echo "== orvik-capture check"
"$capture" check
echo "== orvik-capture apps"
"$capture" apps
