#!/usr/bin/env python3
"""The signs of a chain's faults, measured from what tests/support/chain.sh kept of a run: what
the relay said (report.json) beside figures taken apart from it.

    bench/chain_signs.py [--period MS] [--json | --table] DIR...
    bench/chain_signs.py --compare SET...

For each DIR, one block (with --json one JSON object a line, with --table one row of a Markdown
table):
  relay     sends, echoed, lost, changed, extra; late as the report gives it; p50/p99/max; the
            verdict codes and the speed named
  budget    the report's split of the median round trip, its parts and their sum against the
            median; the share of echoes released by a later send (held); interval lines that
            call the replies noise (not "too few test cycles yet to tell")
  changed   changed / (echoed + changed): the share of replies that were not the byte sent
  per read  echo bytes per TCP segment the relay received (TCP_INFO bytes_received /
            data_segs_in of its socket), and from the capture the share of segments with more
            than one byte; replies per read at the tester (tester.log)
  period    the share of round trips (the relay's histogram) within 0.3 ms of a multiple of
            the period, and of round trips less the LAN's least RTT (the report's lan); with
            round trips spread evenly that share is 0.6/period
  retrans   the relay's socket: tcpi_retrans/tcpi_total_retrans, out-of-order segments
            received; ser2net's socket: its total retransmissions (ss.txt, last sample)
  stable    the reply stream against itself one cycle's worth of replies later (the share of
            reply bytes equal to the one q bytes on, q chosen best near replies/cycles): a
            byte-for-byte mapping stable from cycle to cycle gives 100%, whatever it maps to;
            and, where the far device is the model, per byte sent the share of its replies
            equal to the commonest reply for that byte's value (device.log)

With --compare, each SET a directory of runs (bench/relay_verdicts.sh --farend LABEL=PATH gives
one a relay, DIR/LABEL): a Markdown table with a row for each run and set, the sets of a run
together, of what each relay said: its verdicts (code/cause), the median round trip, the split's
parts and their sum, late and held shares, the settings named.
"""
import collections
import json
import os
import re
import sys

CYCLE = 36


def load(path):
    return open(path).read() if os.path.exists(path) else ""


def replies_and_sends(log):
    sends, reads = [], []
    for line in log.splitlines():
        t, kind, *data = line.split(" ")
        if kind == "S":
            sends.append(bytes.fromhex(data[0]))
        elif kind == "R":
            reads.append(bytes.fromhex("".join(data)))
    return sends, reads


def stability(stream, sends):
    """(q, share of reply bytes equal to the byte q on), q near len(stream) per cycle sent."""
    if len(sends) < 2 * CYCLE or len(stream) < 2:
        return None, None
    q0 = round(len(stream) * CYCLE / len(sends))
    best = (None, -1.0)
    for q in range(max(1, q0 - 3), q0 + 4):
        pairs = len(stream) - q
        if pairs > 0:
            share = sum(stream[j] == stream[j + q] for j in range(pairs)) / pairs
            best = max(best, (q, share), key=lambda b: b[1])
    return best


def model_stability(log):
    """Per byte sent (by value): the share of sends whose replies are the commonest for that value."""
    value, replies = {}, collections.defaultdict(list)
    for line in log.splitlines():
        f = line.split()
        if len(f) >= 4 and f[1] == "in":
            value[f[3]] = f[2]
        elif len(f) >= 4 and f[1] == "out":
            replies[f[3]].append(f[2])
    if not value:
        return None
    by_value = collections.defaultdict(list)
    for tag, v in value.items():
        by_value[v].append(tuple(replies.get(tag, ())))
    same = sum(collections.Counter(r).most_common(1)[0][1] for r in by_value.values())
    return same / len(value)


def ss_last(text, side):
    lines = [l for l in text.splitlines() if l.split(" ")[1:2] == [side] and "segs_in:" in l]
    if not lines:
        return {}
    last = lines[-1]
    got = {}
    for key in ("bytes_received", "data_segs_in", "rcv_ooopack", "dsack_dups", "reord_seen"):
        m = re.search(r"\b%s:(\d+)" % key, last)
        got[key] = int(m.group(1)) if m else 0
    m = re.search(r"\bretrans:(\d+)/(\d+)", last)
    got["retrans"], got["total_retrans"] = (int(m.group(1)), int(m.group(2))) if m else (0, 0)
    return got


def capture_segments(text, port):
    """Payload lengths of the data segments from the device server."""
    return [int(n) for n in re.findall(r"\.%d > .* length (\d+)$" % port, text, re.M) if int(n)]


def on_multiples(histogram, period, offset=0.0, within=0.3):
    total = sum(b["count"] for b in histogram)
    if not total:
        return None
    near = 0
    for b in histogram:
        middle = (b["from"] + b["to"]) / 2 - offset
        k = round(middle / period)
        near += b["count"] if k >= 1 and abs(middle - k * period) <= within else 0
    return near / total


