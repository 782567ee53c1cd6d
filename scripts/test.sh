#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: Linux, the address+undefined and
# thread sanitizer builds, and the Windows build under Wine.
# Usage: scripts/test.sh [preset ...]   (default: linux asan tsan mingw)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check-format.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux asan tsan mingw)
for p in "${presets[@]}"; do
    echo "=== $p" >&2
    cmake --preset "$p" >/dev/null
    cmake --build --preset "$p"
    if [ "$p" = mingw ]; then
        xvfb-run -a -s "-screen 0 1024x768x24" scripts/wine-ctest.sh
    else
        ctest --preset "$p"
    fi
done
