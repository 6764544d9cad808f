#!/usr/bin/env bash
# Builds and runs the benchmarks (not part of the test suite).
#   ./bench.sh            all of them
#   ./bench.sh NAME...    only bench/NAME.sh or build-bench/bin/bench_NAME
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)"
export ORVANE_BIN="$PWD/build-bench/bin"
want=("$@")
runs() { [[ ${#want[@]} -eq 0 ]] || [[ " ${want[*]} " == *" $1 "* ]]; }
for exe in build-bench/bin/bench_*; do
  [[ -x "$exe" ]] || continue
  name=${exe##*/bench_}
  runs "$name" || continue
  echo "== $name"
  "$exe"
done
for script in bench/*.sh; do
  [[ -f "$script" ]] || continue
  name=$(basename "$script" .sh)
  runs "$name" || continue
  echo "== $name"
  bash "$script"
done
