# Sourced by the test scripts: brings up a headless Wayland desktop with the
# screen-cast portal and PipeWire, and takes it down again.
#
# sway refuses to run as root, and the session bus, PipeWire and the portal
# only talk to their own uid, so the whole session runs as an unprivileged
# uid (nobody by default) and programs under test run as that uid through
# orvik_in_wayland. Nothing is exported under the usual names in the caller's
# shell, so X11 tests in the same shell keep seeing only X11: the session's
# values are in ORVIK_WAYLAND_* (orvik_wayland_env lists them as the usual
# names).
# shellcheck shell=bash

ORVIK_WAYLAND_UID="${ORVIK_WAYLAND_UID:-65534}"
ORVIK_WAYLAND_GID="${ORVIK_WAYLAND_GID:-65534}"
ORVIK_WAYLAND_WIDTH="${ORVIK_WAYLAND_WIDTH:-1280}"
ORVIK_WAYLAND_HEIGHT="${ORVIK_WAYLAND_HEIGHT:-720}"
ORVIK_WAYLAND_TIMEOUT="${ORVIK_WAYLAND_TIMEOUT:-20}"
ORVIK_WAYLAND_SCRIPTS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ORVIK_WAYLAND_PIDS=()

# The session's environment as NAME=value lines, the usual names.
orvik_wayland_env() {
  local d=$ORVIK_WAYLAND_DIR
  printf '%s\n' "HOME=$d/home" "XDG_RUNTIME_DIR=$d/run" "XDG_CONFIG_HOME=$d/config" \
    "XDG_DATA_HOME=$d/home/.local/share" "XDG_STATE_HOME=$d/home/.local/state" \
    "XDG_CACHE_HOME=$d/home/.cache" "XDG_CURRENT_DESKTOP=sway" "XDG_SESSION_TYPE=wayland" \
    "XDG_DESKTOP_PORTAL_DIR=$d/portals"
  [ -z "${ORVIK_WAYLAND_DISPLAY:-}" ] || echo "WAYLAND_DISPLAY=$ORVIK_WAYLAND_DISPLAY"
  [ -z "${ORVIK_WAYLAND_SWAYSOCK:-}" ] || echo "SWAYSOCK=$ORVIK_WAYLAND_SWAYSOCK"
  [ -z "${ORVIK_WAYLAND_BUS:-}" ] || echo "DBUS_SESSION_BUS_ADDRESS=$ORVIK_WAYLAND_BUS"
  [ -z "${ORVIK_WAYLAND_PULSE:-}" ] || echo "PULSE_SERVER=$ORVIK_WAYLAND_PULSE"
}

# Runs a command as the session's uid with the session's environment (the
# caller's other variables kept, DISPLAY dropped).
orvik_in_wayland() {
  local -a vars
  mapfile -t vars < <(orvik_wayland_env)
  setpriv --reuid="$ORVIK_WAYLAND_UID" --regid="$ORVIK_WAYLAND_GID" --clear-groups \
    env -u DISPLAY "${vars[@]}" "$@"
}

# Starts a program as the session's uid in the background, its output to
# log/NAME.log, and sets ORVIK_WAYLAND_LAST to its pid (setpriv and env exec,
# so that pid is the program itself).
orvik_wayland_background() {
  local name=$1 vars
  shift
  mapfile -t vars < <(orvik_wayland_env)
  setpriv --reuid="$ORVIK_WAYLAND_UID" --regid="$ORVIK_WAYLAND_GID" --clear-groups \
    env -u DISPLAY "${vars[@]}" "$@" >>"$ORVIK_WAYLAND_DIR/log/$name.log" 2>&1 </dev/null &
  ORVIK_WAYLAND_LAST=$!
}

# Starts a long-running program of the session and keeps its pid.
orvik_wayland_spawn() {
  orvik_wayland_background "$@"
  ORVIK_WAYLAND_PIDS+=("$ORVIK_WAYLAND_LAST")
}

# Polls a check until it succeeds, the started program it waits for dies, or
# the time runs out.
orvik_wayland_wait() {
  local what=$1 pid=$2
  shift 2
  local deadline=$((SECONDS + ORVIK_WAYLAND_TIMEOUT))
  while ! "$@" >/dev/null 2>&1; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "wayland: $what exited while starting; its log:" >&2
      tail -n 20 "$ORVIK_WAYLAND_DIR/log/$what.log" >&2 2>/dev/null
      return 1
    fi
    if ((SECONDS >= deadline)); then
      echo "wayland: $what not ready after ${ORVIK_WAYLAND_TIMEOUT}s" >&2
      return 1
    fi
    sleep 0.05
  done
}

