"""Idle expiry in real time: more than 30 s without received bytes closes a
connection (found by a sweep that runs every 5 s)."""

import select
import socket
import time

import pytest

from conftest import SCALE
from lattice import Conn, get_peers, new_id


@pytest.mark.slow
def test_idle_connections_expire_and_trickling_ones_stay(tracker_factory):
    t = tracker_factory()
    share = new_id()
    pa, pk = new_id(), new_id()

    silent = Conn(t.port)
    t_silent = time.time()
    announced = Conn(t.port)
    announced.request(share, pa)
    t_announced = time.time()
    keeper = Conn(t.port)
    keeper.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    keeper.request(share, pk)
    assert announced.recv().ids == [pk]

    # The keeper sends one byte of its next message every 8 s: fragments are
    # activity too.  Its message asks whether the announced peer is still there.
    pending = get_peers(share, pk, pwl=[pa])
    sent = 0
    closed_at = {}
    watch = {silent.sock: "silent", announced.sock: "announced"}
    deadline = t_silent + 45 * SCALE
    next_byte = time.time() + 8
    while len(closed_at) < 2 and time.time() < deadline:
        r, _, _ = select.select(list(s for s in watch if watch[s] not in closed_at), [], [], 0.1)
        for s in r:
            try:
                data = s.recv(4096)
            except OSError:
                data = b""
            if not data:
                closed_at[watch[s]] = time.time()
        if time.time() >= next_byte:
            keeper.send(pending[sent:sent + 1])
            sent += 1
            next_byte += 8

    assert set(closed_at) == {"silent", "announced"}, "not closed within 45 s: %s" % closed_at
    for name, since in (("silent", t_silent), ("announced", t_announced)):
        idle = closed_at[name] - since
        # Expiry needs more than 30 whole seconds; a sweep every 5 s and the
        # whole-second clock add at most ~6 s.
        assert 30.0 < idle <= 37.5 * SCALE, "%s connection closed after %.1f s" % (name, idle)

    assert keeper.is_open(), "a connection that kept sending fragments was closed"
    keeper.send(pending[sent:])
    reply = keeper.recv()
    assert reply.ids == [], "the expired connection's peer must have left the share"
    keeper.close()
    silent.close()
    announced.close()
