#!/usr/bin/env bash
# Builds the suite and starts the main program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default
cmake --build --preset default
if [ -x build/default/src/apps/Kestova ]; then
  exec build/default/src/apps/Kestova "$@"
fi
echo "run: everything is built (build/default); no runnable program exists yet."
