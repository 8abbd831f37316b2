#!/usr/bin/env bash
# The relay on whole chains of real peers (tests/support/chain.sh: scripted tester, relay, a LAN
# the test inserts, ser2net, socat pty pair, a far device written apart from the relay):
# - across a 20 ms LAN, ser2net's default accepter holds echoes back (Nagle) and the relay names
#   it with the fix, tcp(nodelay); with nodelay it names no such thing, and says that this LAN
#   alone is over the 5 ms read (the negative control: nothing lost, changed or extra either);
# - with 5% loss on the LAN, the kernel's retransmissions reach the verdicts, and nothing is lost;
# - behind a ser2net (RFC 2217) that holds each echo until the next byte, a far device changing
#   30% of its replies is counted as it really did (the tester's own log says what came back);
# - a far device at 7E1 changes exactly the bytes with an odd number of ones, and the relay names
#   that format with the step to take;
# - a slow far device (15 ms an answer) behind ser2net without Nagle or chardelay: every echo
#   back, none sooner than the device's delay and the wire's time, and the time put on the far
#   device; behind ser2net's default accepter the same: a later send that lets its echoes go is
#   no holding that costs the median;
# - a 50 ms LAN losing 3% behind Nagle: the LAN, the holding and the retransmissions each named,
#   the LAN first, and the split adds up to the median;
# - a far device set to 19200 mid-run: named, and no interval calls the new replies noise.
# Exit 77 (skipped) when not root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build=${BUILD:-$here/../build}

"$here/support/chain.sh" --out "$out/nagle" --delay 10 --seconds 4 >/dev/null || exit $?
"$here/support/chain.sh" --out "$out/nodelay" --delay 10 --seconds 4 --nodelay >/dev/null
"$here/support/chain.sh" --out "$out/loss" --delay 10 --loss 5 --seed 1 --seconds 6 --nodelay >/dev/null
"$here/support/chain.sh" --out "$out/corrupt" --seconds 5 --rfc2217 \
    -- "$build/farend" --port {} --corrupt 30 --seed 3 >/dev/null
"$here/support/chain.sh" --out "$out/7e1" --seconds 3 --device 9600,7E1 >/dev/null
"$here/support/chain.sh" --out "$out/slow" --seconds 3 --nodelay --no-chardelay --answer-after 15 >/dev/null
"$here/support/chain.sh" --out "$out/slow-nagle" --seconds 3 --answer-after 15 >/dev/null
"$here/support/chain.sh" --out "$out/lan50" --delay 25 --loss 3 --seed 1 --seconds 6 >/dev/null
"$here/support/chain.sh" --out "$out/midrun" --seconds 10 --nodelay --device-then 3,19200,8N1 >/dev/null
python3 - "$out" <<'EOF'
import json, sys
out = sys.argv[1]
def report(name):
    return json.load(open(f"{out}/{name}/report.json"))
def verdict(r, code):
    return next((v for v in r["verdicts"] if v["code"] == code), None)
def codes(r):
    return [v["code"] for v in r["verdicts"]]
def stream(name):
    return [json.loads(line) for line in open(f"{out}/{name}/stream.jsonl")]
def tester(name):
    sent = replies = b""
    for line in open(f"{out}/{name}/tester.log"):
        t, kind, *data = line.split()
        if kind == "S":
            sent += bytes.fromhex(data[0])
        else:
            replies += bytes.fromhex("".join(data))
    return sent, replies
def wide(name):
    lines = open(f"{out}/{name}/lines.txt").read().splitlines()
    lines += open(f"{out}/{name}/summary.txt").read().splitlines()
    return [line for line in lines if len(line) >= 80]

def split(r):
    s = r["time_split_ms"]
    assert abs(sum(v or 0 for v in s["parts"].values()) - s["median"]) <= 0.5, s
    return s["parts"]

# Nagle at the device server: named, with its fix, far beyond what chance puts after a send;
# the late verdict names the holding among its causes, with the fix among its steps
nagle = report("nagle")
held = verdict(nagle, "held-echoes")
assert held and held["cause"] == "packing", codes(nagle)
assert held["figures"]["share"] > 3 * held["figures"]["chance_share"] + 0.2, held
assert "tcp(nodelay)" in held["step"], held["step"]
late = verdict(nagle, "late")
assert "echoes held for a later send" in late["text"] and "tcp(nodelay)" in late["step"], late
assert split(nagle)["held"] == held["figures"]["held_ms"] > 0.5, held
assert nagle["replies_per_read"] > 1.5, nagle["replies_per_read"]   # echoes come coalesced
assert not wide("nagle"), wide("nagle")

