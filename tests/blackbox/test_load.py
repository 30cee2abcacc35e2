"""Ten thousand simultaneous TCP clients in shares of ten, driven from one
process with non-blocking sockets."""

import errno
import resource
import selectors
import socket
import struct
import time

import pytest

from conftest import STDOUT_OK, free_port
from lattice import Conn, PeersMessage, get_peers, new_id

CLIENTS = 10000
GROUP = 10
TIME_LIMIT = 120.0
CONNECTS_IN_FLIGHT = 500


class Client:
    __slots__ = ("sock", "share", "peer", "buf", "msgs", "connected", "closed")

    def __init__(self, share, peer):
        self.sock = None
        self.share, self.peer = share, peer
        self.buf = b""
        self.msgs = []         # (number of entries, ids) of each message
        self.connected = False
        self.closed = None     # why the tracker ended the connection


def _drain(client):
    """Read what is there; returns False when the tracker closed it."""
    while True:
        try:
            chunk = client.sock.recv(1 << 16)
        except BlockingIOError:
            break
        except OSError as exc:
            client.closed = "error %s" % exc
            return False
        if not chunk:
            client.closed = "end of stream"
            return False
        client.buf += chunk
    buf = client.buf
    while len(buf) >= 4:
        (n,) = struct.unpack(">I", buf[:4])
        if len(buf) < 4 + n:
            break
        msg = PeersMessage(buf[:4 + n])
        assert msg.share == client.share, "message for a foreign share"
        client.msgs.append((len(msg.entries), msg.ids))
        buf = buf[4 + n:]
    client.buf = buf
    return True


@pytest.mark.load
def test_ten_thousand_clients(tracker_factory):
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < CLIENTS + 200:
        pytest.skip("open-file limit %d too low" % soft)
    # Every client shares one loopback address, far past the per-address
    # bound a public tracker keeps.
    port = free_port()
    t = tracker_factory(port=port, args=["-p", str(port), "-max-per-address", "100000"])
    start = time.monotonic()

    def time_left():
        left = TIME_LIMIT - (time.monotonic() - start)
        assert left > 0, "load test exceeded %.0f s" % TIME_LIMIT
        return left

    shares = [new_id() for _ in range(CLIENTS // GROUP)]
    clients = [Client(shares[i // GROUP], new_id()) for i in range(CLIENTS)]
    members = {s: [] for s in shares}
    for c in clients:
        members[c.share].append(c.peer)
    sel = selectors.DefaultSelector()

    def pump(timeout=0.05):
        for key, mask in sel.select(timeout):
            c = key.data
            if not c.connected:
                err = c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                assert err == 0, "connect failed: %s" % errno.errorcode.get(err, err)
                c.connected = True
                # Announce at once, so no connection sits idle towards expiry.
                c.sock.send(get_peers(c.share, c.peer))
                sel.modify(c.sock, selectors.EVENT_READ, c)
            elif not _drain(c):
                sel.unregister(c.sock)
                raise AssertionError("tracker closed a connection: %s" % c.closed)

    try:
        # Phase 1: connect everyone (a bounded number of connects in flight)
        # and announce.
        next_client = 0
        while next_client < CLIENTS or not all(c.connected for c in clients[-CONNECTS_IN_FLIGHT:]):
            in_flight = sum(1 for c in clients[max(0, next_client - CONNECTS_IN_FLIGHT):next_client]
                            if not c.connected)
            while next_client < CLIENTS and in_flight < CONNECTS_IN_FLIGHT:
                c = clients[next_client]
                c.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                c.sock.setblocking(False)
                rc = c.sock.connect_ex(("127.0.0.1", t.port))
                assert rc in (0, errno.EINPROGRESS), errno.errorcode.get(rc, rc)
                sel.register(c.sock, selectors.EVENT_WRITE, c)
                next_client += 1
                in_flight += 1
            pump()
            time_left()
        connected_after = time.monotonic() - start

        # Each client's first message is its reply (listing those announced
        # before it); then come introductions of those announced after it.
        def phase1_done(c):
            return c.msgs and len(c.msgs) >= 1 + (GROUP - 1 - c.msgs[0][0])

        while not all(phase1_done(c) for c in clients):
            pump(0.2)
            time_left()
        for c in clients:
            others = set(members[c.share]) - {c.peer}
            reply_n, _ = c.msgs[0]
            assert len(c.msgs) == 1 + (GROUP - 1 - reply_n), "extra messages in phase 1"
            assert all(n == 1 for n, _ in c.msgs[1:]), "an introduction lists one peer"
            seen = [p for _, ids in c.msgs for p in ids]
            assert len(seen) == GROUP - 1 and set(seen) == others, "every pair meets exactly once"
            c.msgs = []

        # Phase 2: everyone asks again: one reply listing all nine others and
        # one introduction from each of them.
        for c in clients:
            c.sock.send(get_peers(c.share, c.peer))
        while not all(len(c.msgs) >= GROUP for c in clients):
            pump(0.2)
            time_left()
        pump(0.5)  # anything extra would show up now
        for c in clients:
            others = set(members[c.share]) - {c.peer}
            assert len(c.msgs) == GROUP, "expected one reply and nine introductions"
            replies = [ids for n, ids in c.msgs if n == GROUP - 1]
            intros = [ids[0] for n, ids in c.msgs if n == 1]
            assert len(replies) == 1 and set(replies[0]) == others
            assert sorted(intros) == sorted(others)
        assert all(c.closed is None for c in clients)
        busy_for = time.monotonic() - start
    finally:
        for c in clients:
            if c.sock is not None:
                try:
                    sel.unregister(c.sock)
                except (KeyError, ValueError):
                    pass
                c.sock.close()
        sel.close()

    print("connected in %.1f s, both phases in %.1f s" % (connected_after, busy_for))
    # Everything closed: after the sweeps the report shows no active peers.
    if STDOUT_OK:
        _, report = t.wait_report(lambda r: r["active_tcp"] == 0 and r["recv_total_tcp"] == 2 * CLIENTS,
                                  timeout=min(25, time_left()))
        intros = (GROUP * (GROUP - 1) // 2 + GROUP * (GROUP - 1)) * (CLIENTS // GROUP)
        assert report["sent_total_tcp"] == 2 * CLIENTS + intros
    with Conn(t.port) as c:
        share = new_id()
        assert c.request(share, new_id()).share == share
