"""A connection that ends while the next one arrives: on Linux the new one
usually gets the old one's descriptor number inside the tracker, so traffic
and clean-up of the old connection must not leak into the new one."""

import socket
import struct
import time

from lattice import Conn, get_peers, new_id


def test_handle_reuse_keeps_connections_apart(tracker_factory):
    t = tracker_factory()
    share, po = new_id(), new_id()
    observer = Conn(t.port)
    observer.request(share, po)
    gone, kept = [], []
    for i in range(30):
        old, pa = Conn(t.port), new_id()
        # pwl keeps every selection small and known, whatever the share size.
        old.request(share, pa, pwl=[po])
        old.send(get_peers(share, pa, pwl=[po]))  # a reply in flight to a connection going away
        if i % 2 == 0:
            old.leave()  # orderly: the tracker has closed it
        else:  # abrupt: the new connection races the reset
            old.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            old.close()
        gone.append(pa)
        new, pb = Conn(t.port), new_id()
        reply = new.request(share, pb, pwl=[po, pa])
        assert reply.share == share and po in reply.ids
        assert i % 2 or pa not in reply.ids, "departed peer still listed (round %d)" % i
        kept.append((new, pb))
    # Every new connection still works on its own, also after a sweep has
    # destroyed the old connection objects.
    for attempt in range(2):
        for new, pb in kept:
            new.barrier()
            assert new.request(share, pb, pwl=[po]).ids == [po]
        if attempt == 0:
            time.sleep(6)
    for chunk in range(0, len(gone), 10):
        observer.barrier()
        assert observer.request(share, po, pwl=gone[chunk:chunk + 10]).ids == [], "old peers linger"
        observer.barrier()
        wanted = [pb for _, pb in kept[chunk:chunk + 10]]
        assert sorted(observer.request(share, po, pwl=wanted).ids) == sorted(wanted)
    for new, _ in kept + [(observer, None)]:
        new.close()
