"""bench/run --cluster: one tracker alone against three tracker nodes sharing
a Redis Cluster (3 primaries + 3 replicas), side by side in one run.

Parts (bench/README.md, "Cluster"):
  a     1,000 TCP connections in shares of 50, fixed rate
  b     one share of 100,000 peers (400 TCP connections x 250 peers), fixed rate
  idle  resident bytes per idle TCP connection on one node
  kill  a node killed with SIGKILL; time until every share is complete again

Single-node and cluster runs alternate (S C S C ...); medians are reported.
CPU is utime + stime from /proc/PID/stat of every process involved (the
tracker alone; or all three nodes and all six redis-server processes) between
the load generator's "mark measure" and "mark drained" lines, divided by the
"get_peers" the trackers counted in that window. Nothing is pinned: nine
server processes share two cores here. Everything stays on 127.0.0.1, every
load run is bounded by the load generator's own limits, and every process
started here is stopped by its id.
"""

import json
import os
import signal
import socket
import statistics
import subprocess
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "127.0.0.1"


# ---------------------------------------------------------------- Redis ---

class Redis:
    """A minimal RESP client for one node (no cluster routing: callers pick the node)."""

    def __init__(self, port):
        self.port = port
        self.sock = socket.create_connection((HOST, port), timeout=10)
        self.buf = b""

    def close(self):
        self.sock.close()

    def _line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise OSError("redis closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def _exact(self, n):
        while len(self.buf) < n + 2:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise OSError("redis closed")
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n + 2:]
        return data

    def _reply(self):
        line = self._line()
        kind, rest = line[:1], line[1:]
        if kind == b"+":
            return rest.decode()
        if kind == b"-":
            return RuntimeError(rest.decode())
        if kind == b":":
            return int(rest)
        if kind == b"$":
            n = int(rest)
            return None if n < 0 else self._exact(n)
        if kind == b"*":
            n = int(rest)
            return None if n < 0 else [self._reply() for _ in range(n)]
        raise OSError(f"unexpected RESP {line[:40]!r}")

    def call(self, *args):
        out = [b"*%d\r\n" % len(args)]
        for a in args:
            a = a if isinstance(a, bytes) else str(a).encode()
            out.append(b"$%d\r\n%s\r\n" % (len(a), a))
        self.sock.sendall(b"".join(out))
        reply = self._reply()
        if isinstance(reply, RuntimeError):
            raise reply
        return reply


def info(port, section):
    r = Redis(port)
    try:
        text = r.call("INFO", section).decode()
    finally:
        r.close()
    values = {}
    for line in text.splitlines():
        if ":" in line and not line.startswith("#"):
            k, v = line.split(":", 1)
            values[k] = v
    return values


def fcall_stats(primaries):
    """cmdstat_fcall summed over the primaries: (calls, usec)."""
    calls = usec = 0
    for port in primaries:
        v = info(port, "commandstats").get("cmdstat_fcall")
        if v:
            f = dict(x.split("=") for x in v.split(","))
            calls += int(f["calls"])
            usec += int(f["usec"])
    return calls, usec


def share_memory(primaries):
    """MEMORY USAGE (SAMPLES 0: every element) of every share key, and the records (HLEN)."""
    total_bytes = records = 0
    for port in primaries:
        r = Redis(port)
        try:
            cursor = b"0"
            while True:
                cursor, keys = r.call("SCAN", cursor, "MATCH", "lt:{*}:*", "COUNT", 1000)
                for k in keys:
                    total_bytes += r.call("MEMORY", "USAGE", k, "SAMPLES", 0) or 0
                    if k.endswith(b":p"):
                        records += r.call("HLEN", k)
                if cursor == b"0":
                    break
        finally:
            r.close()
    return total_bytes, records


# -------------------------------------------------------------- helpers ---

def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def scrape(mport):
    with urllib.request.urlopen(f"http://{HOST}:{mport}/metrics", timeout=3) as r:
        page = r.read().decode()
    values = {}
    for line in page.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            try:
                values[name] = float(value)
            except ValueError:
                pass
    return values


def msum(values, prefix):
    return sum(v for k, v in values.items() if k == prefix or k.startswith(prefix + "{"))


def ports_free(ports):
    for port in ports:
        try:
            with socket.socket() as s:
                s.bind((HOST, port))
        except OSError:
            return False
    return True


