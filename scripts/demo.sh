#!/usr/bin/env bash
# The main job, from a fresh Debian machine: installs what is needed, builds zq418-flash and
# the device simulator, makes a sample firmware file and runs a whole update with it:
# the flash-mode dialogue, then the transfer with its progress.
#
# With a ZQ-418 attached (zq418-flash --list finds it) the update goes to that device.
# Otherwise (or with ZQ418_DEMO_SIM=1) it goes to zq418-sim, paced at 115200 baud like the
# real line, and the image the simulator received is checked against the file (sha256).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup.sh
echo "== Building zq418-flash and zq418-sim" >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target zq418-flash zq418-sim -j2 >/dev/null
flash=$root/build/linux/cli/zq418-flash
sim=$root/build/linux/sim/zq418-sim

demo=$root/build/demo
mkdir -p "$demo"
firmware=demo-firmware.dfu
# 200 KiB of pseudo-random bytes, the same every run.
python3 - "$demo/$firmware" <<'PY'
import random, sys
random.seed(418)
open(sys.argv[1], "wb").write(random.randbytes(200 * 1024))
PY
echo "== Firmware: $demo/$firmware ($(stat -c %s "$demo/$firmware") bytes)" >&2

if [ "${ZQ418_DEMO_SIM:-0}" != 1 ] && "$flash" --list 2>/dev/null | grep -q "Find ZQ-418 at"; then
    echo "== A ZQ-418 is attached: updating it" >&2
    cd "$demo"
    exec "$flash" "$firmware"
fi

sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

echo "== No device attached: starting the simulator (115200 baud)" >&2
rm -f "$demo/received.dfu" "$demo/sim.out"
"$sim" --baud 115200 --out "$demo/received.dfu" >"$demo/sim.out" 2>"$demo/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$demo/sim.out" ] && break
    sleep 0.05
done
pty=$(sed -n '1s/^PTY //p' "$demo/sim.out")
[ -n "$pty" ] || { echo "the simulator did not start" >&2; cat "$demo/sim.err" >&2; exit 1; }

echo "== zq418-flash --port $pty $firmware" >&2
echo "-- log (standard output):" >&2
cd "$demo"
set +e
"$flash" --port "$pty" "$firmware"
status=$?
set -e
echo "-- zq418-flash exit status: $status" >&2

wait "$sim_pid" || true
sim_pid=""
verdict=$(tail -n 1 "$demo/sim.out")
echo "== Simulator: $verdict" >&2
want=$(sha256sum "$firmware" | cut -d' ' -f1)
if [ "$status" -eq 0 ] && [ -f received.dfu ] &&
    [ "$(sha256sum received.dfu | cut -d' ' -f1)" = "$want" ] &&
    [[ "$verdict" == "VERDICT OK "*"sha256=$want" ]]; then
    echo "== OK: the device received the firmware intact (sha256 $want)" >&2
    exit 0
fi
echo "== FAILED: the update did not deliver the firmware intact" >&2
exit 1
