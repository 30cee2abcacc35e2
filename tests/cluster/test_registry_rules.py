"""The registry's rules, one model for both modes: the same seeded sequence of
announces and closes runs against one tracker alone and against three nodes
on a Redis Cluster, and every reply must satisfy the same plain model: at
most 15 peers, never the requester, only peers of the share with their
latest fields, only "pwl" peers when one is given, every other peer while
there are at most 15 of them, nobody whose last connection closed, and the
per-peer-id connection bound (which the cluster counts within the share a
peer announces, so each peer here keeps to one share)."""

import os
import random
import signal
import subprocess
import time

import pytest

from test_cluster_nodes import TRACKER, Cluster  # noqa: F401 (fixture helpers)
from lattice import Conn, free_port, get_peers  # noqa: E402

BOUND = 2
SEED = int(os.environ.get("RULES_SEED", "7"))


class Alone:
    """One tracker without -cluster."""

    def __init__(self):
        self.port = free_port()
        self.proc = subprocess.Popen([TRACKER, "-p", str(self.port), "-max-per-peer-id", str(BOUND)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        for _ in range(200):
            try:
                Conn(self.port).close()
                return
            except OSError:
                time.sleep(0.05)
        raise AssertionError("tracker did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(10)


def la_value(n):
    text = b"la-%d" % n
    return str(len(text)).encode() + b":" + text


def run_rules(ports, rng):
    """Drives the ports with one seeded script; asserts every reply against
    the model. Each connection makes one request and then only holds its
    peer (the introductions it gets are not read), so the first message on
    it is always its reply. Returns how many replies were checked."""
    shares = [bytes([s]) * 20 for s in range(1, 4)]
    peers = [bytes([0xA0, p]) * 10 for p in range(24)]
    model = {s: {} for s in shares}  # share -> peer -> (la, lp)
    holders = {}                     # peer -> open connections that announced it
    conns = []                       # (connection, peer)
    checked = 0
    for step in range(110):
        if rng.random() < 0.15 and conns:
            conn, peer = conns.pop(rng.randrange(len(conns)))
            # Until its node has handled the close (and sent the unbind),
            # so the next request meets the registry without it.
            conn.leave()
            time.sleep(0.01)
            holders[peer].discard(conn)
            if not holders[peer]:  # its last connection: gone from every share
                for s in shares:
                    model[s].pop(peer, None)
            continue
        conn = Conn(ports[step % len(ports)])
        # Each peer keeps to one share: the cluster counts a peer's
        # connections for its bound within the share it announces.
        peer = rng.choice(peers)
        share = shares[peer[1] % len(shares)]
        la, lp = la_value(rng.randrange(1000)), rng.randrange(1, 65536)
        pwl = rng.sample(peers, 4) if rng.random() < 0.2 else None
        conn.send(get_peers(share, peer, la=la, lp=lp, pwl=pwl))
        if len(holders.setdefault(peer, set())) >= BOUND:
            # Over the bound: dropped, no reply, nothing registered.
            with pytest.raises(OSError):
                conn.recv(timeout=0.3)
            conn.close()
            continue
        msg = conn.recv()
        others = {p: v for p, v in model[share].items() if p != peer}
        if pwl is not None:
            others = {p: v for p, v in others.items() if p in pwl}
        listed = {e[b"p"]: e for e in msg.entries}
        assert len(msg.entries) == len(listed) <= 15, step
        assert set(listed) <= set(others), ("listed a peer not in the share", step)
        if len(others) <= 14:
            assert set(listed) == set(others), ("missed a peer of a small share", step)
        for p, e in listed.items():
            assert (e.get(b"la"), e.get(b"lp")) == others[p], ("stale fields", step)
        model[share][peer] = (la.split(b":", 1)[1], lp)
        holders[peer].add(conn)
        conns.append((conn, peer))
        checked += 1
    for conn, _ in conns:
        conn.close()
    return checked


def test_one_model_holds_for_the_tracker_alone_and_for_three_nodes_on_redis():
    alone = Alone()
    try:
        checked_alone = run_rules([alone.port], random.Random(SEED))
    finally:
        alone.stop()
    cluster = Cluster()
    try:
        cluster.start_redis()
        nodes = [cluster.add_node(f"r{i}", ("-max-per-peer-id", str(BOUND))) for i in range(3)]
        for n in nodes:
            n.wait_joined()
        checked_cluster = run_rules([n.port for n in nodes], random.Random(SEED))
        assert sum(n.degraded() for n in nodes) == 0, "some answers did not come from the shared registry"
    finally:
        cluster.close()
    assert checked_alone == checked_cluster > 40
