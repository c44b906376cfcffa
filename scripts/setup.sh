#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and
# the tools need. Idempotent: does nothing when they are all present.
# Usage: scripts/setup.sh [extra-package ...]
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libopencv-dev
  libgtest-dev libgmock-dev
  libbenchmark-dev
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing ${missing[*]}" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
