#!/usr/bin/env bash
# Runs the MinGW build's tests under Wine; expects DISPLAY (run it under xvfb-run).
# Usage: [BUILD=build-folder] scripts/wine-ctest.sh [ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD="${BUILD:-$root/build/mingw}"
"$root/scripts/wine-prefix.sh"
source "$root/scripts/wine-env.sh"
# A persistent server, warmed up first: the first Wine process starts services that inherit
# its stderr, and ctest would otherwise wait on that pipe after every test.
wineserver -p </dev/null >"$BUILD/wineserver.log" 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
ctest --test-dir "$BUILD" --output-on-failure -j1 --timeout 600 "$@"
