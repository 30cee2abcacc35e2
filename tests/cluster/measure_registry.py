#!/usr/bin/python3
"""Cost of the registry functions on a running cluster (scripts/cluster_up.sh):
fills shares of given sizes with records of about 150 bytes, then lets
redis-benchmark call lattice_announce on each share's owning primary
(refreshes of random members: each call rewrites one record and draws a
selection) and reads that primary's INFO commandstats and MEMORY USAGE.

  tests/cluster/measure_registry.py --port 30100 [--sizes 50,100000] [--calls 50000] [--clients 2]
                                    [--rounds 3]

Each round measures lattice_announce and, right after it, a floor function
of the same outline (encode and write the requester's record, index it,
in a copy of the share,
HRANDFIELD 16 WITHVALUES, return them; library lattice_floor, loaded by this script) under the same
machine load, so that their ratio survives a busy machine. Besides Redis'
own usec_per_call (wall time inside the command), it reports the server
process's CPU time (utime + stime from /proc) per call, which includes
reading and answering the requests.

Not a test: pytest collects only test_*.py.
"""

import argparse
import os
import subprocess
import time

import redis
from redis.crc import key_slot

LA = b"6:\x7f\x01\x02\x03\x1a\xe1"  # one IPv4 address and port, as a peer sends it (argv carries no NUL)
LA_LIST = b"l6:\xc0\xa8\x01\x03\x1a\xe16:\xc0\xa8\x01\x02\x1a\xe16:\x0a\x01\x02\x07\x1a\xe118:" + b"\xfe\x80" + b"\x11" * 14 + b"\x1a\xe1e"
CONNS = b"T" + b"\x7f\x01\x02\x03\x1a\xe1" + b"\x22" * 16 + b"U" + b"\x7f\x01\x02\x03\x1a\xe2" + b"\x22" * 16


FLOOR = """#!lua name=lattice_floor
redis.register_function('lattice_floor', function(keys, args)
  local expiry = 1e13
  local record = {tonumber(args[6]), tonumber(args[7]), tonumber(args[8]), args[9], args[10],
                  args[2], tonumber(args[3]), expiry, tonumber(args[4]), args[5]}
  redis.call('HSET', keys[1], args[1], struct.pack('>d', expiry) .. cmsgpack.pack(record))
  redis.call('ZADD', keys[2], expiry, args[1])
  local drawn = redis.call('HRANDFIELD', keys[1], 16, 'WITHVALUES')
  return drawn
end)
"""


def cpu_us(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1e6 / os.sysconf("SC_CLK_TCK")


def peer(i):
    return b"bench-p-%012d" % i  # 20 bytes; redis-benchmark's __rand_int__ is 12 digits


def owner(port, key):
    first = redis.Redis(host="127.0.0.1", port=port)
    slot = key_slot(key.encode())
    for lo, hi, primary, *_ in first.execute_command("CLUSTER SLOTS"):
        if lo <= slot <= hi:
            return int(primary[1])
    raise SystemExit(f"no owner for slot {slot}")


def announce_args(keys, pid):
    return [2, *keys, pid, "n1", 1, 1, CONNS, 6881, 6882, 7, LA, LA_LIST, b"", 16, 600_000, ""]


def fill(r, keys, size):
    r.delete(*keys)
    pipe = r.pipeline(transaction=False)
    for i in range(size):
        pipe.execute_command("FCALL", "lattice_announce", *announce_args(keys, peer(i)))
        if i % 1000 == 999:
            pipe.execute()
    pipe.execute()
    assert r.hlen(keys[0]) == size, r.hlen(keys[0])


def commandstats(r):
    stats = {}
    for name, v in r.info("commandstats").items():
        stats[name.removeprefix("cmdstat_")] = (v["calls"], v["usec"], v["usec_per_call"])
    return stats


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--sizes", default="50,100000")
    ap.add_argument("--calls", type=int, default=50000)
    ap.add_argument("--clients", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()

    for size in (int(s) for s in args.sizes.split(",")):
        tag = "%040x" % (0xBE4C0000 + size)
        keys = [f"lt:{{{tag}}}:p", f"lt:{{{tag}}}:e"]
        # The floor works on a copy in the same slot, so that its records
        # never meet lattice_announce's.
        floor_keys = [f"floor:{{{tag}}}:p", f"floor:{{{tag}}}:e"]
        port = owner(args.port, keys[0])
        r = redis.Redis(host="127.0.0.1", port=port)
        started = time.monotonic()
        fill(r, keys, size)
        fill(r, floor_keys, size)
        filled = time.monotonic() - started
        record = r.hget(keys[0], peer(0))
        r.function_load(FLOOR, replace=True)
        pid = r.info("server")["process_id"]
        print(f"share of {size} records on port {port} (filled twice in {filled:.1f} s); record value {len(record)} bytes"
              f" + 20-byte id")
        results = {"lattice_announce": [], "lattice_floor": []}
        inners = {}
        for rnd in range(args.rounds):
            for function in results:
                r.config_resetstat()
                cmd = ["redis-benchmark", "-h", "127.0.0.1", "-p", str(port), "-c", str(args.clients),
                       "-n", str(args.calls), "-r", str(size), "-q", "FCALL", function]
                cmd += [a.decode("latin-1") if isinstance(a, bytes) else str(a)
                        for a in announce_args(keys if function == "lattice_announce" else floor_keys,
                                               b"bench-p-__rand_int__")]
                cpu = cpu_us(pid)
                subprocess.run(cmd, capture_output=True, timeout=600, check=True)
                cpu = cpu_us(pid) - cpu
                stats = commandstats(r)
                fcall = stats["fcall"]
                inner = ", ".join(f"{name} {usec / fcall[0]:.2f}" for name, (calls, usec, per)
                                  in sorted(stats.items(), key=lambda kv: -kv[1][1])
                                  if name != "fcall" and usec / fcall[0] >= 0.05)
                results[function].append((fcall[2], cpu / fcall[0]))
                inners[function] = inner
                if args.verbose:
                    print(f"  round {rnd + 1} {function:16s} usec_per_call {fcall[2]:6.2f}; server CPU per call"
                          f" {cpu / fcall[0]:6.2f} us; inner commands, us per fcall: {inner}")
        for function, xs in results.items():
            usec = sorted(x[0] for x in xs)
            cpu = sorted(x[1] for x in xs)
            print(f"  {function:16s} usec_per_call min {usec[0]:6.2f} median {usec[len(usec) // 2]:6.2f};"
                  f" server CPU per call min {cpu[0]:6.2f} median {cpu[len(cpu) // 2]:6.2f} us"
                  f" ({args.rounds} rounds of {args.calls} calls)")
        if args.verbose:
            print("  (the floor's inner commands:", inners["lattice_floor"] + ")")
        print(f"  last round's inner commands of lattice_announce, us per call: {inners['lattice_announce']}")
        hmem = r.memory_usage(keys[0], samples=0)
        zmem = r.memory_usage(keys[1], samples=0)
        enc = (r.object("encoding", keys[0]), r.object("encoding", keys[1]))
        print(f"  memory: hash {hmem} B ({enc[0]}), sorted set {zmem} B ({enc[1]}):"
              f" {hmem / size:.0f} + {zmem / size:.0f} = {(hmem + zmem) / size:.0f} B per record")
        r.delete(*keys, *floor_keys)


if __name__ == "__main__":
    main()
