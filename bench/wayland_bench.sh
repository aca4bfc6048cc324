#!/usr/bin/env bash
# CPU per written frame of orvik-capture record against GStreamer on the
# headless sway session at 1280x720 (bench/wayland_bench.py says how). As
# root; run by hand, not in CI:
#   bench/wayland_bench.sh [PROGRAM [SECONDS [FPS]]]
# PROGRAM (default build/capture/orvik-capture) must be reachable by the
# session's uid.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
program="${1:-$root/build/capture/orvik-capture}"
# shellcheck source=/dev/null
source "$root/scripts/wayland.sh"
trap orvik_stop_wayland EXIT
orvik_start_wayland
orvik_in_wayland /usr/bin/python3 "$root/bench/wayland_bench.py" "$program" \
  "$ORVIK_WAYLAND_DIR/home" "${2:-20}" "${3:-30}"
