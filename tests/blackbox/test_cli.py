"""The command line, start-up failures, stopping, and what the tracker prints:
the banner, the statistics report and its counters."""

import errno
import os
import re
import signal
import socket
import struct
import subprocess
import time

import pytest

from conftest import IPV6, STDOUT_OK, free_port, tracker_cmd
from lattice import HAVE_UTP_CLIENT, REPO, SCALE, Conn, UtpClient, bstr, frame, get_peers, new_id

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
BANNER = r"(%s) start Corvane Lattice tracker version 4\.0\.920, build id [0-9a-f]{40}\n" % STAMP


def answers(port, host="127.0.0.1"):
    with Conn(port, host) as c:
        share = new_id()
        return c.request(share, new_id()).share == share


def test_help_and_version_print_and_exit_without_serving():
    run = lambda *a: subprocess.run(tracker_cmd() + list(a), cwd=REPO, capture_output=True, timeout=30 * SCALE)
    usage, version = run("-h"), run("--version")
    assert usage.returncode == version.returncode == 0, (usage, version)
    assert run("--help").stdout == usage.stdout
    listed = set(re.findall(rb"^\s+(-[\w-]+)", usage.stdout, re.M))
    every = b"-p -mtu -s -sr -sd -metrics -max-connections -max-per-address -max-peer-ids -max-la-bytes " \
            b"-max-per-peer-id -max-registry-bytes -max-pending-utp -pending-utp-timeout -conn-buffer -io-backend -h " \
            b"--version -cluster -cluster-password-file -cluster-user -cluster-node -cluster-deadline-ms " \
            b"-cluster-max-calls -cluster-ttl-ms -cluster-inbox-delay-ms"
    assert listed == set(every.split()), listed
    m = re.fullmatch(rb"corvane-lattice-tracker 4\.0\.920 \(build ([0-9a-f]{40})\)\r?\n", version.stdout)
    assert m and usage.stdout.startswith(version.stdout), version.stdout
    # The build id names the commit the binary was built from: this checkout's.
    head = subprocess.run(["git", "-C", str(REPO), "rev-parse", "HEAD"], capture_output=True)
    if head.returncode == 0:
        assert m.group(1).decode() == head.stdout.decode().strip(), "built from another commit: rebuild"


@pytest.mark.skipif(not HAVE_UTP_CLIENT, reason="utp_client not built")
def test_first_port_value_and_mtu_are_taken(tracker_factory):
    p, q = free_port(), free_port()
    tracker_factory(args=["-p", str(p), str(q), "-mtu", "1200"], port=p)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", q), timeout=2)
    share = new_id()
    owners = [Conn(p) for _ in range(14)]
    for c in owners:
        c.request(share, new_id(), la_list=bstr(b"x" * 400))
    u = UtpClient(p)
    try:
        conn = u.open()
        u.send(conn, get_peers(share, new_id()))
        assert len(u.recv(conn, timeout=10).entries) == 14
        biggest, count = u.stats()
        assert count > 5 and 1000 < biggest <= 1200, (biggest, count)
    finally:
        u.close()
        for c in owners:
            c.close()


def _occupy(kind, port):
    """Binds (and for TCP listens on) the wildcard address of both families."""
    socks = []
    for family, host in [(socket.AF_INET, "0.0.0.0")] + ([(socket.AF_INET6, "::")] if IPV6 else []):
        s = socket.socket(family, socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM)
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s.bind((host, port))
        if kind == "tcp":
            s.listen(8)
        socks.append(s)
    return socks


