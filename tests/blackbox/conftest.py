"""Starts the real tracker on a free loopback port for the black-box tests.

Environment:
  TRACKER_CMD      command that runs the tracker (shell words, relative paths
                   resolve against the repository root); "-p PORT" is appended.
                   Default: build/linux/corvane-lattice-tracker.
  TRACKER_STDOUT   "0" skips tests that read the tracker's standard output
                   (it is unreliable under Wine).
  TRACKER_TIME_SCALE  factor for start/stop time limits (slow builds, Wine).
"""

import os
import pathlib
import re
import resource
import shlex
import signal
import socket
import subprocess
import time

import pytest

from lattice import Conn, has_ipv6

REPO = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_CMD = str(REPO / "build" / "linux" / "corvane-lattice-tracker")
STDOUT_OK = os.environ.get("TRACKER_STDOUT", "1") != "0"
SCALE = float(os.environ.get("TRACKER_TIME_SCALE", "1"))
# Sanitizer runtimes reserve shadow memory and keep freed blocks in
# quarantine, so resident size says nothing about the tracker's own use there.
RSS_MEANINGFUL = os.environ.get("TRACKER_RSS_MEANINGFUL", "1") != "0"
IPV6 = has_ipv6()

# The load test needs ~10k descriptors in this process and in the tracker,
# which inherits the limit, so raise it before anything is started.
_soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
if _soft != _hard:
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (_hard, _hard))
    except (ValueError, OSError):
        pass


def pytest_configure(config):
    config.addinivalue_line("markers", "stdout: reads the tracker's standard output (TRACKER_STDOUT=0 skips)")
    config.addinivalue_line("markers", "slow: takes more than half a minute of real time")
    config.addinivalue_line("markers", "load: opens thousands of connections")


def pytest_collection_modifyitems(config, items):
    if STDOUT_OK:
        return
    skip = pytest.mark.skip(reason="TRACKER_STDOUT=0: standard output not usable")
    for item in items:
        if "stdout" in item.keywords:
            item.add_marker(skip)


def tracker_cmd():
    return shlex.split(os.environ.get("TRACKER_CMD", DEFAULT_CMD))


_used_ports = set()


def free_port():
    """A port that is free for TCP and UDP on 127.0.0.1 and ::1."""
    probes = [(socket.AF_INET, socket.SOCK_DGRAM, "127.0.0.1")]
    if IPV6:
        probes += [(socket.AF_INET6, socket.SOCK_STREAM, "::1"), (socket.AF_INET6, socket.SOCK_DGRAM, "::1")]
    for _ in range(100):
        first = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        held = [first]
        try:
            first.bind(("127.0.0.1", 0))
            port = first.getsockname()[1]
            if port in _used_ports:
                continue
            for family, kind, host in probes:
                s = socket.socket(family, kind)
                held.append(s)
                s.bind((host, port))
            _used_ports.add(port)
            return port
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no free port found")


REPORT_RE = re.compile(
    r"\n(?P<ts>\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\n"
    r"active peers:      TCP (?P<active_tcp>\d+)\tuTP (?P<active_utp>\d+)\n"
    r"total:\n"
    r" 'get_peers' recv: TCP (?P<recv_total_tcp>\d+)\tuTP (?P<recv_total_utp>\d+)\n"
    r" 'peers' sent:     TCP (?P<sent_total_tcp>\d+)\tuTP (?P<sent_total_utp>\d+)\n"
    r"last (?P<period>\d+) seconds:\n"
    r" registered:       TCP (?P<reg_tcp>\d+)\tuTP (?P<reg_utp>\d+)\n"
    r" unregistered:     TCP (?P<unreg_tcp>\d+)\tuTP (?P<unreg_utp>\d+)\n"
    r" 'get_peers' recv: TCP (?P<recv_tcp>\d+)\tuTP (?P<recv_utp>\d+)\n"
    r" 'peers' sent:     TCP (?P<sent_tcp>\d+)\tuTP (?P<sent_utp>\d+)\n"
)


def parse_reports(text):
    out = []
    for m in REPORT_RE.finditer(text):
        d = {k: (v if k == "ts" else int(v)) for k, v in m.groupdict().items()}
        d["span"] = m.span()
        out.append(d)
    return out


