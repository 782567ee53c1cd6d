#!/usr/bin/env bash
# A whole update in the real window against the device simulator on COM5: the file chosen
# through the open-file dialog (and a later cancelled choice that must keep it), the
# dialogue, the transfer with the progress bar, the outcome, and the simulator's verdict.
# Usage: update_test.sh APP DRIVER
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/find_sim.sh"

sim=$(find_sim) || { fail "no zq418-sim: build the linux preset's zq418-sim or set ZQ418_SIM"; exit 1; }

# 64 KiB and a bit: a short last block, and about 6 s on a line paced at 115200 baud.
firmware="$work/firmware.dfu"
head -c $((64 * 1024 + 123)) /dev/urandom >"$firmware"
size=$(stat -c %s "$firmware")
sha=$(sha256sum "$firmware" | cut -d' ' -f1)

# COM5 is the prefix's reserved link; the simulator points it at its pseudo-terminal.
"$sim" --link "$BUILD/wine-com5" --out "$work/received.bin" --baud 115200 --timeout 60 \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_until 10 grep -q '^PTY ' "$work/sim.out" || { fail "simulator did not start"; exit 1; }

start_app
check "port list: COM5 selected" "COM5 :ZQ418" "$(drv cbtext "$TITLE" 1001)"
read_log
check "log: port found" $'Find ZQ-418 at COM5\r\n' "$LOG"

# Choose the file through the real open-file dialog.
winfile=$(winpath "$firmware")
drv postclick "$TITLE" 1002
if drv wait "$CHOOSER_TITLE" 15000; then
    drv ofn-accept "$CHOOSER_TITLE" "$winfile"
    drv waitgone "$CHOOSER_TITLE" 10000 || fail "open-file dialog did not close on OK"
else
    fail "open-file dialog did not open"
fi
read_log
check_contains "log: chosen file" $'Select Firmware File: '"$winfile"$'\r\n' "$LOG"
check "path field shows the file" "$winfile" "$(drv get "$TITLE" 1003)"
check "Update enabled after a choice" 1 "$(drv enabled "$TITLE" 1004)"

# Open the chooser again and cancel it: the earlier choice stays, and is what gets sent.
drv postclick "$TITLE" 1002
if drv wait "$CHOOSER_TITLE" 15000; then
    drv command "$CHOOSER_TITLE" 2
    drv waitgone "$CHOOSER_TITLE" 10000 || fail "open-file dialog did not close on Cancel"
else
    fail "open-file dialog did not open the second time"
fi
check "cancelled choice: path field unchanged" "$winfile" "$(drv get "$TITLE" 1003)"
check "cancelled choice: Update still enabled" 1 "$(drv enabled "$TITLE" 1004)"

# Text typed into the path field is not what gets sent: only a choice in the dialog counts.
drv settext "$TITLE" 1003 'Z:\no\such\file.dfu'

# Update.
started=$(date +%s.%N)
drv postclick "$TITLE" 1004
locked() { [ "$(drv enabled "$TITLE" 1004)" = 0 ]; }
wait_until 10 locked || fail "Update did not lock the window"
for id in 1001 1002 1003 1004; do
    check "control $id disabled during the update" 0 "$(drv enabled "$TITLE" $id)"
done
check "progress bar shown during the update" 1 "$(drv visible "$TITLE" 1006)"

moving() { [ "$(drv pbpos "$TITLE" 1006)" -gt 20 ]; }
if wait_until 40 moving; then
    ok "progress bar moves"
    check "progress range 1..size in KiB" "1 $((size >> 10))" "$(drv pbrange "$TITLE" 1006)"
    screenshot main-window-update.png
else
    fail "progress bar did not move; log: $(log_text)"
fi

finished() { [[ "$(log_text)" == *"success."* || "$(log_text)" == *"fail"* || "$(log_text)" == *"Error"* ]]; }
wait_until 60 finished || fail "no outcome in the log within 60 s"
# A measurement, not a check: the whole update against the floor of the paced line.
echo "measured: update of $size bytes took $(echo "$(date +%s.%N) - $started" | bc -l | cut -c1-5) s" \
    "(the data alone needs $(echo "$size / 11520" | bc -l | cut -c1-4) s at 115200 baud 8N1)"
read_log
check_contains "log: dialogue start" $'\r\nSwitch to Flash Mode.\r\n' "$LOG"
check_contains "log: device menu line" "New" "$LOG"
check_contains "log: transfer start" $'\r\nUpdataing Firmware ...\r\n' "$LOG"
check_contains "log: success with the file's name" $'\r\nUpdate firmware.dfu success.\r\n' "$LOG"
# Both workers write to the one log: the reader's messages keep their order, and the writer
# ends once, after the line that brought flash mode.
order=$'*\r\nSwitch to Flash Mode.\r\n*New*abort*\r\nUpdataing Firmware ...\r\n*\r\nUpdate firmware.dfu success.\r\n*'
[[ "$LOG" == $order ]] && ok "log: messages in order" || fail "log: messages out of order: [$LOG]"
check "log: the writer ends once" 1 "$(count_of $'\r\nSendThread Exit.\r\n' "$LOG")"
[[ "${LOG##*abort}" == *$'\r\nSendThread Exit.\r\n'* ]] && ok "log: the writer ends after flash mode" ||
    fail "log: the writer ended before flash mode: [$LOG]"

unlocked() { [ "$(drv enabled "$TITLE" 1004)" = 1 ]; }
wait_until 10 unlocked || fail "window not unlocked after the update"
for id in 1001 1002 1003 1004; do
    check "control $id enabled after the update" 1 "$(drv enabled "$TITLE" $id)"
done
check "progress bar hidden after the update" 0 "$(drv visible "$TITLE" 1006)"

# The device's side.
if wait_until 30 bash -c "! kill -0 $sim_pid"; then
    sim_status=0
    wait "$sim_pid" || sim_status=$?
    sim_pid=""
    check "simulator exit status" 0 "$sim_status"
    # The header block announces the path as given, upper case lowered and '\' as '/'.
    announced=$(printf '%s' "$winfile" | tr 'A-Z\\' 'a-z/')
    check "simulator verdict" "VERDICT OK name=$announced size=$size sha256=$sha" \
        "$(tail -n 1 "$work/sim.out")"
    cmp -s "$firmware" "$work/received.bin" && ok "received file identical" || fail "received file differs"
else
    fail "simulator still running after the update"
fi

# Closing the window in the middle of a transfer ends the program at once: nothing waits for
# the update's threads.
"$sim" --link "$BUILD/wine-com5" --out "$work/received2.bin" --baud 115200 --timeout 10 \
    >"$work/sim2.out" 2>"$work/sim2.err" &
sim_pid=$!
wait_until 10 grep -q '^PTY ' "$work/sim2.out" || fail "second simulator did not start"
drv postclick "$TITLE" 1004
transferring() { [ "$(count_of "Updataing Firmware" "$(log_text)")" = 2 ]; }
if wait_until 40 transferring; then
    sleep 1 # well inside the 6 s the data takes
    drv close "$TITLE"
    closed_at=$SECONDS
    if wait_until 3 bash -c "! kill -0 $app_pid"; then
        status=0
        wait "$app_pid" || status=$?
        check "closed during a transfer: exit status" 0 "$status"
        ok "closed during a transfer: ended within $((SECONDS - closed_at + 1)) s"
    else
        fail "program still running 3 s after its window closed during a transfer"
    fi
    app_pid=""
else
    fail "second update did not start its transfer; log: $(log_text)"
    close_app
fi
finish
