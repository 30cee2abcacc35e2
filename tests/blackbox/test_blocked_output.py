"""A standard output that nobody reads stalls nothing: every client is still
answered, lines a client triggers are rate-limited, the output resumes in
order once read, and a stop request still ends the process at once."""

import fcntl
import os
import re
import subprocess
import time

import pytest

from conftest import REPO, Tracker, free_port, tracker_cmd
from lattice import SCALE, Conn, get_peers, new_id

# Reads the output back through a pipe of its own (Wine keeps the console).
pytestmark = pytest.mark.stdout

CONNECTIONS = 20
IDS_PER_CONNECTION = 300  # well below the bound on peer ids per connection
F_SETPIPE_SZ = 1031
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
NEW_ID_RE = re.compile(r"^(%s) got new peer id for the connection$" % STAMP, re.M)
SUPPRESSED_RE = re.compile(r"^%s \((\d+) more lines like the one above were suppressed\)$" % STAMP, re.M)


def fill(pipe_path):
    """Fills the pipe through a non-blocking file description of our own; the
    tracker's description stays blocking."""
    fd = os.open(pipe_path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        while True:
            os.write(fd, b"x" * 4096)
    except BlockingIOError:
        pass
    finally:
        os.close(fd)


class UnreadTracker(Tracker):
    """A tracker whose standard output is a pipe that is full before it starts."""

    def __init__(self, workdir, port):
        self.port = port
        self.args = ["-p", str(port)]
        self.stdout_path = workdir / "unread.stdout"  # stays empty
        self.stderr_path = workdir / "unread.stderr"
        self.stdout_path.write_bytes(b"")
        self.returncode = None
        self.reader, writer = os.pipe()
        self.writer_path = "/proc/%d/fd/%d" % (os.getpid(), writer)
        try:
            fcntl.fcntl(writer, F_SETPIPE_SZ, 4096)
        except OSError:
            pass
        fill(self.writer_path)
        self.writer = writer
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(tracker_cmd() + self.args, stdout=writer, stderr=err,
                                         stdin=subprocess.DEVNULL, cwd=REPO, start_new_session=True)
        self.text = b""

    def read_until(self, done, timeout):
        """Reads the output until done(text after our filler) holds."""
        os.set_blocking(self.reader, False)
        deadline = time.monotonic() + timeout * SCALE
        while not done(self.output()):
            assert time.monotonic() < deadline, "output so far:\n%s" % self.output()[-3000:]
            try:
                self.text += os.read(self.reader, 1 << 16)
            except BlockingIOError:
                time.sleep(0.05)
        return self.output()

    def diagnostics(self):
        os.set_blocking(self.reader, False)
        try:
            self.text += os.read(self.reader, 1 << 20)
        except OSError:
            pass
        return "\n--- tracker stdout (tail) ---\n%s\n--- tracker stderr (tail) ---\n%s" % (
            self.output()[-3000:], self.stderr()[-3000:])

    def output(self):
        return self.text.lstrip(b"x").decode("utf-8", "replace")

    def close(self):
        self.kill()
        os.close(self.reader)
        os.close(self.writer)


def accounted(text):
    return len(NEW_ID_RE.findall(text)) + sum(int(n) for n in SUPPRESSED_RE.findall(text))


def request_new_id(conn):
    share = new_id()
    msg = conn.request(share, new_id(), timeout=10)
    assert msg.share == share and msg.entries == []


def test_unread_output_stalls_no_client_and_no_stop(tmp_path):
    t = UnreadTracker(tmp_path, free_port())
    conns = []
    try:
        # Even the banner cannot go out, yet the tracker serves.
        t.wait_ready()
        conns = [Conn(t.port) for _ in range(CONNECTIONS)]
        shares = []
        for c in conns:
            mine = [new_id() for _ in range(IDS_PER_CONNECTION)]
            shares.append(mine)
            c.send(b"".join(get_peers(s, new_id()) for s in mine))
        for c, mine in zip(conns, shares):
            for s in mine:
                msg = c.recv(timeout=10)
                assert msg.share == s and msg.entries == [], "request %d not answered right" % mine.index(s)

        # In a later second one more line passes and tells what was held back.
        time.sleep(1.2)
        request_new_id(conns[0])
        # Every id bound is either logged or counted as suppressed.
        out = t.read_until(lambda text: accounted(text) == CONNECTIONS * IDS_PER_CONNECTION + 1, 15)
        assert re.match(r"%s start Corvane Lattice tracker version " % STAMP, out), out[:300]
        stamps = NEW_ID_RE.findall(out)
        assert max(stamps.count(s) for s in stamps) <= 5, "more than 5 lines in one second"
        assert "log lines dropped" not in out

        # Blocked again, with a line in the writer's hands: the stop may not
        # wait for the output.
        fill(t.writer_path)
        request_new_id(conns[1])
        started = time.monotonic()
        rc = t.stop()
        assert rc == 0, "exit code %s after SIGINT (None: still running after 5 s)" % rc
        assert time.monotonic() - started < 5 * SCALE
    finally:
        for c in conns:
            c.close()
        t.close()
