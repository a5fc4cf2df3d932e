#!/usr/bin/env bash
# One board plugged into the running kernel: udevd gave its node the group, mode and seat tag the
# rule promises; ostrane-cli lists it and talks to it as an unprivileged member of that group (and
# cannot without the group); usbmon, decoded by tshark, shows the I2C vendor requests that
# `send` made, setup bytes and data as meant.
set -uo pipefail
fail() { echo "FAIL: $*"; exit 1; }

if [ "${1:-}" != --inside ]; then
    vboard=$1 cli=$2
    if [ "$(id -u)" != 0 ] || [ ! -e /sys/devices/platform/vhci_hcd.0/attach ] || [ ! -e /run/udev/control ]; then
        echo "skipped: needs root, vhci_hcd and udevd (run it through scripts/kernel-test)"
        exit 77
    fi
    exec "$vboard" --transport kernel --boards 1 -- "$0" --inside "$cli"
fi
cli=$2
group=plugdev
gid=$(getent group $group | cut -d: -f3)
[ -n "$gid" ] || fail "no group $group"

sys=$(grep -l '^1209$' /sys/bus/usb/devices/*/idVendor | head -1)
sys=${sys%/idVendor}
[ -n "$sys" ] || fail "the board is not in sysfs"
node=$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$sys/busnum")" "$(cat "$sys/devnum")")
[ "$(stat -c '%G %a' "$node")" = "$group 660" ] || fail "$node: $(stat -c '%G %a' "$node")"
tags=$(udevadm info --query=property --name="$node" | grep '^TAGS=')
[[ $tags == *:uaccess:* ]] || fail "$node has no uaccess tag: $tags"

as_user() { setpriv --reuid=65534 --regid=65534 "$@"; }
out=$(as_user --groups="$gid" "$cli" list) || fail "list as an unprivileged member of $group: $out"
grep -q 'Q.V. Ostrane SDI Adapter *1209:0001 super  no' <<<"$out" || fail "list: $out"
as_user --clear-groups "$cli" send --board 0 "nogroup" >/dev/null 2>&1 && fail "send worked without the group"

bus=$(cat "$sys/busnum")
pcap=/tmp/ostrane-send.pcapng
# tshark also prints each packet as it captures it (-P, flushed per packet with -l), so the check
# can see when usbmon has handed over what it needs; the file alone is written in blocks.
tshark -l -P -i "usbmon$bus" -w "$pcap" -T fields -e usb.setup.wLength -e usb.setup.bRequest \
    -e usb.bmRequestType >/tmp/tshark.out 2>/tmp/tshark.log &
capture=$!
trap 'kill $capture 2>/dev/null' EXIT
# Generous bounds: tshark takes tens of seconds to start on a busy host.
deadline=$((SECONDS + 180))
until grep -q 'Capturing on' /tmp/tshark.log; do
    ((SECONDS < deadline)) || fail "tshark did not start: $(cat /tmp/tshark.log)"
    sleep 0.1
done
# Wait (bounded) until the message's write and a status read after it have been captured. usbmon
# drops events when its reader falls behind (tshark under an emulated CPU on a busy host): then the
# command is sent again, and any send's pair will do.
captured() {
    awk -F'\t' 'f && $2 == 5 && tolower($3) ~ /^(0x)?c0$/ {seen = 1} $1 == 7 {f = 1} END {exit !seen}' /tmp/tshark.out
}
for attempt in 1 2 3 4; do
    out=$(as_user --groups="$gid" "$cli" send --board 0 "status?") || fail "send as a member of $group: $out"
    grep -q '^reply from board 0: "status?"' <<<"$out" || fail "send: $out"
    deadline=$((SECONDS + 60))
    until captured || ((SECONDS >= deadline)); do sleep 0.1; done
    captured && break
    echo "send $attempt: not in the capture after 60 s; $(wc -l </tmp/tshark.out) packets so far"
done
captured || fail "the capture never showed the message and the read after it: $(tail -5 /tmp/tshark.out) $(cat /tmp/tshark.log)"
kill -INT $capture
wait $capture

# Setup stage of each vendor request the host submitted, normalised to "bmRequestType bRequest
# wValue wIndex wLength" in hex.
requests=$(tshark -r "$pcap" -Y 'usb.urb_type == 0x53 && usb.transfer_type == 2 && usb.bmRequestType.type == 2' \
    -T fields -E separator=' ' -e usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wValue \
    -e usb.setup.wIndex -e usb.setup.wLength 2>/dev/null |
    while read -r t r v i l; do printf '%02x %02x %04x %04x %04x\n' $((t)) $((r)) $((v)) $((i)) $((l)); done)
echo "$requests"
# The message goes to the bridge's data register (0x10) of I2C slave 0x0D, 7 bytes, as one write,
grep -q '^40 05 0010 070d 0007$' <<<"$requests" || fail "no I2C write of the message"
# ... carrying the message itself (right after the 64-byte usbmon header) ...
tshark -r "$pcap" -x -Y 'usb.urb_type == 0x53 && usb.setup.wLength == 7' 2>/dev/null |
    grep -q '^0040  73 74 61 74 75 73 3f' || fail "the write does not carry the message"
# ... and the bridge's status register is read through the same slave.
grep -Eq '^c0 05 [0-9a-f]{4} [0-9a-f]{2}0d [0-9a-f]{4}$' <<<"$requests" || fail "no I2C read of the bridge status"
echo "kernel_checks: ok"
