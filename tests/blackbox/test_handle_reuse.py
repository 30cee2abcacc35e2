"""A connection that ends while the next one arrives: on Linux the new one
usually gets the old one's descriptor number inside the tracker, so traffic
and clean-up of the old connection must not leak into the new one."""

import socket
import struct
import time

from lattice import Conn, get_peers, new_id


def _abort(conn):
    """Close with a reset, leaving the tracker's sends to fail."""
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def test_handle_reuse_keeps_connections_apart(tracker_factory):
    t = tracker_factory()
    share = new_id()
    observer, po = Conn(t.port), new_id()
    observer.request(share, po)

    gone, kept = [], []
    for i in range(40):
        old, pa = Conn(t.port), new_id()
        # pwl keeps every selection small and known, whatever the share size.
        old.request(share, pa, pwl=[po])
        # Leave a reply in flight to a connection that is going away.
        old.send(get_peers(share, pa, pwl=[po]))
        if i % 2 == 0:
            old.leave()        # orderly: wait until the tracker has closed it
            strict = True
        else:
            _abort(old)        # abrupt: the new connection races the reset
            strict = False
        gone.append(pa)

        new, pb = Conn(t.port), new_id()
        reply = new.request(share, pb, pwl=[po, pa])
        assert reply.share == share and po in reply.ids
        if strict:
            assert pa not in reply.ids, "departed peer still listed (round %d)" % i
        kept.append((new, pb))

    # Every new connection still works on its own, and again after a sweep
    # has destroyed the old connection objects.
    for attempt in range(2):
        for new, pb in kept:
            new.barrier()
            assert new.request(share, pb, pwl=[po]).ids == [po]
        if attempt == 0:
            time.sleep(6)

    kept_ids = [pb for _, pb in kept]
    for chunk in range(0, len(gone), 10):
        observer.barrier()
        assert observer.request(share, po, pwl=gone[chunk:chunk + 10]).ids == [], "old peers linger"
        observer.barrier()
        wanted = kept_ids[chunk:chunk + 10]
        assert sorted(observer.request(share, po, pwl=wanted).ids) == sorted(wanted)
    for new, _ in kept:
        new.close()
    observer.close()
