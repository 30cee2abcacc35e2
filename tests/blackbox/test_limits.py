"""Bounds on what one client can make the tracker hold: at each bound the
new connection is closed or the request dropped, the hit is counted and
logged, and clients within the bounds are served as before."""

import re
import shlex
import socket
import subprocess
import time

import pytest
from conftest import SCALE, STDOUT_OK, free_port, tracker_cmd

from lattice import Closed, Conn, bstr, get_peers, new_id

LIMITS_RE = re.compile(
    r"^limits hit:        descriptors (\d+)\tconnections (\d+)\taddress (\d+)\tpeer ids (\d+)\t"
    r"la (\d+)\tper peer id (\d+)\tregistry bytes (\d+)\tpending uTP (\d+)$", re.M)
KINDS = ["descriptors", "connections", "address", "peer ids", "la", "per peer id", "registry bytes", "pending uTP"]


def limit_hits(t):
    found = LIMITS_RE.findall(t.stdout())
    return dict(zip(KINDS, map(int, found[-1]))) if found else {}


def served(c):
    share = new_id()
    return c.request(share, new_id()).share == share


def closed_without_reply(c):
    try:
        c.send(get_peers(new_id(), new_id()))
        return c.wait_closed(3 * SCALE)
    except (Closed, OSError):
        return True


def replies_before(c, share, peer):
    """Messages that arrive before the reply to a request in `share`."""
    c.send(get_peers(share, peer))
    before = []
    while True:
        msg = c.recv()
        if msg.share == share:
            return before
        before.append(msg)


def test_each_bound_refuses_or_drops_and_others_are_served(tracker_factory):
    port = free_port()
    t = tracker_factory(port=port, args=[
        "-p", str(port), "-max-per-address", "3", "-max-peer-ids", "2", "-max-la-bytes", "16",
        "-max-per-peer-id", "1", "-max-registry-bytes", "1500"])

    # Per address: a fourth connection from one address is closed at once;
    # another address and the first three are served, and a place that is
    # given back can be taken again.
    crowd = [Conn(port, source="127.0.0.2") for _ in range(3)]
    assert all(served(c) for c in crowd)
    assert closed_without_reply(Conn(port, source="127.0.0.2"))
    with Conn(port, source="127.0.0.3") as other:
        assert served(other)
    crowd[0].leave()
    with Conn(port, source="127.0.0.2") as again:
        assert served(again)

    share = new_id()
    with Conn(port, source="127.0.0.4") as a, Conn(port, source="127.0.0.5") as b, \
            Conn(port, source="127.0.0.6") as c, Conn(port, source="127.0.0.7") as d:
        # Peer ids per connection: a third id is dropped, known ones still work.
        p1, p2, p3 = new_id(), new_id(), new_id()
        assert a.request(share, p1).ids == []
        assert a.request(new_id(), p2).ids == []
        a.send(get_peers(share, p3))
        assert replies_before(a, new_id(), p1) == []
        # Local addresses: 17 bytes are dropped, 16 are taken.
        pb = new_id()
        b.send(get_peers(share, pb, la=bstr(b"x" * 14)))
        assert b.request(share, pb, la=bstr(b"x" * 13)).ids == [p1]
        assert [m.ids for m in replies_before(a, new_id(), p1)] == [[pb]]
        # Connections per peer id: a second connection announcing p1 is dropped.
        c.send(get_peers(share, p1))
        assert c.barrier() == []
        assert replies_before(a, new_id(), p1) == [] and b.barrier() == []
        # Registry bytes: new records stop being taken once the connection's
        # budget is spent; refreshing one it holds costs nothing and works.
        pd, first = new_id(), new_id()
        d.request(first, pd)
        d.send(b"".join(get_peers(new_id(), pd) for _ in range(20)))
        taken = len(replies_before(d, first, pd))
        assert 1 <= taken < 20, taken
    assert all(served(x) for x in crowd[1:])

    if STDOUT_OK:
        deadline = time.monotonic() + 15 * SCALE
        while time.monotonic() < deadline:
            hits = limit_hits(t)
            if all(hits.get(k, 0) >= 1 for k in ["address", "peer ids", "la", "per peer id", "registry bytes"]):
                break
            time.sleep(0.5)
        assert hits["address"] == 1 and hits["peer ids"] == 1 and hits["la"] == 1, hits
        assert hits["per peer id"] == 1 and hits["registry bytes"] == 20 - taken, hits
        assert "request dropped: " in t.stdout() and "connection refused: " in t.stdout()


@pytest.mark.skipif("wine" in " ".join(tracker_cmd()), reason="descriptor limits are a POSIX matter")
def test_out_of_descriptors_excess_clients_are_closed_and_serving_resumes(tracker_factory, tmp_path):
    port = free_port()
    # A hard limit of 64 descriptors, so the start-up cannot raise it.
    t = tracker_factory(port=port, args=["--nofile=64:64", "--"] + tracker_cmd() + ["-p", str(port)],
                        command=["prlimit"])
    clients = []
    try:
        for _ in range(100):
            clients.append(Conn(port))
        outcomes = []
        for c in clients:
            try:
                outcomes.append("served" if served(c) else "wrong")
            except Closed:
                outcomes.append("closed")
            except TimeoutError:
                outcomes.append("hung")
        assert "hung" not in outcomes and "wrong" not in outcomes, outcomes
        assert outcomes.count("closed") > 0 and outcomes.count("served") > 20, outcomes
    finally:
        for c in clients:
            c.close()
    # Once the clients are gone, new ones are served again.
    deadline = time.monotonic() + 10 * SCALE
    while True:
        try:
            with Conn(port) as c:
                assert served(c)
            break
        except (Closed, TimeoutError, ConnectionError):
            assert time.monotonic() < deadline, "serving did not resume"
            time.sleep(0.2)
    if STDOUT_OK:
        assert "connection refused: out of descriptors or memory" in t.stdout()