def median(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


# -------------------------------------------------------------- cluster ---

class Cluster:
    """Six redis-server processes from scripts/cluster_up.sh, and tracker nodes started on demand."""

    def __init__(self, build, out_dir, free_port):
        self.build = build
        self.out_dir = out_dir
        self.free_port = free_port
        self.dir = os.path.join(out_dir, "redis")
        for _ in range(50):
            base = free_port()
            if base + 5 < 55000 and ports_free([base + i for i in range(6)] + [base + 10000 + i for i in range(6)]):
                break
        self.base = base
        done = subprocess.run([os.path.join(ROOT, "scripts", "cluster_up.sh"), "-p", str(base), "-d", self.dir,
                               "-r", "1"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        if done.returncode != 0:
            raise RuntimeError("cluster_up.sh failed:\n" + done.stdout.decode(errors="replace"))
        self.redis = {}
        with open(os.path.join(self.dir, "pids")) as f:
            for line in f:
                kind, port, pid = line.split()
                if kind == "redis":
                    self.redis[int(port)] = int(pid)
        self.seeds = ",".join(f"{HOST}:{p}" for p in sorted(self.redis))
        self.nodes = []

    def primaries(self):
        return [p for p in sorted(self.redis) if info(p, "replication").get("role") == "master"]

    def flush(self):
        """Every key gone (the functions stay), so each run starts empty."""
        for port in self.primaries():
            r = Redis(port)
            try:
                r.call("FLUSHALL")
            finally:
                r.close()

    def start_nodes(self, n, tag):
        self.nodes = [Tracker(self.build, os.path.join(self.out_dir, f"{tag}-n{i}.log"), self.free_port,
                              cluster=(self.seeds, f"n{i}")) for i in range(n)]
        for t in self.nodes:
            t.wait_cluster_ready()
        return self.nodes

    def stop_nodes(self):
        for t in self.nodes:
            t.stop()
        self.nodes = []

    def stop(self):
        self.stop_nodes()
        subprocess.run([os.path.join(ROOT, "scripts", "cluster_up.sh"), "stop", self.dir],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


class Tracker:
    def __init__(self, build, log_path, free_port, cluster=None):
        self.port = free_port()
        self.mport = free_port()
        # Every client comes from 127.0.0.1, which the per-address bound would refuse.
        cmd = [os.path.join(build, "corvane-lattice-tracker"), "-p", str(self.port),
               "-metrics", f"{HOST}:{self.mport}", "-max-per-address", "1000000"]
        if cluster:
            cmd += ["-cluster", cluster[0], "-cluster-node", cluster[1]]
        self.log_path = log_path
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(cmd, stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.pid = self.proc.pid
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                with socket.create_connection((HOST, self.port), timeout=1):
                    pass
                scrape(self.mport)
                return
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"tracker did not listen on {self.port}; see {log_path}")

    def wait_cluster_ready(self, timeout=30):
        """Until the node's metrics show the engine connected and a heartbeat made."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            m = scrape(self.mport)
            if m.get("lattice_cluster_engine_connected") == 1 and m.get("lattice_cluster_heartbeats_total", 0) >= 1:
                return
            time.sleep(0.1)
        raise RuntimeError(f"node on {self.port} not connected to the cluster in {timeout} s; see {self.log_path}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        return self.proc.returncode

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()
        self.log.close()


# ---------------------------------------------------------- load phases ---

def snapshot(trackers, redis_pids, primaries):
    s = {"t": time.time(),
         "cpu_trackers": sum(cpu_seconds(t.pid) for t in trackers),
         "cpu_redis": sum(cpu_seconds(p) for p in redis_pids)}
    s["metrics"] = [scrape(t.mport) for t in trackers]
    if primaries:
        s["fcall"] = fcall_stats(primaries)
    return s


def counter(snap, name):
    return sum(msum(m, name) for m in snap["metrics"])


def counter_label(snap, name, label):
    return sum(m.get(f"{name}{{{label}}}", 0) for m in snap["metrics"])


def window_figures(s0, s1, cluster):
    """Per-request figures between two snapshots."""
    d = lambda name: counter(s1, name) - counter(s0, name)  # noqa: E731
    dl = lambda name, label: counter_label(s1, name, label) - counter_label(s0, name, label)  # noqa: E731
    requests = d("lattice_get_peers_received_total")
    r = {"requests": requests, "window_s": s1["t"] - s0["t"]}
    if requests <= 0:
        return r
    cpu_t = s1["cpu_trackers"] - s0["cpu_trackers"]
    cpu_r = s1["cpu_redis"] - s0["cpu_redis"]
    r.update({"cpu_us_per_request": (cpu_t + cpu_r) * 1e6 / requests,
              "tracker_cpu_us_per_request": cpu_t * 1e6 / requests,
              "redis_cpu_us_per_request": cpu_r * 1e6 / requests})
    if cluster:
        heartbeats = d("lattice_cluster_heartbeats_total")
        calls = d("lattice_cluster_engine_calls_total")
        fc = (s1["fcall"][0] - s0["fcall"][0], s1["fcall"][1] - s0["fcall"][1])
        published = dl("lattice_cluster_inbox_messages_total", 'direction="sent"')
        r.update({
            # Each inbox message is one SPUBLISH call; what is left is the request's own call.
            "engine_calls_per_request": (calls - heartbeats - published) / requests,
            "engine_calls_all_per_request": (calls - heartbeats) / requests,
            "engine_calls_with_heartbeats_per_request": calls / requests,
            "asked_per_request": d("lattice_cluster_requests_asked_total") / requests,
            "engine_bytes_sent_per_request": dl("lattice_cluster_engine_bytes_total", 'direction="sent"') / requests,
            "engine_bytes_received_per_request":
                dl("lattice_cluster_engine_bytes_total", 'direction="received"') / requests,
            "inbox_sent_per_request": dl("lattice_cluster_inbox_messages_total", 'direction="sent"') / requests,
            "inbox_received_per_request":
                dl("lattice_cluster_inbox_messages_total", 'direction="received"') / requests,
            "forwarded_introductions_per_request":
                dl("lattice_cluster_introductions_total", 'result="forwarded"') / requests,
            "undeliverable_introductions": dl("lattice_cluster_introductions_total", 'result="undeliverable"'),
            "degraded_answers": d("lattice_cluster_degraded_answers_total"),
            "call_failures": d("lattice_cluster_engine_call_failures_total"),
            "redis_fcalls_per_request": fc[0] / requests,
            "redis_usec_per_fcall": fc[1] / fc[0] if fc[0] else None,
        })
        r["engine_bytes_per_request"] = r["engine_bytes_sent_per_request"] + r["engine_bytes_received_per_request"]
        sent = dl("lattice_cluster_inbox_messages_total", 'direction="sent"')
        if sent:
            r["forwarded_introductions_per_inbox_message"] = \
                dl("lattice_cluster_introductions_total", 'result="forwarded"') / sent
    return r


def run_load(ctx, kind, key, extra, index):
    """One loadgen run against one tracker ("single") or three nodes ("cluster")."""
    cluster = kind == "cluster"
    tag = f"{key}-{kind}-{index}"
    if cluster:
        ctx.cluster.flush()
        primaries = ctx.cluster.primaries()
        for port in primaries:
            r = Redis(port)
            try:
                r.call("CONFIG", "RESETSTAT")
            finally:
                r.close()
        trackers = ctx.cluster.start_nodes(3, tag)
        redis_pids = list(ctx.cluster.redis.values())
    else:
        primaries, redis_pids = [], []
        trackers = [Tracker(ctx.build, os.path.join(ctx.out_dir, f"{tag}.log"), ctx.free_port)]
    # What the processes burn with no client at all (heartbeats, Redis' cron and cluster bus).
    b0 = snapshot(trackers, redis_pids, [])
    time.sleep(1.0)
    b1 = snapshot(trackers, redis_pids, [])
    idle_cpu_per_s = ((b1["cpu_trackers"] + b1["cpu_redis"]) - (b0["cpu_trackers"] + b0["cpu_redis"])) / (b1["t"] - b0["t"])
    json_path = os.path.join(ctx.out_dir, f"{tag}.json")
    cmd = [ctx.loadgen, "--ports", ",".join(str(t.port) for t in trackers), "--json", json_path,
           "--label", tag, "--max-errors", "0", "--hold", "1.5"] + extra
    result = {"key": key, "kind": kind, "index": index}
    s0 = s1 = None
    memory = None
    started = time.time()
    try:
        with open(os.path.join(ctx.out_dir, f"{tag}.loadgen.txt"), "w") as out:
            proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
            lines = []
            for raw in proc.stderr:
                line = raw.decode(errors="replace").rstrip()
                lines.append(line)
                if line == "loadgen: mark measure":
                    s0 = snapshot(trackers, redis_pids, primaries)
                elif line == "loadgen: mark drained":
                    s1 = snapshot(trackers, redis_pids, primaries)
                    if cluster:
                        # After the window: walking the keys costs Redis time of its own.
                        memory = share_memory(primaries)
                        memory = {"bytes": memory[0], "records": memory[1],
                                  "used_memory": sum(int(info(p, "memory")["used_memory"]) for p in primaries)}
            code = proc.wait(timeout=ctx.args.run_timeout)
            out.write("\n".join(lines) + "\n")
    finally:
        dead = [t.port for t in trackers if t.proc.poll() is not None]
        if cluster:
            ctx.cluster.stop_nodes()
        else:
            trackers[0].stop()
    result["exit_code"] = code
    result["wall_s"] = time.time() - started
    if dead:
        result["trackers_died"] = dead
    lg = {}
    if os.path.exists(json_path):
        with open(json_path) as f:
            lg = json.load(f)
    result["errors"] = lg.get("errors", {}).get("total", None)
    result["error_detail"] = lg.get("errors")
    result["p50_us"] = lg.get("latency_us", {}).get("p50")
    result["p99_us"] = lg.get("latency_us", {}).get("p99")
    result["replies_per_s"] = lg.get("replies_per_s")
    result["loadgen_replies"] = lg.get("replies")
    result["rate_shortfall"] = lg.get("rate_shortfall")
    if s0 and s1:
        result.update(window_figures(s0, s1, cluster))
        if result.get("requests"):
            result["background_cpu_per_s"] = idle_cpu_per_s
            result["cpu_us_per_request_less_background"] = \
                result["cpu_us_per_request"] - idle_cpu_per_s * result["window_s"] * 1e6 / result["requests"]
    else:
        result["problem"] = "no measured window (the load generator's marks did not come)"
    if memory and memory["records"]:
        result["redis_bytes_per_record"] = memory["bytes"] / memory["records"]
        result["redis_records"] = memory["records"]
    if code != 0:
        result["stderr_tail"] = lines[-10:]
    return result


def run_idle(ctx, kind, conns, index):
    """Resident bytes per idle TCP connection: one tracker, or node 0 of three."""
    cluster = kind == "cluster"
    tag = f"idle-{kind}-{index}"
    if cluster:
        ctx.cluster.flush()
        trackers = ctx.cluster.start_nodes(3, tag)
    else:
        trackers = [Tracker(ctx.build, os.path.join(ctx.out_dir, f"{tag}.log"), ctx.free_port)]
    target = trackers[0]
    json_path = os.path.join(ctx.out_dir, f"{tag}.json")
    # Held past a sweep (every 5 s), which frees the send buffers of idle connections.
    cmd = [ctx.loadgen, "--port", str(target.port), "--tcp", str(conns), "--idle", "--duration",
           "1" if ctx.args.smoke else "7", "--connect-window", "512", "--tracker-pid", str(target.pid),
           "--json", json_path, "--label", tag, "--max-errors", "0", "--quiet"]
    # Allocated as well as resident: what the connection burst's calls and
    # replies took and gave back stays resident, but is not held per connection.
    sampler = ctx.allocation_sampler(target.mport)
    sampler.start()
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=ctx.args.run_timeout)
        code = done.returncode
        allocated = sampler.stop(conns)
        # Announces answered locally during the connection burst (past the call deadline).
        degraded = msum(scrape(target.mport), "lattice_cluster_degraded_answers_total") if cluster else None
    finally:
        if cluster:
            ctx.cluster.stop_nodes()
        else:
            target.stop()
    lg = {}
    if os.path.exists(json_path):
        with open(json_path) as f:
            lg = json.load(f)
    return {"key": "idle", "kind": kind, "index": index, "exit_code": code,
            "errors": lg.get("errors", {}).get("total"), "connections": conns,
            "rss_bytes_per_connection": lg.get("rss_bytes_per_connection"),
            "allocated_bytes_per_connection": allocated / conns if allocated is not None else None,
            "degraded_answers": degraded}


# ------------------------------------------------------------ node kill ---

def bdecode(data, i=0):
    c = data[i:i + 1]
    if c == b"i":
        end = data.index(b"e", i)
        return int(data[i + 1:end]), end + 1
    if c == b"l":
        i += 1
        out = []
        while data[i:i + 1] != b"e":
            v, i = bdecode(data, i)
            out.append(v)
        return out, i + 1
    if c == b"d":
        i += 1
        out = {}
        while data[i:i + 1] != b"e":
            k, i = bdecode(data, i)
            v, i = bdecode(data, i)
            out[k] = v
        return out, i + 1
    colon = data.index(b":", i)
    n = int(data[i:colon])
    return data[colon + 1:colon + 1 + n], colon + 1 + n


def get_peers(peer, share, nobody=None):
    """A framed get_peers; with `nobody`, a "pwl" naming an absent id: an announce that lists and introduces nobody."""
    body = b"d1:m9:get_peers4:peer20:" + peer
    if nobody is not None:
        body += b"3:pwl20:" + nobody
    body += b"5:share20:" + share + b"e"
    return len(body).to_bytes(4, "big") + body


def read_message(sock):
    def exact(n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise OSError("closed")
            data += chunk
        return data
    return exact(int.from_bytes(exact(4), "big"))


class Member:
    """A client connection carrying some peers; reads and drops what comes (introductions, replies)."""

    def __init__(self, index, port, peers, nobody):
        self.index, self.port, self.peers, self.nobody = index, port, peers, nobody
        self.closed = threading.Event()
        self.sock = None

    def open(self, port):
        self.port = port
        self.closed.clear()
        self.sock = socket.create_connection((HOST, port), timeout=10)
        self.sock.settimeout(None)
        threading.Thread(target=self._drain, args=(self.sock,), daemon=True).start()
        self.sock.sendall(b"".join(get_peers(p, s, self.nobody) for p, s in self.peers))

    def _drain(self, sock):
        try:
            while sock.recv(65536):
                pass
        except OSError:
            pass
        self.closed.set()

    def close(self):
        if self.sock is not None:
            try:
                self.sock.close()
            except OSError:
                pass


def run_kill(ctx, shares, log):
    """Kills node 2 of three with SIGKILL while clients on the others keep asking.

    Layout: `shares` shares of 15 peers on 30 member connections, 10 per node
    (peer k of the run on connection k mod 30, node = connection mod 3), plus
    one probe peer per share on a probe connection to node 0: the probe's
    reply then lists every other live member of its share (at most 15). Of
    node 2's 10 connections, 7 reconnect at once to node 0 or 1 and announce
    their peers again (a client behind a balancer); 3 never come back, so
    their peers must leave the replies. A share is complete when its probe's
    reply lists exactly its live peers. Measured from the SIGKILL until every
    share is complete in three consecutive probe rounds (the time of the
    first of them). Meanwhile a load generator keeps 200 connections on
    nodes 0 and 1 asking (shares of 50, 300/s) and must see no error.
    """
    per_share, n_conns, gone = 15, 30, {2, 5, 8}
    nonce = os.urandom(4)
    pid = lambda tag, k: (tag + nonce + k.to_bytes(4, "big")).ljust(20, b"\x00")  # noqa: E731
    share_ids = [pid(b"cbS", s) for s in range(shares)]
    nobody = pid(b"cbX", 0)
    ctx.cluster.flush()
    nodes = ctx.cluster.start_nodes(3, "kill")
    result = {"key": "kill", "shares": shares, "share_size": per_share}
    bg = None
    members = []
    try:
        bg_json = os.path.join(ctx.out_dir, "kill-background.json")
        window = 30 if ctx.args.smoke else 45
        bg = subprocess.Popen([ctx.loadgen, "--ports", f"{nodes[0].port},{nodes[1].port}", "--tcp", "200",
                               "--share-size", "50", "--rate", "300", "--rate-cap", "4", "--duration", str(window),
                               "--json", bg_json, "--max-errors", "0", "--quiet", "--label", "kill-background"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        peers_of = {c: [] for c in range(n_conns)}
        members_of_share = {s: set() for s in range(shares)}
        conn_of_peer = {}
        for s in range(shares):
            for j in range(per_share):
                k = s * per_share + j
                p = pid(b"cbP", k)
                peers_of[k % n_conns].append((p, share_ids[s]))
                members_of_share[s].add(p)
                conn_of_peer[p] = k % n_conns
        members = [Member(c, None, peers_of[c], nobody) for c in range(n_conns)]
        for m in members:
            m.open(nodes[m.index % 3].port)
        probe = socket.create_connection((HOST, nodes[0].port), timeout=5)
        probe_ids = [pid(b"cbQ", s) for s in range(shares)]

        def probe_round():
            """The peers each share's probe is told of."""
            probe.sendall(b"".join(get_peers(probe_ids[s], share_ids[s]) for s in range(shares)))
            seen = []
            for _ in range(shares):
                msg, _ = bdecode(read_message(probe))
                seen.append({e[b"p"] for e in msg.get(b"peers", [])})
            return seen

        def complete(seen, expected):
            return sum(1 for s in range(shares) if seen[s] == expected[s])

        everyone = {s: set(members_of_share[s]) for s in range(shares)}
        deadline = time.time() + 20
        while True:
            n_ok = complete(probe_round(), everyone)
            if n_ok == shares or time.time() > deadline:
                break
            time.sleep(0.05)
        result["complete_before_kill"] = n_ok
        if n_ok != shares:
            result["problem"] = f"only {n_ok} of {shares} shares complete before the kill"
            return result
        gone_peers = {p for p, c in conn_of_peer.items() if c in gone}
        expected = {s: everyone[s] - gone_peers for s in range(shares)}
        back = [m for m in members if m.index % 3 == 2 and m.index not in gone]
        killed_at = time.time()
        nodes[2].kill()
        log(f"  node n2 (pid {nodes[2].pid}) killed; {len(back)} of its connections reconnect, "
            f"{len(gone)} do not ({len(gone_peers)} peers)")
        reconnected_at = None
        pending = list(back)
        streak_start, streak = None, 0
        first_reannounced = first_gone_dropped = None
        rounds = 0
        limit = killed_at + 60
        while time.time() < limit:
            for m in list(pending):
                if m.closed.is_set():
                    m.close()
                    m.open(nodes[m.index % 2].port)
                    pending.remove(m)
            if not pending and reconnected_at is None:
                reconnected_at = time.time()
            t = time.time()
            seen = probe_round()
            rounds += 1
            listed = set().union(*seen)
            back_peers = {p for m in back for p, _ in m.peers}
            if first_reannounced is None and not pending and back_peers <= listed:
                first_reannounced = t - killed_at
            if first_gone_dropped is None and not (listed & gone_peers):
                first_gone_dropped = t - killed_at
            n_ok = complete(seen, expected)
            if n_ok == shares and not pending:
                if streak == 0:
                    streak_start = t
                streak += 1
                if streak >= 3:
                    break
            else:
                streak = 0
            time.sleep(0.1)
        result.update({"rounds": rounds, "complete_after_kill": n_ok, "gone_peers": len(gone_peers),
                       "reconnected_s": None if reconnected_at is None else reconnected_at - killed_at,
                       "all_reannounced_listed_s": first_reannounced,
                       "gone_peers_dropped_s": first_gone_dropped,
                       "complete_s": streak_start - killed_at if streak >= 3 else None})
        probe.close()
    finally:
        result["member_closes_on_survivors"] = sum(1 for m in members if m.index % 3 != 2 and m.closed.is_set())
        for m in members:
            m.close()
        if bg is not None:
            try:
                out, _ = bg.communicate(timeout=ctx.args.run_timeout)
            except subprocess.TimeoutExpired:
                bg.kill()
                out, _ = bg.communicate()
            result["background_exit_code"] = bg.returncode
            if os.path.exists(bg_json):
                with open(bg_json) as f:
                    lg = json.load(f)
                result["background_errors"] = lg.get("errors", {}).get("total")
                result["background_error_detail"] = lg.get("errors")
                result["background_replies"] = lg.get("replies")
            if bg.returncode != 0:
                result["background_output"] = out.decode(errors="replace")[-1500:]
        metrics = []
        for n in nodes[:2]:
            try:
                m = scrape(n.mport)
                metrics.append({k: v for k, v in m.items() if "cluster_nodes_live" in k or "undeliverable" in k
                                or "degraded" in k})
            except OSError:
                metrics.append(None)
        result["survivor_metrics"] = metrics
        ctx.cluster.nodes = nodes[:2]
        ctx.cluster.stop_nodes()
    return result


# ---------------------------------------------------------------- driver ---

class Context:
    pass


GOALS = {
    "cpu_ratio_a": 2.0, "cpu_ratio_b": 1.5, "engine_bytes": 2500, "added_p50_us": 500, "added_p99_us": 3000,
    "redis_bytes_per_record": 340, "idle_bytes_tcp": 1.1 * 1024, "kill_complete_s": 30,
}


def summarise(runs):
    keys = sorted({k for r in runs for k, v in r.items() if isinstance(v, (int, float)) and not isinstance(v, bool)})
    return {k: median([r.get(k) for r in runs]) for k in keys if k not in ("index",)}


def fmt(v, digits=1):
    return "-" if v is None else f"{v:,.{digits}f}"


def verdict(ok):
    return "-" if ok is None else ("met" if ok else "**missed**")


def report(results, sizes):
    rows = []
    goals = []
    for key, title in (("a", f"shares of 50: {sizes['a']}"), ("b", f"one share: {sizes['b']}")):
        single = results["summary"].get(f"{key}-single")
        clus = results["summary"].get(f"{key}-cluster")
        if not single or not clus:
            continue
        ratio = (clus["cpu_us_per_request"] / single["cpu_us_per_request"]
                 if clus.get("cpu_us_per_request") and single.get("cpu_us_per_request") else None)
        dp50 = clus["p50_us"] - single["p50_us"] if clus.get("p50_us") is not None else None
        dp99 = clus["p99_us"] - single["p99_us"] if clus.get("p99_us") is not None else None
        rows.append(f"\n### Workload {key}: {title}\n")
        rows.append("| measure | single node | 3 nodes | cluster / single or added | goal |")
        rows.append("| --- | ---: | ---: | ---: | --- |")
        goal = GOALS[f"cpu_ratio_{key}"]
        rows.append(f"| CPU µs per request, all processes | {fmt(single.get('cpu_us_per_request'))} | "
                    f"{fmt(clus.get('cpu_us_per_request'))} | {fmt(ratio, 2)} | <= {goal} x: {verdict(ratio and ratio <= goal)} |")
        rows.append(f"| the same less the processes' idle CPU (measured 1 s before the load) | "
                    f"{fmt(single.get('cpu_us_per_request_less_background'))} | "
                    f"{fmt(clus.get('cpu_us_per_request_less_background'))} | | |")
        rows.append(f"| of which trackers / redis-server | {fmt(single.get('tracker_cpu_us_per_request'))} / - | "
                    f"{fmt(clus.get('tracker_cpu_us_per_request'))} / {fmt(clus.get('redis_cpu_us_per_request'))} | | |")
        rows.append(f"| reply latency p50, µs | {fmt(single.get('p50_us'))} | {fmt(clus.get('p50_us'))} | "
                    f"+{fmt(dp50)} | <= +500: {verdict(dp50 is not None and dp50 <= 500)} |")
        rows.append(f"| reply latency p99, µs | {fmt(single.get('p99_us'))} | {fmt(clus.get('p99_us'))} | "
                    f"+{fmt(dp99)} | <= +3,000: {verdict(dp99 is not None and dp99 <= 3000)} |")
        rows.append(f"| requests in the window (median run) | {fmt(single.get('requests'), 0)} | "
                    f"{fmt(clus.get('requests'), 0)} | | |")
        ec = clus.get("engine_calls_per_request")
        rows.append(f"| engine calls per request, inbox publishes and heartbeats left out | | {fmt(ec, 3)} "
                    f"(all: {fmt(clus.get('engine_calls_all_per_request'), 3)}; FCALLs counted by Redis: "
                    f"{fmt(clus.get('redis_fcalls_per_request'), 3)}) | | 1: "
                    f"{verdict(ec is not None and abs(ec - 1) < 0.01)} |")
        rows.append(f"| inbox messages sent per request; forwarded introductions per message | | "
                    f"{fmt(clus.get('inbox_sent_per_request'), 2)}; "
                    f"{fmt(clus.get('forwarded_introductions_per_inbox_message'), 2)} | | <= 1 per destination node per pass |")
        eb = clus.get("engine_bytes_per_request")
        rows.append(f"| engine bytes per request (sent + received) | | {fmt(eb, 0)} "
                    f"({fmt(clus.get('engine_bytes_sent_per_request'), 0)} + "
                    f"{fmt(clus.get('engine_bytes_received_per_request'), 0)}) | | <= 2,500: "
                    f"{verdict(eb is not None and eb <= 2500)} |")
        rows.append(f"| Redis usec_per_call of FCALL (primaries) | | {fmt(clus.get('redis_usec_per_fcall'))} | | |")
        rb = clus.get("redis_bytes_per_record")
        rows.append(f"| Redis bytes per record (MEMORY USAGE of the share keys) | | {fmt(rb, 0)} | | <= ~340: "
                    f"{verdict(rb is not None and rb <= GOALS['redis_bytes_per_record'])} |")
        rows.append(f"| degraded answers; undeliverable introductions | | {fmt(clus.get('degraded_answers'), 0)}; "
                    f"{fmt(clus.get('undeliverable_introductions'), 0)} | | 0 |")
        rows.append(f"| load-generator errors, all runs | {single.get('errors_all', 0)} | {clus.get('errors_all', 0)} | | 0 |")
    single = results["summary"].get("idle-single")
    clus = results["summary"].get("idle-cluster")
    if single and clus:
        rows.append(f"\n### Idle TCP connections: {sizes['idle']}\n")
        rows.append("| measure | single node | cluster node | added | goal |")
        rows.append("| --- | ---: | ---: | ---: | --- |")
        for label, key, judged in (("allocated", "allocated_bytes_per_connection", True),
                                   ("VmRSS", "rss_bytes_per_connection", False)):
            a, b = single.get(key), clus.get(key)
            goal = (f"<= 1,126 (1.1 KB) in cluster mode: {verdict(b is not None and b <= GOALS['idle_bytes_tcp'])}"
                    if judged else "")
            rows.append(f"| {label} bytes per idle connection | {fmt(a, 0)} | {fmt(b, 0)} | "
                        f"{fmt(b - a if a and b else None, 0)} | {goal} |")
        per_run = [f"{fmt(r.get('allocated_bytes_per_connection'), 0)} / {fmt(r.get('rss_bytes_per_connection'), 0)} B "
                   f"({fmt(r.get('degraded_answers'), 0)} degraded)"
                   for r in results["runs"] if r["key"] == "idle" and r["kind"] == "cluster"]
        rows.append(f"| cluster runs: allocated / VmRSS bytes per connection (announces answered locally) | | "
                    f"{'; '.join(per_run)} | | |")
    kill = results.get("kill")
    if kill:
        rows.append(f"\n### Node killed: {sizes['kill']}\n")
        rows.append("| measure | value | goal |")
        rows.append("| --- | ---: | --- |")
        c = kill.get("complete_s")
        rows.append(f"| SIGKILL to every share complete (3 probe rounds in a row), s | {fmt(c, 2)} | <= 30: "
                    f"{verdict(c is not None and c <= 30)} |")
        rows.append(f"| SIGKILL to the reconnected peers all listed, s | {fmt(kill.get('all_reannounced_listed_s'), 2)} | |")
        rows.append(f"| SIGKILL to the vanished peers ({kill.get('gone_peers')}) out of every reply, s | "
                    f"{fmt(kill.get('gone_peers_dropped_s'), 2)} | |")
        rows.append(f"| shares complete before the kill / after | {kill.get('complete_before_kill')} / "
                    f"{kill.get('complete_after_kill')} of {kill.get('shares')} | |")
        rows.append(f"| background load generator on the surviving nodes: errors | {kill.get('background_errors')} | 0 |")
    return "\n".join(rows)


def run(args, free_port, machine_load, git_build_note, allocation_sampler):
    smoke = args.smoke
    pairs = 1 if smoke else args.pairs
    duration = args.cluster_duration or (2 if smoke else 8)
    rate = args.cluster_rate or (1000 if smoke else 2000)
    big = args.cluster_big_peers or (10000 if smoke else 100000)
    big_conns = max(1, big // 250)
    idle = args.cluster_idle_conns or (1000 if smoke else 10000)
    kill_shares = 10 if smoke else 40
    # Warm-up of the large share through one primary takes longer than the other benchmarks' runs.
    args.run_timeout = max(args.run_timeout, 200 + 4 * duration)
    parts = args.cluster_parts.split(",")
    stamp = time.strftime("%Y%m%d-%H%M%S")
    mode = "cluster-smoke" if smoke else "cluster"
    results_path = args.results or os.path.join(args.build, "bench-results", f"{mode}-{stamp}.json")
    out_dir = os.path.splitext(results_path)[0]
    os.makedirs(out_dir, exist_ok=True)
    ctx = Context()
    ctx.args, ctx.build, ctx.out_dir, ctx.free_port = args, args.build, out_dir, free_port
    ctx.allocation_sampler = allocation_sampler
    ctx.loadgen = os.path.join(args.build, "tools", "loadgen", "loadgen")
    sizes = {"a": f"1,000 TCP connections, 1,000 peers in shares of 50, {rate}/s, {duration} s",
             "b": f"{big_conns} TCP connections x 250 peers = {big_conns * 250:,} peers in one share, "
                  f"{rate}/s, {duration} s",
             "idle": f"{idle:,} on one node (--idle, 7 s held)" if not smoke else f"{idle:,} (1 s held)",
             "kill": f"{kill_shares} shares of 15 peers + a probe each on 30 connections, 10 per node"}
    load = machine_load()
    print(f"bench/run {mode}: pairs {pairs}, {duration} s per run, {rate}/s; machine load {load['load1']}, "
          f"cpu pressure {load['cpu_pressure_avg10']}%", flush=True)
    started = time.time()
    results = {"command": "bench/run " + " ".join(args.argv), "commit": git_build_note(), "sizes": sizes,
               "machine_before": load, "runs": [], "summary": {}}
    workloads = {
        "a": ["--tcp", "1000", "--share-size", "50", "--rate", str(rate), "--rate-cap", "4",
              "--duration", str(duration)],
        # Few announces in flight during warm-up: the nodes allow 4,096 calls in flight, each answered
        # locally past a 200-ms deadline, and one primary holds the whole share.
        "b": ["--tcp", str(big_conns), "--peers-per-conn", "250", "--share-size", str(big_conns * 250),
              "--rate", str(rate), "--rate-cap", "4", "--duration", str(duration), "--warmup-window", "2"],
    }
    problems = []
    ctx.cluster = Cluster(args.build, out_dir, free_port)
    try:
        for key in ("a", "b"):
            if key not in parts:
                continue
            for i in range(pairs):
                for kind in ("single", "cluster"):
                    r = run_load(ctx, kind, key, workloads[key], i)
                    results["runs"].append(r)
                    print(f"  {key} {kind:7} #{i}: {fmt(r.get('cpu_us_per_request'))} µs/request "
                          f"(trackers {fmt(r.get('tracker_cpu_us_per_request'))}, redis "
                          f"{fmt(r.get('redis_cpu_us_per_request'))}), p50 {fmt(r.get('p50_us'))} p99 "
                          f"{fmt(r.get('p99_us'))} µs, {fmt(r.get('requests'), 0)} requests, errors {r.get('errors')}"
                          + (f", engine calls/request {fmt(r.get('engine_calls_per_request'), 3)}, bytes/request "
                             f"{fmt(r.get('engine_bytes_per_request'), 0)}, redis {fmt(r.get('redis_usec_per_fcall'))} "
                             f"µs/fcall, {fmt(r.get('redis_bytes_per_record'), 0)} B/record, degraded "
                             f"{fmt(r.get('degraded_answers'), 0)}" if kind == "cluster" else ""), flush=True)
        if "idle" in parts:
            for i in range(1 if smoke else 2):
                for kind in ("single", "cluster"):
                    r = run_idle(ctx, kind, idle, i)
                    results["runs"].append(r)
                    print(f"  idle {kind:7} #{i}: {fmt(r.get('allocated_bytes_per_connection'), 0)} B allocated, "
                          f"{fmt(r.get('rss_bytes_per_connection'), 0)} B resident per connection, "
                          f"errors {r.get('errors')}" + (f", degraded answers {fmt(r.get('degraded_answers'), 0)}"
                                                         if kind == "cluster" else ""), flush=True)
        if "kill" in parts:
            r = run_kill(ctx, kill_shares, lambda text: print(text, flush=True))
            results["kill"] = r
            print(f"  kill: complete after {fmt(r.get('complete_s'), 2)} s (reconnected peers listed after "
                  f"{fmt(r.get('all_reannounced_listed_s'), 2)} s, vanished peers dropped after "
                  f"{fmt(r.get('gone_peers_dropped_s'), 2)} s); background errors {r.get('background_errors')}",
                  flush=True)
    finally:
        ctx.cluster.stop()
    for group in sorted({(r["key"], r["kind"]) for r in results["runs"]}):
        runs = [r for r in results["runs"] if (r["key"], r["kind"]) == group]
        s = summarise(runs)
        s["errors_all"] = sum(r.get("errors") or 0 for r in runs)
        results["summary"][f"{group[0]}-{group[1]}"] = s
    for r in results["runs"]:
        tag = f"{r['key']} {r['kind']} #{r['index']}"
        if r.get("exit_code") != 0 or r.get("errors") is None or r.get("errors"):
            problems.append(f"{tag}: exit {r.get('exit_code')}, errors {r.get('error_detail') or r.get('errors')}")
        if r.get("trackers_died"):
            problems.append(f"{tag}: tracker(s) on port(s) {r['trackers_died']} died during the run")
        if r.get("problem"):
            problems.append(f"{tag}: {r['problem']}")
    k = results.get("kill")
    if k:
        if k.get("problem"):
            problems.append("kill: " + k["problem"])
        if k.get("background_exit_code") != 0 or k.get("background_errors"):
            problems.append(f"kill: background load generator exit {k.get('background_exit_code')}, errors "
                            f"{k.get('background_error_detail')}")
        if k.get("member_closes_on_survivors"):
            problems.append(f"kill: {k['member_closes_on_survivors']} connections to surviving nodes closed")
    results["machine_after"] = machine_load()
    results["wall_s"] = time.time() - started
    results["problems"] = problems
    table = report(results, sizes)
    results["table_md"] = table
    with open(results_path, "w") as f:
        json.dump(results, f, indent=1)
    print(table)
    print(f"\nresults: {results_path} ({results['wall_s']:.0f} s; machine load after "
          f"{results['machine_after']['load1']})")
    for p in problems:
        print("PROBLEM: " + p)
    return 1 if problems else 0
