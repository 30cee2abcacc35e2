"""The registry functions (src/cluster/registry.lua) against a real Redis
Cluster: selection, pwl, refresh, unbind, the connections-per-peer-id bound
across tracker nodes, and parts of expired or superseded nodes."""

import itertools
import time

import pytest

BOUND = 16
LONG_TTL = 60_000  # ms
_shares = itertools.count(1)


def pid(n):
    return b"peer-%015d" % n


class Share:
    """One share's keys and calls; every call goes to the primary owning it."""

    def __init__(self, cluster):
        tag = "%040x" % (next(_shares) * 0x9E3779B97F4A7C15)
        self.keys = [f"lt:{{{tag}}}:p", f"lt:{{{tag}}}:e"]
        self.cluster = cluster
        self.redis = cluster.owner(self.keys[0])

    def announce(self, peer, node="A", epoch=1, count=1, conns=b"", lp=0, up=0, pv=0, la=b"", la_list=b"",
                 pwl=(), bound=BOUND, ttl=LONG_TTL, epochs=""):
        out = self.redis.fcall("lattice_announce", 2, *self.keys, peer, node, epoch, count, conns or b"c-" + peer,
                               lp, up, pv, la, la_list, b"".join(pwl), bound, ttl, epochs)
        return out

    @staticmethod
    def others(out):
        """The listed peers of an answer, past the requester's own record (2)."""
        assert out[0] in (1, 2), out
        return out[out[0] + 1:]

    def listed(self, peer, **kw):
        return [p[:20] for p in self.others(self.announce(peer, **kw))]

    def records(self, peer, **kw):
        """The listed peers' records, decoded: {id: (fields, parts)}."""
        return {p[:20]: self.decode(p[20:]) for p in self.others(self.announce(peer, **kw))}

    def decode(self, record):
        r = self.redis.eval("return cmsgpack.unpack(ARGV[1])", 0, record)
        fields = tuple(r[:5])
        parts = {r[i]: (r[i + 1], r[i + 3], r[i + 4]) for i in range(5, len(r), 5)}  # node: (epoch, count, conns)
        assert len(parts) * 5 == len(r) - 5, r
        return fields, parts

    def unbind(self, peer, node="A", epoch=1, count=0, conns=b"", epochs=""):
        return self.redis.fcall("lattice_unbind", 2, *self.keys, peer, node, epoch, count, conns, epochs)

    def stored(self):
        return set(self.redis.hkeys(self.keys[0])), set(self.redis.zrange(self.keys[1], 0, -1))


@pytest.fixture
def share(cluster):
    return Share(cluster)


def test_small_shares_list_every_other_peer(share):
    # Grows the share one peer at a time up to 16: each newcomer gets all the
    # others (at most 15, never itself), and a repeat by an old member too.
    assert share.listed(pid(0)) == []
    for n in range(1, 16):
        assert sorted(share.listed(pid(n))) == [pid(i) for i in range(n)]
        assert sorted(share.listed(pid(0))) == [pid(i) for i in range(1, n + 1)]


def test_large_shares_draw_15_distinct_others(share):
    peers = [pid(i) for i in range(60)]
    for p in peers:
        share.announce(p)
    seen = set()
    for k in range(40):
        requester = peers[k % 60]
        got = share.listed(requester)
        assert len(got) == 15 and len(set(got)) == 15, got
        assert requester not in got
        assert set(got) <= set(peers)
        seen.update(got)
    # A draw, not a fixed slice of the share: 40 draws of 15 from 59 others
    # miss a given peer with probability (44/59)^40 ~ 1e-5.
    assert len(seen) > 50


def test_pwl_restricts_the_selection_in_pwl_order(share):
    for i in range(40):
        share.announce(pid(i))
    outsider = pid(999)
    assert share.listed(pid(0), pwl=[pid(7), pid(3), outsider, pid(0), pid(20), pid(3)]) == [pid(7), pid(3), pid(20)]
    assert share.listed(pid(0), pwl=[pid(25), pid(5)]) == [pid(25), pid(5)]
    assert share.listed(pid(0), pwl=[outsider, pid(0)]) == []
    # More than 15 named and present: 15 of them, never another peer.
    named = [pid(i) for i in range(1, 25)]
    got = share.listed(pid(0), pwl=named)
    assert len(got) == 15 and len(set(got)) == 15 and set(got) <= set(named)


