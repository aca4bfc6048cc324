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

# shellcheck source=services.sh
source scripts/services.sh
trap orvik_stop_services EXIT
orvik_start_display
orvik_start_sound

bash scripts/build.sh build
ctest --test-dir build -L unit -j2 --output-on-failure
ctest --test-dir build -L e2e --output-on-failure

bash scripts/build.sh build-asan -DORVIK_SANITIZE=ON -DORVIK_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan -L unit -j2 --output-on-failure

# Only the suites labelled "tsan" are built for ThreadSanitizer.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIK_TSAN=ON -DORVIK_BENCH=OFF \
  >/dev/null
cmake --build build-tsan -j"$(nproc)" \
  --target capture_recorder_concurrency_test capture_streams_test
ctest --test-dir build-tsan -L tsan -j2 --output-on-failure --no-tests=error
