#!/usr/bin/env bash
# The board channel and notification tests against a replay of their own run: each case is run
# recording the bus (OSTRANE_TEST_CAPTURE), then again with the capture's boards in place of the
# model (OSTRANE_TEST_REPLAY), where it must pass as well.
#   own_recording_test.sh BINARY:GTEST_FILTER...
set -uo pipefail
fail() { echo "FAIL: $*"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cases=0
for target in "$@"; do
    binary=${target%%:*} filter=${target#*:}
    for case in $("$binary" --gtest_list_tests --gtest_filter="$filter" | awk '/^[^ ]/ {suite = $1} /^  / {print suite $1}'); do
        rm -f "$dir/capture.pcap"
        OSTRANE_TEST_CAPTURE=$dir/capture.pcap "$binary" --gtest_filter="$case" >"$dir/out" 2>&1 ||
            fail "$case, recording: $(cat "$dir/out")"
        OSTRANE_TEST_REPLAY=$dir/capture.pcap "$binary" --gtest_filter="$case" >"$dir/out" 2>&1 ||
            fail "$case, replayed: $(cat "$dir/out")"
        if grep -q '^\[  SKIPPED \]' "$dir/out"; then
            echo "$case: skipped under replay"
        else
            grep -q '^replay: .* in place of a model board$' "$dir/out" || fail "$case did not replay: $(cat "$dir/out")"
            echo "$case: passed under replay"
        fi
        cases=$((cases + 1))
    done
done
[ $cases -gt 0 ] || fail "no test case matched $*"
