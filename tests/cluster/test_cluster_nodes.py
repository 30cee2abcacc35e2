"""Three tracker nodes on one Redis Cluster (3 primaries, 3 replicas), with
real TCP and uTP clients: what one node's peers see of the others', and what
they see while the cluster's parts fail."""

import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

import pytest

sys.path.append(str(pathlib.Path(__file__).resolve().parents[1] / "blackbox"))
from lattice import HAVE_UTP_CLIENT, Conn, UtpClient, free_port, get_peers, new_id  # noqa: E402

from conftest import REPO, _free_base, redis  # noqa: E402

TRACKER = os.environ.get("TRACKER_BIN", str(REPO / "build" / "linux" / "corvane-lattice-tracker"))
# The Windows build, run under Wine beside Linux nodes when named.
WINE_TRACKER = os.environ.get("WINE_TRACKER_EXE")
CLUSTER_UP = str(REPO / "scripts" / "cluster_up.sh")

pytestmark = pytest.mark.skipif(shutil.which("redis-server") is None, reason="redis-server not installed")


class Node:
    """One tracker node: its client port, its metrics port, its process."""

    def __init__(self, name, seeds, folder, extra=(), wine=False):
        self.name, self.port, self.mport = name, free_port(), free_port()
        self.wine = wine
        self.log = open(os.path.join(folder, f"tracker-{name}.log"), "wb")
        command = [str(REPO / "scripts" / "wine_env.sh"), WINE_TRACKER] if wine else [TRACKER]
        self.proc = subprocess.Popen(
            [*command, "-p", str(self.port), "-metrics", f"127.0.0.1:{self.mport}", "-cluster", seeds,
             "-cluster-node", name, *extra], stdout=self.log, stderr=subprocess.STDOUT, start_new_session=wine)
        deadline = time.monotonic() + (60 if wine else 10)
        while True:
            try:
                Conn(self.port).close()
                break
            except OSError:
                assert self.proc.poll() is None and time.monotonic() < deadline, f"node {name} did not start"
                time.sleep(0.05)

    def metric(self, name, labels=""):
        text = urllib.request.urlopen(f"http://127.0.0.1:{self.mport}/metrics", timeout=5).read().decode()
        m = re.search(r"^%s%s (\d+)$" % (re.escape(name), re.escape(labels)), text, re.M)
        return int(m.group(1)) if m else None

    def degraded(self):
        text = urllib.request.urlopen(f"http://127.0.0.1:{self.mport}/metrics", timeout=5).read().decode()
        return sum(int(v) for v in re.findall(r"^lattice_cluster_degraded_answers_total\{[^}]*\} (\d+)$", text, re.M))

    def wait_joined(self, timeout=20):
        deadline = time.monotonic() + timeout
        while self.metric("lattice_cluster_engine_connected") != 1 or not self.metric("lattice_cluster_heartbeats_total"):
            assert time.monotonic() < deadline, f"node {self.name} never joined the cluster"
            time.sleep(0.1)

    def stop(self, sig=signal.SIGTERM):
        if self.wine and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)  # Wine does not pass signals on
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Cluster:
    """The Redis Cluster started by scripts/cluster_up.sh, its process ids
    by port, and the tracker nodes started on it."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="lattice-nodes-test.")
        self.base = _free_base(6)
        self.seeds = ",".join(f"127.0.0.1:{self.base + i}" for i in range(6))
        self.nodes = []
        self.started = False

    def start_redis(self, replicas=1):
        # No function library: the nodes load their own.
        up = subprocess.run([CLUSTER_UP, "-p", str(self.base), "-d", self.folder, "-r", str(replicas), "-l", "none"],
                            capture_output=True, text=True, timeout=90)
        assert up.returncode == 0, up.stdout + up.stderr
        self.started = True
        self.pids = {int(port): int(pid) for kind, port, pid in
                     (line.split() for line in open(os.path.join(self.folder, "pids"))) if kind == "redis"}

    def cli(self, port, *args):
        return subprocess.run(["redis-cli", "-p", str(port), *args], capture_output=True, text=True,
                              timeout=10).stdout

    def wait_replicated(self, primary, timeout=5):
        """Until the primary's replicas have acknowledged all it sent them (acks
        come once a second): a write not yet replicated dies with a failover."""
        deadline = time.monotonic() + timeout
        while True:
            info = self.cli(primary, "INFO", "replication")
            sent = int(re.search(r"master_repl_offset:(\d+)", info).group(1))
            acked = [int(x) for x in re.findall(r"^slave\d+:.*offset=(\d+)", info, re.M)]
            if acked and min(acked) >= sent:
                return
            assert time.monotonic() < deadline, info
            time.sleep(0.05)

    def primary_of(self, key):
        slot = int(self.cli(self.base, "CLUSTER", "KEYSLOT", key))
        for line in self.cli(self.base, "CLUSTER", "NODES").splitlines():
            fields = line.split()
            if "master" in fields[2] and "fail" not in fields[2]:
                for r in fields[8:]:
                    first, _, last = r.partition("-")
                    if first.isdigit() and int(first) <= slot <= int(last or first):
                        return int(fields[1].split(":")[1].split("@")[0])
        raise AssertionError("no primary for " + key)

    def add_node(self, name, extra=(), wine=False):
        node = Node(name, self.seeds, self.folder, extra, wine)
        self.nodes.append(node)
        return node

    def close(self):
        for node in self.nodes:
            node.stop()
        for pid in getattr(self, "pids", {}).values():
            try:
                os.kill(pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
        if self.started:
            subprocess.run([CLUSTER_UP, "stop", self.folder], capture_output=True, timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture
def cluster():
    c = Cluster()
    try:
        yield c
    finally:
        c.close()


@pytest.fixture
def three(cluster):
    cluster.start_redis()
    nodes = [cluster.add_node(f"n{i}", ("-max-per-peer-id", "2")) for i in range(3)]
    for n in nodes:
        n.wait_joined()
    return cluster, nodes


def ask(conn, share, peer, **kw):
    return conn.request(share, peer, **kw)


def keep_alive(conn, peer):
    """Activity on a connection that would otherwise be swept as idle: a
    request in a share of its own, read past the introductions queued."""
    own = new_id()
    conn.send(get_peers(own, peer))
    while conn.recv().share != own:
        pass


def part_of(cluster, share, peer, node):
    """The epoch of a node's part of a peer's record, and the token of the
    part's first connection, read from Redis."""
    key = "lt:{%s}:p" % share.hex()
    engine = redis.Redis(port=cluster.primary_of(key))
    record = engine.eval("return cmsgpack.unpack(string.sub(ARGV[1], 9))", 0, engine.hget(key, peer))
    for i in range(5, len(record), 5):
        if record[i] == node.encode():
            conns = record[i + 4]
            return int(record[i + 1]), struct.unpack(">Q", conns[2 + conns[1]:10 + conns[1]])[0]
    raise AssertionError("no part of node %s" % node)


