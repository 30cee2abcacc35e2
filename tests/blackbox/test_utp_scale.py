"""Twenty thousand simultaneous uTP connections, far past the stock
library's limit, from a few client UDP sockets."""

import time

import pytest

from conftest import STDOUT_OK, free_port
from lattice import get_peers, new_id
import utp

CLIENTS = 4
PER_CLIENT = 5000
GROUP = 10
TIME_LIMIT = 150.0

pytestmark = [pytest.mark.load, pytest.mark.skipif(not utp.available(), reason="utp_client not built")]


def wait_counts(clients, done, what, deadline):
    while True:
        counts = [c.counts() for c in clients]
        if all(done(x) for x in counts):
            return counts
        assert time.monotonic() < deadline, "%s not reached in time: %s" % (what, counts)
        time.sleep(0.5)


def test_twenty_thousand_utp_connections(tracker_factory):
    # Every client shares one loopback address, far past the per-address
    # bound a public tracker keeps.
    port = free_port()
    t = tracker_factory(port=port, args=["-p", str(port), "-max-per-address", "100000", "-max-pending-utp", "1000000"])
    deadline = time.monotonic() + TIME_LIMIT
    rss_before = t.rss_kib()
    clients = [utp.UtpClient(t.port) for _ in range(CLIENTS)]
    try:
        for c in clients:
            c.command("quiet")
            c.command("openmany %d" % PER_CLIENT)
            c.expect("opened")
        # counts: messages, connected, connections with a message, closed
        wait_counts(clients, lambda x: x[1] == PER_CLIENT, "all connected", deadline)

        shares = [new_id() for _ in range(CLIENTS * PER_CLIENT // GROUP)]
        for ci, c in enumerate(clients):
            lines = []
            for i in range(PER_CLIENT):
                n = ci * PER_CLIENT + i
                lines.append("send %d %s" % (i + 1, get_peers(shares[n // GROUP], new_id()).hex()))
            c.command("\n".join(lines))
        counts = wait_counts(clients, lambda x: x[2] == PER_CLIENT, "every connection answered", deadline)
        assert all(x[3] == 0 for x in counts), "the tracker closed connections: %s" % counts
        rss_after = t.rss_kib()
        if rss_before is not None and rss_after is not None:
            print("tracker RSS: %d KiB before, %d KiB with %d uTP connections: %.0f bytes each" % (
                rss_before, rss_after, CLIENTS * PER_CLIENT,
                (rss_after - rss_before) * 1024 / (CLIENTS * PER_CLIENT)))

        for c in clients:
            c.command("\n".join("close %d" % (i + 1) for i in range(PER_CLIENT)))
        if STDOUT_OK:
            before = len(t.reports())
            t.wait_report(lambda r: r["active_utp"] == 0, max(5.0, deadline - time.monotonic()), before)
    finally:
        for c in clients:
            c.close()
