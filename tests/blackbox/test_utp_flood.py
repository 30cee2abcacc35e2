"""A flood of bare uTP handshakes past the bound on pending connections (at
its default of 20,000) evicts the oldest connections that never made a
request, while a connection that made one keeps being served."""

import random
import select
import socket
import struct
import time

import pytest

from lattice import get_peers, new_id
import utp

PENDING_BOUND = 20000
# Handshakes past the bound; sources stay under the per-address bound.
EXTRA = 1500
SOURCES = ["127.0.1.%d" % i for i in range(1, 9)]
TIME_LIMIT = 60.0

pytestmark = [pytest.mark.load, pytest.mark.skipif(not utp.available(), reason="utp_client not built")]


def syn(rng):
    # ST_SYN, version 1, no extension; connection id, timestamps, window, seq, ack.
    return struct.pack(">BBHIIIHH", 0x41, 0, rng.getrandbits(16), 0, 0, 0x100000, rng.getrandbits(16), 0)


def flood(port, answers_wanted, deadline):
    """Sends handshakes, paced by the tracker's answers so none is lost to a
    full receive queue, until `answers_wanted` have been answered."""
    rng = random.Random(7)
    socks = []
    try:
        for host in SOURCES:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((host, 0))
            s.setblocking(False)
            socks.append(s)
        sent = answered = 0
        while answered < answers_wanted:
            assert time.monotonic() < deadline, "only %d of %d handshakes answered" % (answered, sent)
            if sent - answered < 500:
                for s in socks:
                    for _ in range(50):
                        s.sendto(syn(rng), ("127.0.0.1", port))
                        sent += 1
            ready, _, _ = select.select(socks, [], [], 0.2)
            for s in ready:
                while True:
                    try:
                        s.recv(64)
                    except BlockingIOError:
                        break
                    answered += 1
            if not ready and sent - answered >= 500:
                sent = answered  # lost ones are replaced
        return answered
    finally:
        for s in socks:
            s.close()


def test_handshake_flood_evicts_oldest_pending_and_spares_the_served(tracker_factory):
    t = tracker_factory()
    deadline = time.monotonic() + TIME_LIMIT
    served = utp.UtpClient(t.port)
    idle = utp.UtpClient(t.port)
    try:
        conn = served.open()
        share, peer = new_id(), new_id()
        served.send(conn, get_peers(share, peer))
        served.recv_frame(conn)
        # Opened before the flood, these are the oldest pending connections.
        oldest = [idle.open() for _ in range(3)]

        flood(t.port, PENDING_BOUND + EXTRA, deadline)

        served.send(conn, get_peers(share, peer))
        served.recv_frame(conn, 5.0)
        # The tracker holds nothing for them any more: data draws a reset.
        for c in oldest:
            idle.send(c, get_peers(new_id(), new_id()))
        for c in oldest:
            idle.expect("error", 10.0, c)
        served.send(conn, get_peers(share, peer))
        served.recv_frame(conn, 5.0)
    finally:
        served.close()
        idle.close()
