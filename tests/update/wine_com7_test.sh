#!/usr/bin/env bash
# Runs the Win32 handshake line test under Wine with COM7 mapped to a pseudo-terminal whose
# device side com_peer.py plays. Needs BUILD (the MinGW build folder, as wine-ctest.sh sets).
# Usage: wine_com7_test.sh TEST_EXE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$1
: "${BUILD:?BUILD must name the MinGW build folder}"
source "$here/../../scripts/wine-env.sh"
work=$(mktemp -d)
peer=""
cleanup() {
    [ -n "$peer" ] && kill "$peer" 2>/dev/null && wait "$peer" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
python3 "$here/com_peer.py" "$BUILD/wine-com7" "$work/ready" 2>"$work/peer.log" &
peer=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.05; done
[ -s "$work/ready" ] || { echo "peer did not start" >&2; cat "$work/peer.log" >&2; exit 1; }
set +e
wine "$exe"
rc=$?
set -e
echo "--- peer" && cat "$work/peer.log"
exit $rc
