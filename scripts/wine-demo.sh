#!/usr/bin/env bash
# Runs the Windows dialog program under Wine, in a window on your display, against the
# device simulator on COM5, so that a whole update can be watched on Linux.
#
# Usage: scripts/wine-demo.sh [--auto]
#   --auto   choose the sample firmware and press "Update" by itself (through the test
#            driver); without it, do it yourself: "Select Firmware:", pick sample.dfu, "Update".
# The simulator answers every update until the window is closed; each verdict is printed.
# Environment: BUILD (MinGW build folder, default build/mingw), LINUX_BUILD (default
# build/linux), DISPLAY (required: the X display to show the window on).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
auto=0
for arg in "$@"; do
    case "$arg" in
        --auto) auto=1 ;;
        -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "wine-demo: unknown argument $arg (try --help)" >&2; exit 2 ;;
    esac
done

if [ -z "${DISPLAY:-}" ]; then
    cat >&2 <<'MSG'
wine-demo: no DISPLAY. The demo shows the real window, so it needs an X display: run it in
a desktop session, or over "ssh -X". Without a screen, the same update runs headless in the
tests: xvfb-run -a -s "-screen 0 1024x768x24" scripts/wine-ctest.sh -R ui_
MSG
    exit 2
fi

export BUILD="${BUILD:-$root/build/mingw}"
linux_build="${LINUX_BUILD:-$root/build/linux}"
scripts/setup.sh

echo "wine-demo: building the Windows program and the simulator..." >&2
[ -f "$BUILD/CMakeCache.txt" ] || cmake --preset mingw -B "$BUILD" >/dev/null
targets=(--target zq418_firmware_tool)
[ "$auto" = 1 ] && targets+=(--target guidriver)
cmake --build "$BUILD" "${targets[@]}" -j2 >/dev/null
[ -f "$linux_build/CMakeCache.txt" ] || cmake --preset linux -B "$linux_build" >/dev/null
cmake --build "$linux_build" --target zq418-sim -j2 >/dev/null
app="$BUILD/ui/ZQ-418_Firmware_Tool.exe"
sim="$linux_build/sim/zq418-sim"

scripts/wine-prefix.sh
source scripts/wine-env.sh

demo="$BUILD/demo"
mkdir -p "$demo"
# A run before this one may have left its simulator loop behind: end it by its own id.
if [ -f "$demo/sim-loop.pid" ]; then
    old=$(cat "$demo/sim-loop.pid")
    kill -- "-$old" 2>/dev/null || kill "$old" 2>/dev/null || true
    rm -f "$demo/sim-loop.pid"
fi

# The same 128 KiB sample every time (about 12 s at 115200 baud).
sample="$demo/sample.dfu"
python3 - "$sample" <<'PY'
import hashlib, sys
data = b''.join(hashlib.sha256(i.to_bytes(4, 'little')).digest() for i in range(4096))
open(sys.argv[1], 'wb').write(data)
PY

# The simulator on COM5, paced like the real line, started anew after every update.
set -m
(
    while true; do
        "$sim" --link "$BUILD/wine-com5" --out "$demo/received.dfu" --baud 115200 \
            --timeout 3600 >"$demo/sim.out" 2>"$demo/sim.err" || true
        verdict=$(tail -n 1 "$demo/sim.out")
        echo "zq418-sim: $verdict" >&2
        sleep 0.5
    done
) &
sim_loop=$!
set +m
echo "$sim_loop" >"$demo/sim-loop.pid"
stop_sim() {
    kill -- "-$sim_loop" 2>/dev/null || true
    rm -f "$demo/sim-loop.pid"
}
trap stop_sim EXIT
for _ in $(seq 50); do grep -q '^PTY ' "$demo/sim.out" 2>/dev/null && break; sleep 0.1; done

winsample="Z:${sample//\//\\}"
echo "wine-demo: sample firmware $winsample (sha256 $(sha256sum "$sample" | cut -d' ' -f1))" >&2
echo "wine-demo: starting the program; close its window to end the demo." >&2
echo "wine-demo: the transfer's console trace follows; Wine's own messages go to $demo/wine.log" >&2
# Wine's server and services inherit the first Wine process's stderr: keep it in a file.
(cd "$demo" && exec wine "$app" 2>"$demo/wine.log") &
app_pid=$!

if [ "$auto" = 1 ]; then
    driver="$BUILD/tests/ui/guidriver.exe"
    title="ZQ-418 Firmware Tool(0904171)"
    chooser="Open a firmware file for ZQ418"
    exec 3>&2 2>>"$demo/wine.log"
    wine "$driver" wait "$title" 60000
    sleep 1
    wine "$driver" postclick "$title" 1002
    wine "$driver" wait "$chooser" 15000
    sleep 1
    wine "$driver" ofn-accept "$chooser" "$winsample"
    sleep 1
    wine "$driver" postclick "$title" 1004
    exec 2>&3 3>&-
fi

wait "$app_pid" || true
echo "wine-demo: the window closed." >&2