orvik_wayland_write_config() {
  local d=$ORVIK_WAYLAND_DIR w=$ORVIK_WAYLAND_WIDTH h=$ORVIK_WAYLAND_HEIGHT
  mkdir -p "$d/config/sway" "$d/config/xdg-desktop-portal-wlr" \
    "$d/config/pipewire/pipewire.conf.d" "$d/portals"
  cat >"$d/config/sway/config" <<EOF
xwayland disable
output HEADLESS-1 resolution ${w}x${h} position 0 0 scale 1 bg #202020 solid_color
EOF
  cat >"$d/config/xdg-desktop-portal-wlr/config" <<EOF
[screencast]
chooser_type=none
output_name=HEADLESS-1
EOF
  # A sink that always exists, so audio capture has something to record.
  cat >"$d/config/pipewire/pipewire.conf.d/orvik-null-sink.conf" <<'EOF'
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "orvik_null"
      media.class = Audio/Sink
      audio.position = [ FL FR ]
      object.linger = true
      monitor.channel-volumes = true
    }
  }
]
EOF
  cat >"$d/portals/wlr.portal" <<'EOF'
[portal]
DBusName=org.freedesktop.impl.portal.desktop.wlr
Interfaces=org.freedesktop.impl.portal.Screenshot;org.freedesktop.impl.portal.ScreenCast;
UseIn=wlroots;sway
EOF
}

# Readiness checks, each run as the session's uid.
orvik_wayland_sway_ready() {
  local ipc display
  for ipc in "$ORVIK_WAYLAND_DIR"/run/sway-ipc.*.sock; do
    [ -S "$ipc" ] || continue
    SWAYSOCK=$ipc orvik_in_wayland swaymsg -t get_outputs >/dev/null || return 1
    ORVIK_WAYLAND_SWAYSOCK=$ipc
    for display in "$ORVIK_WAYLAND_DIR"/run/wayland-*; do
      [[ -S "$display" ]] && { ORVIK_WAYLAND_DISPLAY=$display; return 0; }
    done
  done
  return 1
}
# Asks the bus itself, so that the name's service is never activated by it.
orvik_wayland_name_owned() {
  orvik_in_wayland busctl --user --timeout=2 call org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus NameHasOwner s "$1" | grep -qx 'b true'
}
orvik_wayland_portal_ready() {
  orvik_wayland_name_owned org.freedesktop.portal.Desktop &&
    orvik_in_wayland busctl --user --timeout=2 get-property org.freedesktop.portal.Desktop \
      /org/freedesktop/portal/desktop org.freedesktop.portal.ScreenCast version >/dev/null
}
orvik_wayland_session_manager_ready() {
  # The default metadata appears once WirePlumber's policy is running.
  orvik_in_wayland pw-cli ls Metadata 2>/dev/null | grep -q '"default"'
}