@pytest.mark.parametrize("cause", ["unknown service", "tcp", "udp"])
def test_start_up_failure_exits_2_with_its_log_lines(tracker_factory, cause):
    port = free_port()
    held = [] if cause == "unknown service" else _occupy(cause, port)
    try:
        t = tracker_factory(args=["-p", "no-such-service-xyz" if held == [] else str(port)], port=port, ready=False)
        assert t.stop(None, 10) == 2, t.diagnostics()
    finally:
        for s in held:
            s.close()
    if STDOUT_OK:
        out = t.stdout()
        assert re.match(BANNER, out) and "active peers:" not in out, out
        if held:
            failures = re.findall("^%s bind\\(\\) failed: (.*)$" % STAMP, out, re.M)
            assert failures == [os.strerror(errno.EADDRINUSE)] * len(held), out
        else:  # one failed resolution each for TCP and UDP
            assert len(re.findall("^%s \\S.*$" % STAMP, out, re.M)) == 3, out


def test_cluster_option_that_cannot_work_stops_the_start_with_2(tracker_factory, tmp_path):
    seeds = "127.0.0.1:%d" % free_port()
    cases = [
        (["-cluster", "127.0.0.1:0"], r"seed '127\.0\.0\.1:0': the port is not 1 to 65535"),
        (["-cluster", seeds + ",," + seeds], r"an empty entry in the seed list "),
        (["-cluster", "127.0.0.1"], r"seed '127\.0\.0\.1': no port "),
        # No such option: the password must not end up on a command line.
        (["-cluster", seeds, "-cluster-password", "typed"], r"a password is never taken from the command line; "),
        (["-cluster", seeds, "-cluster-password-file", str(tmp_path / "absent")], r"cannot read the password file '"),
    ]
    for args, message in cases:
        t = tracker_factory(args=["-p", str(free_port())] + args, ready=False)
        assert t.stop(None, 10) == 2, t.diagnostics()
        if STDOUT_OK:  # the banner, the reason, and nothing that would follow a listening socket
            out = t.stdout()
            assert re.fullmatch(BANNER + "%s cluster: .*\n" % STAMP, out) and re.search(
                "^%s cluster: %s" % (STAMP, message), out, re.M), (args, out)


@pytest.mark.skipif("wine" in " ".join(tracker_cmd()), reason="descriptor limits are a POSIX matter")
def test_loop_that_cannot_start_exits_3_not_as_if_stopped(tracker_factory):
    # Enough descriptors for the sockets, none left for the completion port.
    t = tracker_factory(args=["--nofile=8:8", "--"] + tracker_cmd() + ["-p", str(free_port())], ready=False,
                        command=["prlimit"])
    assert t.stop(None, 10) == 3, t.diagnostics()
    if STDOUT_OK:
        assert re.search("^%s Failed to create IO completion port \\(24\\)$" % STAMP, t.stdout(), re.M), t.stdout()


@pytest.mark.skipif(not IPV6, reason="no IPv6 loopback")
def test_one_family_taken_still_serves_the_other(tracker_factory):
    port = free_port()
    blocker = _occupy("tcp", port)[0]
    try:
        t = tracker_factory(port=port, ready=False)
        deadline = time.monotonic() + 10 * SCALE
        while True:
            assert t.alive(), t.diagnostics()
            try:
                assert answers(port, "::1")
                break
            except OSError:
                assert time.monotonic() < deadline, "tracker not serving IPv6" + t.diagnostics()
                time.sleep(0.1)
    finally:
        blocker.close()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_signal_stops_promptly_with_clients_connected(tracker_factory, sig):
    if sig == signal.SIGTERM and os.environ.get("TRACKER_SIGTERM", "1") == "0":
        pytest.skip("TRACKER_SIGTERM=0: the host kills the process on SIGTERM (Wine)")
    t = tracker_factory()
    conns = [Conn(t.port) for _ in range(3)]
    for c in conns:
        c.request(new_id(), new_id())
    conns[0].send(b"\0\0\1\0partial")  # a message left incomplete
    time.sleep(0.2)
    start = time.monotonic()
    assert t.stop(sig) == 0, t.diagnostics()
    # A loop pass waits at most 100 ms; "about a second" leaves ample room.
    assert time.monotonic() - start < 2.0 * SCALE
    for c in conns:
        c.close()


