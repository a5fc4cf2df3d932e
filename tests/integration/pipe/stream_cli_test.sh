#!/usr/bin/env bash
# ostrane-cli stream under the virtual board launcher: a clean loopback run with its periodic lines
# and totals, and runs that fail (missing board, stalled pipe, unplugged board) with one error line
# and a non-zero status.
set -uo pipefail
vboard=$1
cli=$2
fail() { echo "FAIL: $*"; exit 1; }
script=$(mktemp)
trap 'rm -f "$script"' EXIT

out=$("$vboard" --boards 1 -- "$cli" stream --board 0 --seconds 2 --size 65536) \
    || fail "stream exited non-zero: $out"
grep -Eq '^1\.[0-9] s: written [0-9.]+ [KMG]?B, read [0-9.]+ [KMG]?B, [0-9.]+ MB/s$' <<<"$out" \
    || fail "no periodic line: $out"
written=$(sed -n 's/^written: \([0-9]*\) bytes$/\1/p' <<<"$out")
read=$(sed -n 's/^read: \([0-9]*\) bytes$/\1/p' <<<"$out")
[ -n "$written" ] && [ "$written" -gt 0 ] && [ "$written" = "$read" ] || fail "totals: $out"
grep -Eq '^rate: [0-9.]+ MB/s \([0-9.]+ s\)$' <<<"$out" || fail "rate line: $out"
grep -q '^data errors: 0$' <<<"$out" || fail "data errors line: $out"

one_error() {  # <expected start of the line> <launcher arguments...>
    local want=$1; shift
    local err
    err=$("$vboard" "$@" -- "$cli" stream --board 0 --seconds 3 2>&1 >/dev/null) \
        && fail "stream succeeded: $*"
    # The emulation itself may complain about the uevent of an unplug; that line is not ours.
    err=$(grep -v '^ERROR: uevent_sender_send: ' <<<"$err")
    [ "$(wc -l <<<"$err")" = 1 ] || fail "error is not one line: $err"
    grep -Eq "^$want" <<<"$err" || fail "error line: $err"
}
err=$("$vboard" --boards 1 -- "$cli" stream --board 3 2>&1 >/dev/null) && fail "board 3 streamed"
[ "$err" = "ostrane-cli: stream: cannot open board 3 in FIFO mode (code 2)" ] || fail "open: $err"

echo "700 stall-bulk 1 1 133" >"$script"
one_error "ostrane-cli: stream: read failed: I/O failed \\(code 4\\)" --boards 1 --script "$script"
echo "700 unplug 1" >"$script"
one_error "ostrane-cli: stream: (write|read) failed: device gone \\(code 30\\)" --boards 1 --script "$script"
echo "stream_cli_test: ok"
