"""uTP clients on the tracker's port: served like TCP clients, introduced on
both transports, unbound when they close, replies carried in many packets."""

import struct
import time

import pytest

from conftest import STDOUT_OK
from lattice import PeersMessage, bstr, get_peers, new_id, peer_entry, peers_message
import utp

pytestmark = pytest.mark.skipif(not utp.available(), reason="utp_client not built")


def loopback(port):
    return bytes([127, 0, 0, 1]) + struct.pack(">H", port)


@pytest.fixture
def utp_client(tracker):
    clients = []

    def make(port=None):
        c = utp.UtpClient(port or tracker.port)
        clients.append(c)
        return c

    yield make
    for c in clients:
        c.close()


def test_utp_client_is_served_byte_exact(utp_client):
    u = utp_client()
    conn = u.open()
    share = new_id(32)
    u.send(conn, get_peers(share, new_id()))
    raw = u.recv_frame(conn)
    assert raw == peers_message([], share, PeersMessage(raw).time)


def test_peer_on_tcp_and_utp_is_introduced_on_both(utp_client, connect):
    share, pa, pb = new_id(), new_id(), new_id()
    u = utp_client()
    conn = u.open()
    tcp = connect()
    # The same peer announced over both transports, uTP first.
    u.send(conn, get_peers(share, pa, lp=7000))
    assert PeersMessage(u.recv_frame(conn)).entries == []
    assert tcp.request(share, pa, lp=7000).entries == []

    b = connect()
    b.send(get_peers(share, pb))
    reply = b.recv()
    intro_utp = u.recv_frame(conn)
    intro_tcp = tcp.recv()
    uaddr = loopback(u.port)
    # "a" is the connection bound first (uTP); each list holds its own kind.
    assert reply.raw == peers_message([peer_entry(pa, a=uaddr, tcp=[tcp.addr], utp=[uaddr], lp=7000)],
                                      share, reply.time)
    expected_intro = peers_message([peer_entry(pb, a=b.addr, tcp=[b.addr])], share, reply.time)
    assert intro_utp == expected_intro
    assert intro_tcp.raw == expected_intro


def test_closed_utp_stream_is_unbound_at_once(utp_client, connect):
    share, pu, pt = new_id(), new_id(), new_id()
    u = utp_client()
    conn = u.open()
    u.send(conn, get_peers(share, pu))
    u.recv_frame(conn)
    watcher = connect()
    assert watcher.request(share, pt).ids == [pu]
    u.close_conn(conn)
    deadline = time.monotonic() + 5
    while True:
        ids = watcher.request(share, pt).ids
        if ids == []:
            break
        assert time.monotonic() < deadline, "the closed uTP peer is still listed"
        time.sleep(0.1)


def test_reply_larger_than_a_packet_arrives_whole(utp_client, connect):
    share = new_id()
    la_list = bstr(b"l" + b"".join(bstr(bytes([i]) * 18) for i in range(20)) + b"e")
    owners = []
    # Fourteen others and the requester: all are listed, no random draw.
    for _ in range(14):
        c = connect()
        c.request(share, new_id(), la_list=la_list)
        owners.append(c)
    u = utp_client()
    conn = u.open()
    u.send(conn, get_peers(share, new_id()))
    reply = PeersMessage(u.recv_frame(conn, timeout=10))
    assert len(reply.entries) == 14
    assert all(e.raw_of(b"la_list") == la_list for e in reply.entries)
    assert len(reply.raw) > 3 * 1402
    biggest, _ = u.stats()
    assert biggest <= 1402, "datagram of %d bytes exceeds the library's default" % biggest


@pytest.mark.stdout
def test_report_counts_utp_in_its_column(tracker, utp_client):
    u = utp_client()
    before = len(tracker.reports())
    conns = [u.open() for _ in range(3)]
    share = new_id()
    for conn in conns:
        u.send(conn, get_peers(share, new_id()))
    for conn in conns:
        u.recv_frame(conn)
    index, report = tracker.wait_report(lambda r: r["active_utp"] >= 3 and r["recv_total_utp"] >= 3, 25, before)
    assert report["sent_total_utp"] >= 3 + 3  # three replies and three introductions
    for conn in conns:
        u.close_conn(conn)
    # Destroyed by a later sweep, and counted as unregistered in the uTP column.
    tracker.wait_report(lambda r: r["active_utp"] <= report["active_utp"] - 3 and r["unreg_utp"] >= 1, 25, index + 1)


def test_mtu_option_bounds_every_datagram(tracker_factory):
    from conftest import free_port
    from lattice import Conn
    port = free_port()
    tracker_factory(args=["-p", str(port), "-mtu", "1200"], port=port)
    share = new_id()
    la_list = bstr(b"x" * 400)
    owners = [Conn(port) for _ in range(14)]
    try:
        for c in owners:
            c.request(share, new_id(), la_list=la_list)
        u = utp.UtpClient(port)
        try:
            conn = u.open()
            u.send(conn, get_peers(share, new_id()))
            reply = PeersMessage(u.recv_frame(conn, timeout=10))
            assert len(reply.entries) == 14
            biggest, count = u.stats()
            assert count > 5
            assert 1000 < biggest <= 1200, biggest
        finally:
            u.close()
    finally:
        for c in owners:
            c.close()


def test_stopping_tracker_ends_its_utp_streams(tracker_factory):
    t = tracker_factory()
    u = utp.UtpClient(t.port)
    try:
        conn = u.open()
        u.send(conn, get_peers(new_id(), new_id()))
        u.recv_frame(conn)
        assert t.stop() == 0
        # The end of stream leaves before the UDP socket closes.
        u.expect("eof", 5, conn)
    finally:
        u.close()


def test_pipelined_requests_over_utp_all_get_replies_in_order(utp_client):
    u = utp_client()
    conn = u.open()
    # Several times what the outbound ring holds, handled in one read.
    shares = [new_id(32) for _ in range(300)]
    u.send(conn, b"".join(get_peers(s, new_id()) for s in shares))
    assert [PeersMessage(u.recv_frame(conn)).share for _ in shares] == shares
