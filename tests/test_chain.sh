#!/usr/bin/env bash
# The chain script as a test would use it: the relay across a 10 ms LAN to ser2net and the
# modelled far device echoes every byte and sees the LAN; a far device at 7E1 behind it changes
# exactly the bytes with an odd number of ones, and the relay names that format with the step to
# take. Exit 77 (skipped) when not root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$here/support/chain.sh" --out "$out/clean" --delay 5 --seconds 3 --nodelay >/dev/null || exit $?
"$here/support/chain.sh" --out "$out/7e1" --seconds 3 --device 9600,7E1 >/dev/null
python3 - "$out" <<'EOF'
import json, sys
clean = json.load(open(sys.argv[1] + "/clean/report.json"))
assert clean["sends"] > 100 and clean["echoed"] == clean["sends"] - clean["awaiting"], clean
assert clean["time_split_ms"]["lan"] >= 10, clean["time_split_ms"]   # a delay line is never faster
sent = replies = b""
for line in open(sys.argv[1] + "/7e1/tester.log"):
    t, kind, *data = line.split()
    if kind == "S":
        sent += bytes.fromhex(data[0])
    else:
        replies += bytes.fromhex("".join(data))
expect = bytes(b | 0x80 if bin(b).count("1") % 2 else b for b in sent)
assert replies == expect[:len(replies)] and len(replies) > 100, (replies[:40], expect[:40])
report = json.load(open(sys.argv[1] + "/7e1/report.json"))
codes = [v["code"] for v in report["verdicts"]]
assert codes[0] == "wrong-format" and "changed" not in codes, codes
assert report["speed_match"].startswith("the far device at 9600 7E1"), report["speed_match"]
EOF
