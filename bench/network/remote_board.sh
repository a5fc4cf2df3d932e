#!/usr/bin/env bash
# The library a network round trip away from its board: each virtual board reaches the kernel
# through a loopback TCP connection (as a board imported with `usbip attach` does) and `tc netem`
# delays every packet on the loopback by D ms each way (RTT 2 D). For each D prints the board
# channel's round trip and FIFO loopback throughput, as "name: value" lines. Runs in the guest:
#   scripts/kernel-test -- bench/network/remote_board.sh build/normal [DELAYS_MS...]
# (root, vhci_hcd and the sch_netem module; the guest has them).
set -uo pipefail
build=${1:?usage: remote_board.sh BUILD_DIR [DELAYS_MS...]}
shift
delays=("${@:-0 1 5}")
[ $# -gt 0 ] || delays=(0 1 5)
export OSTRANE_VBOARD_TRANSPORT=kernel OSTRANE_VBOARD_LINK=tcp
trap 'tc qdisc del dev lo root 2>/dev/null' EXIT
for d in "${delays[@]}"; do
    tc qdisc del dev lo root 2>/dev/null
    [ "$d" = 0 ] || tc qdisc add dev lo root netem delay "${d}ms" limit 100000 || exit 1
    echo "delay_ms: $d"
    "$build/bench/roundtrip/bench_roundtrip" "${ROUNDTRIP_ROUNDS:-200}" | sed "s/^/rtt${d}_/"
    "$build/bench/stream/bench_stream" ${STREAM_ARGS:-2 3 --no-memory} | sed "s/^/rtt${d}_/"
done
