#!/usr/bin/env bash
# Builds the suite and runs every test. Extra arguments go to ctest
# (for example: scripts/test.sh -R BlockMap).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
preset="${KV_PRESET:-default}"
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
