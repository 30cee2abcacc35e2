"""Command line, start-up failures and stopping."""

import errno
import os
import re
import signal
import socket
import time

import pytest

from conftest import IPV6, SCALE, STDOUT_OK, free_port
from lattice import Conn, new_id

LOG_LINE = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "


def answers(port, host="127.0.0.1"):
    with Conn(port, host) as c:
        share = new_id()
        return c.request(share, new_id()).share == share


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    except ConnectionRefusedError:
        return True
    return False


@pytest.mark.parametrize("words", [
    ["-p", "{P}", "{Q}"],                           # first value of -p
    ["-p", "{P}", "-p", "{Q}"],                     # first occurrence of -p
    ["bare", "-zz", "v", "--p", "{Q}", "-p", "{P}"],  # unknown options, "--p" is another name
    ["-", "{Q}", "-p", "{P}", "-mtu", "1200", "1400"],
    ["-p", "{P}", "-mtu"],
    ["-p", "{P}", "-mtu", "abc"],
    ["-mtu", "-5", "-p", "{P}"],
    ["-p", "{P}", "-mtu", "99999999999999"],
], ids=["two values", "repeated", "unknown options", "lone dash and mtu values",
        "mtu alone", "mtu text", "mtu negative", "mtu huge"])
def test_port_option_and_mtu_parsing(tracker_factory, words):
    p, q = free_port(), free_port()
    args = [w.format(P=p, Q=q) for w in words]
    tracker_factory(args=args, port=p)
    assert answers(p)
    assert refused(q), "the tracker must not listen on the other word's port"


def test_port_option_without_value_uses_3000(tracker_factory):
    try:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 3000))
    except OSError:
        pytest.skip("port 3000 in use here")
    tracker_factory(args=["-p"], port=3000)
    assert answers(3000)


def _occupy(kind, port):
    """Bind (and for TCP listen on) the wildcard address of both families."""
    socks = []
    families = [(socket.AF_INET, "0.0.0.0")] + ([(socket.AF_INET6, "::")] if IPV6 else [])
    for family, host in families:
        s = socket.socket(family, socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM)
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s.bind((host, port))
        if kind == "tcp":
            s.listen(8)
        socks.append(s)
    return socks


def _exit_code(t, timeout=10):
    rc = t.wait_exit(timeout)
    if rc is None:
        t.kill()
    return rc


def test_unresolvable_port_exits_2(tracker_factory):
    t = tracker_factory(args=["-p", "no-such-service-xyz"], ready=False)
    assert _exit_code(t) == 2, t.diagnostics()


@pytest.mark.parametrize("kind", ["tcp", "udp"])
def test_port_in_use_exits_2(tracker_factory, kind):
    port = free_port()
    held = _occupy(kind, port)
    try:
        t = tracker_factory(port=port, ready=False)
        assert _exit_code(t) == 2, t.diagnostics()
    finally:
        for s in held:
            s.close()


@pytest.mark.stdout
def test_unresolvable_port_logs_both_resolutions(tracker_factory):
    t = tracker_factory(args=["-p", "no-such-service-xyz"], ready=False)
    assert _exit_code(t) == 2
    lines = t.stdout().splitlines()
    assert re.fullmatch(LOG_LINE[:-1] + r" start Corvane Lattice tracker version 4\.0\.920, build id [0-9a-f]{40}",
                        lines[0]), lines
    # One failed resolution each for TCP and UDP, and no report: the loop
    # never ran.
    assert len(lines) == 3, lines
    assert all(re.fullmatch(LOG_LINE + r"\S.*", line) for line in lines[1:]), lines


@pytest.mark.stdout
@pytest.mark.parametrize("kind", ["tcp", "udp"])
def test_port_in_use_logs_bind_failures(tracker_factory, kind):
    port = free_port()
    held = _occupy(kind, port)
    try:
        t = tracker_factory(port=port, ready=False)
        assert _exit_code(t) == 2
    finally:
        for s in held:
            s.close()
    out = t.stdout()
    failures = re.findall("^" + LOG_LINE + r"bind\(\) failed: (.*)$", out, re.M)
    assert failures == [os.strerror(errno.EADDRINUSE)] * len(held), out
    assert "active peers:" not in out


@pytest.mark.skipif(not IPV6, reason="no IPv6 loopback")
def test_one_family_taken_still_serves_the_other(tracker_factory):
    port = free_port()
    blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    blocker.bind(("0.0.0.0", port))
    blocker.listen(8)
    try:
        t = tracker_factory(port=port, ready=False)
        deadline = time.monotonic() + 10 * SCALE
        while True:
            assert t.alive(), t.diagnostics()
            try:
                if answers(port, "::1"):
                    break
            except OSError:
                assert time.monotonic() < deadline, "tracker not serving IPv6" + t.diagnostics()
                time.sleep(0.1)
        if STDOUT_OK:
            t.wait_report(lambda r: True, timeout=5)
            out = t.stdout()
            assert re.findall("^" + LOG_LINE + r"bind\(\) failed: (.*)$", out, re.M) == \
                [os.strerror(errno.EADDRINUSE)], out
    finally:
        blocker.close()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_signal_stops_promptly_with_clients_connected(tracker_factory, sig):
    if sig == signal.SIGTERM and os.environ.get("TRACKER_SIGTERM", "1") == "0":
        pytest.skip("TRACKER_SIGTERM=0: the host kills the process on SIGTERM (Wine)")
    t = tracker_factory()
    share = new_id()
    conns = [Conn(t.port) for _ in range(3)]
    try:
        for c in conns:
            c.request(share, new_id())
        conns[0].send(b"\0\0\1\0partial")  # a message left incomplete
        time.sleep(0.2)
        start = time.monotonic()
        t.signal(sig)
        rc = t.wait_exit(5)
        elapsed = time.monotonic() - start
    finally:
        for c in conns:
            c.close()
    assert rc == 0, "exit code %s" % rc + t.diagnostics()
    # A loop pass waits at most 100 ms; "about a second" leaves ample room.
    assert elapsed < 2.0 * SCALE, "took %.1f s to stop" % elapsed
