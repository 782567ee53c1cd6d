#!/usr/bin/env bash
# The main window without a device conversation: start-up state, the progress rules, the
# About box and the device-change rescan. Usage: window_test.sh APP DRIVER
source "$(dirname "$0")/lib.sh"

start_app

check "title replaced at start-up" "$TITLE" "$(drv get "$TITLE" 0)"
check "port list: first scan selects COM5" "COM5 :ZQ418" "$(drv cbtext "$TITLE" 1001)"
read_log
check "log: one line per port found" $'Find ZQ-418 at COM5\r\n' "$LOG"
check "Update disabled at start" 0 "$(drv enabled "$TITLE" 1004)"
check "progress bar hidden at start" 0 "$(drv visible "$TITLE" 1006)"
check "port list enabled" 1 "$(drv enabled "$TITLE" 1001)"
check "Select Firmware enabled" 1 "$(drv enabled "$TITLE" 1002)"
check "path field empty" "" "$(drv get "$TITLE" 1003)"
check "keyboard focus in the port list" 1001 "$(drv focus "$TITLE")"

# Progress notifications: the first chunk sets the range 1..size in KiB, every one the
# position; the values go to the bar as they come.
drv progress "$TITLE" 1 300
check "progress 1/300: range" "1 300" "$(drv pbrange "$TITLE" 1006)"
check "progress 1/300: position" 1 "$(drv pbpos "$TITLE" 1006)"
drv progress "$TITLE" 2 999
check "progress 2: range kept" "1 300" "$(drv pbrange "$TITLE" 1006)"
check "progress 2: position" 2 "$(drv pbpos "$TITLE" 1006)"
drv progress "$TITLE" 1 40
check "a new first chunk sets the range anew" "1 40" "$(drv pbrange "$TITLE" 1006)"
drv progress "$TITLE" 1 0
check "a file under 1 KiB: upper bound 0 passed on" "1 0" "$(drv pbrange "$TITLE" 1006)"
check "progress messages leave the bar hidden" 0 "$(drv visible "$TITLE" 1006)"

# Device changes: every second DBT_DEVNODES_CHANGED rescans; other events do not count.
drv devchange "$TITLE"
check "first device change: no rescan" 1 "$(count_of "Find ZQ-418 at COM5" "$(log_text)")"
drv devchange "$TITLE"
check "second device change: rescan" 2 "$(count_of "Find ZQ-418 at COM5" "$(log_text)")"
check "rescan selects the first entry again" "COM5 :ZQ418" "$(drv cbtext "$TITLE" 1001)"
drv devchange "$TITLE" 0x8000 # DBT_DEVICEARRIVAL
drv devchange "$TITLE"
check "other device events are not counted" 2 "$(count_of "Find ZQ-418 at COM5" "$(log_text)")"
drv devchange "$TITLE"
check "counting goes on after a rescan" 3 "$(count_of "Find ZQ-418 at COM5" "$(log_text)")"

# The system menu's last items are ours; Wine lets no other process read a window's menu,
# so this one is for the eye (a screenshot).
drv syscmd "$TITLE" 0xF100 32 # SC_KEYMENU with a blank: open the system menu
sleep 1
screenshot system-menu.png
drv cancelmode "$TITLE"
sleep 0.5

# About box: only a system command whose id masked with 0xFFF0 is 16 opens it.
drv syscmd "$TITLE" 32
sleep 1
if drv wait "$ABOUT_TITLE" 0; then fail "system command 32 opened the About box"; else ok "system command 32 opens nothing"; fi
drv syscmd "$TITLE" 0x13
if drv wait "$ABOUT_TITLE" 10000; then
    ok "system command 0x13 opens the About box"
    check "About box button" "確定" "$(drv get "$ABOUT_TITLE" 1)"
    check "main window takes no input while the About box is open" 0 "$(drv enabled "$TITLE" 0)"
    screenshot about-box.png
    drv command "$ABOUT_TITLE" 1
    if drv waitgone "$ABOUT_TITLE" 10000; then ok "OK closes the About box"; else fail "About box still open"; fi
    check "main window takes input again" 1 "$(drv enabled "$TITLE" 0)"
    check "main window unchanged after the About box" 3 "$(count_of "Find ZQ-418 at COM5" "$(log_text)")"
else
    fail "system command 0x13 did not open the About box"
fi

# A selection in the log (here all of it) is not replaced by the next message: the log keeps
# its whole record and the message goes to its end.
drv setsel "$TITLE" 1005 0 -1
drv devchange "$TITLE"
drv devchange "$TITLE"
read_log
check "log kept under a selection" 4 "$(count_of "Find ZQ-418 at COM5" "$LOG")"
case "$LOG" in
    *$'Find ZQ-418 at COM5\r\n') ok "message appended at the end of the log" ;;
    *) fail "message not at the end of the log" ;;
esac

# Tab order: port list, Select Firmware, path field, (Update: disabled), log, and around.
# Last, since it moves the keyboard focus.
order=""
for _ in 1 2 3 4; do
    xdotool key Tab
    sleep 0.2
    order="$order $(drv focus "$TITLE")"
done
check "tab order" " 1002 1003 1005 1001" "$order"

close_app escape
finish
