# Shared by the dialog program's Wine tests; sourced. Arguments of the test: APP DRIVER.
# Expects BUILD (the MinGW build folder) and a running, warmed-up Wine server with DISPLAY
# (scripts/wine-ctest.sh provides both).
set -euo pipefail

APP=$(realpath "$1")
DRIVER=$(realpath "$2")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${BUILD:?BUILD must name the MinGW build folder}"
source "$root/scripts/wine-env.sh"

TITLE="ZQ-418 Firmware Tool(0904171)"
ABOUT_TITLE="關於 ZQ-418_Firmware_Tool"
CHOOSER_TITLE="Open a firmware file for ZQ418"

work=$(mktemp -d "$BUILD/ui-test.XXXXXX")
failures=0
app_pid=""
sim_pid=""

drv() { wine "$DRIVER" "$@"; }

ok() { echo "ok    $1"; }
fail() {
    echo "FAIL  $1" >&2
    failures=$((failures + 1))
}

# check NAME EXPECTED ACTUAL
check() {
    if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: expected [$2], got [$3]"; fi
}

# check_contains NAME NEEDLE HAYSTACK
check_contains() {
    if [[ "$3" == *"$2"* ]]; then ok "$1"; else fail "$1: [$2] not in [$3]"; fi
}

# wait_until SECONDS COMMAND...: true once COMMAND succeeds, false when time runs out.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    while ! "$@" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# Number of times NEEDLE occurs in TEXT.
count_of() {
    local text=$2 n=0
    while [[ "$text" == *"$1"* ]]; do
        text=${text#*"$1"}
        n=$((n + 1))
    done
    echo "$n"
}

# A Unix path as the Windows program sees it (drive Z: is the root).
winpath() {
    local p=${1//\//\\}
    echo "Z:$p"
}

# The log's text; $(...) would drop its trailing line breaks, so it is read into LOG.
read_log() {
    LOG=$(drv get "$TITLE" 1005 && printf .)
    LOG=${LOG%.}
}
log_text() { drv get "$TITLE" 1005; }

# Screenshot of the whole (virtual) screen into the build folder; with ZQ418_UPDATE_DOCS=1
# also into docs/, cut down to the windows (the plain desktop around them trimmed).
screenshot() {
    local name=$1
    mkdir -p "$BUILD/ui-screenshots"
    /usr/bin/import -window root "$BUILD/ui-screenshots/$name"
    if [ "${ZQ418_UPDATE_DOCS:-0}" = 1 ]; then
        /usr/bin/convert "$BUILD/ui-screenshots/$name" -trim +repage "$root/docs/$name"
    fi
    ok "screenshot $name"
}

start_app() {
    # The file chooser opens in the working folder.
    (cd "$work" && exec wine "$APP" >"$work/app.log" 2>&1) &
    app_pid=$!
    if ! drv wait "$TITLE" 30000; then
        fail "main window did not appear"
        exit 1
    fi
}

# Closes the window (close box by default; "escape": the Escape key, as the user would) and
# checks that the program ends with it.
close_app() {
    if [ "${1:-}" = escape ]; then
        xdotool key Escape
    else
        drv close "$TITLE" || true
    fi
    if wait_until 15 bash -c "! kill -0 $app_pid"; then
        local status=0
        wait "$app_pid" || status=$?
        check "program ends when its window closes (exit status)" 0 "$status"
    else
        fail "program still running 15 s after its window closed"
    fi
    app_pid=""
}

cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
        drv close "$ABOUT_TITLE" >/dev/null 2>&1 || true
        drv close "$CHOOSER_TITLE" >/dev/null 2>&1 || true
        drv close "$TITLE" >/dev/null 2>&1 || true
        sleep 2
        kill "$app_pid" 2>/dev/null || true
    fi
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then kill "$sim_pid" || true; fi
}
trap cleanup EXIT

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed; files in $work" >&2
        exit 1
    fi
    rm -rf "$work"
    echo "all checks passed"
}