def signs(d, period):
    r = json.loads(load(os.path.join(d, "report.json")) or "{}")
    s = {"dir": d, "command": load(os.path.join(d, "command.txt")).strip()}
    if not r:
        s["error"] = "no report"
        return s
    m = re.search(r"--period (\S+)", s["command"])
    period = float(m.group(1)) if m else period
    port = int(r["target"].rsplit(":", 1)[1])
    s.update({k: r[k] for k in ("sends", "echoed", "lost", "changed", "extra", "late", "late_share")})
    s["rtt"] = r["round_trip_ms"] or {"p50": "-", "p99": "-", "max": "-"}   # null: no echoes
    s["verdicts"] = [v["code"] for v in r["verdicts"]]
    s["verdict_texts"] = [v["text"] for v in r["verdicts"]]
    s["speed"] = r["speed_match"]
    s["clean"] = r["clean"]
    replies = r["echoed"] + r["changed"]
    s["changed_share"] = r["changed"] / replies if replies else None
    near = ss_last(load(os.path.join(d, "ss.txt")), "near")
    far = ss_last(load(os.path.join(d, "ss.txt")), "far")
    s["bytes_per_segment"] = (near["bytes_received"] / near["data_segs_in"]
                              if near.get("data_segs_in") else None)
    lengths = capture_segments(load(os.path.join(d, "capture.txt")), port)
    s["segments_over_1_byte"] = sum(n > 1 for n in lengths) / len(lengths) if lengths else None
    s["relay_retrans"] = "%d/%d" % (near.get("retrans", 0), near.get("total_retrans", 0)) if near else None
    s["relay_rcv_ooopack"] = near.get("rcv_ooopack")
    s["server_total_retrans"] = far.get("total_retrans") if far else None
    sends, reads = replies_and_sends(load(os.path.join(d, "tester.log")))
    s["replies_per_tester_read"] = sum(map(len, reads)) / len(reads) if reads else None
    hist = r["round_trip_histogram_ms"]
    lan = (r.get("time_split_ms") or {}).get("lan") or 0.0
    s["period_ms"] = period
    s["rtt_on_period_multiples"] = on_multiples(hist, period)
    s["rtt_less_lan_on_multiples"] = on_multiples(hist, period, lan)
    s["stable_q"], s["stable_share"] = stability(b"".join(reads), sends)
    s["model_stable_share"] = model_stability(load(os.path.join(d, "device.log")))
    s.update(budget(r, d))
    return s


def split_parts(split):
    """The parts of the report's split of the median ({} without one): a `parts` object where the
    report gives one, else every figure in it but the median and the smoothed RTT."""
    if not split:
        return {}
    given = split.get("parts") if isinstance(split.get("parts"), dict) else split
    return {k: v for k, v in given.items()
            if k not in ("median", "lan_smoothed") and isinstance(v, (int, float))
            and not isinstance(v, bool)}


def noise_intervals(d):
    """Intervals of the stream whose own verdicts call the replies noise (not those that say
    there are too few test cycles yet to tell a mapping from noise)."""
    count = 0
    for line in load(os.path.join(d, "stream.jsonl")).splitlines():
        try:
            o = json.loads(line)
        except ValueError:
            continue
        texts = [v.get("text") or "" for v in o.get("verdicts") or []]
        if o.get("type") == "interval" and any("noise" in t and "too few" not in t for t in texts):
            count += 1
    return count


def budget(r, d):
    split = r.get("time_split_ms") or {}
    parts = split_parts(split)
    echoed = r.get("echoed") or 0
    released = r.get("released_by_a_later_send")
    return {
        "verdict_causes": ["%s/%s" % (v["code"], v["cause"]) if v.get("cause") else v["code"]
                           for v in r["verdicts"]],
        "split_parts": parts,
        "split_sum": sum(parts.values()) if parts else None,
        "split_median": split.get("median"),
        "held_share": released / echoed if echoed and released is not None else None,
        "noise_intervals": noise_intervals(d),
    }


def pct(x):
    return "-" if x is None else "%.0f%%" % (100 * x)


def num(x, f="%.2f"):
    return "-" if x is None else f % x


def block(s):
    if "error" in s:
        return "%s: %s" % (s["dir"], s["error"])
    return "\n".join([
        s["command"],
        "  relay     sends %d, echoed %d, lost %d, changed %d, extra %d; late %s of echoes; "
        "rtt p50 %s p99 %s max %s ms" % (s["sends"], s["echoed"], s["lost"], s["changed"], s["extra"],
                                         pct(s["late_share"]), s["rtt"]["p50"], s["rtt"]["p99"],
                                         s["rtt"]["max"]),
        "  verdicts  %s; speed: %s; clean: %s" % (" ".join(s["verdicts"]) or "-", s["speed"], s["clean"]),
        "  changed   %s of replies" % pct(s["changed_share"]),
        "  per read  %s echo bytes a segment at the relay; %s of segments over 1 byte; "
        "%s replies a tester read" % (num(s["bytes_per_segment"]), pct(s["segments_over_1_byte"]),
                                      num(s["replies_per_tester_read"])),
        "  period    %s of round trips within 0.3 ms of k x %g ms; %s less the LAN's RTT"
        % (pct(s["rtt_on_period_multiples"]), s["period_ms"], pct(s["rtt_less_lan_on_multiples"])),
        "  retrans   relay %s (retrans/total), %s out of order in; ser2net total %s"
        % (s["relay_retrans"], s["relay_rcv_ooopack"], s["server_total_retrans"]),
        "  stable    %s of reply bytes equal %s bytes on; model: %s of sends map like their value's commonest"
        % (pct(s["stable_share"]), s["stable_q"], pct(s["model_stable_share"])),
        "  budget    %s; held %s of echoes; %d interval lines say noise"
        % (split_text(s), pct(s["held_share"]), s["noise_intervals"]),
    ] + ["  verdict:  " + t for t in s["verdict_texts"]])