def test_a_refresh_replaces_every_field_and_the_nodes_part(share):
    a, b = pid(1), pid(2)
    out = share.announce(a, lp=70000, up=6882, pv=7, la=b"6:abcdef", la_list=b"l6:uvwxyze", conns=b"tcp-1")
    assert out[0] == 1  # its only part is the asking node's
    assert share.records(b)[a] == ((4464, 6882, 7, b"6:abcdef", b"l6:uvwxyze"), {b"A": (1, 1, b"tcp-1")})
    share.announce(a, lp=5, node="A", count=2, conns=b"tcp-1,tcp-2")
    out = share.announce(a, lp=5, node="B", conns=b"utp-9")
    # Parts on two nodes: the requester's whole record comes first, for its
    # introduction, and it is not among the listed.
    assert out[0] == 2 and out[2][:20] == a and [p[:20] for p in out[3:]] == [b]
    assert share.decode(out[2][20:])[1] == {b"A": (1, 2, b"tcp-1,tcp-2"), b"B": (1, 1, b"utp-9")}
    fields, parts = share.records(b)[a]
    assert fields == (5, 0, 0, b"", b"")
    assert parts == {b"A": (1, 2, b"tcp-1,tcp-2"), b"B": (1, 1, b"utp-9")}
    # One record per peer id, however many nodes hold it.
    assert share.stored() == ({a, b}, {a, b})


def test_an_unchanged_refresh_is_written_only_once_a_sixth_of_the_ttl_passed(share):
    a, b = pid(1), pid(2)
    stored = lambda: share.redis.hget(share.keys[0], a)
    base = dict(la=b"6:abcdef", la_list=b"l6:uvwxyze", conns=b"tcp-1", lp=5, up=6, pv=7, ttl=3_000)
    share.announce(a, **base)
    first = stored()
    share.announce(a, **base)
    assert stored() == first  # the same expiry: not written again
    time.sleep(0.6)  # past a sixth of the ttl
    share.announce(a, **base)
    assert stored() != first
    # Any change is written at once.
    for field, value in (("la", b"6:ghijkl"), ("la_list", b"l6:zzzzzz"), ("conns", b"tcp-2"), ("lp", 9), ("up", 9),
                         ("pv", 9)):
        base[field] = value
        share.announce(a, **base)
        fields, parts = share.records(b)[a]
        assert fields == (base["lp"], base["up"], base["pv"], base["la"], base["la_list"]), field
        assert parts == {b"A": (1, 1, base["conns"])}, field
    # So is a part of another node found dead.
    share.announce(a, **dict(base, node="B", conns=b"utp-1"))
    share.announce(a, **base, epochs="B:2")
    assert share.decode(stored()[8:])[1] == {b"A": (1, 1, base["conns"])}


def test_unbinding_a_nodes_last_part_removes_the_peer(share):
    a, b = pid(1), pid(2)
    share.announce(a, node="A", count=2)
    share.announce(a, node="B")
    share.announce(b)
    assert share.unbind(a, node="A", count=1, conns=b"tcp-2") == 1
    assert share.records(b)[a][1] == {b"A": (1, 1, b"tcp-2"), b"B": (1, 1, b"c-" + a)}
    assert share.unbind(a, node="A", count=0) == 1
    assert list(share.records(b)[a][1]) == [b"B"]
    assert share.unbind(a, node="B", count=0) == 2
    assert share.listed(b) == []
    assert share.stored() == ({b}, {b})
    assert share.unbind(a, node="B", count=0) == 0


def test_connections_per_peer_id_bound_across_nodes(share):
    a, b = pid(1), pid(2)
    share.announce(b)
    assert share.announce(a, node="A", count=2, bound=3)[:2] == [1, 2]
    assert share.announce(a, node="B", count=1, bound=3)[:2] == [2, 3]
    # Over the bound: refused, and nothing of the record changes.
    assert share.announce(a, node="B", count=2, la=b"new", bound=3) == [0, 3]
    assert share.announce(a, node="C", count=1, la=b"new", bound=3) == [0, 3]
    fields, parts = share.records(b)[a]
    assert fields[3] == b"" and parts == {b"A": (1, 2, b"c-" + a), b"B": (1, 1, b"c-" + a)}
    # A repeat that adds no connection is not refused, even past the bound.
    assert share.announce(a, node="A", count=2, bound=2)[:2] == [2, 3]
    # Freed room on one node is usable from another.
    share.unbind(a, node="A", count=1)
    assert share.announce(a, node="C", count=1, bound=3)[:2] == [2, 3]


def test_parts_of_expired_or_superseded_nodes_are_ignored(share):
    a, b, c = pid(1), pid(2), pid(3)
    share.announce(a, node="A", ttl=150)
    share.announce(a, node="B")
    share.announce(b, node="A", ttl=150)
    share.announce(c, node="B")
    time.sleep(0.3)
    # a keeps its live part on B only; b, whose only part expired, is gone.
    got = share.records(c)
    assert list(got) == [a] and list(got[a][1]) == [b"B"]
    assert share.stored() == ({a, c}, {a, c})
    # Node B restarted as epoch 2: its epoch-1 parts are dead.
    assert share.listed(c, node="B", epoch=2, epochs="B:2") == []
    assert share.stored() == ({c}, {c})
    # A part's epoch at or above the newest known one lives.
    share.announce(a, node="B", epoch=2)
    assert share.listed(c, node="B", epoch=2, epochs="A:7,B:2") == [a]
    # A superseded part does not count against the bound either.
    share.announce(b, node="A", epoch=1, count=3)
    assert share.announce(b, node="B", epoch=2, count=2, bound=3, epochs="A:2")[:2] == [1, 2]


