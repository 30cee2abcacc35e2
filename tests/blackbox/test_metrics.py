"""The -metrics endpoint: a real HTTP client, the page through Prometheus's own
parser, values that follow known traffic, the standard process metrics, HTTP
errors, the bounds that keep slow or excess scrapers from holding the
endpoint, and a real Prometheus server scraping the tracker."""

import http.client
import json
import os
import re
import socket
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest
from prometheus_client.parser import text_string_to_metric_families

from conftest import IPV6, SCALE, free_port, tracker_cmd
from lattice import HAVE_UTP_CLIENT, Conn, UtpClient, get_peers, new_id

TIMEOUT = 5  # seconds a metrics connection gets for its whole exchange
TCP, UTP, UDP = '{transport="tcp"}', '{transport="utp"}', '{transport="udp"}'
# The families every exporter's process collector shows (counters without _total).
PROCESS = {"process_cpu_seconds", "process_open_fds", "process_max_fds", "process_resident_memory_bytes",
           "process_start_time_seconds"}
PROMETHEUS = "/usr/bin/prometheus"
UNDER_WINE = "wine" in " ".join(tracker_cmd())


def start(tracker_factory, where):
    """The tracker and its page's URL; where is the -metrics value, {} the port."""
    port, mport = free_port(), free_port()
    t = tracker_factory(args=["-p", str(port), "-metrics", where.format(mport)], port=port)
    return t, "http://%s:%d/metrics" % ("[::1]" if "::" in where else "127.0.0.1", mport), mport


def fetch(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10 * SCALE) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def parse(body):
    """{'name{labels}': value}; each sample must sit in a documented, typed family."""
    text, out = body.decode(), {}
    for family in text_string_to_metric_families(text):
        assert (family.name.startswith("lattice_") or family.name in PROCESS) and family.documentation, family
        assert family.type in ("counter", "gauge", "histogram"), family
        for s in family.samples:
            labels = ",".join('%s="%s"' % kv for kv in sorted(s.labels.items()))
            out[s.name + ("{%s}" % labels if labels else "")] = s.value
    assert len(out) == len([ln for ln in text.splitlines() if ln and not ln.startswith("#")]), "a sample was lost"
    assert all(n.endswith("_total") for n in re.findall(r"^# TYPE (\S+) counter$", text, re.M))
    return out


def scrape_until(url, want, timeout=2 * TIMEOUT):
    """The page once it shows every value of want (the last one tried at the deadline)."""
    deadline = time.monotonic() + timeout * SCALE
    while True:
        status, headers, body = fetch(url)
        assert status == 200 and headers["Content-Type"] == "text/plain; version=0.0.4; charset=utf-8"
        assert headers["Connection"] == "close" and int(headers["Content-Length"]) == len(body)
        m = parse(body)
        if all(m.get(k) == v for k, v in want.items()) or time.monotonic() > deadline:
            assert {k: m.get(k) for k in want} == want
            return m
        time.sleep(0.2)


def proc_dir(t):
    """/proc/PID of the tracker itself, or None (no /proc, or a wrapper such as Wine)."""
    return "/proc/%d" % t.proc.pid if t.fd_count() is not None else None


