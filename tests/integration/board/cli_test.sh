#!/usr/bin/env bash
# ostrane-cli against two virtual boards: the list in both forms, a command and its reply, and a
# failing command that ends in one error line and a non-zero status.
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

err=$("$vboard" --boards 1 -- "$cli" send --board 3 "x" 2>&1 >/dev/null) && fail "send to a missing board succeeded"
[ "$(wc -l <<<"$err")" = 1 ] || fail "error is not one line: $err"
grep -q "^ostrane-cli: open board 3: " <<<"$err" || fail "error line: $err"
echo "cli_test: ok"
