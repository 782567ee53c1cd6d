#!/usr/bin/env bash
# One end-to-end case of `zq418-flash --transfer-only` over a pseudo-terminal.
# Usage: run_case.sh ZQ418_FLASH send SIZE | progress-bar | missing-file | folder | fifo |
#        no-such-port | port-busy | permission | too-large | name-too-long |
#        receiver ANSWERS PATTERN
# The receiver is lrzsz `rb`, fed through pipes that socat relays to the pty: rb flushes
# its terminal queues right after its last ACK, which on a pty can discard that ACK.
set -euo pipefail
tool=$(readlink -f "$1")
case_name=$2
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    for f in err out rb.log; do [ -s "$work/$f" ] && { echo "--- $f" >&2; cat "$work/$f" >&2; }; done
    exit 1
}

wait_for_link() {
    for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.05; done
    fail "pty link $1 did not appear"
}

# Runs the tool with a relative firmware path; expects exit status $1.
run_tool() {
    local want=$1
    shift
    set +e
    "$tool" "$@" >out 2>err
    local got=$?
    set -e
    [ "$got" -eq "$want" ] || fail "exit status $got, expected $want"
    [ ! -s out ] || fail "standard output is not empty"
}

# Expects exit 1 and one message on stderr matching the pattern.
expect_failure() {
    local pattern=$1
    shift
    run_tool 1 "$@"
    grep -qiE "$pattern" err || fail "message does not match /$pattern/"
    [ "$(grep -c 'zq418-flash:' err)" -eq 1 ] || fail "expected exactly one error message"
}

# A pty whose other side is written into a file: what the tool put on the line.
start_capture_line() {
    : >line.bin
    socat -u PTY,raw,echo=0,link="$work/port" OPEN:"$work/line.bin",append 2>/dev/null &
    pids+=($!)
    wait_for_link "$work/port"
}

case "$case_name" in
send)
    size=$3
    mkdir rx
    head -c "$size" /dev/urandom >fw.bin
    # rb writes only into rx/ (its working folder), refuses absolute names and "..", and
    # runs restricted.
    cat >rb.sh <<'RB'
#!/bin/sh
rb --ymodem --restricted 2>../rb.log
echo $? >../rb.rc
RB
    chmod +x rb.sh
    (cd rx && exec socat PTY,raw,echo=0,link="$work/port" EXEC:"$work/rb.sh",pipes 2>/dev/null) &
    pids+=($!)
    wait_for_link "$work/port"
    run_tool 0 --port "$work/port" --transfer-only fw.bin
    grep -q "Sent OK" err || fail "no 'Sent OK' in the trace"
    for _ in $(seq 100); do [ -s rb.rc ] && break; sleep 0.05; done
    [ "$(cat rb.rc 2>/dev/null)" = 0 ] || fail "rb did not finish successfully"
    [ "$(ls rx)" = fw.bin ] || fail "rb wrote other files: $(ls rx)"
    cmp fw.bin rx/fw.bin || fail "received file differs"
    ;;
progress-bar)
    # Standard error on a terminal: a bar instead of the engine's carriage-return lines.
    mkdir rx
    head -c 5000 /dev/urandom >fw.bin
    printf '#!/bin/sh\nrb --ymodem --restricted 2>../rb.log\n' >rb.sh
    chmod +x rb.sh
    (cd rx && exec socat PTY,raw,echo=0,link="$work/port" EXEC:"$work/rb.sh",pipes 2>/dev/null) &
    pids+=($!)
    wait_for_link "$work/port"
    set +e
    script -qec "'$tool' --port '$work/port' --transfer-only fw.bin" /dev/null >err 2>&1
    got=$?
    set -e
    [ "$got" -eq 0 ] || fail "exit status $got"
    grep -q '\[#\{40\}\] 100%  5000 of 5000 bytes' err || fail "no full bar"
    grep -q "Sent OK" err || fail "no 'Sent OK'"
    ! grep -q "bytes of" err || fail "the engine's trace lines were not replaced"
    cmp fw.bin rx/fw.bin || fail "received file differs"
    ;;
