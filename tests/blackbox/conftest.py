"""Starts the real tracker on a free loopback port. TRACKER_CMD is the command
(shell words, relative to the repository root; "-p PORT" is appended),
TRACKER_STDOUT=0 skips the tests that read standard output (unusable under
Wine), TRACKER_TIME_SCALE stretches time limits."""

import os
import re
import resource
import shlex
import signal
import socket
import subprocess
import time

import pytest

from lattice import REPO, SCALE, Conn, free_port, has_ipv6  # noqa: F401 (free_port is the tests')

STDOUT_OK = os.environ.get("TRACKER_STDOUT", "1") != "0"
IPV6 = has_ipv6()
resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)  # trackers inherit it


def pytest_configure(config):
    config.addinivalue_line("markers", "stdout: reads the tracker's standard output (TRACKER_STDOUT=0 skips)")
    config.addinivalue_line("markers", "slow: takes more than half a minute of real time")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if not STDOUT_OK and "stdout" in item.keywords:
            item.add_marker(pytest.mark.skip(reason="TRACKER_STDOUT=0"))


def tracker_cmd():
    return shlex.split(os.environ.get("TRACKER_CMD", str(REPO / "build" / "linux" / "corvane-lattice-tracker")))




REPORT_RE = re.compile(
    r"\n(?P<ts>\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\n"
    r"active peers:      TCP (?P<active_tcp>\d+)\tuTP (?P<active_utp>\d+)\ntotal:\n"
    r" 'get_peers' recv: TCP (?P<recv_total_tcp>\d+)\tuTP (?P<recv_total_utp>\d+)\n"
    r" 'peers' sent:     TCP (?P<sent_total_tcp>\d+)\tuTP (?P<sent_total_utp>\d+)\nlast 10 seconds:\n"
    r" registered:       TCP (?P<reg_tcp>\d+)\tuTP (?P<reg_utp>\d+)\n"
    r" unregistered:     TCP (?P<unreg_tcp>\d+)\tuTP (?P<unreg_utp>\d+)\n"
    r" 'get_peers' recv: TCP (?P<recv_tcp>\d+)\tuTP (?P<recv_utp>\d+)\n"
    r" 'peers' sent:     TCP (?P<sent_tcp>\d+)\tuTP (?P<sent_utp>\d+)\n"
    r"limits hit:        descriptors \d+\tconnections \d+\taddress (?P<hits_address>\d+)\t")


class Tracker:
    """One tracker process; standard output and error go to files unless `stdout` is given."""

    def __init__(self, workdir, name, port, args=None, command=None, stdout=None):
        self.port, self.returncode = port, None
        self.stdout_path, self.stderr_path = workdir / (name + ".stdout"), workdir / (name + ".stderr")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen((command or tracker_cmd()) + (["-p", str(port)] if args is None else args),
                                         stdout=stdout or out, stderr=err, stdin=subprocess.DEVNULL, cwd=REPO,
                                         start_new_session=True)

    def stdout(self) -> str:
        return self.stdout_path.read_bytes().decode("utf-8", "replace")

    def diagnostics(self) -> str:
        return "\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
            self.stdout()[-3000:], self.stderr_path.read_bytes().decode("utf-8", "replace")[-6000:])

    def reports(self):
        return [{k: v if k == "ts" else int(v) for k, v in m.groupdict().items()}
                for m in REPORT_RE.finditer(self.stdout())]

    def wait_report(self, predicate, timeout, after=0):
        """Index and fields of the first report from `after` on that satisfies predicate."""
        deadline = time.monotonic() + timeout * SCALE
        while True:
            for i, report in list(enumerate(self.reports()))[after:]:
                if predicate(report):
                    return i, report
            assert time.monotonic() < deadline and self.alive(), "no matching report" + self.diagnostics()
            time.sleep(0.2)

    def alive(self) -> bool:
        return self.proc.poll() is None

    def wait_ready(self, timeout=10.0):
        deadline = time.monotonic() + timeout * SCALE
        while True:
            assert self.alive(), "tracker exited with %s" % self.proc.returncode + self.diagnostics()
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                assert time.monotonic() < deadline, "tracker not accepting" + self.diagnostics()
                time.sleep(0.05)

    def stop(self, sig=signal.SIGINT, timeout=5.0):
        """Sends the signal (none when None); the exit code, or None when it did not end in time."""
        if sig is not None and self.alive():
            self.proc.send_signal(sig)
        try:
            self.returncode = self.proc.wait(timeout * SCALE)
        except subprocess.TimeoutExpired:
            self.kill()
        return self.returncode

    def kill(self):
        if self.alive():
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)

    def fd_count(self):
        """Open descriptors of the tracker itself, or None (no /proc, or a wrapper such as Wine)."""
        try:
            if "corvane-lattice-tracker" in os.readlink("/proc/%d/exe" % self.proc.pid):
                return len(os.listdir("/proc/%d/fd" % self.proc.pid))
        except OSError:
            pass
        return None


@pytest.fixture
def tracker_factory(tmp_path):
    """Starts trackers; those the test left running get SIGINT and must exit 0."""
    started = []

    def start(args=None, port=None, ready=True, command=None, stdout=None):
        started.append(Tracker(tmp_path, "tracker%d" % len(started), port or free_port(), args, command, stdout))
        return started[-1].wait_ready() if ready else started[-1]

    yield start
    failures = ["tracker ended with %s%s" % (t.stop(), t.diagnostics()) for t in started
                if t.returncode is None and (not t.alive() or t.stop() != 0)]
    for t in started:
        t.kill()
    assert not failures, "\n".join(failures)


@pytest.fixture(scope="module")
def tracker(tmp_path_factory, request):
    """A tracker shared by the tests of one module (they use fresh shares)."""
    t = Tracker(tmp_path_factory.mktemp("tracker"), request.module.__name__, free_port())
    try:
        yield t.wait_ready()
        assert t.stop() == 0, "tracker did not exit 0 on SIGINT" + t.diagnostics()
    finally:
        t.kill()


@pytest.fixture
def connect(tracker):
    """Opens client connections to the module's tracker; closes them after."""
    conns = []
    yield lambda host="127.0.0.1", **kw: conns.append(Conn(tracker.port, host, **kw)) or conns[-1]
    for c in conns:
        c.close()
