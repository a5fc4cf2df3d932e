#!/usr/bin/env bash
# ostrane-cli under the virtual board launcher, one subcommand family per run:
#   families.sh LAUNCHER CLI FAMILY
# Each family checks the output (human and JSON) and the exit status of success and of failure.
set -uo pipefail
vboard=$1
cli=$2
family=$3
fail() { echo "FAIL ($family): $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# run <expected status> <launcher args...> -- <cli args...>: stdout in $out, stderr in $err.
# With `sh` for the first cli argument, the next is a shell script that gets the cli as "$0".
run() {
    local want=$1; shift
    local largs=()
    while [ "$1" != "--" ]; do largs+=("$1"); shift; done
    shift
    local cmd=("$cli" "$@")
    [ "$1" = sh ] && cmd=("$@" "$cli")
    out=$("$vboard" "${largs[@]}" -- "${cmd[@]}" 2>err.txt); local rc=$?
    err=$(cat err.txt)
    [ "$rc" = "$want" ] || fail "$* exited $rc, not $want: $out $err"
}
one_line() {  # <regex>: stderr is exactly one line matching it
    [ "$(wc -l <<<"$err")" = 1 ] || fail "error is not one line: $err"
    grep -Eq "$1" <<<"$err" || fail "error line: $err"
}
# Shell code for a `sh -c` under the launcher: prints "sysfs BUS PORT ADDRESS" of the board whose
# serial number is $S, as the kernel (or the emulation) shows it in sysfs.
locate='for d in /sys/bus/usb/devices/*; do [ "$(cat "$d/serial" 2>/dev/null)" = "$S" ] &&
    echo "sysfs $(cat "$d/busnum") ${d##*/} $(cat "$d/devnum")"; done'
json() {  # <python assertions on d>: stdout parsed as JSON into d
    python3 -c "import json,sys; d=json.loads(sys.stdin.read()); $1" <<<"$out" || fail "JSON: $out"
}

case $family in
info)
    # Where the board sits is the transport's: it must be what sysfs says, under the same launcher.
    run 0 --boards 2 -- sh -c "S=VB0002; $locate; \"\$0\" info --board 1"
    read -r bus port address <<<"$(sed -n 's/^sysfs //p' <<<"$out")"
    [ -n "$address" ] || fail "no sysfs record of VB0002: $out"
    where=$(printf 'bus %d, port %s, address %d, /dev/bus/usb/%03d/%03d' "$bus" "$port" "$address" "$bus" "$address")
    grep -qxF "  location       $where" <<<"$out" || fail "location is not $where: $out"
    for want in '^board 1 \(VB0002\): Q\.V\. Ostrane SDI Adapter$' \
        '^  versions +usb library [0-9]+\.[0-9]+\.[0-9]+, driver 0\.5\.25, firmware 1\.2\.7$' \
        '^  VID:PID +1209:0001$' '^  speed +super$' \
        '^  interface 2 +class FF/06/02, 3 endpoint\(s\)$' \
        '^  0x85 bulk +IN +max packet 1024 ' '^  version text +"1\.2\.7-vb"$' \
        '^  stream 1 super: 1920x1080@30 1280x720@60 '; do
        grep -Eq "$want" <<<"$out" || fail "no line $want in: $out"
    done
    run 0 --boards 2 -- info --serial VB0002 --json
    json 'assert d["index"] == 1 and d["vid"] == "1209" and d["versions"]["driver"] == "0.5.25"
assert d["location"]["port"] == "'"$port"'" and d["device_descriptor"]["bcd_device"] == "0001"
assert [p["address"] for p in d["pipes"]] == [0x86, 0x85, 0x05]
c = d["chip_configuration"]; assert c["length"] == 4064 and c["firmware_version"] == "1.2.7-vb"
assert c["streams"][0]["super"][0] == {"width": 1920, "height": 1080, "interval": 333333}'
    run 2 --boards 1 -- info --serial NOPE
    one_line '^ostrane-cli: open board with serial NOPE: board with serial NOPE not found \(1 board attached\)'
    run 1 --boards 1 -- info --board 0 --serial VB0001
    one_line '^ostrane-cli: .*excludes.* \(see --help\)$'
    ;;