# nodelay, the negative control: nothing held, nothing lost, only a LAN over the read window
nodelay = report("nodelay")
assert nodelay["outcome"] == "clean" and nodelay["sends"] > 100, nodelay["outcome"]
assert nodelay["echoed"] == nodelay["sends"] - nodelay["awaiting"], nodelay
assert codes(nodelay) == ["late"], codes(nodelay)
late = nodelay["verdicts"][0]
assert late["cause"] == "lan" and "can never be met over this LAN" in late["text"], late
assert nodelay["time_split_ms"]["lan"] >= 20, nodelay["time_split_ms"]   # never faster than the line
assert nodelay["replies_per_read"] < 1.2, nodelay["replies_per_read"]

# 5% loss: the kernel's counts in the report and the intervals, a verdict that explains them
loss = report("loss")
assert loss["lost"] == 0 and loss["changed"] == 0, loss
assert loss["tcp"]["retransmitted"] + loss["tcp"]["out_of_order"] > 0, loss["tcp"]
retransmits = verdict(loss, "retransmits")
assert retransmits and "ping -c 1000" in retransmits["step"], codes(loss)
intervals = [r for r in stream("loss") if r["type"] == "interval" and r["tcp"]]
assert sum(r["tcp"]["out_of_order"] + r["tcp"]["retransmitted"] for r in intervals) == \
    loss["tcp"]["out_of_order"] + loss["tcp"]["retransmitted"], intervals
assert not verdict(loss, "held-echoes"), codes(loss)

# behind Nagle, a far device changing 30% of its replies: counted as it did, not one send off
sent, replies = tester("corrupt")
corrupt = report("corrupt")
assert len(replies) == len(sent) > 300, (len(sent), len(replies))
truth = sum(a != b for a, b in zip(sent, replies))
assert abs(corrupt["changed"] - truth) <= len(sent) // 50, (corrupt["changed"], truth)
assert corrupt["lost"] + corrupt["extra"] <= len(sent) // 50, corrupt
assert corrupt["echoed"] + corrupt["changed"] + corrupt["lost"] + corrupt["awaiting"] == len(sent)

# a far device at 7E1 sets bit 7 of each byte with an odd number of ones, nothing else
sent, replies = tester("7e1")
expect = bytes(b | 0x80 if bin(b).count("1") % 2 else b for b in sent)
assert replies == expect[:len(replies)] and len(replies) > 100, (replies[:40], expect[:40])
seven = report("7e1")
assert codes(seven)[0] == "wrong-format" and "changed" not in codes(seven), codes(seven)
assert seven["speed_match"].startswith("the far device at 9600 7E1"), seven["speed_match"]
assert "set the far device to 9600 8N1" in seven["verdicts"][0]["step"], seven["verdicts"][0]

# a slow far device: everything back, the median no sooner than 15 ms and two 9600 8N1 frames;
# the time is the far device's, which no setting of the device server takes away
slow = report("slow")
assert slow["lost"] == slow["changed"] == slow["extra"] == 0 and slow["echoed"] > 100, slow
assert slow["round_trip_ms"]["p50"] >= 16.5, slow["round_trip_ms"]
for name in ("slow", "slow-nagle"):
    r = report(name)
    late = verdict(r, "late")
    assert late and late["cause"] == "behind", (name, r["verdicts"])
    assert "can never be met with this far device" in late["text"], late["text"]
    assert not verdict(r, "held-echoes") and "Nagle" not in late["step"], (name, r["verdicts"])
    assert split(r)["rest"] >= 13, (name, r["time_split_ms"])

# a slow lossy LAN behind Nagle: each cause that alone misses the read named, the LAN first
lan50 = report("lan50")
parts = split(lan50)
assert verdict(lan50, "held-echoes") and verdict(lan50, "retransmits"), codes(lan50)
late = verdict(lan50, "late")
assert late["cause"] == "lan" and "can never be met over this LAN" in late["text"], late
assert late["step"].index("a LAN whose round trip") < late["step"].index("turn Nagle off"), late
assert parts["lan"] >= 50 and parts["held"] > 5, parts

# a far device set to 19200 after 3 s: named for the run; the intervals in between say there
# were too few cycles since the replies changed, never noise
midrun = report("midrun")
assert midrun["verdicts"][0]["code"] == "wrong-speed", codes(midrun)
assert "19200" in midrun["speed_match"], midrun["speed_match"]
noise = [v["text"] for r in stream("midrun") if r["type"] == "interval" for v in r["verdicts"]
         if "noise" in v["text"] and "too few" not in v["text"]]
assert not noise, noise
EOF
