"""The windowed build's console output, read through a pseudo-terminal.

The Windows build makes a console of its own, which Wine renders to the
controlling terminal only; this test gives it one. It runs when
TERMINAL_TRACKER_CMD names the command (for example the exe under Wine)."""

import fcntl
import os
import pty
import re
import select
import shlex
import signal
import struct
import subprocess
import termios
import time

import pytest

from conftest import free_port
from lattice import REPO, SCALE, Conn, new_id

CMD = os.environ.get("TERMINAL_TRACKER_CMD")

pytestmark = pytest.mark.skipif(not CMD, reason="TERMINAL_TRACKER_CMD not set")


def plain(raw: bytes) -> str:
    """Terminal output as text: cursor-forward moves become spaces, other
    control sequences go."""
    text = raw.decode("utf-8", "replace")
    text = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), text)
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07|\x1b[()][A-Z0-9]", "", text)
    return text.replace("\r", "")


class Terminal:
    """The tracker started on a pseudo-terminal of its own, and what it showed there."""

    def __init__(self, args):
        self.master, slave = pty.openpty()
        # A wide terminal keeps lines from wrapping.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
        self.proc = subprocess.Popen(shlex.split(CMD) + args, stdin=slave, stdout=slave, stderr=slave,
                                     cwd=REPO, start_new_session=True)
        os.close(slave)
        self.out = b""

    def read_until(self, pattern, timeout):
        deadline = time.monotonic() + timeout * SCALE
        while not re.search(pattern, plain(self.out), re.M):
            assert time.monotonic() < deadline, "no %r in:\n%s" % (pattern, plain(self.out)[-2000:])
            r, _, _ = select.select([self.master], [], [], 0.2)
            if r:
                try:
                    self.out += os.read(self.master, 65536)
                except OSError:
                    break

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        os.close(self.master)


STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


def test_banner_report_and_log_lines_reach_the_console():
    port = free_port()
    term = Terminal(["-p", str(port)])
    try:
        term.read_until(r"^%s start Corvane Lattice tracker version 4\.0\.920, build id [0-9a-f]{40}$" % STAMP, 30)
        term.read_until(r"^active peers: +TCP 0[ \t]+uTP 0$", 10)
        with Conn(port) as c:
            c.request(new_id(), new_id())
            term.read_until(r"^%s got new peer id for the connection$" % STAMP, 10)
        term.read_until(r"^ 'get_peers' recv: +TCP 1[ \t]+uTP 0$", 25)
        term.proc.send_signal(signal.SIGINT)
        assert term.proc.wait(10 * SCALE) == 0
    finally:
        term.close()


@pytest.mark.skipif(not CMD or ".exe" not in CMD, reason="the Windows build's console")
def test_cluster_option_error_reaches_the_console_before_exit_2():
    term = Terminal(["-p", str(free_port()), "-cluster", "127.0.0.1:0"])
    try:
        term.read_until(r"^%s cluster: seed '127\.0\.0\.1:0': the port is not 1 to 65535" % STAMP, 30)
        assert term.proc.wait(10 * SCALE) == 2
    finally:
        term.close()
