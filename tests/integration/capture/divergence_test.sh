#!/usr/bin/env bash
# A program that does not do what was recorded: a different command gets one report naming the
# request, the capture's nearest one by its frame number (the frame tshark shows carrying the
# recorded command) and the first differing byte, and the launcher's own status 125 whatever the
# program's; --strict fails a program that left recorded requests unasked. A file that cannot be
# replayed gets one error line and status 2.
set -uo pipefail
vboard=$1
cli=$2
fail() { echo "FAIL: $*"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$vboard" --pcap "$dir/send.pcap" -- "$cli" send --board 0 "status?" >/dev/null || fail "recording send"
"$vboard" --replay "$dir/send.pcap" -- "$cli" send --board 0 "statux?" >/dev/null 2>"$dir/err"
status=$?
[ $status = 125 ] || fail "status $status after a divergence: $(cat "$dir/err")"
report=$(grep -A2 '^ostrane-virtual-board: replay of ' "$dir/err")
[ "$(grep -c 'cannot answer' <<<"$report")" = 1 ] || fail "not one report: $(cat "$dir/err")"
grep -q 'cannot answer control request 40 05 10 00 0d 07 07 00, data 73 74 61 74 75 78 3f$' <<<"$report" ||
    fail "the request: $report"
frame=$(sed -n 's/^  nearest in the capture: frame \([0-9]*\), control request 40 05 10 00 0d 07 07 00, data 73 74 61 74 75 73 3f$/\1/p' <<<"$report")
[ -n "$frame" ] || fail "the nearest request: $report"
recorded=$(tshark -r "$dir/send.pcap" -Y "frame.number == $frame && usb.urb_type == 'S'" -T fields -e usb.data_fragment 2>/dev/null)
[ "$recorded" = 7374617475733f ] || fail "frame $frame of the capture is not the recorded write: '$recorded'"
grep -q '^  first difference: data byte 5: 78 here, 73 in the capture$' <<<"$report" || fail "the difference: $report"

# Doing less than recorded passes, unless --strict.
"$vboard" --replay "$dir/send.pcap" -- "$cli" list >/dev/null || fail "list against a capture of send"
"$vboard" --replay "$dir/send.pcap" --strict -- "$cli" list >/dev/null 2>"$dir/err"
status=$?
[ $status = 125 ] && grep -q 'unanswered: .*: control request 40 05 10 00 0d 07 07 00 never came$' "$dir/err" ||
    fail "--strict, status $status: $(cat "$dir/err")"

# Files that are no capture of a board.
: >"$dir/empty.pcap"
head -c 3000 "$dir/send.pcap" >"$dir/truncated.pcap"
editcap -T ether "$dir/send.pcap" "$dir/ether.pcap"
"$vboard" --boards 0 --pcap "$dir/hubs.pcap" -- lsusb -v >/dev/null 2>&1 || fail "recording the hubs"
for bad in empty truncated ether hubs; do
    "$vboard" --replay "$dir/$bad.pcap" -- true 2>"$dir/err"
    status=$?
    [ $status = 2 ] && [ "$(wc -l <"$dir/err")" = 1 ] && grep -q "^ostrane-virtual-board: cannot replay " "$dir/err" ||
        fail "$bad capture: status $status: $(cat "$dir/err")"
done
err=$("$vboard" --replay "$0" -- true 2>&1)
grep -q 'not a pcap or pcapng capture' <<<"$err" || fail "a script taken for a capture: $err"
echo "divergence_test: ok"
