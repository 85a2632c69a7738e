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
# Until the desktop program exists the engine's host is the command-line downloader.
if [ "$#" -eq 0 ]; then
  echo "run: everything is built; the downloader is build/default/src/apps/kvget:"
  exec build/default/src/apps/kvget --help
fi
exec build/default/src/apps/kvget "$@"
