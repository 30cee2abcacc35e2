"""Announce / reply / introduce exchanges between real TCP clients, checked
byte for byte."""

import math
import time

import pytest

from conftest import IPV6
from lattice import (PeersMessage, bstr, get_peers, new_id, peer_entry,
                     peers_message)


def assert_time_in_window(value, t0, t1):
    # The tracker stamps messages with a clock it samples once per loop pass
    # (passes wait up to 100 ms), so it may lag the moment we sent by < 1 s.
    assert math.floor(t0) - 1 <= value <= math.ceil(t1), (value, t0, t1)


@pytest.mark.parametrize("share_len", [20, 32])
def test_first_peer_gets_exact_empty_reply(connect, share_len):
    c = connect()
    share = new_id(share_len)
    t0 = time.time()
    c.send(get_peers(share, new_id(), lp=4000, la=bstr(b"x")))
    raw = c.recv_frame()
    t1 = time.time()
    msg = PeersMessage(raw)
    assert_time_in_window(msg.time, t0, t1)
    assert raw == peers_message([], share, msg.time)
    assert c.pending() == b"", "nothing else may follow the reply"


def test_second_peer_is_introduced_and_answered(connect):
    share = new_id()
    pa, pb = new_id(), new_id()
    a, b = connect(), connect()
    la, la_list = bstr(b"\x0a\x00\x00\x05\x1f\x90"), bstr(b"l" + bstr(b"\xc0\xa8\x01\x02\x1f\x90") + b"e")
    first = a.request(share, pa, lp=8080, up=9090, pv=7, la=la, la_list=la_list)
    assert first.entries == []

    t0 = time.time()
    b.send(get_peers(share, pb))
    reply_raw = b.recv_frame()
    intro_raw = a.recv_frame()
    t1 = time.time()

    reply, intro = PeersMessage(reply_raw), PeersMessage(intro_raw)
    assert_time_in_window(reply.time, t0, t1)
    assert intro.time == reply.time, "both messages of one request carry one time value"

    # The introduction lists B with the address the tracker saw (our socket's
    # local address); B sent no optional keys, so none may appear.
    assert intro_raw == peers_message([peer_entry(pb, a=b.addr, tcp=[b.addr])], share, reply.time)
    # The reply lists A with everything A announced, in the fixed key order.
    assert reply_raw == peers_message(
        [peer_entry(pa, a=a.addr, tcp=[a.addr], la=la, la_list=la_list, lp=8080, up=9090)],
        share, reply.time)
    assert len(reply.entries[0].a) == 6 and reply.entries[0].a[:4] == bytes([127, 0, 0, 1])
    assert a.pending() == b"" and b.pending() == b""


@pytest.mark.skipif(not IPV6, reason="no IPv6 loopback")
def test_ipv6_clients_get_18_byte_addresses(connect):
    share = new_id()
    p6, p4, q6 = new_id(), new_id(), new_id()
    c6, c4, d6 = connect("::1"), connect("127.0.0.1"), connect("::1")
    assert len(c6.addr) == 18 and len(c4.addr) == 6
    c6.request(share, p6)
    r4 = c4.request(share, p4)
    assert r4.raw == peers_message([peer_entry(p6, a=c6.addr, tcp=[c6.addr])], share, r4.time)
    intro = c6.recv()
    assert intro.raw == peers_message([peer_entry(p4, a=c4.addr, tcp=[c4.addr])], share, r4.time)

    r6 = d6.request(share, q6)
    assert r6.raw == peers_message(
        [peer_entry(p6, a=c6.addr, tcp=[c6.addr]), peer_entry(p4, a=c4.addr, tcp=[c4.addr])],
        share, r6.time)
    for conn in (c6, c4):
        got = conn.recv()
        assert got.raw == peers_message([peer_entry(q6, a=d6.addr, tcp=[d6.addr])], share, r6.time)

    # One peer over both families: both address forms in its list.
    e4 = connect("127.0.0.1")
    e4.request(share, p6, pwl=[p6])
    r = connect("::1").request(share, new_id(), pwl=[p6])
    assert r.raw == peers_message([peer_entry(p6, a=c6.addr, tcp=[c6.addr, e4.addr])], share, r.time)


