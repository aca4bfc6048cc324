#!/usr/bin/env bash
# Builds xdg-desktop-portal-wlr from Debian's source package with the demand
# for a DMA-BUF format dropped (scripts/xdpw-shm-only.patch): a compositor
# without a GPU offers shared memory only, and the stock portal then fails
# Start. The source comes through a private apt directory holding deb-src
# entries made from this machine's own Debian entries; the system's apt
# configuration and lists are left untouched.
#
# Output: $ORVIK_XDPW_DIR/bin/xdg-desktop-portal-wlr (default
# build-wayland/xdpw under the repository). Does nothing when that binary is
# already built from the same source version and patch.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="${ORVIK_XDPW_DIR:-$(dirname "$here")/build-wayland/xdpw}"
patch_file="$here/xdpw-shm-only.patch"
pkg=xdg-desktop-portal-wlr
mkdir -p "$root"

patch_sum=$(sha256sum "$patch_file" | cut -d' ' -f1)
# The version Debian offers this machine, read offline from the system's own
# lists; empty when unknown (then whatever was built last is kept).
candidate() {
  apt-cache policy "$pkg" 2>/dev/null | awk '/Candidate:/ && $2 != "(none)" { print $2 }'
}
if [ -x "$root/bin/$pkg" ] && [ -f "$root/stamp" ]; then
  read -r have_version have_sum <"$root/stamp" || true
  if [ "$have_sum" = "$patch_sum" ]; then
    # Asking apt takes most of a second: only when its lists changed since.
    if [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -newer "$root/stamp" -print -quit)" ]; then
      exit 0
    fi
    want=$(candidate)
    if [ -z "$want" ] || [ "$want" = "$have_version" ]; then
      touch "$root/stamp"
      exit 0
    fi
  fi
fi
want=${want-$(candidate)}

# Private apt state: source entries, lists and caches live under $root/apt.
apt_dir="$root/apt"
rm -rf "$apt_dir"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
{
  # deb822 stanzas of this release's suites, turned into source entries.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v rel="$codename" '
      function flush() {
        if (keep && uris != "" && suites != "") {
          print "Types: deb-src"; print "URIs: " uris; print "Suites: " suites
          print "Components: " comps; if (signed != "") print "Signed-By: " signed; print ""
        }
        keep = 0; uris = suites = comps = signed = ""
      }
      /^[[:space:]]*$/ { flush(); next }
      /^#/ { next }
      /^Types:/ { keep = ($0 ~ /[[:space:]]deb([[:space:]]|$)/) }
      /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
      /^Components:/ { sub(/^Components:[[:space:]]*/, ""); comps = $0 }
      /^Signed-By:/ { sub(/^Signed-By:[[:space:]]*/, ""); signed = $0 }
      /^Suites:/ {
        sub(/^Suites:[[:space:]]*/, ""); n = split($0, s, /[[:space:]]+/)
        for (i = 1; i <= n; i++)
          if (s[i] == rel || s[i] == rel "-updates" || s[i] == rel "-security")
            suites = suites (suites == "" ? "" : " ") s[i]
      }
      END { flush() }' "$f"
  done
} >"$apt_dir/sources.list.d/debian-src.sources"
# One-line entries, the older format.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  if [ -f "$f" ]; then cat "$f"; fi
done |
  awk -v rel="$codename" '$1 == "deb" {
      s = ($2 ~ /^\[/) ? $3 : $2; if ($2 ~ /^\[/ && $2 !~ /\]$/) next
      if (s == rel || s == rel "-updates" || s == rel "-security") { $1 = "deb-src"; print }
    }' >"$apt_dir/sources.list.d/debian-src.list"
if ! grep -q . "$apt_dir/sources.list.d/debian-src.sources" "$apt_dir/sources.list.d/debian-src.list"; then
  echo "build-xdpw: no Debian $codename entry in /etc/apt to derive a source entry from" >&2
  exit 1
fi
apt_opts=(
  -o "Dir::Etc::sourcelist=/dev/null" -o "Dir::Etc::sourceparts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root"
)
apt-get "${apt_opts[@]}" -qq update >&2

src="$root/src"
rm -rf "$src"
mkdir -p "$src"
(cd "$src" && apt-get "${apt_opts[@]}" -qq source "$pkg${want:+=$want}" >&2)
tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -n1)
[ -n "$tree" ] || { echo "build-xdpw: apt-get source left no source tree" >&2; exit 1; }
version=$(cd "$tree" && dpkg-parsechangelog -S Version)
patch -d "$tree" -p1 --forward --quiet <"$patch_file"

# Only the binary is needed: no man page (scdoc), no systemd unit.
rm -rf "$root/build"
meson setup "$root/build" "$tree" -Dbuildtype=release -Dman-pages=disabled \
  -Dsd-bus-provider=libsystemd -Dsystemd=disabled >&2
ninja -C "$root/build" -j "${ORVIK_BUILD_JOBS:-1}" >&2
mkdir -p "$root/bin"
install -m 0755 "$root/build/$pkg" "$root/bin/$pkg"
echo "$version $patch_sum" >"$root/stamp"
echo "build-xdpw: built $pkg $version" >&2
