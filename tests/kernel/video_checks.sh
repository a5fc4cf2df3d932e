#!/usr/bin/env bash
# The board's video function streamed by the real kernel's uvcvideo (scripts/kernel-test guest):
#   capture    v4l2-ctl takes 60 frames at 320x240 and at 640x480: pattern exact, each frame numbered
#              by its buffer sequence (numbers missed by a host that fell behind are counted there)
#   beside     a 150-frame capture while another process uses the library on the same board:
#              every frame exact (one the host missed is counted), uvcvideo bound throughout,
#              every library call succeeds
#   unplug     the board unplugged (--script) mid-stream: v4l2-ctl gets its error, the library
#              reports the board gone and FT_Close returns, no kernel warning; the re-plugged
#              board streams again
#   developer  the command docs/02-without-hardware.md gives a developer, as written there
# usage: video_checks.sh SCENARIO OSTRANE_VIRTUAL_BOARD VIDEO_NEIGHBOUR OSTRANE_CLI
set -uo pipefail
fail() { echo "FAIL: $*"; [ "${VIDEO_CHECKS_INSIDE:-}" = 1 ] && dmesg | tail -n 30; exit 1; }
scenario=$1 vboard=$2 neighbour=$3 cli=$4
here=$(cd "$(dirname "$0")" && pwd)
check=$here/uvc_frames_check.py

board_sysfs() {
    local f
    for f in /sys/bus/usb/devices/*/idVendor; do
        [ "$(cat "$f")" = 1209 ] && { dirname "$f"; return; }
    done
}
# The capture node uvcvideo made for the board's first stream, once udev has it in /dev.
video_node() {
    local sys=$1 d
    for _ in $(seq 200); do
        for d in "$sys":1.0/video4linux/video*; do
            [ -e "$d/index" ] && [ "$(cat "$d/index")" = 0 ] && [ -e "/dev/${d##*/}" ] && { echo "/dev/${d##*/}"; return; }
        done
        sleep 0.1
    done
    fail "no video node for $sys: $(ls "$sys":1.* 2>&1 | head -20)"
}

if [ "${VIDEO_CHECKS_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" != 0 ] || [ ! -e /sys/devices/platform/vhci_hcd.0/attach ] || [ ! -e /run/udev/control ] ||
       [ ! -d /sys/module/uvcvideo ] || ! command -v v4l2-ctl >/dev/null; then
        echo "skipped: needs root, vhci_hcd, udevd, uvcvideo and v4l2-ctl (run it through scripts/kernel-test)"
        exit 77
    fi
    dmesg -C
    export VIDEO_CHECKS_INSIDE=1
    case $scenario in
    unplug)
        # Late enough for the stream to be running under TCG; the capture asks for far more.
        printf '10000 unplug 1\n12000 plug\n' > /tmp/video-unplug.script
        exec "$vboard" --transport kernel --video-interfaces 1 --script /tmp/video-unplug.script -- "$0" "$@" ;;
    developer)
        # A camera application as a developer would have it: the picture through V4L2, the
        # commands through the library (here its command-line front end).
        app=$(mktemp -d /tmp/my-project.XXXXXX)
        cat > "$app/my-camera-app" <<EOF
#!/usr/bin/env bash
set -e
$(declare -f fail board_sysfs video_node)
node=\$(video_node "\$(board_sysfs)")
v4l2-ctl -d "\$node" --set-fmt-video=width=640,height=480,pixelformat=YUYV --set-parm=15 --stream-mmap=32 \
    --stream-count=30 --stream-to=frames.yuv --verbose > frames.log 2>&1
"$cli" send --board 0 "hello camera"
EOF
        chmod +x "$app/my-camera-app"
        cd "$app" || exit 1
        export PATH=$(dirname "$vboard"):$PATH
        # As given to the developer, less sudo: the guest runs everything as root.
        out=$(ostrane-virtual-board --transport kernel --video-interfaces 1 -- ./my-camera-app 2>&1) ||
            fail "the documented command: $out"
        grep -q '^reply from board 0: "hello camera"' <<<"$out" || fail "no reply through the library: $out"
        python3 "$check" frames.yuv 640 480 30 --sequences frames.log || exit 1
        ! dmesg | grep -E 'WARNING|Oops|BUG:' || fail "kernel warnings"
        echo "video_checks developer: ok"
        exit 0 ;;
    *) exec "$vboard" --transport kernel --video-interfaces 1 -- "$0" "$@" ;;
    esac
fi