missing-file)
    start_capture_line
    expect_failure "no such file" --port "$work/port" --transfer-only absent.bin
    ;;
folder)
    mkdir fwdir
    start_capture_line
    expect_failure "is a folder" --port "$work/port" --transfer-only fwdir
    ;;
fifo)
    mkfifo fw.pipe
    start_capture_line
    expect_failure "not a regular file" --port "$work/port" --transfer-only fw.pipe
    ;;
no-such-port)
    head -c 100 /dev/urandom >fw.bin
    expect_failure "no such port" --port "$work/no-port" --transfer-only fw.bin
    expect_failure "no such port" --port ttyZQ418none --transfer-only fw.bin
    ;;
port-busy)
    head -c 100 /dev/urandom >fw.bin
    start_capture_line
    # Another program holding the port: it opens the device and takes the advisory lock.
    python3 -c '
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.flock(fd, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(60)' "$work/port" "$work/locked" </dev/null >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -e locked ] && break; sleep 0.05; done
    [ -e locked ] || fail "the holder did not lock the port"
    expect_failure "busy.*another program" --port "$work/port" --transfer-only fw.bin
    ;;
permission)
    # Needs a user who may not open the pty; only root can switch to one.
    [ "$(id -u)" -eq 0 ] || exit 77
    head -c 100 /dev/urandom >fw.bin
    chmod 755 "$work"
    chmod 644 fw.bin
    start_capture_line
    chmod 600 "$(readlink -f "$work/port")"
    tool_args=(--port "$work/port" --transfer-only fw.bin)
    set +e
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$tool" "${tool_args[@]}" >out 2>err
    got=$?
    set -e
    [ "$got" -eq 1 ] || fail "exit status $got, expected 1"
    grep -qi "permission denied.*dialout" err || fail "no permission message"
    ;;
too-large)
    truncate -s 2G big.bin
    start_capture_line
    expect_failure "2 GiB or more" --port "$work/port" --transfer-only big.bin
    ;;
name-too-long)
    # 4 folders of 250 characters and a 20-character name: 1024 bytes of path, more than
    # block 0 can announce.
    dir=$(printf 'd%.0s' $(seq 250))
    path="$dir/$dir/$dir/$dir/firmware-image-1.bin"
    mkdir -p "$(dirname "$path")"
    head -c 1000 /dev/urandom >"$path"
    start_capture_line
    expect_failure "too long" --port "$work/port" --transfer-only "$path"
    sleep 0.2
    [ ! -s line.bin ] || fail "bytes went out on the line"
    ;;
receiver)
    # A scripted receiver: it polls with 'C' until the first block, then answers each block
    # it gets with the next of the given answers (hex bytes, comma-separated per block) and
    # keeps quiet once they are used up. Expects exit 1 with a message matching $4.
    answers=$3
    pattern=$4
    head -c 5000 /dev/urandom >fw.bin
    cat >receiver.py <<'PY'
import os, select, sys, time
answers = [bytes.fromhex(a) for a in os.environ["ANSWERS"].split(",") if a]
out, inp = sys.stdout.fileno(), sys.stdin.fileno()
started = False
deadline = time.time() + 30
while time.time() < deadline:
    if not started:
        os.write(out, b"C")
    if not select.select([inp], [], [], 0.1)[0]:
        continue
    if not os.read(inp, 4096):
        break  # the sender closed the line
    started = True
    # Let the rest of the block arrive, then answer it.
    while select.select([inp], [], [], 0.05)[0] and os.read(inp, 4096):
        pass
    if answers:
        os.write(out, answers.pop(0))
PY
    ANSWERS=$answers socat PTY,raw,echo=0,link="$work/port" \
        EXEC:"python3 $work/receiver.py",pipes 2>/dev/null &
    pids+=($!)
    wait_for_link "$work/port"
    expect_failure "$pattern" --port "$work/port" --transfer-only fw.bin
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "ok: $case_name ${3:-}"