def split_text(s):
    if not s["split_parts"]:
        return "no split"
    parts = " + ".join("%s %.2f" % kv for kv in s["split_parts"].items())
    return "%s = %.2f against the median %s ms" % (parts, s["split_sum"], num(s["split_median"]))


COMPARE = ("| run | relay | verdicts (code/cause) | p50 ms | split: parts = sum (median), ms | "
           "late | held | noise lines | named |\n" + "|---" * 9 + "|")


def compare_row(s, label):
    name = os.path.basename(s["dir"].rstrip("/"))
    if "error" in s:
        return "| %s | %s | %s |" % (name, label, s["error"])
    return "| " + " | ".join([
        name, label, " ".join(s["verdict_causes"]) or "-", str(s["rtt"]["p50"]),
        split_text(s).replace(" against the median ", " (").replace(" ms", ")")
        if s["split_parts"] else "-",
        pct(s["late_share"]), pct(s["held_share"]), str(s["noise_intervals"]),
        (s["speed"] or "-").replace("the replies are what ", "")]) + " |"


def compare(sets, period):
    names = sorted({n for d in sets for n in os.listdir(d) if os.path.isdir(os.path.join(d, n))})
    labels = [os.path.basename(d.rstrip("/")) for d in sets]
    got = {}   # (name, label) -> signs
    print(COMPARE)
    for name in names:
        for d, label in zip(sets, labels):
            path = os.path.join(d, name)
            got[name, label] = (signs(path, period) if os.path.isdir(path)
                                else {"dir": path, "error": "not run"})
            print(compare_row(got[name, label], label))
    # what the Done-when of a change to the verdicts looks at, set by set
    print()
    for label in labels:
        runs = [got[n, label] for n in names if "error" not in got[n, label]]
        off = [os.path.basename(r["dir"]) for r in runs if r["split_sum"] is not None
               and abs(r["split_sum"] - r["split_median"]) > 0.5]
        noisy = [os.path.basename(r["dir"]) for r in runs if r["speed"] and r["noise_intervals"]]
        print("- %s: %d runs; split off its median by over 0.5 ms: %d %s; noise lines in a run "
              "that names settings: %d %s" % (label, len(runs), len(off), " ".join(off),
                                               len(noisy), " ".join(noisy)))
        if label != labels[0]:
            differ = [n for n in names if "error" not in got[n, label]
                      and "error" not in got[n, labels[0]]
                      and got[n, label]["verdicts"] != got[n, labels[0]]["verdicts"]]
            print("  verdict codes other than %s's: %d %s" % (labels[0], len(differ), " ".join(differ)))


TABLE = ("| run | sends | echoed | lost | changed | extra | changed % | p50 / p99 / max ms | "
         "B/segment | segments >1 B | rtt on k·P | rtt−LAN on k·P | retrans relay (cur/total) | "
         "retrans ser2net | stable | stable (model) | verdicts | speed named |\n" + "|---" * 18 + "|")


def row(s):
    if "error" in s:
        return "| %s | %s |" % (os.path.basename(s["dir"].rstrip("/")), s["error"])
    return "| " + " | ".join([
        os.path.basename(s["dir"].rstrip("/")), str(s["sends"]), str(s["echoed"]), str(s["lost"]),
        str(s["changed"]), str(s["extra"]), pct(s["changed_share"]),
        "%s / %s / %s" % (s["rtt"]["p50"], s["rtt"]["p99"], s["rtt"]["max"]),
        num(s["bytes_per_segment"]), pct(s["segments_over_1_byte"]),
        pct(s["rtt_on_period_multiples"]), pct(s["rtt_less_lan_on_multiples"]),
        s["relay_retrans"] or "-", str(s["server_total_retrans"]), pct(s["stable_share"]),
        pct(s["model_stable_share"]), " ".join(s["verdicts"]) or "-",
        (s["speed"] or "-").replace("the replies are what ", "")]) + " |"


def main():
    args = sys.argv[1:]
    period, form = 10.0, "block"
    while args and args[0].startswith("--"):
        if args[0] == "--period":
            period = float(args[1])
            args = args[2:]
        elif args[0] in ("--json", "--table", "--compare"):
            form, args = args[0][2:], args[1:]
        else:
            sys.exit(__doc__)
    if not args:
        sys.exit(__doc__)
    if form == "compare":
        return compare(args, period)
    if form == "table":
        print(TABLE)
    for d in args:
        s = signs(d, period)
        print({"json": json.dumps, "table": row}.get(form, lambda s: block(s) + "\n")(s))


if __name__ == "__main__":
    main()
