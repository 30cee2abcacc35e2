"""Idle expiry in real time: more than 30 s without received bytes closes a
connection (found by a sweep every 5 s); fragments count as activity."""

import select
import socket
import time

import pytest

from lattice import SCALE, Conn, get_peers, new_id


@pytest.mark.slow
def test_idle_connections_expire_and_trickling_ones_stay(tracker_factory):
    t = tracker_factory()
    share, pa, pk = new_id(), new_id(), new_id()
    silent = Conn(t.port)
    started = {"silent": time.time()}
    announced = Conn(t.port)
    announced.request(share, pa)
    started["announced"] = time.time()
    keeper = Conn(t.port)
    keeper.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    keeper.request(share, pk)
    assert announced.recv().ids == [pk]
    # The keeper sends one byte of its next message every 8 s; the message
    # asks whether the announced peer is still there.
    pending = get_peers(share, pk, pwl=[pa])
    sent, closed_at = 0, {}
    watch = {silent.sock: "silent", announced.sock: "announced"}
    next_byte = time.time() + 8
    while len(closed_at) < 2 and time.time() < started["silent"] + 45 * SCALE:
        for s in select.select([s for s in watch if watch[s] not in closed_at], [], [], 0.1)[0]:
            try:
                data = s.recv(4096)
            except OSError:
                data = b""
            if not data:
                closed_at[watch[s]] = time.time()
        if time.time() >= next_byte:
            keeper.send(pending[sent:sent + 1])
            sent, next_byte = sent + 1, next_byte + 8
    assert set(closed_at) == {"silent", "announced"}, "not closed within 45 s: %s" % closed_at
    for name, at in closed_at.items():
        # More than 30 whole seconds; a sweep every 5 s and the whole-second
        # clock add at most ~6 s.
        assert 30.0 < at - started[name] <= 37.5 * SCALE, "%s connection closed after %.1f s" % (name, at - started[name])
    keeper.send(pending[sent:])  # a connection that kept sending fragments is still served
    assert keeper.recv().ids == [], "the expired connection's peer must have left the share"
    for c in (keeper, silent, announced):
        c.close()
