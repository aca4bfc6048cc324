#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end tests on a real
# virtual display and sound server, then the unit tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the concurrency tests
# under ThreadSanitizer.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
bash scripts/models.sh

# Every C++ source as .clang-format lays it out.
git ls-files -z '*.cpp' '*.hpp' '*.h' | xargs -0 clang-format --dry-run -Werror

# shellcheck source=services.sh
source scripts/services.sh
trap orvik_stop_services EXIT
orvik_start_display
orvik_start_sound

bash scripts/build.sh build
ctest --test-dir build -L unit -j2 --output-on-failure
ctest --test-dir build -L e2e --output-on-failure

# The package a host ships: installed (into the system when root, as on CI,
# else into a scratch root), both programs answer from the installed paths.
deb=$(bash scripts/package.sh build)
dpkg-deb -f "$deb" Depends | grep -q libavcodec
if [ "$(id -u)" -eq 0 ]; then
  dpkg -i "$deb" >/dev/null
  bin=/usr/bin
else
  scratch=$(mktemp -d)
  dpkg-deb -x "$deb" "$scratch"
  bin="$scratch/usr/bin"
fi
[ "$("$bin/orvik-vision" check)" = '{"segmentation":true,"faces":true,"text":true}' ]
"$bin/orvik-capture" check | grep -q '"permission":true'
echo "package: $(basename "$deb") installed; both programs answer check from $bin"

# A headless Wayland session (sway, the screen-cast portal, PipeWire) runs as
# an unprivileged uid, so it needs root to start and programs that uid can
# reach: the installed ones, and the portal back end built where all can read.
if [ "$(id -u)" -eq 0 ]; then
  ORVIK_XDPW_DIR=/var/cache/orvik-xdpw bash tests/e2e/wayland/capture_test.sh /usr/bin/orvik-capture
else
  echo "wayland: skipped (the session needs root to start as its own uid)"
fi

bash scripts/build.sh build-asan -DORVIK_SANITIZE=ON -DORVIK_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan -L unit -j2 --output-on-failure

# Only the suites labelled "tsan" are built for ThreadSanitizer.
bash scripts/build.sh build-tsan -DORVIK_TSAN=ON -DORVIK_BENCH=OFF \
  -- capture_recorder_concurrency_test capture_streams_test media_writer_test
ctest --test-dir build-tsan -L tsan -j2 --output-on-failure --no-tests=error
