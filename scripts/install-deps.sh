#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those still missing,
# so a second run costs nothing. Must run as root (or with sudo available).
set -euo pipefail

packages=(cmake g++ ninja-build pkg-config qtbase5-dev qtbase5-private-dev liblua5.4-dev uthash-dev
          libgtest-dev libgmock-dev libbenchmark-dev fonts-dejavu-core)
# Optional extras: tshark is the decode benchmark's reference, xvfb runs
# the real-window check. Pass --with-test-tools to get them.
if [[ "${1:-}" == "--with-test-tools" ]]; then
  packages+=(tshark xvfb xauth)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
