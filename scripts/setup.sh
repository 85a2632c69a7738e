#!/usr/bin/env bash
# Installs every Debian package the suite needs to build and test. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

PACKAGES=(
  # tool chain
  g++ cmake ninja-build pkg-config git
  # libraries
  qt6-base-dev qt6-webengine-dev zlib1g-dev libminizip-dev nettle-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # independent peers used by tests (DES vectors, compound-file readers)
  openssl python3 python3-olefile
  # peers measured by the benchmarks
  curl aria2
  # real HTTP server for the client's integration tests
  nginx-light
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
