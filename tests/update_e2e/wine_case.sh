#!/usr/bin/env bash
# One end-to-end case of the Windows zq418-flash under Wine against zq418-sim (a Linux
# program) on COM7. Needs BUILD (the MinGW build folder, as scripts/wine-ctest.sh sets).
# Usage: wine_case.sh ZQ418_FLASH_EXE CASE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${BUILD:?BUILD must name the MinGW build folder}"
source "$here/../../scripts/wine-env.sh"
source "$here/../ui/find_sim.sh"
sim=$(find_sim) || { echo "no zq418-sim" >&2; exit 1; }
ZQ418_WINE_LINK="$BUILD/wine-com7" exec python3 "$here/run_case.py" "$1" "$sim" "$2"
