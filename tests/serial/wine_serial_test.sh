#!/usr/bin/env bash
# Windows serial tests under Wine, on a COM port mapped to a pseudo-terminal.
# Usage: wine_serial_test.sh port   PORT_TEST_EXE   (WindowsSerialPort against an echoing peer)
#        wine_serial_test.sh transfer ZQ418_FLASH_EXE SIZE   (rb receives through COM6)
# Needs BUILD (the MinGW build folder) and its Wine prefix, as scripts/wine-ctest.sh sets up:
# the prefix reserves COMn for the link $BUILD/wine-comN, which this test points at its pty.
set -euo pipefail
mode=$1
exe=$2
: "${BUILD:?BUILD must name the MinGW build folder (run under scripts/wine-ctest.sh)}"
source "$(dirname "$0")/../../scripts/wine-env.sh"
[ -f "$WINEPREFIX/system.reg" ] || { echo "no Wine prefix at $WINEPREFIX" >&2; exit 1; }
com=COM6
link="$BUILD/wine-com6"
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in out err rb.log; do [ -s "$work/$f" ] && { echo "--- $f" >&2; cat "$work/$f" >&2; }; done
    exit 1
}

# socat replaces the link with one to its new pty.
start_line() {
    rm -f "$link"
    (cd "$work/rx" && exec socat PTY,raw,echo=0,link="$link" "$1" 2>"$work/socat.log") &
    pids+=($!)
    for _ in $(seq 100); do [ -e "$link" ] && return 0; sleep 0.05; done
    fail "pty link $link did not appear"
}

mkdir "$work/rx"
case "$mode" in
port)
    start_line "EXEC:cat,pipes"
    ZQ_TEST_PORT=$com wine "$exe" >"$work/out" 2>"$work/err" || fail "port tests failed"
    cat "$work/out"
    ;;
transfer)
    size=$3
    head -c "$size" /dev/urandom >"$work/fw.bin"
    cat >"$work/rb.sh" <<'RB'
#!/bin/sh
rb --ymodem --restricted 2>../rb.log
echo $? >../rb.rc
RB
    chmod +x "$work/rb.sh"
    # rb on pipes that socat relays to the pty (rb's flush after its last ACK could drop
    # that ACK on a terminal).
    start_line "EXEC:$work/rb.sh,pipes"
    set +e
    (cd "$work" && wine "$exe" --port "$com" --transfer-only fw.bin >"$work/out" 2>"$work/err")
    status=$?
    set -e
    [ "$status" -eq 0 ] || fail "zq418-flash.exe exit status $status"
    [ ! -s "$work/out" ] || fail "standard output is not empty"
    grep -q "Sent OK" "$work/err" || fail "no 'Sent OK' in the trace"
    for _ in $(seq 100); do [ -s "$work/rb.rc" ] && break; sleep 0.05; done
    [ "$(cat "$work/rb.rc" 2>/dev/null)" = 0 ] || fail "rb did not finish successfully"
    [ "$(ls "$work/rx")" = fw.bin ] || fail "rb wrote other files: $(ls "$work/rx")"
    cmp "$work/fw.bin" "$work/rx/fw.bin" || fail "received file differs"
    echo "ok: $size bytes through $com"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