# At 15 fps with 32 buffers (uvcvideo's most): the guest (TCG, the board's server in it too) reaches 30 fps at
# 320x240 when the machine is quiet but not when it is busy, and about 26 at 640x480; a client
# that falls behind, or is starved for a moment, misses frames (uvcvideo has no buffer for them:
# "Dropping payload (out of sync)"), which is not what these checks are about. Such a frame still
# counts in the buffers' sequence numbers, which --verbose logs and the frame check accounts for.
# (Line-buffered: the beside check stops the client, and a log cut short would lose sequences.)
# With "exec" last, the (background) shell becomes v4l2-ctl, so that a kill stops the capture itself.
capture() {  # WIDTH HEIGHT COUNT FILE [exec]
    ${5:-} stdbuf -oL -eL v4l2-ctl -d "$node" --set-fmt-video=width=$1,height=$2,pixelformat=YUYV --set-parm=15 \
        --stream-mmap=32 --stream-count=$3 --stream-to="$4" --verbose > "$4.log" 2>&1
}
# v4l2-ctl's own running figure, not the rate it set.
rate() { echo "$1: $(tr '\r' '\n' < "$1.log" | grep -oE 'fps: [0-9.]+|[0-9.]+ fps' | tail -1)"; }
# uvcvideo's complaints about a device (not "Failed to resubmit video URB (-1)": a completion
# racing the kill of its URB at STREAMOFF).
no_kernel_warnings() {
    ! dmesg | grep -E 'WARNING|Oops|BUG:|Failed to (query|initialize|set|submit)|Non-zero status|Dropping payload' ||
        fail "kernel log above"
}

sys=$(board_sysfs)
[ -n "$sys" ] || fail "the board is not in sysfs"
for i in 0 1; do
    driver=$(readlink "$sys:1.$i/driver")
    [[ $driver == */uvcvideo ]] || fail "interface $i: driver ${driver:-none}"
done
node=$(video_node "$sys") || exit 1

case $scenario in
capture)
    for size in 320x240 640x480; do
        w=${size%x*} h=${size#*x}
        capture "$w" "$h" 60 "/tmp/$size.yuv"
        rate "/tmp/$size.yuv"
        python3 "$check" "/tmp/$size.yuv" "$w" "$h" 60 --sequences "/tmp/$size.yuv.log" || exit 1
    done
    no_kernel_warnings ;;
beside)
    # The capture runs from before the library's first call to after its last, then is stopped.
    capture 320 240 1000000 /tmp/beside.yuv exec &
    stream=$!
    frame=$((320 * 240 * 2))
    size() { stat -c %s /tmp/beside.yuv 2>/dev/null || echo 0; }
    grown() { for _ in $(seq 600); do [ "$(size)" -ge "$1" ] && return; sleep 0.1; done; false; }
    grown $((3 * frame)) || fail "the stream did not start: $(cat /tmp/beside.yuv.log)"
    "$neighbour" "$sys" commands || fail "the library beside the stream"
    grown $(($(size) + 3 * frame)) || fail "the stream stopped: $(tail -c 300 /tmp/beside.yuv.log)"
    kill -TERM $stream
    wait $stream
    rate /tmp/beside.yuv
    python3 "$check" /tmp/beside.yuv 320 240 1000000 --fewer --cut --sequences /tmp/beside.yuv.log || fail "frames wrong"
    no_kernel_warnings ;;
unplug)
    capture 320 240 3000 /tmp/unplug.yuv &
    stream=$!
    "$neighbour" "$sys" unplug > /tmp/neighbour.log 2>&1 &
    library=$!
    wait $stream
    # Dequeueing or queueing the next buffer fails, depending on where the unplug finds it.
    grep -Eq 'VIDIOC_DQBUF|qbuf error' /tmp/unplug.yuv.log || fail "v4l2-ctl saw no error: $(tail -c 300 /tmp/unplug.yuv.log)"
    # The stream ran until the unplug. (The frames are not checked: once a run's last frames
    # carried older numbers, buffers v4l2-ctl wrote after the disconnect.)
    [ "$(stat -c %s /tmp/unplug.yuv)" -ge $((10 * 320 * 240 * 2)) ] || fail "the stream did not run"
    wait $library || fail "library: $(cat /tmp/neighbour.log)"
    cat /tmp/neighbour.log
    ! dmesg | grep -E 'WARNING|Oops|BUG:' || fail "kernel warnings"
    for _ in $(seq 300); do sys=$(board_sysfs); [ -n "$sys" ] && break; sleep 0.1; done
    [ -n "$sys" ] || fail "the board did not come back"
    node=$(video_node "$sys") || exit 1
    capture 320 240 10 /tmp/again.yuv
    python3 "$check" /tmp/again.yuv 320 240 10 --sequences /tmp/again.yuv.log || exit 1 ;;
*) fail "unknown scenario $scenario" ;;
esac
echo "video_checks $scenario: ok"