gpio)
    run 1 -- gpio enable 0x7 0b1
    one_line '^ostrane-cli: DIRECTION "0b1" is not a number \(decimal or 0x hex\)$'
    run 0 -- gpio enable 0x7 0x5
    grep -q '^board 0 (VB0001): gpio enable mask 0b111 value 0b101: word 0b0000000101100101 (0x0165)$' <<<"$out" \
        || fail "enable: $out"
    run 0 -- sh -c '"$0" gpio enable 7 5 >/dev/null && "$0" gpio write 7 5 --json'
    json 'assert d["word_bits"] == "0b0000000101100101" and d["levels_bits"] == "0b101"'
    # Pin 1 is an input; a pull-up (code 2) makes it read 1, and the outputs keep their levels.
    run 0 -- sh -c '"$0" gpio enable 7 5 >/dev/null && "$0" gpio write 7 5 >/dev/null &&
        "$0" gpio pull 0x2 0x8 && "$0" gpio read'
    grep -q 'gpio pull mask 0b010 value 0b001000: word 0b0000000000110000 (0x0030)$' <<<"$out" || fail "pull: $out"
    grep -q '^board 0 (VB0001): GPIO levels 0b111 (gpio2=1 gpio1=1 gpio0=1)$' <<<"$out" || fail "read: $out"
    echo "0 stall-control 1 1 2" >script
    run 4 --script "$PWD/script" -- gpio read
    one_line '^ostrane-cli: read the GPIO levels of board 0 \(VB0001\): STATUS_UNSUPPORTED \(status 17\): the board refused'
    ;;
config)
    run 0 -- config get --out cfg.json
    grep -q '^board 0 (VB0001): chip configuration (4064 bytes) written to cfg.json$' <<<"$out" || fail "get: $out"
    python3 - <<'PY' || fail "editing cfg.json"
import json
d = json.load(open("cfg.json"))
d["streams"][2]["high"][3].update(width=800, height=600, interval=400000)
json.dump(d, open("new.json", "w"))
d["streams"][2]["high"][3]["width"] = 70000
json.dump(d, open("bad.json", "w"))
PY
    run 0 -- config set new.json
    grep -q '^  stream 2 high entry 3: 640x480@60 (interval 166666) -> 800x600@25 (interval 400000)$' <<<"$out" \
        || fail "set: $out"
    grep -q '^nothing written: run again with --yes' <<<"$out" || fail "set wrote without --yes: $out"
    run 1 -- config set bad.json
    one_line '^ostrane-cli: invalid configuration file: stream 2 high entry 3: "width" must be a whole number from 0 to 65535$'
    # Written, read back, and the next run of the tool sees it.
    run 0 -- sh -c '"$0" config set new.json --yes --json && "$0" config get'
    python3 -c '
import json, sys
text = sys.stdin.read(); first, rest = text.split("\n}\n", 1)
r = json.loads(first + "}"); c = json.loads(rest)
assert r == {"changes": ["stream 2 high entry 3: 640x480@60 (interval 166666) -> 800x600@25 (interval 400000)"], "written": True, "verified": True}, r
assert c["streams"][2]["high"][3] == {"width": 800, "height": 600, "interval": 400000}' <<<"$out" || fail "set --yes: $out"
    ;;
memory)
    head -c 70000 /dev/urandom >data.bin
    run 0 -- sh -c '"$0" memory write 0x20000 data.bin && "$0" memory read 0x20000 70000 --out back.bin'
    cmp -s data.bin back.bin || fail "memory read back differs"
    printf 'Ostrane!' >text.bin
    run 0 -- sh -c '"$0" memory write 0x100 text.bin >/dev/null && "$0" memory read 0x100 8'
    [ "$out" = "00000100  4f 73 74 72 61 6e 65 21                           |Ostrane!|" ] || fail "dump: $out"
    run 1 -- memory read 0xFFFFFFFF 2
    one_line '^ostrane-cli: LENGTH 2 is larger than 1'
    echo "0 stall-control 1 1 3" >script
    run 4 --script "$PWD/script" -- memory read 0x100 8
    one_line '^ostrane-cli: memory read of 8 bytes at 0x00000100 on board 0 \(VB0001\): .*STATUS_IO_FAILED'
    # Every request takes 50 ms: the read of 128 requests is under way when the board leaves or
    # when Ctrl-C comes (once the launcher has traced a memory request).
    printf '0 delay-control 1 1000000 50\n0 await 1 request\n300 unplug 1\n' >script
    run 6 --script "$PWD/script" -- memory read 0 65536 --out back.bin
    one_line '^ostrane-cli: memory read of 4096 bytes at 0x[0-9A-F]{8} on board 0 \(VB0001\): the board was unplugged'
    echo "0 delay-control 1 1000000 50" >script
    run 6 --trace --script "$PWD/script" -- sh -c '"$0" memory read 0 65536 --out back.bin & p=$!; i=0
        until grep -q " memory " err.txt; do i=$((i+1)); [ $i -gt 1200 ] && exit 9; sleep 0.05; done
        kill -INT $p; wait $p'
    grep -Eq '^ostrane-cli: memory read of 65536 bytes at 0x00000000 on board 0 \(VB0001\): interrupted after [0-9]+ bytes$' \
        <<<"$err" || fail "Ctrl-C: $err"
    run 0 -- crc --json
    json 'assert 0 <= d["crc"] <= 0xFFFF and d["crc_hex"] == "0x%04X" % d["crc"]'
    crc=$(python3 -c 'import json,sys; print(json.loads(sys.stdin.read())["crc_hex"])' <<<"$out")
    run 0 -- crc
    [ "$out" = "board 0 (VB0001): chip CRC $crc" ] || fail "crc: $out"
    ;;
