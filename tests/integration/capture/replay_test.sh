#!/usr/bin/env bash
# Capture replay end to end: ostrane-cli run against a replay of the capture of its own run
# against the model prints what it printed then and ends with the same status (figures of time and
# rate aside; where the board sits on the bus, when recorded on one transport and replayed on the
# other).
#   replay_test.sh VBOARD CLI PYTHON_TESTS   umockdev captures replayed on umockdev, two boards of
#       one capture as two boards; the Python package's notification tests
#       pass against a replay of their own run.
#   replay_test.sh VBOARD CLI --across       in the kernel guest: umockdev captures replayed in the
#       kernel, and the kernel's usbmon captures (the launcher's own, and a pcapng of dumpcap's)
#       replayed on umockdev. Skipped (77) elsewhere.
set -uo pipefail
if [ "${1:-}" = --commands ]; then
    # The program of one recording: commands in turn, so that a transport is plugged once for all.
    cli=$2
    run() { echo "== $*"; "$cli" "$@" 2>&1; echo "== status $?"; }
    run list
    run info --board 0
    run send --board 1 "status?"
    run gpio read --board 0
    run config get --board 0
    run memory read --board 0 0x100 64
    run send --board 3 "nobody"
    exit 0
fi
self=$(realpath "$0")
vboard=$1
cli=$2
python_tests=$3  # with OSTRANE_LIBRARY and PYTHONPATH set; or --across
pytest=(/usr/bin/python3 -m pytest -q -p no:cacheprovider)
fail() { echo "FAIL: $*"; exit 1; }
if [ "$python_tests" = --across ] &&
    { [ "$(id -u)" != 0 ] || [ ! -e /sys/devices/platform/vhci_hcd.0/attach ] || [ ! -e /run/udev/control ]; }; then
    echo "skipped: needs root, vhci_hcd and udevd (run it through scripts/kernel-test)"
    exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '0 await 1 interrupt\n100 notify 1\n200 notify 1\n300 notify 1\n' >"$dir/notes"
time_figures='s/round trip [0-9.]+ ms/round trip T/; s/^[0-9-]+ [0-9:.]+ +\+[0-9.]+ s/T/; s/ in [0-9.]+ s / in T s /'

# <name> <recorded on> <replayed on> <sed of what may differ> <recording options> <replay options> -- PROGRAM
check() {
    local name=$1 from=$2 to=$3 differ=$4 record=$5 replay=$6 start=$SECONDS
    shift 7
    [ "$from" = "$to" ] || differ="$differ; /^  location /d"
    # Each run bounded, so that one that hangs says what it had printed (the launcher's divergence
    # report among it) instead of using up the test's time.
    # shellcheck disable=SC2086  # the options are words
    timeout -k 10 240 "$vboard" --transport "$from" --pcap "$dir/$name.pcap" $record -- "$@" >"$dir/$name.rec" 2>&1
    local recorded=$?
    [ "$recorded" != 124 ] || fail "$name: the recording on $from did not end in 240 s: $(cat "$dir/$name.rec")"
    # shellcheck disable=SC2086
    timeout -k 10 240 "$vboard" --transport "$to" --replay "$dir/$name.pcap" $replay -- "$@" >"$dir/$name.rep" 2>&1
    local replayed=$?
    [ "$replayed" != 124 ] || fail "$name: the replay on $to did not end in 240 s: $(cat "$dir/$name.rep")"
    [ "$recorded" = "$replayed" ] || fail "$name: status $recorded recorded, $replayed replayed: $(cat "$dir/$name.rep")"
    diff <(sed -E "$differ" "$dir/$name.rec") <(sed -E "$differ" "$dir/$name.rep") >"$dir/$name.diff" ||
        fail "$name ($from to $to) printed otherwise: $(cat "$dir/$name.diff")"
    # Progress, so that a run cut short by its time-out shows where it was.
    echo "replay_test: $name passed in $((SECONDS - start)) s"
}