def cpu_seconds(proc):
    """User and system CPU time from /proc/PID/stat (after the command name, which may hold spaces)."""
    with open(proc + "/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def soft_descriptor_limit(proc):
    with open(proc + "/limits") as f:
        return int(re.search(r"^Max open files\s+(\d+)", f.read(), re.M).group(1))


def test_page_follows_traffic(tracker_factory):
    t0 = time.time()
    t, url, _ = start(tracker_factory, "{}")  # a bare port: loopback
    first = parse(fetch(url)[2])
    share, pa, pb = new_id(), new_id(), new_id()
    a, b = Conn(t.port), Conn(t.port)
    # a's reply; b's reply and introduction to a; a's reply and introduction to b
    got = [a.request(share, pa).raw, b.request(share, pb).raw, a.recv().raw, a.request(share, pa).raw, b.recv().raw]
    want = {"lattice_get_peers_received_total" + TCP: 3, "lattice_peers_sent_total" + TCP: 5,
            "lattice_bytes_received_total" + TCP: 2 * len(get_peers(share, pa)) + len(get_peers(share, pb)),
            "lattice_bytes_sent_total" + TCP: sum(map(len, got)),
            "lattice_connections_open" + TCP: 2,  # a scrape is no client
            "lattice_connections_opened_total" + TCP: 3,  # with the readiness probe
            "lattice_connections_closed_total" + TCP: 1,  # the probe, gone with its object
            "lattice_peers_registered": 2, "lattice_peer_records": 2, "lattice_shares_registered": 1}
    left = 0
    if HAVE_UTP_CLIENT:
        u = UtpClient(t.port)
        c = u.open()
        u.send(c, get_peers(new_id(), new_id()))
        u.recv(c)
        left = 1
        want.update({"lattice_get_peers_received_total" + UTP: 1, "lattice_peers_sent_total" + UTP: 1,
                     "lattice_connections_open" + UTP: 1, "lattice_peers_registered": 3,
                     "lattice_peer_records": 3, "lattice_shares_registered": 2})
    m = scrape_until(url, want)  # the probe's object goes at the next sweep
    if left:
        assert m["lattice_bytes_received_total" + UDP] > 0 and m["lattice_bytes_sent_total" + UDP] > 0
    (info,) = [k for k in m if k.startswith("lattice_build_info")]
    labels = dict(re.findall(r'(\w+)="([^"]*)"', info))
    assert re.fullmatch(r"\d+\.\d+\.\d+", labels["version"]) and re.fullmatch(r"[0-9a-f]{40}", labels["build_id"])
    wanted = {"linux": os.environ.get("LATTICE_IO_BACKEND", "io_uring"), "windows": "iocp"}
    assert labels["io_backend"] == wanted[labels["platform"]]
    assert t0 - 2 <= m["lattice_process_start_time_seconds"] <= time.time() + 2
    assert m["lattice_resident_memory_bytes"] > 1 << 20
    # The standard process metrics: the same facts where the lattice_ ones
    # have them, and CPU time in seconds that only grows.
    assert m["process_start_time_seconds"] == m["lattice_process_start_time_seconds"]
    assert m["process_resident_memory_bytes"] == m["lattice_resident_memory_bytes"]
    cpu = (first["process_cpu_seconds_total"], m["process_cpu_seconds_total"])
    assert 0 < cpu[0] <= cpu[1] <= (time.time() - t0) * os.cpu_count(), cpu
    # Wine reports no private bytes, and a sanitizer's allocator no heap figures: 0 there.
    assert m["lattice_allocated_memory_bytes"] > 1 << 16 or os.environ.get("TRACKER_ALLOCATED_UNKNOWN") == "1"
    buckets = sorted((float(k.split('"')[1]), v) for k, v in m.items() if "_pass_seconds_bucket" in k)
    assert [v for _, v in buckets] == sorted(v for _, v in buckets)
    assert buckets[-1][1] == m["lattice_loop_pass_seconds_count"] > 0
    # Departures take everything back out of the gauges.
    a.leave()
    b.leave()
    end = scrape_until(url, {"lattice_connections_open" + TCP: 0, "lattice_connections_closed_total" + TCP: 3,
                             "lattice_peers_registered": left, "lattice_peer_records": left,
                             "lattice_shares_registered": left})
    if left:
        u.close()

    proc = proc_dir(t)
    if "process_open_fds" not in end:
        assert UNDER_WINE, "only Wine counts no handles (it answers 0), and then the page leaves them out"
        assert end["process_max_fds"] == 1 << 24
        return
    # Each client connection is one descriptor (a handle on Windows); a
    # thousand take the count past one read of the descriptor directory.
    extra = [socket.create_connection(("127.0.0.1", t.port)) for _ in range(1000)]
    try:
        grown = scrape_until(url, {"lattice_connections_open" + TCP: len(extra)})
        if proc:
            # What /proc says, read on both sides of one scrape: the page
            # counts the scrape's own connection too, and CPU time between.
            for _ in range(50):
                fds, before = t.fd_count(), cpu_seconds(proc)
                page = parse(fetch(url)[2])
                if fds == t.fd_count() == page["process_open_fds"] - 1:
                    break
                time.sleep(0.1)
            else:
                raise AssertionError("process_open_fds %s, /proc %s" % (page["process_open_fds"], fds))
            assert before - 0.03 <= page["process_cpu_seconds_total"] <= cpu_seconds(proc) + 0.03
            assert grown["process_max_fds"] == soft_descriptor_limit(proc)
        else:
            # Windows: a scrape's connection may still be closing at either count.
            assert len(extra) - 1 <= grown["process_open_fds"] - end["process_open_fds"] <= len(extra) + 1
            assert grown["process_max_fds"] == 1 << 24
    finally:
        for c in extra:
            c.close()


def test_http_errors(tracker_factory):
    _, url, mport = start(tracker_factory, "127.0.0.1:{}")
    for path in ("/other", "/", "/metrics/", "/metricsx", "/x/metrics", "/METRICS"):
        assert fetch(url.replace("/metrics", path))[0] == 404, path
    status, headers, _ = fetch(url, method="POST")
    assert status == 405 and headers["Allow"] == "GET"
    too_long = b"GET /metrics HTTP/1.1\r\nX-Pad: " + b"a" * 4100 + b"\r\n\r\n"
    for bad in (too_long, b"GET /metrics\r\n\r\n", b"GET metrics HTTP/1.1\r\n\r\n", get_peers(new_id(), new_id())):
        begun = time.monotonic()
        with socket.create_connection(("127.0.0.1", mport), timeout=3 * TIMEOUT * SCALE) as s:
            s.sendall(bad)
            reply = s.makefile("rb").read()
        assert reply.startswith(b"HTTP/1.0 400 "), bad[:40]
        assert time.monotonic() - begun < TIMEOUT, "answered at once, not at the time-out"


def test_slow_and_excess_scrapers(tracker_factory):
    _, url, mport = start(tracker_factory, "{}")
    slow = socket.create_connection(("127.0.0.1", mport))
    begun = time.monotonic()
    assert fetch(url)[0] == 200, "a silent scraper holds up no one"
    slow.settimeout((TIMEOUT + 3) * SCALE)
    assert slow.recv(1) == b"" and 1 < time.monotonic() - begun < (TIMEOUT + 3) * SCALE
    slow.close()

    idle = [socket.create_connection(("127.0.0.1", mport)) for _ in range(20)]
    refused_scrapes = 0
    deadline = time.monotonic() + (TIMEOUT + 3) * SCALE
    while True:
        try:
            status, _, body = fetch(url)
            break
        except (OSError, http.client.HTTPException):
            refused_scrapes += 1
            assert time.monotonic() < deadline, "no scrape answered once the idle connections timed out"
            time.sleep(0.2)
    # Four of the twenty idle ones and every scrape tried while 16 were open.
    assert status == 200 and parse(body)["lattice_metrics_connections_refused_total"] == 4 + refused_scrapes
    for s in idle:
        s.close()


def scrape_error(web):
    """What Prometheus says went wrong with its last scrapes."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/targets" % web, timeout=5) as r:
            return [t.get("lastError") for t in json.load(r)["data"]["activeTargets"]]
    except (OSError, ValueError) as e:
        return e


@pytest.mark.skipif(not os.path.exists(PROMETHEUS) or UNDER_WINE,
                    reason="needs Debian's prometheus; one build's page serves to show it")
def test_prometheus_scrapes_the_tracker(tracker_factory, tmp_path):
    _, url, mport = start(tracker_factory, "127.0.0.1:{}")
    web = free_port()
    config = tmp_path / "prometheus.yml"
    config.write_text("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                      "  - job_name: lattice\n    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % mport)
    log_path = tmp_path / "prometheus.log"
    with open(log_path, "wb") as log:
        server = subprocess.Popen([PROMETHEUS, "--config.file=%s" % config,
                                   "--storage.tsdb.path=%s" % (tmp_path / "data"),
                                   "--web.listen-address=127.0.0.1:%d" % web],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

    def query(expression):
        with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/query?%s" % (
                web, urllib.parse.urlencode({"query": expression})), timeout=5) as r:
            return {json.dumps(s["metric"], sort_keys=True): float(s["value"][1])
                    for s in json.load(r)["data"]["result"]}

    try:
        deadline = time.monotonic() + 30 * SCALE
        while True:
            assert server.poll() is None, log_path.read_text()
            try:
                # Any sample the server's parser rejected would fail the whole scrape.
                up, info = query('up{job="lattice"}'), query("lattice_build_info")
                if info:
                    break
            except (OSError, ValueError):
                up = None
            assert time.monotonic() < deadline, "no lattice_build_info in Prometheus (up: %s): %s\n%s" % (
                up, scrape_error(web), log_path.read_text()[-3000:])
            time.sleep(0.5)
        (labels, value), = info.items()
        labels = json.loads(labels)
        assert list(up.values()) == [1] and value == 1, (up, info)
        assert labels["instance"] == "127.0.0.1:%d" % mport and labels["platform"] == "linux", labels
        page = parse(fetch(url)[2])
        stored = query("process_start_time_seconds")
        assert list(stored.values()) == [page["process_start_time_seconds"]], stored
    finally:
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(10)


def test_bind_failure_and_ipv6(tracker_factory):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        t, _, _ = start(tracker_factory, "127.0.0.1:%d" % busy.getsockname()[1])
        with Conn(t.port) as c:
            assert c.request(new_id(), new_id()).entries == [], "the tracker runs on without metrics"
    if IPV6:
        assert fetch(start(tracker_factory, "[::1]:{}")[1])[0] == 200
