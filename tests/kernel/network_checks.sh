#!/usr/bin/env bash
# Virtual boards served on the network by `ostrane-virtual-board --listen` and imported with the
# stock USB/IP client, all on the guest's loopback.
#   boards: list, attach two boards (a second import of one is refused), the board channel and an
#           exact 64 MiB loopback on both at once, port, detach, listed again.
#   faults: the server killed mid-stream, the connection reset, a detach during a read: each ends
#           the program's calls with the board gone, promptly, and the board is offered again.
set -uo pipefail
fail() { echo "FAIL: $*"; exit 1; }
mode=$1 vboard=$2 cli=$3
if [ "$(id -u)" != 0 ] || [ ! -e /sys/devices/platform/vhci_hcd.0/attach ] || [ ! -e /run/udev/control ] ||
    ! command -v usbip >/dev/null; then
    echo "skipped: needs root, vhci_hcd, udevd and usbip (run it through scripts/kernel-test)"
    exit 77
fi
port=3240
usbip() { command usbip --tcp-port "$port" "$@"; }
server=
cleanup() {
    for p in $(usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\):.*/\1/p'); do usbip detach -p "$p" >/dev/null 2>&1; done
    [ -n "$server" ] && kill -9 "$server" 2>/dev/null
}
trap cleanup EXIT
# Generous bounds: the guest's CPU is emulated, beside other work.
wait_until() {  # <seconds> <what> <command...>
    local limit=$((SECONDS + $1)) what=$2; shift 2
    until "$@"; do
        ((SECONDS < limit)) || fail "$what (after $((SECONDS - limit + $1)) s)"
        sleep 0.2
    done
}
listed() { [ "$(usbip list -r 127.0.0.1 2>/dev/null | grep -cE '^ +1-[0-9]+: ')" = "$1" ]; }
boards_seen() { [ "$("$cli" list 2>/dev/null | grep -c 'Ostrane')" = "$1" ]; }
start_server() {  # <boards>
    "$vboard" --listen "127.0.0.1:$port" --boards "$1" 2>/tmp/listener.log &
    server=$!
    wait_until 60 "the listener never listed $1 boards: $(cat /tmp/listener.log)" listed "$1"
}
# A freed vhci port can still show its last device for a while, and a device attached there before
# it goes is taken for that one and dropped; and `usbip attach` fails ("open vhci_driver") while a
# port in use has no device yet: attach only once devices shown and ports in use are as many.
vhci=/sys/devices/platform/vhci_hcd.0
settled() {
    local shown used
    shown=$(find "$vhci"/usb*/ -maxdepth 1 -name '[0-9]*-[0-9]*' ! -name '*:*' 2>/dev/null | wc -l)
    used=$(awk 'NR > 1 && $3 + 0 != 4' "$vhci/status" | wc -l)
    [ "$shown" -eq "$used" ]
}
attach() {  # <busid>
    wait_until 90 "vhci's ports in use and devices shown never agreed: $(cat "$vhci/status")" settled
    usbip attach -r 127.0.0.1 -b "$1" || fail "usbip attach $1"
}
attached_count() { usbip port 2>/dev/null | grep -c '^Port [0-9]*: <Port in Use>'; }

if [ "$mode" = boards ]; then
    start_server 2
    usbip list -r 127.0.0.1 | grep -q '1-1: Tessory.*(1209:0001)\|1-1: .*1209:0001' || fail "list: $(usbip list -r 127.0.0.1)"
    attach 1-1
    attach 1-2
    usbip attach -r 127.0.0.1 -b 1-1 2>/tmp/second.log && fail "a second import of 1-1 was accepted"
    listed 0 || fail "imported boards still listed: $(usbip list -r 127.0.0.1)"
    [ "$(attached_count)" = 2 ] || fail "usbip port: $(usbip port)"
    wait_until 120 "the library does not see two boards: $("$cli" list 2>&1)" boards_seen 2
    for b in 0 1; do
        out=$("$cli" send --board "$b" "over the network $b") || fail "send to board $b: $out"
        grep -q "^reply from board $b: \"over the network $b\"" <<<"$out" || fail "send to board $b: $out"
    done
    "$cli" stream --board 0 --bytes 67108864 --mode loopback >/tmp/stream0.log 2>&1 &
    first=$!
    "$cli" stream --board 1 --bytes 67108864 --mode loopback >/tmp/stream1.log 2>&1 || fail "stream 1: $(cat /tmp/stream1.log)"
    wait $first || fail "stream 0: $(cat /tmp/stream0.log)"
    for b in 0 1; do
        grep -q '^read: 67108864 bytes' /tmp/stream$b.log && grep -q '^data errors: 0$' /tmp/stream$b.log ||
            fail "stream $b: $(cat /tmp/stream$b.log)"
        grep '^rate' /tmp/stream$b.log
    done
    for p in $(usbip port | sed -n 's/^Port \([0-9]*\):.*/\1/p'); do usbip detach -p "$p" || fail "detach $p"; done
    wait_until 60 "the detached boards were not offered again: $(usbip list -r 127.0.0.1)" listed 2
    attach 1-2  # and imported again
    wait_until 120 "the board imported again is not seen" boards_seen 1
    out=$("$cli" send --board 0 "again") || fail "send after the second import: $out"
    echo "boards: pass"
    exit 0
fi

# <how> ends the import while a loopback stream runs; the stream must end with the board gone.
fault() {
    local how=$1 started limit
    attach 1-1
    wait_until 120 "the library does not see the board" boards_seen 1
    "$cli" stream --board 0 --seconds 600 --mode loopback >/tmp/fault.log 2>&1 &
    local stream=$!
    wait_until 120 "the stream did not start: $(cat /tmp/fault.log)" grep -q 'MB/s' /tmp/fault.log
    started=$SECONDS
    case $how in
    kill) kill -9 "$server"; wait "$server" 2>/dev/null; server= ;;
    reset) ss -K sport = :"$port" >/dev/null || fail "ss -K" ;;
    detach) usbip detach -p "$(usbip port | sed -n 's/^Port \([0-9]*\):.*/\1/p' | head -1)" || fail "detach" ;;
    esac
    limit=$((SECONDS + 60))
    while kill -0 $stream 2>/dev/null; do
        ((SECONDS < limit)) || { kill $stream; fail "$how: the stream still runs 60 s later: $(tail -3 /tmp/fault.log)"; }
        sleep 0.2
    done
    wait $stream && fail "$how: the stream ended well: $(tail -3 /tmp/fault.log)"
    grep -q 'STATUS_DEVICE_GONE' /tmp/fault.log || fail "$how: $(tail -3 /tmp/fault.log)"
    echo "$how: the stream ended $((SECONDS - started)) s later: $(grep -m1 'failed' /tmp/fault.log)"
    wait_until 60 "$how: the port was not freed: $(usbip port)" test "$(attached_count)" = 0
}

start_server 1
fault detach
wait_until 60 "detach: not offered again" listed 1
fault reset
wait_until 60 "reset: not offered again" listed 1
fault kill
echo "faults: pass"