def test_peer_on_two_connections_is_introduced_on_both(connect):
    share = new_id()
    pa = new_id()
    a1, a2 = connect(), connect()
    assert a1.request(share, pa, lp=1111).entries == []
    # Second connection of the same peer: refreshes, still alone in the share.
    assert a2.request(share, pa, lp=2222).entries == []

    b = connect()
    pb = new_id()
    reply = b.request(share, pb)
    # "a" is the connection bound first; the list holds both in bind order.
    assert reply.raw == peers_message(
        [peer_entry(pa, a=a1.addr, tcp=[a1.addr, a2.addr], lp=2222)], share, reply.time)
    expected_intro = peers_message([peer_entry(pb, a=b.addr, tcp=[b.addr])], share, reply.time)
    assert a1.recv_frame() == expected_intro
    assert a2.recv_frame() == expected_intro

    # A request over the second connection: the introduction's "a" is the
    # connection that carried it, the list still has both in bind order.
    reply = a2.request(share, pa, lp=3333)
    assert reply.ids == [pb]
    assert b.recv_frame() == peers_message(
        [peer_entry(pa, a=a2.addr, tcp=[a1.addr, a2.addr], lp=3333)], share, reply.time)

    # Losing one connection keeps the peer, now reachable through the other.
    a1.leave()
    c = connect()
    pc = new_id()
    reply = c.request(share, pc)
    assert reply.raw == peers_message(
        [peer_entry(pa, a=a2.addr, tcp=[a2.addr], lp=3333), peer_entry(pb, a=b.addr, tcp=[b.addr])],
        share, reply.time)
    assert a2.recv().ids == [pc]

    # Losing the last one removes it.
    a2.leave()
    d = connect()
    assert d.request(share, new_id()).ids == [pc, pb], "the last record fills the gap"


def test_departures_remove_peers_and_reorder_the_share(connect):
    share = new_id()
    ids = [new_id() for _ in range(4)]
    conns = [connect() for _ in ids]
    for c, p in zip(conns, ids):
        c.request(share, p)
    # Removing the second of four moves the last into its place.
    conns[1].leave()
    r = connect()
    assert r.request(share, new_id()).ids == [ids[0], ids[3], ids[2]]


def test_connection_with_two_peer_ids_unbinds_both(connect):
    share = new_id()
    p1, p2 = new_id(), new_id()
    x = connect()
    x.request(share, p1)
    x.send(get_peers(share, p2))
    # P2's introduction goes to P1's connection, which is this one, and is
    # queued before P2's reply.
    intro, reply = x.recv(), x.recv()
    assert intro.raw == peers_message([peer_entry(p2, a=x.addr, tcp=[x.addr])], share, reply.time)
    assert reply.raw == peers_message([peer_entry(p1, a=x.addr, tcp=[x.addr])], share, reply.time)

    o, po = connect(), new_id()
    assert o.request(share, po).ids == [p1, p2]
    x.leave()
    assert o.request(share, po).ids == [], "both ids of the closed connection must be gone"


def test_peer_in_two_shares_leaves_both(connect):
    s1, s2 = new_id(), new_id(32)
    p = new_id()
    x = connect()
    x.request(s1, p)
    x.request(s2, p)
    o1, o2 = connect(), connect()
    q1, q2 = new_id(), new_id()
    assert o1.request(s1, q1).ids == [p]
    assert o2.request(s2, q2).ids == [p]
    x.leave()
    assert o1.request(s1, q1).ids == []
    assert o2.request(s2, q2).ids == []


def test_pwl_restricts_selection_and_introductions(connect):
    share = new_id()
    ids = [new_id() for _ in range(5)]
    conns = [connect() for _ in ids]
    for c, p in zip(conns, ids):
        c.request(share, p)
    for c in conns:
        c.barrier()  # drain the introductions of the set-up

    r, pr = connect(), new_id()
    outsider = new_id()
    reply = r.request(share, pr, pwl=[ids[3], outsider, pr, ids[1], ids[3]])
    assert reply.ids == [ids[1], ids[3]], "listed peers, in share order, without outsiders or self"
    for i, c in enumerate(conns):
        got = c.barrier()
        if i in (1, 3):
            assert [m.ids for m in got] == [[pr]]
        else:
            assert got == [], "peer %d was not selected and must not be introduced" % i

    # Only names outside the share, or only the requester: nothing.
    assert r.request(share, pr, pwl=[outsider]).ids == []
    assert r.request(share, pr, pwl=[pr]).ids == []
    # An empty pwl does not restrict.
    assert r.request(share, pr, pwl=[]).ids == ids
    for c in conns:
        assert [m.ids for m in c.barrier()] == [[pr]], "only the unrestricted request introduces"


@pytest.mark.parametrize("lp_raw, up_raw, lp, up", [
    (b"i70000e", b"i65536e", 4464, None),     # low 16 bits only; 0 is not written
    (b"i65535e", b"i1e", 65535, 1),
    (b"ie", b"i0e", None, None),              # no digits reads as 0
    (b"i00080e", b"i4294967377e", 80, 81),    # leading zeros; 32-bit wrap-around
])
def test_ports_are_echoed_as_low_16_bits(connect, lp_raw, up_raw, lp, up):
    share = new_id()
    a, b = connect(), connect()
    pa = new_id()
    a.request(share, pa, extra=[(b"lp", lp_raw), (b"up", up_raw)])
    entry = b.request(share, new_id()).entries[0]
    assert (entry.lp, entry.up) == (lp, up)
    assert entry.raw == peer_entry(pa, a=a.addr, tcp=[a.addr], lp=lp or 0, up=up or 0)


