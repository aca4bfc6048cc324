#!/usr/bin/env bash
# The headless Wayland session comes up and goes down cleanly three times in a
# row, and while up delivers portal screen-cast frames that follow the screen
# (portal_probe.py). Run as root; the session runs as an unprivileged uid.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
# shellcheck source=/dev/null
source "$root/scripts/wayland.sh"
trap orvik_stop_wayland EXIT

mkdir -p "$root/build-wayland"
probe_bin="$root/build-wayland/pw_frames"
# shellcheck disable=SC2046
gcc -O1 -Wall -Wextra -Werror -o "$probe_bin" "$root/tests/e2e/wayland/pw_frames.c" \
  $(pkg-config --cflags --libs libpipewire-0.3)

passed=0 failed=0
for round in 1 2 3; do
  if ! orvik_start_wayland; then
    echo "round $round: the session did not come up" >&2
    failed=$((failed + 1))
    continue
  fi
  echo "round $round: up in ${ORVIK_WAYLAND_STARTUP_MS} ms"
  pids=("${ORVIK_WAYLAND_PIDS[@]}" "$ORVIK_WAYLAND_BUS_CHILD")
  sid=$ORVIK_WAYLAND_BUS_SID dir=$ORVIK_WAYLAND_DIR
  ok=1
  if [ "$round" = 1 ]; then
    (cd / && orvik_in_wayland /usr/bin/python3 "$root/tests/e2e/wayland/portal_probe.py" "$probe_bin") || ok=0
  fi
  orvik_stop_wayland
  for pid in "${pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      echo "round $round: pid $pid still running after stop" >&2
      ok=0
    fi
  done
  if [ -n "$(ps -o pid= -s "$sid")" ] || [ -e "$dir" ]; then
    echo "round $round: bus-activated processes or $dir left behind" >&2
    ok=0
  fi
  if ((ok)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "wayland: $passed passed, $failed failed"
((failed == 0))
