"""A Redis Cluster of 3 primaries (no replicas) on loopback, started once per
run with scripts/cluster_up.sh and stopped by the process ids it recorded.
LATTICE_REGISTRY_LUA names another function library to load instead of
src/cluster/registry.lua (for trying a changed copy)."""

import os
import pathlib
import random
import shutil
import socket
import subprocess
import tempfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
LIBRARY = pathlib.Path(os.environ.get("LATTICE_REGISTRY_LUA", REPO / "src" / "cluster" / "registry.lua"))

try:
    import redis
    from redis.crc import key_slot
except ImportError:  # python3-redis absent
    redis = None


def _port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def _free_base(count):
    """A base port whose next `count` ports and their cluster bus ports (+10000) are free."""
    rng = random.Random()
    for _ in range(50):
        base = rng.randrange(20000, 29000, 10)
        if all(_port_free(base + i) and _port_free(base + i + 10000) for i in range(count)):
            return base
    pytest.fail("no free loopback ports for the cluster")


class Cluster:
    """Direct connections to the primaries; each call goes to the primary that
    owns the share's slot, as a tracker node would send it."""

    def __init__(self, ports):
        self.nodes = {p: redis.Redis(host="127.0.0.1", port=p) for p in ports}
        self.slots = []  # (first, last, port)
        for first, last, primary, *_ in self.nodes[ports[0]].execute_command("CLUSTER SLOTS"):
            self.slots.append((first, last, int(primary[1])))

    def owner(self, key):
        slot = key_slot(key.encode() if isinstance(key, str) else key)
        for first, last, port in self.slots:
            if first <= slot <= last:
                return self.nodes[port]
        raise AssertionError(f"slot {slot} has no owner")

    def others(self, key):
        owner = self.owner(key)
        return [c for c in self.nodes.values() if c is not owner]


@pytest.fixture(scope="session")
def cluster():
    if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
        pytest.skip("redis-server or redis-cli not installed (apt-get install redis-server redis-tools)")
    if redis is None:
        pytest.skip("python3-redis not installed")
    folder = tempfile.mkdtemp(prefix="lattice-cluster-test.")
    base = _free_base(3)
    started = subprocess.run(
        [str(REPO / "scripts" / "cluster_up.sh"), "-p", str(base), "-d", folder, "-r", "0", "-l", str(LIBRARY)],
        capture_output=True, text=True, timeout=60)
    try:
        assert started.returncode == 0, started.stdout + started.stderr
        yield Cluster([base, base + 1, base + 2])
    finally:
        subprocess.run([str(REPO / "scripts" / "cluster_up.sh"), "stop", folder], capture_output=True, timeout=30)
        shutil.rmtree(folder, ignore_errors=True)