@pytest.mark.stdout
@pytest.mark.skipif(not HAVE_UTP_CLIENT, reason="utp_client not built")
def test_banner_then_reports_that_count_the_traffic(tracker_factory):
    t0 = time.time()
    t = tracker_factory()  # its readiness probe is one more TCP connection
    _, first = t.wait_report(lambda r: True, 5)
    out = t.stdout()
    stamps = {time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(s)) for s in range(int(t0) - 1, int(time.time()) + 2)}
    assert (m := re.match(BANNER, out)) and m.group(1) in stamps and first["ts"] in stamps, out[:300]
    # Between the banner and the first report (on the first loop pass) only log lines.
    logged = out[m.end():out.index("\n" + first["ts"] + "\nactive peers:")]
    assert all(re.match(STAMP + " ", line) for line in logged.splitlines() if line)
    # The backend asked for through the environment is the one in use.
    assert (b := re.search(r" I/O backend: (\w+)", logged)) and b.group(1) == os.environ.get("LATTICE_IO_BACKEND",
                                                                                              b.group(1)), logged
    assert first["recv_total_tcp"] + first["sent_total_tcp"] + first["active_utp"] == 0

    share, pa, pb = new_id(), new_id(), new_id()
    a, b, u = Conn(t.port), Conn(t.port), UtpClient(t.port)
    a.request(share, pa)                                 # recv 1, sent 1
    b.request(share, pb)                                 # recv 2, sent 3 (introduction to A)
    a.recv()
    a.send(frame(b"de"))                                 # malformed: not counted
    a.send(frame(b"d1:m9:get_peers5:share" + bstr(share) + b"e"))  # counted, no reply: recv 3
    a.request(new_id(), new_id())                        # recv 4, sent 4; A's second id
    b.request(share, pb)                                 # recv 5, sent 6 (introduction to A)
    assert a.recv().ids == [pb]
    conn = u.open()
    u.send(conn, get_peers(new_id(), new_id()))          # uTP: recv 1, sent 1
    u.recv(conn)
    busy_i, busy = t.wait_report(lambda r: r["recv_total_tcp"] == 5 and r["active_tcp"] == 2
                                 and r["recv_total_utp"] == 1 and r["active_utp"] == 1, 25)
    assert (busy["sent_total_tcp"], busy["sent_total_utp"]) == (6, 1)
    # Connections reset by the client, some mid-message, go at once.
    for i in range(20):
        s = socket.create_connection(("127.0.0.1", t.port))
        s.send(b"\0\0\0\x40partial" if i % 2 else b"")
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
    a.leave()
    b.leave()
    u.command("close %d" % conn)
    last_i, last = t.wait_report(lambda r: r["active_tcp"] + r["active_utp"] == 0, 25, busy_i + 1)
    u.close()
    assert (last["recv_total_tcp"], last["sent_total_tcp"], last["sent_total_utp"]) == (5, 6, 1), "totals are kept"
    reports = t.reports()[:last_i + 1]
    total = lambda key: sum(r[key] for r in reports)
    # The period counters add up: the probe, A, B and the reset connections came and went.
    assert [total(k) for k in ("reg_tcp", "unreg_tcp", "recv_tcp", "sent_tcp")] == [23, 23, 5, 6]
    assert [total(k) for k in ("reg_utp", "unreg_utp", "recv_utp", "sent_utp")] == [1, 1, 1, 1]
    running = 0
    for r in reports:
        running += r["reg_tcp"] - r["unreg_tcp"]
        assert r["active_tcp"] == running
    seconds = [time.mktime(time.strptime(r["ts"], "%Y-%m-%d %H:%M:%S")) for r in reports]
    assert all(y - x >= 10 for x, y in zip(seconds, seconds[1:])), seconds
    assert t.stdout().count(" got new peer id for the connection\n") == 4
