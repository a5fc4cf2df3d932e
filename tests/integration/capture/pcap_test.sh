#!/usr/bin/env bash
# ostrane-virtual-board --pcap, read back by tshark as an independent reader: the capture of
# `ostrane-cli send` holds the I2C vendor requests with their exact setup bytes and data, the
# interrupt notification with its 4 bytes, a completion for every submission; the capture of a
# short stream holds the bulk transfers whose lengths add up to what the tool moved, cut to the
# snap length. The board's enumeration is recorded at plug. A capture that cannot be created fails
# the launcher with one line. Holds on either transport (the kernel's capture is usbmon's own).
set -uo pipefail
vboard=$1
cli=$2
fail() { echo "FAIL: $*"; exit 1; }
command -v tshark >/dev/null || fail "tshark is not installed (scripts/setup installs it)"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
S="usb.urb_type == 'S'"  # submission
C="usb.urb_type == 'C'"  # completion
fields() {  # <capture> <display filter> <fields...>
    local file=$1 filter=$2; shift 2
    local args=()
    for f in "$@"; do args+=(-e "$f"); done
    tshark -r "$file" -Y "$filter" -T fields -E separator=' ' "${args[@]}" 2>/dev/null | sed "s/ *$//"
}

out=$("$vboard" --boards 1 --pcap "$dir/send.pcap" -- "$cli" send --board 0 "status?") || fail "send: $out"
capinfos -E "$dir/send.pcap" | grep -q 'USB packets with Linux header and padding' || fail "encapsulation: $(capinfos -E "$dir/send.pcap")"

# The enumeration at plug describes the board, so Wireshark knows the endpoints' interface class.
# Its address is the bus's (the emulation's hub or vhci's root hub): taken from there.
ids=$(fields "$dir/send.pcap" "$C && usb.bDescriptorType == 1 && usb.idVendor" usb.device_address usb.idVendor \
    usb.idProduct | sort -u)
read -r addr vid pid <<<"$ids"
[ "$vid $pid" = "0x1209 0x0001" ] && [ "$(wc -l <<<"$ids")" = 1 ] || fail "device descriptor: $ids"
# The board's packets, by the address in their header ("bus.address.endpoint"): the field
# usb.device_address also matches a SET_ADDRESS request that gives that address.
board="usb.addr contains \".$addr.\""
classes=$(fields "$dir/send.pcap" "$board && usb.endpoint_address == 0x86" usb.bInterfaceClass | sort -u)
[ "$classes" = "0xff" ] || fail "interface class of 0x86: $classes"

# Setup bytes (bmRequestType bRequest wValue wIndex wLength) and OUT data of the I2C requests that
# carry the text: write 7 bytes to the bridge's data register, then read them back; before that,
# the receive reads the FIFO level.
requests=$(fields "$dir/send.pcap" "$S && $board && usb.setup.bRequest == 5" \
    usb.bmRequestType usb.setup.bRequest usb.setup.wValue usb.setup.wIndex usb.setup.wLength usb.data_fragment)
grep -qx '0x40 5 0x0010 1805 7 7374617475733f' <<<"$requests" || fail "no data write request: $requests"
grep -qx '0xc0 5 0x0010 1805 7' <<<"$requests" || fail "no data read request: $requests"
grep -qx '0xc0 5 0x0012 269 1' <<<"$requests" || fail "no FIFO level read: $requests"
reply=$(fields "$dir/send.pcap" "$C && $board && usb.transfer_type == 0x02 && usb.urb_len == 7 && usb.endpoint_address == 0x80" \
    usb.control.Response)
[ "$reply" = "7374617475733f" ] || fail "reply data: $reply"

# The notification: interrupt IN on 0x86, completed with exactly EF BE AD DE
notes=$(fields "$dir/send.pcap" "$C && $board && usb.endpoint_address == 0x86 && usb.urb_status == 0" \
    usb.transfer_type usb.urb_len usb.capdata)
# (a slow run may see the bridge signal more than once)
[ -n "$notes" ] && [ "$(sort -u <<<"$notes")" = "0x01 4 efbeadde" ] || fail "notification: $notes"

# Each submission is answered by one completion with the same URB id.
# (The board's: a hub's status request stays pending while the bus lives.)
submits=$(fields "$dir/send.pcap" "$S && $board" usb.urb_id | wc -l)
completes=$(fields "$dir/send.pcap" "$C && $board && usb.request_in" usb.urb_id | wc -l)
[ "$submits" -gt 10 ] && [ "$submits" = "$completes" ] || fail "$submits submissions, $completes matched completions"

# A short loopback stream, data cut to 16 bytes per event.
out=$("$vboard" --boards 1 --pcap "$dir/stream.pcap" --pcap-snaplen 16 -- \
    "$cli" stream --board 0 --seconds 1 --size 65536) || fail "stream: $out"
written=$(sed -n 's/^written: \([0-9]*\) bytes$/\1/p' <<<"$out")
read=$(sed -n 's/^read: \([0-9]*\) bytes$/\1/p' <<<"$out")
sum() { awk '{ n += $1 } END { print n + 0 }'; }
out_bytes=$(fields "$dir/stream.pcap" "$C && usb.endpoint_address == 0x05 && usb.urb_status == 0" usb.urb_len | sum)
in_bytes=$(fields "$dir/stream.pcap" "$C && usb.endpoint_address == 0x85 && usb.urb_status == 0" usb.urb_len | sum)
[ -n "$written" ] && [ "$written" -gt 0 ] && [ "$out_bytes" = "$written" ] && [ "$in_bytes" = "$read" ] \
    || fail "bulk lengths: OUT $out_bytes IN $in_bytes, tool wrote $written read $read"
lengths=$(fields "$dir/stream.pcap" "$S && usb.transfer_type == 0x03" usb.endpoint_address usb.urb_len usb.data_len | sort -u)
[ "$(printf '0x05 32768 16\n0x85 32768 0')" = "$lengths" ] || fail "bulk submissions: $lengths"
# Loopback: the first bytes read are the first bytes written.
first_out=$(fields "$dir/stream.pcap" "$S && usb.endpoint_address == 0x05" usb.capdata | head -n 1)
first_in=$(fields "$dir/stream.pcap" "$C && usb.endpoint_address == 0x85 && usb.urb_len > 0" usb.capdata | head -n 1)
[ -n "$first_out" ] && [ "$first_out" = "$first_in" ] || fail "loopback data: out $first_out, in $first_in"

err=$("$vboard" --pcap "$dir/missing/x.pcap" -- true 2>&1) && fail "unwritable capture accepted"
grep -qx "ostrane-virtual-board: cannot create capture $dir/missing/x.pcap: No such file or directory" <<<"$err" \
    || fail "error line: $err"
echo "pcap_test: ok ($submits transfers for send, $written bytes streamed)"
