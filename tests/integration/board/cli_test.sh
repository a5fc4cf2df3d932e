#!/usr/bin/env bash
# ostrane-cli against two virtual boards: the list in both forms, a command and its reply (by index
# and by serial number), and failing commands that end in one error line and the status of their
# class.
set -uo pipefail
vboard=$1
cli=$2
fail() { echo "FAIL: $*"; exit 1; }

out=$("$vboard" --boards 2 -- "$cli" list) || fail "list exited non-zero"
[ "$(grep -c 'Q.V. Ostrane SDI Adapter *1209:0001 super  no' <<<"$out")" = 2 ] || fail "list: $out"

json=$("$vboard" --boards 2 -- "$cli" list --json) || fail "list --json exited non-zero"
python3 - "$json" <<'PY' || fail "list --json: $json"
import json, sys
boards = json.loads(sys.argv[1])
assert [b["index"] for b in boards] == [0, 1]
assert [b["serial_number"] for b in boards] == ["VB0001", "VB0002"]
assert all(b["vid"] == "1209" and b["pid"] == "0001" and b["speed"] == "super" and not b["open"]
           for b in boards)
PY

out=$("$vboard" --boards 2 -- "$cli" send --board 1 "status?") || fail "send exited non-zero"
grep -q '^reply from board 1: "status?" (7 bytes, round trip [0-9.]* ms)$' <<<"$out" || fail "send: $out"

json=$("$vboard" --boards 2 -- "$cli" send --serial VB0002 "hello" --json) || fail "send --serial exited non-zero"
python3 -c 'import json,sys; d=json.loads(sys.argv[1]); assert (d["board"], d["reply"], d["bytes"]) == (1, "hello", 5), d' \
    "$json" || fail "send --json: $json"

err=$("$vboard" --boards 1 -- "$cli" send --board 3 "x" 2>&1 >/dev/null)
[ $? = 2 ] || fail "send to a missing board did not exit 2: $err"
[ "$(wc -l <<<"$err")" = 1 ] || fail "error is not one line: $err"
grep -q "^ostrane-cli: open board 3: " <<<"$err" || fail "error line: $err"
err=$("$vboard" --boards 1 --script <(echo "0 camera 1 silent") -- "$cli" send --timeout 100 "x" 2>&1 >/dev/null)
[ $? = 4 ] || fail "send to a silent camera did not exit 4: $err"
[ "$err" = "ostrane-cli: receive: no reply before the time-out (code 4): check the camera, or give it longer with --timeout" ] \
    || fail "silent camera: $err"
echo "cli_test: ok"