def lists(entry):
    return entry.get(b"tcp_list", []), entry.get(b"utp_list", [])


def test_peers_on_different_nodes_list_and_introduce_each_other(three):
    _, (a, b, c) = three
    share = new_id()
    pa, pb = new_id(), new_id()
    ca = Conn(a.port)
    assert ask(ca, share, pa).ids == []
    cb = Conn(b.port)
    reply = ask(cb, share, pb)
    assert reply.ids == [pa]
    assert lists(reply.entries[0]) == ([ca.addr], [])
    intro = ca.recv()  # pb introduced to pa across nodes
    assert intro.ids == [pb] and intro.entries[0][b"a"] == cb.addr
    if not HAVE_UTP_CLIENT:
        return
    # One device, TCP on a and uTP on c: one entry, both lists.
    pd = new_id()
    cd = Conn(a.port)
    ask(cd, share, pd)
    u = UtpClient(c.port)
    try:
        k = u.open()
        u.send(k, get_peers(share, pd))
        u.recv(k)
        probe, pp = Conn(b.port), new_id()
        entry = {e[b"p"]: e for e in ask(probe, share, pp).entries}[pd]
        assert lists(entry) == ([cd.addr], [u.addr])
        # Introduced through c, it is introduced with both its connections.
        # Introductions from other nodes wait a few milliseconds, so the
        # probe's, made on b itself, may come first.
        intros = [cb.recv() for _ in range(3)]
        assert sorted(m.ids for m in intros) == sorted([[pd], [pd], [pp]])
        intros = [m for m in intros if m.ids == [pd]]
        through_c = [m.entries[0] for m in intros if m.entries[0][b"a"] == u.addr]
        assert len(through_c) == 1 and lists(through_c[0]) == ([cd.addr], [u.addr])
    finally:
        u.close()


def test_pwl_and_the_per_peer_id_bound_hold_across_nodes(three):
    _, (a, b, c) = three
    share = new_id()
    ids = [new_id() for _ in range(4)]
    conns = [Conn((a, b, c, a)[i].port) for i in range(4)]
    for conn, p in zip(conns, ids):
        ask(conn, share, p)
    asker = Conn(c.port)
    assert ask(asker, share, new_id(), pwl=[ids[1], ids[3]]).ids in ([ids[1], ids[3]], [ids[3], ids[1]])
    # Bound of 2 connections per id (set on every node): a third on another
    # node gets no answer, and the limit is counted there.
    same = new_id()
    held = [Conn(a.port), Conn(b.port)]
    for conn in held:
        ask(conn, share, same)
    third = Conn(c.port, timeout=1.5)
    third.send(get_peers(share, same))
    with pytest.raises(OSError):
        third.recv_frame(timeout=1.0)
    assert c.metric("lattice_limit_hits_total", '{reason="per_peer_id"}') == 1


