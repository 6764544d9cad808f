#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite in parallel.
#   ./test.sh            normal build (build/)
#   ./test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh --with-test-tools

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ "${1:-}" == "--sanitize" ]]; then
  build=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DORVANE_BENCH=OFF)
fi
if [[ -n "${CI:-}" ]]; then flags+=(-DORVANE_WERROR=ON); fi

cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j "$(nproc)"
cd "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export QT_QPA_PLATFORM=offscreen
ctest -j "$(( $(nproc) * 2 ))" --output-on-failure --timeout 600
