#!/usr/bin/env bash
# Installs every Debian package listed in scripts/packages.txt and
# scripts/packages-wayland.txt (the headless Wayland test session) that is missing.
# Idempotent: runs `apt-get update` only when something has to be installed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mapfile -t wanted < <(grep -h -v -E '^\s*(#|$)' "$here/packages.txt" "$here/packages-wayland.txt")
missing=()
# Node.js and npm come with this kind of machine; install Debian's only when absent.
command -v npm >/dev/null 2>&1 || wanted+=(nodejs npm)
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
