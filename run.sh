#!/usr/bin/env bash
# Installs what is missing, builds, and starts the analyzer with the stand-in
# capture backend (arguments go to the analyzer: `./run.sh FILE` opens FILE).
# Without the GUI program it runs the most complete part
# that exists and says which.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
bin=$PWD/build/bin
work=${ORVANE_WORKDIR:-$PWD/run}
mkdir -p "$work"
cd "$work"
[[ -d script ]] || cp -r ../script . 2>/dev/null || true

if [[ -x "$bin/orvane" ]]; then
  exec "$bin/orvane" "$@"
elif [[ -x "$bin/orvane-dump" && -x "$bin/qelvo.exe" ]]; then
  echo "run.sh: the GUI program does not exist yet; decoding a simulated high-speed capture with orvane-dump instead."
  "$bin/qelvo.exe" -s hs --offline 2000 -f sim.qelvo
  exec "$bin/orvane-dump" --view transactions sim.qelvo "$@"
elif [[ -x "$bin/qelvo-host" && -x "$bin/qelvo.exe" ]]; then
  echo "run.sh: the GUI program does not exist yet; capturing 5 seconds from the simulated bus through libqelvo.so instead."
  exec "$bin/qelvo-host" --speed HS --seconds 5 "$@"
else
  echo "run.sh: built; no runnable program exists yet (the test suite runs with ./test.sh)."
fi