@pytest.mark.parametrize("la, la_list", [
    (b"06:abcdef", None),                      # leading zero in the length kept
    (b"0:", b"0003:\x00\xff\x10"),             # empty la is still an la
    (None, bstr(bytes(range(256)))),           # binary content
])
def test_local_addresses_are_echoed_raw(connect, la, la_list):
    share = new_id()
    a, b = connect(), connect()
    pa = new_id()
    a.request(share, pa, la=la, la_list=la_list)
    entry = b.request(share, new_id()).entries[0]
    assert entry.raw_of(b"la") == la
    assert entry.raw_of(b"la_list") == la_list
    assert entry.raw == peer_entry(pa, a=a.addr, tcp=[a.addr], la=la, la_list=la_list)


def test_refresh_replaces_fields_and_keeps_place(connect):
    share = new_id()
    ids = [new_id() for _ in range(3)]
    conns = [connect() for _ in ids]
    conns[0].request(share, ids[0], lp=5000, la=bstr(b"old"))
    for c, p in zip(conns[1:], ids[1:]):
        c.request(share, p)
    conns[0].barrier()
    # Fields missing from the refresh are cleared, the record keeps its slot.
    again = conns[0].request(share, ids[0], up=6000)
    assert again.ids == ids[1:]
    r = connect()
    reply = r.request(share, new_id())
    assert reply.ids == ids
    assert reply.entries[0].raw == peer_entry(ids[0], a=conns[0].addr, tcp=[conns[0].addr], up=6000)


def test_selection_caps_at_15(connect):
    share = new_id()
    ids = [new_id() for _ in range(20)]
    conns = [connect() for _ in ids]
    for c, p in zip(conns, ids):
        c.request(share, p)
    for c in conns:
        c.barrier()

    r, pr = connect(), new_id()
    seen = set()
    for _ in range(5):
        # pwl names the 20 others, so exactly 15 of 20 candidates are drawn.
        reply = r.request(share, pr, pwl=ids)
        got = reply.ids
        assert len(got) == 15 and len(set(got)) == 15 and set(got) <= set(ids)
        seen.add(frozenset(got))
        for p, c in zip(ids, conns):
            intros = c.barrier()
            assert [m.ids for m in intros] == ([[pr]] if p in got else []), "introduced iff selected"
    # A fixed choice (say the first 15) would repeat; random draws do not.
    assert len(seen) > 1, "five selections of 15 out of 20 were identical"

    # Without pwl the requester is one of 21 candidates: 15 drawn, minus itself.
    for _ in range(5):
        got = r.request(share, pr).ids
        assert len(got) in (14, 15) and len(set(got)) == len(got) and set(got) <= set(ids)
        for c in conns:
            c.barrier()


def test_fifteen_candidates_are_all_listed_in_order(connect):
    share = new_id()
    ids = [new_id() for _ in range(15)]
    conns = [connect() for _ in ids]
    for c, p in zip(conns, ids):
        c.request(share, p)
    # A repeat by a member sees 15 candidates including itself: every other
    # member is listed, in list order, without drawing.
    for i in (14, 5, 0):
        conns[i].barrier()
        assert conns[i].request(share, ids[i]).ids == ids[:i] + ids[i + 1:]


def test_ids_that_share_leading_bytes_stay_distinct(connect):
    # Ids equal in all but their tail, and a 32-byte share that starts with a
    # 20-byte one, must not be confused for each other.
    s20 = new_id()
    s32 = s20 + new_id(12)
    p = new_id()
    q = p[:19] + bytes([p[19] ^ 0xFF])
    a, b = connect(), connect()
    a.request(s20, p)
    b.request(s32, q)
    o, po = connect(), new_id()
    assert o.request(s20, po).ids == [p]
    assert o.request(s32, po).ids == [q]
    b.barrier()
    b.request(s20, q)
    o.barrier()
    assert o.request(s20, po).ids == [p, q]


def test_many_connections_of_one_peer_keep_bind_order(connect):
    share, pa = new_id(), new_id()
    conns = [connect() for _ in range(12)]  # within the per-peer-id bound
    for c in conns:
        c.request(share, pa)
    order = list(conns)
    # Close a few; each leaves the last connection in its place.
    for i in (3, 0, 11):
        gone = conns[i]
        gone.leave()
        j = order.index(gone)
        order[j] = order[-1]
        order.pop()
    b, pb = connect(), new_id()
    reply = b.request(share, pb)
    assert reply.raw == peers_message(
        [peer_entry(pa, a=order[0].addr, tcp=[c.addr for c in order])], share, reply.time)
    intro = peers_message([peer_entry(pb, a=b.addr, tcp=[b.addr])], share, reply.time)
    for c in order:
        assert c.recv_frame() == intro