monitor)
    # From when the monitor has the board open (it may be slow to start on a busy or emulated
    # CPU); notifications go on for a while in case its callback comes late.
    more=$(seq 800 200 5000 | sed 's/$/ notify 1/')
    printf '0 await 1 interrupt\n200 notify 1\n300 notify 1 EF BE\n400 notify 1\n600 notify 1\n%s\n' "$more" >script
    run 0 --script "$PWD/script" -- monitor --count 2
    [ "$(grep -Ec '^[0-9-]+ [0-9:.]+  \+[0-9.]+ s  notification [12] \(type 2\)$' <<<"$out")" = 2 ] \
        || fail "monitor lines: $out"
    grep -Eq '^2 notification\(s\) in [0-9.]+ s \(count\)$' <<<"$out" || fail "summary: $out"
    printf '0 await 1 interrupt\n%s\n2500 unplug 1\n' "$(seq 200 250 2200 | sed 's/$/ notify 1/')" >script
    run 6 --script "$PWD/script" -- monitor --seconds 30
    seen=$(grep -Ec '  notification [0-9]+ \(type 2\)$' <<<"$out")
    [ "$seen" -gt 0 ] && grep -Eq "^$seen notification\(s\) in [0-9.]+ s \(unplugged\)$" <<<"$out" || fail "unplug: $out"
    one_line '^ostrane-cli: monitor board 0 \(VB0001\): the board was unplugged \(STATUS_DEVICE_GONE\): plug it in'
    run 0 -- monitor --seconds 0.5 --json
    json 'assert d["notifications"] == 0 and d["end"] == "time"'
    # Ctrl-C once the monitor is running.
    run 0 -- sh -c '"$0" monitor >mon.txt & p=$!; i=0
        until grep -q monitoring mon.txt; do i=$((i+1)); [ $i -gt 400 ] && exit 9; sleep 0.05; done
        kill -INT $p; wait $p; s=$?; cat mon.txt; exit $s'
    grep -Eq '^0 notification\(s\) in [0-9.]+ s \(interrupted\)$' <<<"$out" || fail "Ctrl-C: $out"
    ;;
stream)
    # Ctrl-C once it streams: the totals, then exit 6.
    run 6 -- sh -c '"$0" stream --seconds 60 >st.txt & p=$!; i=0
        until grep -qs "s: written" st.txt; do i=$((i+1)); [ $i -gt 1200 ] && exit 9; sleep 0.05; done
        kill -INT $p; wait $p; s=$?; cat st.txt; exit $s'
    grep -Eq '^read: [0-9]+ bytes$' <<<"$out" && grep -q '^data errors: 0$' <<<"$out" || fail "Ctrl-C: $out"
    one_line '^ostrane-cli: stream: interrupted after [0-9.]+ s$'
    ;;
burn-in)
    # A clean run is clean: no byte of good data called wrong, status 0.
    run 0 --boards 2 -- burn-in --for 2s --max-size 65536 --json clean.json
    python3 -c 'import json; d = json.load(open("clean.json")); b = d["boards"]
