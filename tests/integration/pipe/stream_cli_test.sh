#!/usr/bin/env bash
# ostrane-cli stream under the virtual board launcher: a clean loopback run with its periodic lines
# and totals, IN-only and OUT-only runs limited by a byte count, and runs that fail (missing board,
# stalled pipe, unplugged board, silent pipe, data out of step) with one error line and the exit status
# of their class.
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

one_error() {  # <expected status> <expected start of the line> <launcher arguments...>
    local status=$1 want=$2; shift 2
    local err
    err=$("$vboard" "$@" -- "$cli" stream --board 0 --seconds 10 2>&1 >/dev/null)
    [ $? = "$status" ] || fail "stream did not exit $status: $* $err"
    # The emulation itself may complain about the uevent of an unplug; that line is not ours.
    err=$(grep -v '^ERROR: uevent_sender_send: ' <<<"$err")
    [ "$(wc -l <<<"$err")" = 1 ] || fail "error is not one line: $err"
    grep -Eq "^$want" <<<"$err" || fail "error line: $err"
}
err=$("$vboard" --boards 1 -- "$cli" stream --board 3 2>&1 >/dev/null)
[ $? = 2 ] || fail "board 3 streamed"
[ "$err" = "ostrane-cli: open board 3: board 3 not found (1 board attached): check the cable and \`ostrane-cli list\`" ] \
    || fail "open: $err"

echo "700 stall-bulk 1 1 133" >"$script"
one_error 4 "ostrane-cli: stream: read failed: STATUS_IO_FAILED \\(status 4\\)" --boards 1 --script "$script"
# Once the stream runs, however slow its start.
printf '0 await 1 fifo\n300 unplug 1\n' >"$script"
one_error 6 "ostrane-cli: stream: (write|read) failed: STATUS_DEVICE_GONE \\(status 30\\)" --boards 1 --script "$script"
# A loopback board with nothing written sends nothing: IN only gives up after its grace time.
err=$("$vboard" -- "$cli" stream --mode in --seconds 30 2>&1 >/dev/null)
[ $? = 4 ] || fail "silent IN: status not 4: $err"
grep -q '^ostrane-cli: stream: read failed: STATUS_TIMED_OUT (status 19): ' <<<"$err" || fail "silent IN: $err"

# IN only from a board that sends the counter pattern, OUT only into its sink, to a byte count.
json=$("$vboard" --fifo pattern -- "$cli" stream --mode in --bytes 3000000 --size 65536 --json) \
    || fail "stream --mode in: $json"
python3 -c 'import json,sys; d=json.loads(sys.argv[1])
assert (d["mode"], d["read"], d["written"], d["data_errors"]) == ("in", 3000000, 0, 0), d' "$json" \
    || fail "stream --mode in: $json"
out=$("$vboard" --fifo pattern -- "$cli" stream --mode out --bytes 2000000 --size 65536) \
    || fail "stream --mode out: $out"
grep -q '^written: 2000000 bytes$' <<<"$out" && grep -q '^read: 0 bytes$' <<<"$out" || fail "out: $out"

# The board's counter goes on across programs: the second one does not start at 0, a data error.
err=$("$vboard" --fifo pattern -- sh -c '"$0" stream --mode in --bytes 1000 >/dev/null &&
    "$0" stream --mode in --bytes 8000' "$cli" 2>&1 >/dev/null)
[ $? = 5 ] || fail "pattern out of step: status not 5: $err"
grep -q "^ostrane-cli: stream: data error: [0-9]* bytes differ, first at byte [0-9]*: " <<<"$err" \
    || fail "pattern out of step: $err"
echo "stream_cli_test: ok"