def test_expired_records_are_purged_and_never_listed(share):
    for i in range(30):
        share.announce(pid(i), ttl=100)
    live = {pid(100), pid(101)}
    share.announce(pid(100))
    time.sleep(0.2)
    # Each announce handles up to 8 records with expired parts (a pwl keeps
    # its own selection from reading any other).
    share.announce(pid(101), pwl=[pid(100)])
    hkeys, zkeys = share.stored()
    assert len(hkeys) == len(zkeys) == 2 + 30 - 8
    # Expired records left over are skipped (and removed) when drawn.
    assert set(share.listed(pid(102))) == live
    left = len(share.stored()[0]) - 3
    assert share.redis.fcall("lattice_sweep", 2, *share.keys, 100) == left
    assert share.stored() == (live | {pid(102)},) * 2
    assert share.redis.fcall("lattice_sweep", 2, *share.keys, 100) == 0


def test_share_keys_outlive_their_latest_part_by_at_most_half_a_ttl(share):
    share.announce(pid(1), ttl=5_000)
    for key in share.keys:
        assert 6_500 < share.redis.pttl(key) <= 7_500
    # Pushed again only once less than a ttl is left.
    share.redis.pexpire(share.keys[0], 4_000)
    share.redis.pexpire(share.keys[1], 4_000)
    share.announce(pid(2), ttl=5_000)
    for key in share.keys:
        assert 6_500 < share.redis.pttl(key) <= 7_500


def test_touch_extends_only_the_nodes_own_part(share):
    a, b = pid(1), pid(2)
    share.announce(a, node="A", ttl=150)
    share.announce(b, node="B", ttl=150)
    touch = lambda peer, node: share.redis.fcall("lattice_touch", 2, *share.keys, peer, node, 1, LONG_TTL)
    assert touch(a, "A") == 1
    assert touch(b, "A") == 0
    time.sleep(0.3)
    assert share.listed(pid(3)) == [a]


def test_large_shares_skip_and_remove_dead_records_they_draw(share):
    live = [pid(i) for i in range(20)]
    dead = [pid(i) for i in range(100, 130)]
    for p in live:
        share.announce(p, node="B")
    for p in dead:
        share.announce(p, node="A", epoch=1)
    requester = pid(999)
    for _ in range(50):  # each call removes the dead records it draws
        got = share.listed(requester, node="B", epochs="A:2")
        assert set(got) <= set(live) and len(set(got)) == len(got)
        if len(share.stored()[0]) == len(live) + 1:
            break
    assert share.stored() == (set(live + [requester]),) * 2
    got = share.listed(requester, node="B", epochs="A:2")
    assert len(got) == 15 and set(got) <= set(live)


def test_large_shares_fill_15_places_past_dead_records_they_draw(share):
    live = [pid(i) for i in range(16)]
    for p in live:
        share.announce(p, node="B")
    requester = pid(999)
    share.announce(requester, node="B")
    # Two dead records among 19 are drawn most of the time; the draw goes
    # on past them (three rounds suffice for two), every time.
    for k in range(6):
        for d in range(2):
            share.announce(pid(100 + 2 * k + d), node="A", epoch=1)
        got = share.listed(requester, node="B", epochs="A:2")
        assert len(got) == 15 and set(got) <= set(live), (k, got)
        share.unbind(pid(100 + 2 * k), node="A")
        share.unbind(pid(101 + 2 * k), node="A")


def test_a_peer_back_after_its_parts_expired_expires_again(share):
    a, b = pid(1), pid(2)
    share.announce(a, ttl=150)
    share.announce(b)
    time.sleep(0.3)
    share.announce(a, ttl=150)  # its old record, all expired, is purged first
    assert share.stored() == ({a, b}, {a, b})
    time.sleep(0.3)
    assert share.listed(b) == []
    assert share.stored() == ({b}, {b})


def test_heartbeat_shows_every_node_as_it_stood_and_forgets_the_long_silent(cluster):
    key = "lt:nodes"
    node = cluster.owner(key)
    node.delete(key)
    node.hset(key, "gone", "3:1")  # last heard of at the epoch of the clock
    assert node.fcall("lattice_heartbeat", 1, key, "a", 7, 60000) == []
    before = node.fcall("lattice_heartbeat", 1, key, "b", 9, 60000)
    assert [before[0], before[1]] == [b"a", 7] and 0 <= before[2] < 5000
    time.sleep(0.05)
    again = node.fcall("lattice_heartbeat", 1, key, "a", 8, 60000)
    # The answer is the table before this beat: "a" restarted, shown at 7.
    assert again[0::3] == [b"a", b"b"] and again[1] == 7
    assert node.hget(key, "a").startswith(b"8:")
    with pytest.raises(Exception, match="bad node id"):
        node.fcall("lattice_heartbeat", 1, key, "bad:id", 1, 60000)
    node.delete(key)