orvik_start_wayland() {
  local t0=${EPOCHREALTIME/./}
  if [ -n "${ORVIK_WAYLAND_DIR:-}" ]; then
    echo "wayland: a session is already up in $ORVIK_WAYLAND_DIR" >&2
    return 1
  fi
  "$ORVIK_WAYLAND_SCRIPTS/build-xdpw.sh" || return 1
  local xdpw=${ORVIK_XDPW_DIR:-$(dirname "$ORVIK_WAYLAND_SCRIPTS")/build-wayland/xdpw}/bin/xdg-desktop-portal-wlr
  # The session's uid must reach the binary through every parent directory.
  if ! setpriv --reuid="$ORVIK_WAYLAND_UID" --regid="$ORVIK_WAYLAND_GID" --clear-groups \
    test -x "$xdpw"; then
    echo "wayland: $xdpw is not executable by uid $ORVIK_WAYLAND_UID" >&2
    return 1
  fi

  ORVIK_WAYLAND_DIR=$(mktemp -d /tmp/orvik-wayland.XXXXXX) || return 1
  chmod 755 "$ORVIK_WAYLAND_DIR"
  local d=$ORVIK_WAYLAND_DIR
  mkdir -p "$d/home" "$d/run" "$d/log"
  orvik_wayland_write_config
  chown -R "$ORVIK_WAYLAND_UID:$ORVIK_WAYLAND_GID" "$d/home" "$d/run" "$d/config" "$d/portals"
  chmod 700 "$d/home" "$d/run" "$d/config"
  ORVIK_WAYLAND_DISPLAY='' ORVIK_WAYLAND_SWAYSOCK='' ORVIK_WAYLAND_BUS='' ORVIK_WAYLAND_PULSE=

  # The session bus first, in a session of its own so that whatever it
  # activates can be found at the end; the variables above are already set,
  # so activated services inherit them. Its child only reports the address
  # and waits; ending the child ends the bus.
  local busfile="$d/run/bus"
  # shellcheck disable=SC2016 # expanded by the inner shell
  orvik_wayland_background bus setsid dbus-run-session -- sh -c \
    'printf "%s %s\n" $$ "$DBUS_SESSION_BUS_ADDRESS" >"$1.tmp" && mv "$1.tmp" "$1" && exec sleep infinity' \
    sh "$busfile"
  ORVIK_WAYLAND_BUS_LEADER=$ORVIK_WAYLAND_LAST
  orvik_wayland_wait bus "$ORVIK_WAYLAND_BUS_LEADER" test -s "$busfile" || { orvik_stop_wayland; return 1; }
  read -r ORVIK_WAYLAND_BUS_CHILD ORVIK_WAYLAND_BUS <"$busfile"
  ORVIK_WAYLAND_BUS_SID=$(ps -o sid= -p "$ORVIK_WAYLAND_BUS_CHILD" | tr -d ' ')

  orvik_wayland_spawn sway env WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 sway --config "$d/config/sway/config"
  orvik_wayland_wait sway "${ORVIK_WAYLAND_PIDS[-1]}" orvik_wayland_sway_ready ||
    { orvik_stop_wayland; return 1; }
  orvik_in_wayland dbus-update-activation-environment WAYLAND_DISPLAY="$ORVIK_WAYLAND_DISPLAY" \
    SWAYSOCK="$ORVIK_WAYLAND_SWAYSOCK" || { orvik_stop_wayland; return 1; }

  orvik_wayland_spawn pipewire pipewire
  orvik_wayland_wait pipewire "${ORVIK_WAYLAND_PIDS[-1]}" orvik_in_wayland pw-cli info 0 ||
    { orvik_stop_wayland; return 1; }
  orvik_wayland_spawn wireplumber wireplumber
  orvik_wayland_wait wireplumber "${ORVIK_WAYLAND_PIDS[-1]}" orvik_wayland_session_manager_ready ||
    { orvik_stop_wayland; return 1; }
  orvik_wayland_spawn pipewire-pulse pipewire-pulse
  ORVIK_WAYLAND_PULSE="unix:$d/run/pulse/native"
  orvik_wayland_wait pipewire-pulse "${ORVIK_WAYLAND_PIDS[-1]}" orvik_in_wayland pactl info ||
    { orvik_stop_wayland; return 1; }
  orvik_in_wayland pactl set-default-sink orvik_null >/dev/null 2>&1 || true

  orvik_wayland_spawn xdg-desktop-portal-wlr "$xdpw" -l "${ORVIK_XDPW_LOG:-WARN}"
  orvik_wayland_wait xdg-desktop-portal-wlr "${ORVIK_WAYLAND_PIDS[-1]}" \
    orvik_wayland_name_owned org.freedesktop.impl.portal.desktop.wlr || { orvik_stop_wayland; return 1; }
  orvik_wayland_spawn xdg-desktop-portal /usr/libexec/xdg-desktop-portal -r
  orvik_wayland_wait xdg-desktop-portal "${ORVIK_WAYLAND_PIDS[-1]}" orvik_wayland_portal_ready ||
    { orvik_stop_wayland; return 1; }
  export ORVIK_WAYLAND_DIR ORVIK_WAYLAND_DISPLAY ORVIK_WAYLAND_SWAYSOCK ORVIK_WAYLAND_BUS \
    ORVIK_WAYLAND_PULSE ORVIK_WAYLAND_UID ORVIK_WAYLAND_GID
  # shellcheck disable=SC2034 # for the caller
  ORVIK_WAYLAND_STARTUP_MS=$(((${EPOCHREALTIME/./} - t0) / 1000))
}

# Ends one process: TERM, then KILL if it has not gone within 5 s. (bash
# reaps its own background children as they exit, so kill -0 fails then.)
orvik_wayland_end() {
  local pid=$1 i
  kill "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Stops everything started, the last started first, then the bus and what
# it activated, and removes the session's directories.
orvik_stop_wayland() {
  local i pid
  for ((i = ${#ORVIK_WAYLAND_PIDS[@]} - 1; i >= 0; i--)); do
    orvik_wayland_end "${ORVIK_WAYLAND_PIDS[$i]}"
  done
  ORVIK_WAYLAND_PIDS=()
  if [ -n "${ORVIK_WAYLAND_BUS_LEADER:-}" ]; then
    # Ending the bus's child makes dbus-run-session stop the bus and exit.
    [ -z "${ORVIK_WAYLAND_BUS_CHILD:-}" ] || orvik_wayland_end "$ORVIK_WAYLAND_BUS_CHILD"
    orvik_wayland_end "$ORVIK_WAYLAND_BUS_LEADER"
    # Services the bus activated (permission store, document portal) were
    # in its process session; end those still there.
    if [ -n "${ORVIK_WAYLAND_BUS_SID:-}" ]; then
      for pid in $(ps -o pid= -s "$ORVIK_WAYLAND_BUS_SID" 2>/dev/null); do
        orvik_wayland_end "$pid"
      done
    fi
  fi
  ORVIK_WAYLAND_BUS_LEADER='' ORVIK_WAYLAND_BUS_CHILD='' ORVIK_WAYLAND_BUS_SID=
  if [ -n "${ORVIK_WAYLAND_DIR:-}" ] && [ -d "$ORVIK_WAYLAND_DIR" ]; then
    # A document portal may have left a FUSE mount in the runtime directory.
    umount -l "$ORVIK_WAYLAND_DIR/run/doc" 2>/dev/null || true
    rm -rf "$ORVIK_WAYLAND_DIR"
  fi
  unset ORVIK_WAYLAND_DIR ORVIK_WAYLAND_DISPLAY ORVIK_WAYLAND_SWAYSOCK ORVIK_WAYLAND_BUS \
    ORVIK_WAYLAND_PULSE
}