def test_closed_connections_and_killed_nodes_leave_other_nodes_replies(three):
    _, (a, b, c) = three
    share = new_id()
    pa, pc = new_id(), new_id()
    ca = Conn(a.port)
    ask(ca, share, pa)
    cc = Conn(c.port)
    ask(cc, share, pc)
    probe, me = Conn(b.port), new_id()
    assert set(ask(probe, share, me).ids) >= {pa, pc}
    # Node a's inbox, written to directly: a token of an earlier epoch of the
    # node (a restart) delivers nothing, the same token of this one does.
    epoch, token = part_of(three[0], share, pa, a.name)
    for intro, sent_epoch in ((b"stale", epoch + 1), (b"fresh", epoch)):
        frame = struct.pack(">I", len(intro)) + intro
        message = struct.pack(">I", len(frame)) + frame + struct.pack(">QIQ", sent_epoch, 1, token)
        channel = "lt:in:{%s.0}" % a.name
        redis.Redis(port=three[0].primary_of(channel)).execute_command("SPUBLISH", channel, message)
    while (frame := ca.recv_frame()) != b"\0\0\0\x05fresh":
        assert frame != b"\0\0\0\x05stale", "an introduction for an earlier epoch's token was delivered"
    ca.close()
    deadline = time.monotonic() + 2
    while pa in ask(probe, share, me).ids:
        assert time.monotonic() < deadline, "a closed connection's peer stayed listed"
        time.sleep(0.05)
    c.stop(signal.SIGKILL)
    killed = time.monotonic()
    while pc in ask(probe, share, me).ids:
        assert time.monotonic() - killed < 3.0, "a killed node's peer stayed listed past 3 s"
        time.sleep(0.1)


def test_a_killed_redis_primary_degrades_answers_until_the_failover(three):
    cluster, (a, b, c) = three
    share = new_id()
    key = "lt:{%s}:p" % share.hex()
    port = cluster.primary_of(key)
    ca, cb, me = Conn(a.port), Conn(b.port), new_id()
    pa = new_id()
    ask(ca, share, pa)
    cluster.wait_replicated(port)
    os.kill(cluster.pids[port], signal.SIGKILL)
    before = b.degraded()
    answered = degraded_seen = 0
    deadline = time.monotonic() + 30
    full = False
    while time.monotonic() < deadline:
        keep_alive(ca, pa)
        reply = ask(cb, share, me, timeout=2)  # every request is answered
        answered += 1
        if pa in reply.ids and b.degraded() > before:
            full = True
            break
        time.sleep(0.2)
    assert answered > 0 and b.degraded() > before, "no degraded answer while the primary was down"
    assert full, "answers never listed the other node's peer again after the failover"


def test_a_frozen_redis_keeps_nodes_serving_then_full_answers_return(three):
    cluster, (a, b, c) = three
    share = new_id()
    port = cluster.primary_of("lt:{%s}:p" % share.hex())
    pa, ca = new_id(), Conn(a.port)
    ask(ca, share, pa)
    cluster.wait_replicated(port)  # the freeze outlasts the node timeout: a failover follows
    probe, me = Conn(b.port), new_id()
    before = b.degraded()
    os.kill(cluster.pids[port], signal.SIGSTOP)
    latencies = []
    try:
        end = time.monotonic() + 10
        while time.monotonic() < end:
            keep_alive(ca, pa)
            t = time.monotonic()
            ask(probe, share, me, timeout=2)
            latencies.append(time.monotonic() - t)
            time.sleep(0.05)
    finally:
        os.kill(cluster.pids[port], signal.SIGCONT)
    latencies.sort()
    assert latencies[int(len(latencies) * 0.99) - 1] < 0.25, latencies[-5:]
    assert b.degraded() > before
    deadline = time.monotonic() + 15
    while pa not in ask(probe, share, me).ids:
        assert time.monotonic() < deadline, "full answers did not return"
        keep_alive(ca, pa)
        time.sleep(0.2)