class Tracker:
    """One tracker process with its output captured to files."""

    def __init__(self, workdir: pathlib.Path, name: str, port: int, args=None, command=None):
        self.port = port
        self.args = ["-p", str(port)] if args is None else list(args)
        self.stdout_path = workdir / (name + ".stdout")
        self.stderr_path = workdir / (name + ".stderr")
        self.returncode = None
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen((command or tracker_cmd()) + self.args, stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, cwd=REPO, start_new_session=True)

    # -- output
    def stdout(self) -> str:
        return self.stdout_path.read_bytes().decode("utf-8", "replace")

    def stderr(self) -> str:
        return self.stderr_path.read_bytes().decode("utf-8", "replace")

    def diagnostics(self) -> str:
        return "\n--- tracker stdout (tail) ---\n%s\n--- tracker stderr (tail) ---\n%s" % (
            self.stdout()[-3000:], self.stderr()[-6000:])

    def reports(self):
        return parse_reports(self.stdout())

    def wait_report(self, predicate, timeout, after=0):
        """First report (index >= after) that satisfies predicate."""
        deadline = time.monotonic() + timeout
        while True:
            reports = self.reports()
            for i in range(after, len(reports)):
                if predicate(reports[i]):
                    return i, reports[i]
            if time.monotonic() > deadline:
                raise AssertionError("no matching report within %.0f s; reports so far:\n%s%s" % (
                    timeout, reports[after:], self.diagnostics()))
            assert self.alive(), "tracker exited" + self.diagnostics()
            time.sleep(0.2)

    # -- process
    def alive(self) -> bool:
        return self.proc.poll() is None

    def wait_ready(self, timeout=10.0):
        """Retry a TCP connect until the tracker accepts; the probe is closed."""
        deadline = time.monotonic() + timeout * SCALE
        while True:
            if not self.alive():
                raise AssertionError("tracker exited with %s before accepting" % self.proc.returncode
                                     + self.diagnostics())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                if time.monotonic() > deadline:
                    raise AssertionError("tracker not accepting on port %d" % self.port + self.diagnostics())
                time.sleep(0.05)

    def wait_exit(self, timeout):
        try:
            self.returncode = self.proc.wait(timeout * SCALE)
        except subprocess.TimeoutExpired:
            return None
        return self.returncode

    def signal(self, sig=signal.SIGINT):
        if self.alive():
            self.proc.send_signal(sig)

    def kill(self):
        if self.alive():
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(10)

    def stop(self, timeout=5.0):
        """SIGINT, then the exit code (None when it did not stop in time)."""
        if not self.alive():
            self.returncode = self.proc.returncode
            return self.returncode
        self.signal(signal.SIGINT)
        rc = self.wait_exit(timeout)
        if rc is None:
            self.kill()
        return rc

    def _own_proc(self):
        """/proc directory of the tracker itself, or None when not readable
        (no /proc, or TRACKER_CMD is a wrapper such as Wine)."""
        try:
            exe = os.readlink("/proc/%d/exe" % self.proc.pid)
        except OSError:
            return None
        if "corvane-lattice-tracker" not in os.path.basename(exe):
            return None
        return "/proc/%d" % self.proc.pid

    def fd_count(self):
        d = self._own_proc()
        try:
            return None if d is None else len(os.listdir(d + "/fd"))
        except OSError:
            return None

    def rss_kib(self):
        """Resident set size of the tracker in KiB, or None."""
        d = self._own_proc()
        if d is None or not RSS_MEANINGFUL:
            return None
        try:
            with open(d + "/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            return None
        return None


def stop_and_check(t: Tracker):
    rc = t.stop()
    assert rc is not None, "tracker did not stop within 5 s of SIGINT" + t.diagnostics()
    assert rc == 0, "tracker exited with %d" % rc + t.diagnostics()


@pytest.fixture(scope="module")
def tracker(tmp_path_factory, request):
    """A tracker shared by the tests of one module (they use fresh shares)."""
    workdir = tmp_path_factory.mktemp("tracker")
    t = Tracker(workdir, request.module.__name__, free_port())
    try:
        t.wait_ready()
    except BaseException:
        t.kill()
        raise
    yield t
    stop_and_check(t)


@pytest.fixture
def tracker_factory(tmp_path):
    """Starts trackers with chosen arguments; those still running at the end
    are stopped with SIGINT and must exit 0."""
    started = []

    def start(args=None, port=None, ready=True, name=None, command=None):
        port = free_port() if port is None else port
        t = Tracker(tmp_path, name or "tracker%d" % len(started), port, args, command)
        started.append(t)
        if ready:
            t.wait_ready()
        return t

    yield start
    failures = []
    for t in started:
        if t.returncode is not None:
            continue  # the test reaped it and checked its exit itself
        if not t.alive():
            # It ended on its own during the test without the test reaping it.
            failures.append("tracker exited unexpectedly with %s%s" % (t.proc.returncode, t.diagnostics()))
            continue
        rc = t.stop()
        if rc != 0:
            failures.append("tracker stop gave %s%s" % (rc, t.diagnostics()))
    for t in started:
        t.kill()
    assert not failures, "\n".join(failures)


@pytest.fixture
def connect(tracker):
    """Opens client connections to the module's tracker; closes them after."""
    conns = []

    def make(host="127.0.0.1", port=None):
        c = Conn(port or tracker.port, host)
        conns.append(c)
        return c

    yield make
    for c in conns:
        c.close()