assert d["result"] == "clean" and len(b) == 2, d
assert all(x["verified_bytes"] > 0 and x["wrong_bytes"] == x["jumps"] == x["errors"] == 0 for x in b), b
# Commands go over the same handle as the stream, each answered, woken by a notification.
c = [x["commands"] for x in b]
assert all(x["answered"] > 0 and x["failures"] == 0 and x["notifications"] > 0 for x in c), c' ||
        fail "clean run: $out"
    # Board 1 corrupts one byte and loses a packet, each reported at its offset, status 5; board 2
    # leaves and comes back: waited for, reopened, timed, its data still right.
    # (Board 2 leaves only once it streams: on a busy machine it may open well after board 1.)
    # Board 1's camera is silent: its commands go unanswered, and each is a failure.
    printf '0 camera 1 silent\n0 await 1 fifo\n0 corrupt-fifo 1 100003\n0 drop-fifo 1 300000 1024\n0 await 2 fifo\n1500 unplug 2\n2500 plug serial=VB0002\n' >f.script
    # Until Ctrl-C once both have happened (progress lines every 10 s), however slow the machine.
    run 5 --boards 2 --script f.script -- sh -c '"$0" burn-in --json faults.json >bi.txt & p=$!; i=0
        until grep -Eqs "board 0 .* 2 errors" bi.txt &&
            grep -Eqs "board 1 .* 1 unplugs, 1 back, [1-9][0-9]* commands answered" bi.txt; do
            i=$((i+1)); [ $i -gt 1800 ] && break; sleep 0.05; done
        kill -INT $p; wait $p; s=$?; cat bi.txt; exit $s'
    python3 -c 'import json; d = json.load(open("faults.json")); one, two = d["boards"]
assert d["result"] == "wrong data", d
w = one["first_wrong_byte"]
assert one["wrong_bytes"] == 1 and w["offset"] == 100003 and w["got"] == w["expected"] ^ 0xFF, one
assert one["jumps"] == 1 and one["first_jump"] == {"offset": 300000, "bytes": 1024}, one
c = one["commands"]
assert c["answered"] == 0 and c["failures"] > 0 and c["first_failure"] == "no answer within 1 s", one
assert c["round_trip_ms"] is None, one  # nothing measured is not zero
assert two["unplugs"] == 1 and len(two["reconnect_seconds"]) == 1 and two["gave_up"] == "", two
assert two["wrong_bytes"] == two["jumps"] == two["errors"] == 0 and two["verified_bytes"] > 0, two
assert two["commands"]["failures"] == 0 and two["commands"]["answered"] > 0, two' ||
        fail "faults: $out"
    grep -q '^  wrong bytes: 1, the first at offset 100003: ' <<<"$out" &&
        grep -q '^  blocks lost or repeated: 1, the first at offset 300000: 1024 bytes lost$' <<<"$out" &&
        grep -q '^  unplugs: 1, back after [0-9.]* s ' <<<"$out" || fail "report: $out"
    ;;
watch)
    run 0 --boards 2 -- watch --seconds 0.5 --json
    python3 -c '
import json, sys
lines = [json.loads(l) for l in sys.stdin.read().splitlines()]
assert [(l["event"], l["serial_number"]) for l in lines[:-1]] == [("present", "VB0001"), ("present", "VB0002")], lines
assert lines[-1]["changes"] == 0 and lines[-1]["end"] == "time", lines' <<<"$out" || fail "watch: $out"
    # The launcher passes the plugs and unplugs of its script on to the child as the kernel does.
    # The watch may start late (an emulated CPU): a board comes for 4 s every 5 s, for 90 s.
    seq 500 5000 90500 | awk '{print $1 " plug serial=HOT"; print $1 + 4000 " unplug " NR + 1}' >script
    run 0 --script "$PWD/script" -- watch --count 2 --json
    [ -z "$err" ] || fail "watch under a script: $err"
    python3 -c '
import json, sys
lines = [json.loads(l) for l in sys.stdin.read().splitlines()]
changes = [(l["event"], l["serial_number"]) for l in lines if l.get("event") in ("arrived", "departed")]
assert sorted(changes) == [("arrived", "HOT"), ("departed", "HOT")], lines
assert lines[-1]["changes"] == 2 and lines[-1]["end"] == "count", lines' <<<"$out" || fail "watch arrivals: $out"
    ;;
reset)
    run 0 -- reset
    [ "$out" = "board 0 (VB0001): port reset done" ] || fail "reset: $out"
    run 2 -- reset --board 4
    one_line '^ostrane-cli: open board 4: board 4 not found \(1 board attached\): check the cable'
    ;;