def test_a_node_started_before_redis_serves_locally_then_joins(cluster):
    early = cluster.add_node("early")
    share = new_id()
    p1 = new_id()
    c1 = Conn(early.port)
    assert ask(c1, share, p1).ids == []
    assert ask(Conn(early.port), share, new_id()).ids == [p1]  # answered from its own peers
    assert early.degraded() >= 2
    cluster.start_redis()
    early.wait_joined(timeout=10)  # within a back-off or two of Redis being up
    late = cluster.add_node("late")
    late.wait_joined()
    p2, c2 = new_id(), Conn(late.port)
    ask(c2, share, p2)
    assert p2 in ask(Conn(early.port), share, new_id()).ids
    # Redis lost the functions (a primary restarted empty): they are loaded
    # again, once a heartbeat's or a request's call finds them missing.
    for port in cluster.pids:
        cluster.cli(port, "FUNCTION", "FLUSH")  # replicas refuse; their primaries replicate it
    deadline = time.monotonic() + 5
    while p2 not in ask(Conn(early.port), share, new_id()).ids:
        assert time.monotonic() < deadline, "the function library was not loaded again"
        time.sleep(0.1)


def test_a_peer_kept_alive_without_announcing_again_stays_listed_past_the_time_limit(cluster):
    cluster.start_redis(replicas=0)
    a, b = (cluster.add_node(name, ("-cluster-ttl-ms", "10000")) for name in ("q0", "q1"))
    a.wait_joined()
    b.wait_joined()
    share, pa = new_id(), new_id()
    ca = Conn(a.port)
    ask(ca, share, pa)
    # Announced while its primary is frozen: answered locally past the
    # deadline, yet written once the primary runs again.
    late, pl, cl = new_id(), new_id(), Conn(a.port)
    port = cluster.primary_of("lt:{%s}:p" % late.hex())
    os.kill(cluster.pids[port], signal.SIGSTOP)
    try:
        ask(cl, late, pl)
    finally:
        time.sleep(0.3)
        os.kill(cluster.pids[port], signal.SIGCONT)
    probe, me = Conn(b.port), new_id()
    end = time.monotonic() + 12  # past the 10-s limit of a part never extended
    while time.monotonic() < end:
        keep_alive(ca, pa)  # traffic in other shares only, as a single tracker allows
        keep_alive(cl, pl)
        assert pa in ask(probe, share, me).ids, "a connected peer's part expired on the other node"
        assert pl in ask(probe, late, me).ids, "a part written after its call timed out expired"
        time.sleep(1)
    assert a.metric("lattice_cluster_touches_total", '{result="sent"}') > 0
@pytest.mark.skipif(not WINE_TRACKER, reason="WINE_TRACKER_EXE names the Windows build to run under Wine")
def test_a_windows_node_and_a_linux_node_serve_one_registry(cluster):
    w = cluster.add_node("w0", wine=True)  # before Redis: refused connects, then it joins
    cluster.start_redis(replicas=0)
    lx = cluster.add_node("l0")
    w.wait_joined(timeout=60)
    lx.wait_joined()
    share = new_id()
    pa, pb, pc = new_id(), new_id(), new_id()
    ca = Conn(w.port)
    ask(ca, share, pa)
    cb = Conn(lx.port)
    reply = ask(cb, share, pb)
    assert reply.ids == [pa] and lists(reply.entries[0]) == ([ca.addr], [])
    intro = ca.recv()  # the Linux node's inbox message, delivered by the Windows node
    assert intro.ids == [pb] and intro.entries[0][b"a"] == cb.addr
    cc = Conn(w.port)
    assert sorted(ask(cc, share, pc).ids) == sorted([pa, pb])
    assert cb.recv().ids == [pc]  # and the other way round
    if HAVE_UTP_CLIENT:
        u = UtpClient(w.port)
        try:
            k, pu = u.open(), new_id()
            u.send(k, get_peers(share, pu))
            u.recv(k)
            entry = {e[b"p"]: e for e in ask(Conn(lx.port), share, new_id()).entries}[pu]
            assert lists(entry) == ([], [u.addr])
        finally:
            u.close()
    ca.close()  # the Windows node unbinds its closed connection's part
    probe, me = Conn(lx.port), new_id()
    deadline = time.monotonic() + 5
    while pa in ask(probe, share, me).ids:
        assert time.monotonic() < deadline, "a closed connection's peer on the Windows node stayed listed"
        time.sleep(0.1)
    # A frozen primary: the Windows node's deadlines fire from its own wait,
    # and it answers from its own peers meanwhile.
    port = cluster.primary_of("lt:{%s}:p" % share.hex())
    wprobe, before = Conn(w.port), w.degraded()
    os.kill(cluster.pids[port], signal.SIGSTOP)
    try:
        end = time.monotonic() + 3
        while time.monotonic() < end:
            t = time.monotonic()
            assert pc in ask(wprobe, share, me, timeout=2).ids
            assert time.monotonic() - t < 1.0, "the Windows node stalled on a frozen primary"
    finally:
        os.kill(cluster.pids[port], signal.SIGCONT)
    assert w.degraded() > before
    deadline = time.monotonic() + 15
    while pb not in ask(wprobe, share, me).ids:
        assert time.monotonic() < deadline, "full answers did not return on the Windows node"
        time.sleep(0.2)
