"""What the tracker prints: the start banner, the periodic statistics report
and its counters, and log lines."""

import re
import socket
import struct
import time

import pytest

from lattice import Conn, frame, new_id, request_body

pytestmark = pytest.mark.stdout

BANNER_RE = re.compile(
    r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) start Corvane Lattice tracker version 4\.0\.920, build id [0-9a-f]{40}\n")
LOG_RE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*)$", re.M)
ABORTED = 20


def local_stamps(t0, t1):
    """Every local-time stamp the tracker may print between t0 and t1."""
    return {time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(s)) for s in range(int(t0) - 1, int(t1) + 2)}


def test_banner_then_first_report(tracker_factory):
    t0 = time.time()
    t = tracker_factory()
    _, first = t.wait_report(lambda r: True, timeout=5)
    t1 = time.time()
    out = t.stdout()
    m = BANNER_RE.match(out)
    assert m, "first line is not the banner: %r" % out[:200]
    assert m.group(1) in local_stamps(t0, t1)
    # The first report comes on the first loop pass, right after start-up.
    assert first["ts"] in local_stamps(t0, t1)
    assert first["period"] == 10
    assert (first["recv_total_tcp"], first["sent_total_tcp"], first["recv_total_utp"],
            first["sent_total_utp"], first["active_utp"]) == (0, 0, 0, 0, 0)
    # Between banner and report only log lines may appear.
    between = out[m.end():first["span"][0]]
    assert all(LOG_RE.match(line) for line in between.splitlines() if line), between


def test_report_counters_follow_traffic(tracker_factory):
    t = tracker_factory()  # its readiness probe is one more TCP connection
    share = new_id()
    pa, pa2, pb = new_id(), new_id(), new_id()
    a, b = Conn(t.port), Conn(t.port)
    try:
        a.request(share, pa)                                 # recv 1, sent 1
        b.request(share, pb)                                 # recv 2, sent 3 (intro to A)
        a.recv()
        a.send(frame(b"de"))                                 # malformed: not counted
        a.send(frame(request_body(share, None)))             # counted, no reply: recv 3
        a.request(new_id(), pa2)                             # recv 4, sent 4; A's second id
        b.request(share, pb)                                 # recv 5, sent 6 (intro to A)
        assert a.recv().ids == [pb]

        busy_i, busy = t.wait_report(lambda r: r["recv_total_tcp"] == 5 and r["active_tcp"] == 2, timeout=25)
        assert busy["sent_total_tcp"] == 6

        # Connections reset by the client, some mid-message, must go at once,
        # not linger until idle expiry.
        for i in range(ABORTED):
            s = socket.create_connection(("127.0.0.1", t.port))
            if i % 2:
                s.send(b"\0\0\0\x40partial")
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
    finally:
        a.leave()
        b.leave()
    last_i, last = t.wait_report(lambda r: r["active_tcp"] == 0, timeout=25, after=busy_i + 1)
    assert (last["recv_total_tcp"], last["sent_total_tcp"]) == (5, 6), "totals are never reset"

    reports = t.reports()[:last_i + 1]
    total = lambda key: sum(r[key] for r in reports)
    # Per-period counters add up to what happened: probe, A, B and the reset
    # connections came and went.
    assert (total("reg_tcp"), total("unreg_tcp"), total("recv_tcp"), total("sent_tcp")) == \
        (3 + ABORTED, 3 + ABORTED, 5, 6)
    for key in ("active_utp", "recv_total_utp", "sent_total_utp", "reg_utp", "unreg_utp", "recv_utp", "sent_utp"):
        assert total(key) == 0, key
    assert all(r["period"] == 10 for r in reports)
    # Active is what was registered minus what was destroyed so far.
    running = 0
    for r in reports:
        running += r["reg_tcp"] - r["unreg_tcp"]
        assert r["active_tcp"] == running
    stamps = [time.mktime(time.strptime(r["ts"], "%Y-%m-%d %H:%M:%S")) for r in reports]
    assert all(b - a >= 10 for a, b in zip(stamps, stamps[1:])), "reports closer than 10 s: %s" % stamps

    # Three (connection, peer id) pairs were bound, each logged once.
    messages = LOG_RE.findall(t.stdout())
    assert messages.count("got new peer id for the connection") == 3, messages