permission)
    # The build tree may lie under a directory that only root enters (a clone in /root or in a
    # private mktemp -d): the unprivileged user runs a copy of the tool and of the libraries it
    # takes from there, in a directory anyone can read.
    pub=$(mktemp -d) && trap 'rm -rf "$work" "$pub"' EXIT && chmod 755 "$pub" && cp "$cli" "$pub/" \
        || fail "cannot copy the tool to a readable directory"
    for lib in $(ldd "$cli" | awk '$3 ~ /^\// {print $3}'); do
        case $lib in /lib/* | /usr/*) ;; *) cp "$lib" "$pub/" || fail "cannot copy $lib" ;; esac
    done
    cli=$pub/$(basename "$cli")
    # So is a sanitizer's suppressions file, which it fails to start without.
    lsan=${LSAN_OPTIONS:-}
    if [[ $lsan =~ suppressions=([^:]+) ]]; then
        cp "${BASH_REMATCH[1]}" "$pub/" || fail "cannot copy ${BASH_REMATCH[1]}"
        lsan=${lsan/${BASH_REMATCH[1]}/$pub/$(basename "${BASH_REMATCH[1]}")}
    fi
    unprivileged="env LD_LIBRARY_PATH=$pub LSAN_OPTIONS=$lsan setpriv --reuid=65534 --regid=65534 --clear-groups"
    if ! $unprivileged "$cli" --help >/dev/null 2>&1; then
        echo "cli permission: skipped: user 65534 cannot run $cli (is ${TMPDIR:-/tmp} closed to it?)"
        exit 77
    fi
    # An unprivileged user, and a device node only root may open: the library lists nothing,
    # the tool says why.
    deny='S=VB0001; set -- $('"$locate"'); echo "$@"; node=$(printf "/dev/bus/usb/%03d/%03d" $2 $4)
        [ -n "${UMOCKDEV_DIR:-}" ] && chmod 755 "$UMOCKDEV_DIR"; chmod 600 "${UMOCKDEV_DIR:-}$node"
        exec '"$unprivileged"
    run 3 -- sh -c "$deny \"\$0\" info"
    read -r bus port address <<<"$(sed -n 's/^sysfs //p' <<<"$out")"
    node=$(printf '/dev/bus/usb/%03d/%03d' "$bus" "$address")
    one_line "^ostrane-cli: open board 0: permission denied on $node \(1209:0001 Q\.V\. Ostrane SDI Adapter VB0001, port ${port//./\\.}\): install the udev rule packaging/60-ostrane\.rules as /lib/udev/rules\.d/60-ostrane\.rules"
    run 3 -- sh -c "$deny \"\$0\" list"
    [ "$(grep -v '^sysfs ' <<<"$out")" = "no boards found" ] || fail "list: $out"
    read -r bus port address <<<"$(sed -n 's/^sysfs //p' <<<"$out")"
    node=$(printf '/dev/bus/usb/%03d/%03d' "$bus" "$address")
    one_line "^ostrane-cli: Q\.V\. Ostrane SDI Adapter VB0001 at ${port//./\\.}: permission denied on $node: install the udev rule"
    ;;
usage)
    run 1 -- frobnicate
    one_line '^ostrane-cli: unknown subcommand "frobnicate" \(see --help\)$'
    run 1 -- info --serial ""
    one_line '^ostrane-cli: --serial: an empty serial number names no board \(see --help\)$'
    run 1 -- info --board abc
    one_line '^ostrane-cli: --board: "abc" is not a board index: give a whole number from 0 to 255 \(see --help\)$'
    run 1 -- stream --seconds -1
    one_line '^ostrane-cli: --seconds: "-1" is not a number of seconds above 0 \(at most 100000000\) \(see --help\)$'
    for sub in "" monitor watch stream; do
        run 0 -- $sub --help
        grep -q '^  3  permission denied' <<<"$out" || fail "no exit codes in $sub --help: $out"
    done
    grep -q '^  --mode in|out|loopback ' <<<"$out" || fail "stream --help: $out"
    # The launcher's transport comes from the environment, as for the tests, unless given.
    OSTRANE_VBOARD_TRANSPORT=usb run 2 -- list
    one_line '^ostrane-virtual-board: --transport: usb not in \{umockdev,kernel\}$'
    OSTRANE_VBOARD_TRANSPORT=usb run 0 --transport "${OSTRANE_VBOARD_TRANSPORT:-umockdev}" -- list
    ;;
*) fail "unknown family" ;;
esac
echo "cli $family: ok"