# <recorded on> <replayed on>
commands() {
    local a=$1 b=$2
    check commands-$a-$b "$a" "$b" "$time_figures" "--boards 2" "--strict" -- "$self" --commands "$cli"
    # (Across transports, `send` already carries a notification: monitor is checked on umockdev.)
    [ "$a" != "$b" ] ||
        check monitor-$a-$b "$a" "$b" "$time_figures" "--script $dir/notes" "--strict" -- "$cli" monitor --board 0 --count 3
    # How much a stream moves in two seconds is a figure of time; only a paced replay stays within
    # what was recorded. The kernel's usbmon drops events of a stream under an emulated CPU (its
    # ring is small), the more the more data it keeps: there, only the data's start is kept, not
    # checked, and a lost event is said but not held against the replay unless the replay fails.
    local cut="" check=""
    [ "$a" = kernel ] && cut="--pcap-snaplen 64" check=--no-check
    # A paced replay of a stream into the kernel cannot keep pace on an emulated CPU beside other
    # work (the stream's replay is checked on the emulated bus, the kernel's capture of one below).
    [ "$b" = kernel ] && return
    check stream-$a-$b "$a" "$b" "/^[0-9.]+ s: /d; /^usbmon capture: the kernel dropped/d; s/[0-9.]+/N/g" \
        "$cut" "--realtime" -- "$cli" stream --board 0 --seconds 2 $check
}

if [ "$python_tests" != --across ]; then
    printf '0 await 1 interrupt\n' >"$dir/notify"
    for ms in $(seq 100 100 3000); do echo "$ms notify 1" >>"$dir/notify"; done
    # The channel and notification families; hot-plug left out (a replay's boards stay from start
    # to end), and so are two threads sharing one channel: a replay answers requests in the order
    # recorded, and the threads' requests interleave otherwise on each run, so their replies cross.
    only="not plug and not threads_sharing"
    for family in channel notifications; do
        "$vboard" --script "$dir/notify" --pcap "$dir/$family.pcap" -- "${pytest[@]}" -k "$only" \
            "$python_tests/test_$family.py" >"$dir/$family.out" 2>&1 || fail "python $family: $(cat "$dir/$family.out")"
        # (Not --strict: how many notifications a test takes before it closes, and so the reads
        # they cause, depends on time.)
        "$vboard" --replay "$dir/$family.pcap" -- "${pytest[@]}" -k "$only" "$python_tests/test_$family.py" \
            >"$dir/$family.out" 2>&1 || fail "python $family replayed: $(cat "$dir/$family.out")"
        echo "replay_test: python $family passed at $SECONDS s"
    done
    commands umockdev umockdev
    echo "replay_test: ok (umockdev)"
    exit 0
fi
commands umockdev kernel
commands kernel umockdev

# A capture that dumpcap took of the kernel's usbmon (every bus), from before the plug to after the
# command.
dumpcap -i usbmon0 -w "$dir/dumpcap.pcapng" 2>"$dir/dumpcap.log" &
capture=$!
deadline=$((SECONDS + 60))
until grep -q 'Capturing on' "$dir/dumpcap.log"; do
    ((SECONDS < deadline)) || fail "dumpcap did not start: $(cat "$dir/dumpcap.log")"
    sleep 0.1
done
"$vboard" --transport kernel -- "$cli" send --board 0 "status?" >"$dir/dumpcap.rec" 2>&1 || fail "send: $(cat "$dir/dumpcap.rec")"
kill -INT $capture
wait $capture
"$vboard" --transport umockdev --replay "$dir/dumpcap.pcapng" --strict -- "$cli" send --board 0 "status?" \
    >"$dir/dumpcap.rep" 2>&1 || fail "dumpcap's capture replayed: $(cat "$dir/dumpcap.rep")"
diff <(sed -E "$time_figures" "$dir/dumpcap.rec") <(sed -E "$time_figures" "$dir/dumpcap.rep") ||
    fail "dumpcap's capture replayed printed otherwise"
echo "replay_test: ok (umockdev and kernel)"
