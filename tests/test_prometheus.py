#!/usr/bin/env python3
"""The relay's metrics endpoint (--metrics) against a real Prometheus server, and against
hostile scrapers. Each runs `farend --listen` as the far end, the relay in front of it with COM3
in a private directory, and the scripted tester (bench/com3tester.py) on that COM3.

  Scraped: Prometheus (Debian's package) on loopback, storage in a temp dir, scraping every
  second with docs/relay.md's alert rules loaded; the far end drops a tenth of its replies. What
  Prometheus stored equals the relay's own report; histogram_quantile's p50 falls in the
  report's p50's bucket; the lost verdict's series is there while it holds and gone once the
  tester stops; the doc's configuration, rules and p99 query are what Prometheus takes.
  Hostile: wrong methods and paths, a body, a huge header, malformed requests, a request that
  never ends, bytes that are no HTTP, clients that hang up mid-answer and 200 connections at
  once, while the tester runs on a clean far end: each gets its status, the endpoint stays
  bounded and the relay carries every echo.

usage: test_prometheus.py Scraped|Hostile (FAREND: the program, default build/farend)"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FAREND = os.environ.get("FAREND", os.path.join(ROOT, "build", "farend"))
TESTER = os.path.join(ROOT, "bench", "com3tester.py")


def read(path):
    with open(path) as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def get_json(url):
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.load(r)


def wait_for(what, timeout=20.0, every=0.1):
    """What `what()` gives once it is true, or fails after `timeout` seconds."""
    end = time.monotonic() + timeout
    while True:
        value = what()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"gave up waiting for {what.__doc__ or what}")
        time.sleep(every)


def said(path, pattern):
    """The first group of `pattern` in the file at `path`, once it is there."""
    def found():
        m = re.search(pattern, read(path))
        return m and m.group(1)
    found.__doc__ = f"{pattern} in {path}"
    return wait_for(found)


def doc_block(name):
    """The fenced block after "<!-- prometheus: NAME -->" in docs/relay.md."""
    text = read(os.path.join(ROOT, "docs", "relay.md"))
    m = re.search(r"<!-- prometheus: " + name + r" -->\n```\w*\n(.*?)```", text, re.S)
    assert m, f"docs/relay.md has no block marked prometheus: {name}"
    return m.group(1)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Chain(unittest.TestCase):
    """A far end with `FAR` options, the relay in front of it serving metrics on port 0."""
    FAR = ()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="metrics.")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.work])
        self.far = self.spawn([FAREND, "--listen", "127.0.0.1:0", *self.FAR], "far")
        target = said(self.path("far.err"), r"listening on (\S+)")
        self.com3 = self.path("COM3")
        self.relay = self.spawn([FAREND, "--relay", target, "--link", self.com3, "--metrics", "0",
                                 "--report", self.path("report.json")], "relay")
        self.url = said(self.path("relay.err"), r"metrics at (http://\S+)")
        self.host, self.port = re.match(r"http://([\d.]+):(\d+)/", self.url).groups()
        self.port = int(self.port)

    def path(self, name):
        return os.path.join(self.work, name)

    def spawn(self, argv, name):
        with open(self.path(name + ".out"), "w") as out, open(self.path(name + ".err"), "w") as err:
            p = subprocess.Popen(argv, stdout=out, stderr=err)
        self.addCleanup(lambda: (p.poll() is None and p.kill(), p.wait()))
        return p

    def start_tester(self, seconds, period_ms):
        return self.spawn(["python3", TESTER, self.com3, str(seconds), "tick", str(period_ms)],
                          "tester")

    def stop_relay(self):
        """Stops the relay as Ctrl+C does; its report."""
        self.relay.send_signal(signal.SIGINT)
        self.assertEqual(self.relay.wait(30), 0, read(self.path("relay.err")))
        return json.loads(read(self.path("report.json")))


class Scraped(Chain):
    FAR = ("--drop", "10", "--latency", "3", "--seed", "7")

    def prometheus(self):
        """Prometheus on loopback scraping the relay every second, the doc's rules loaded."""
        rules = self.path("farend-relay-rules.yml")
        write(rules, doc_block("rules"))
        # the doc's configuration as it stands, with its rules beside it
        doc_config = self.path("doc-prometheus.yml")
        write(doc_config, doc_block("config"))
        for check in (["promtool", "check", "rules", rules],
                      ["promtool", "check", "config", doc_config]):
            r = subprocess.run(check, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        config = self.path("prometheus.yml")
        write(config,
              "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
              f"rule_files:\n  - {rules}\n"
              "scrape_configs:\n  - job_name: farend-relay\n    static_configs:\n"
              f"      - targets: ['{self.host}:{self.port}']\n")
        web = f"127.0.0.1:{free_port()}"
        self.spawn(["prometheus", f"--config.file={config}",
                    f"--storage.tsdb.path={self.path('tsdb')}", f"--web.listen-address={web}"],
                    "prometheus")
        self.api = f"http://{web}/api/v1/"

        def ready():
            try:
                with urllib.request.urlopen(f"http://{web}/-/ready", timeout=2) as r:
                    return r.status == 200
            except OSError:
                return False
        wait_for(ready, 60)

    def query(self, promql):
        """An instant query's samples: {labels' items: value}."""
        url = self.api + "query?" + urllib.parse.urlencode({"query": promql})
        r = get_json(url)
        self.assertEqual(r["status"], "success", r)
        return {tuple(sorted(s["metric"].items())): float(s["value"][1])
                for s in r["data"]["result"]}

    def value(self, promql):
        samples = self.query(promql)
        self.assertEqual(len(samples), 1, f"{promql}: {samples}")
        return next(iter(samples.values()))

    def test_prometheus_stores_what_the_relay_reports(self):
        self.prometheus()
        tester = self.start_tester(8, 10)
        lost = 'farend_relay_verdict{code="lost"}'
        wait_for(lambda: self.query(lost), 30)   # a verdict's series while it holds
        firing = wait_for(lambda: [a for a in get_json(self.api + "alerts")["data"]["alerts"]
                                   if a["labels"]["alertname"] == "RelayLostEchoes"
                                   and a["state"] == "firing"], 30)
        self.assertEqual(firing[0]["labels"]["link"], self.com3)
        self.assertEqual(tester.wait(60), 0)
        # every send is decided 1 s after the last; then one more scrape of the final counts
        time.sleep(2.5)
        decided = time.time()
        wait_for(lambda: self.value("timestamp(farend_relay_lost_total)") > decided + 0.1, 30)
        self.assertEqual(self.query(lost), {})   # gone once it no longer holds
        self.assertTrue(self.query('farend_relay_verdict{code="idle"}'))
        self.assertEqual(self.value("farend_relay_com3_open"), 0)
        p50 = self.value("histogram_quantile(0.5, farend_relay_round_trip_ms_bucket)")
        p99 = self.value(doc_block("p99"))
        stored = {n: self.value(f"farend_relay_{n}_total") for n in ("sends", "echoed", "lost")}
        report = self.stop_relay()

        self.assertEqual(report["awaiting"], 0)
        self.assertGreater(report["lost"], 0)
        for name, value in stored.items():
            self.assertEqual(value, report[name], name)
        # the report's p50 is the lower edge of its 1 us bin: Prometheus interpolates within
        # the bucket that holds it
        edges = [0, 1, 2, 3, 4, 5, 6, 8, 10, 15, 20, 50, 100, 250, 1000]
        low = max(e for e in edges if e <= report["round_trip_ms"]["p50"])
        high = min(e for e in edges if e > report["round_trip_ms"]["p50"])
        self.assertTrue(low <= p50 <= high, (p50, report["round_trip_ms"]))
        self.assertTrue(low <= p99 <= 1000, (p99, report["round_trip_ms"]))


class Hostile(Chain):
    def connect(self):
        return socket.create_connection((self.host, self.port), timeout=10)

    def status(self, request):
        """The status line's code the endpoint answers `request` with."""
        with self.connect() as s:
            s.sendall(request)
            head = s.recv(4096).split(b"\r\n")[0]
        return int(head.split()[1]) if head else None

    def relay_memory_kib(self):
        status = read(f"/proc/{self.relay.pid}/status")
        return int(re.search(r"VmHWM:\s+(\d+)", status).group(1))

    def relay_connections(self):
        return len(os.listdir(f"/proc/{self.relay.pid}/fd"))

    def test_hostile_scrapers_are_bounded_and_the_relay_carries_on(self):
        tester = self.start_tester(10, 10)
        get = b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
        for request, code in [
                (get, 200),
                (b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 405),
                (b"DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 405),
                (b"GET /metrics/ HTTP/1.1\r\nHost: x\r\n\r\n", 404),
                (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 404),
                (b"GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n", 413),
                (b"GET /metrics HTTP/1.1\r\nHost: x\r\nX: " + b"a" * 100000 + b"\r\n\r\n", 431),
                (b"GET /metrics HTTP/1.1\r\nno header\r\n\r\n", 400),
                (b"GET /metrics HTTP/9.9\r\n\r\n", 505)]:
            self.assertEqual(self.status(request), code, request[:40])
        before = self.relay_connections()
        # a request that never ends, and bytes that are no HTTP at all: each closed when it has
        # been idle 5 s, with no answer
        slow, garbage = self.connect(), self.connect()
        slow.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
        garbage.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + b"\0" * 40)
        start = time.monotonic()
        # clients that hang up before the answer is out: no SIGPIPE may stop the relay
        for _ in range(100):
            with self.connect() as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                s.sendall(get)
        # 200 connections at once: at most 16 taken, a few more left waiting to be accepted
        crowd = [socket.socket() for _ in range(200)]
        for s in crowd:
            s.setblocking(False)
            s.connect_ex((self.host, self.port))
        time.sleep(1)
        self.assertLessEqual(self.relay_connections() - before, 16)
        for s in (slow, garbage):
            s.settimeout(15)
            self.assertEqual(s.recv(100), b"")
            s.close()
        self.assertLess(time.monotonic() - start, 10)
        for s in crowd:
            s.close()
        self.assertEqual(self.status(get), 200)   # served again once they are gone
        self.assertEqual(tester.wait(60), 0)
        self.assertLess(self.relay_memory_kib(), 24 * 1024)
        time.sleep(1.5)
        report = self.stop_relay()
        self.assertEqual(report["ended_by"], "interrupted")   # by the test's SIGINT alone
        sent, back = map(int, re.match(r"sent (\d+), echoes (\d+)",
                                       read(self.path("tester.out"))).groups())
        self.assertEqual((sent, back), (report["sends"], report["sends"]))
        self.assertEqual((report["echoed"], report["lost"], report["changed"], report["extra"]),
                         (sent, 0, 0, 0))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
