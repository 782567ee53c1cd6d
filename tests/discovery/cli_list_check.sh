#!/usr/bin/env bash
# Runs `zq418-flash --list` and checks its standard output byte for byte.
# Usage: cli_list_check.sh exact 'printf-format' COMMAND...   stdout must be exactly that text
#        cli_list_check.sh lines COMMAND...                   every line a "Find ZQ-418 at" line
set -u
mode=$1
shift
if [ "$mode" = exact ]; then
    expected=$(printf "$1"; printf x)
    shift
fi
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" --list >"$out" 2>"$err"
status=$?
if [ $status -ne 0 ]; then
    echo "exit status $status, stderr:"; cat "$err"; exit 1
fi
case $mode in
exact)
    actual=$(cat "$out"; printf x)
    if [ "$actual" != "$expected" ]; then
        echo "stdout differs; got:"; od -c "$out"; exit 1
    fi
    ;;
lines)
    # Every line is "Find ZQ-418 at <port>\r\n"; with none, a note on stderr.
    if [ -s "$out" ]; then
        if LC_ALL=C grep -qvaE $'^Find ZQ-418 at [^\r]*\r$' "$out" || [ "$(tail -c1 "$out" | od -An -c | tr -d ' ')" != '\n' ]; then
            echo "unexpected stdout:"; od -c "$out"; exit 1
        fi
    elif ! grep -q "no ZQ-418 device found" "$err"; then
        echo "no device and no note on stderr:"; cat "$err"; exit 1
    fi
    ;;
esac
exit 0
