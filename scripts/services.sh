# Sourced by the demo and test scripts: starts a virtual display and a sound
# server with a null sink when none is there, and stops what it started.
# shellcheck shell=bash

ORVIK_STARTED_PIDS=()

# Starts Xvfb (1920x1080, 24-bit, with the extensions the capture tool uses)
# on a display number it picks itself, and exports DISPLAY once it is ready:
# Xvfb writes the number to the -displayfd pipe when it accepts clients.
orvik_start_display() {
  local dir n=""
  dir=$(mktemp -d /tmp/orvik-xvfb.XXXXXX)
  mkfifo "$dir/number"
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset +extension Composite \
    +extension DAMAGE +extension RANDR +extension XFIXES +extension RENDER +extension MIT-SHM \
    3>"$dir/number" >/dev/null 2>&1 &
  ORVIK_STARTED_PIDS+=($!)
  read -r -t 30 n <"$dir/number" || true
  rm -rf "$dir"
  if [ -z "$n" ]; then
    echo "Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=":$n"
}

# Starts a private PulseAudio server whose default sink is a null sink, and
# points PULSE_SERVER at it.
orvik_start_sound() {
  local dir
  dir=$(mktemp -d /tmp/orvik-pulse.XXXXXX)
  chmod 700 "$dir"
  XDG_RUNTIME_DIR="$dir" HOME="$dir" pulseaudio --daemonize=no --exit-idle-time=-1 -n \
    --use-pid-file=no --disable-shm=no \
    --load="module-null-sink sink_name=orvik_null rate=48000" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
    --load="module-always-sink" \
    >/dev/null 2>&1 &
  ORVIK_STARTED_PIDS+=($!)
  export PULSE_SERVER="unix:$dir/native"
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && { pactl set-default-sink orvik_null >/dev/null 2>&1; return 0; }
    sleep 0.1
  done
  echo "PulseAudio did not start" >&2
  return 1
}

# Stops everything started, the last started first, so that clients go
# before the servers they talk to.
orvik_stop_services() {
  local i pid
  for ((i = ${#ORVIK_STARTED_PIDS[@]} - 1; i >= 0; i--)); do
    kill "${ORVIK_STARTED_PIDS[$i]}" 2>/dev/null || true
  done
  for pid in "${ORVIK_STARTED_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  ORVIK_STARTED_PIDS=()
}
