#!/usr/bin/env bash
# Installs what is missing, builds, and starts the analyzer with the stand-in
# capture backend (arguments go to the analyzer: `./run.sh FILE` opens FILE).
# The analyzer works in run/ (its store files in run/data/, the Lua script in
# run/script/); ORVANE_WORKDIR chooses another folder.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
bin=$PWD/build/bin
work=${ORVANE_WORKDIR:-$PWD/run}
mkdir -p "$work"
[[ -d "$work/script" ]] || cp -r script "$work/"
cd "$work"

if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]]; then
  echo "run.sh: no display to open the window on (DISPLAY is not set); start it from a desktop" \
       "session, or under a virtual one: xvfb-run ./run.sh" >&2
  exit 1
fi
exec "$bin/orvane" "$@"
