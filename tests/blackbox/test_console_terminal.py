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


def test_banner_report_and_log_lines_reach_the_console():
    port = free_port()
    master, slave = pty.openpty()
    # A wide terminal keeps lines from wrapping.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
    proc = subprocess.Popen(shlex.split(CMD) + ["-p", str(port)], stdin=slave, stdout=slave, stderr=slave,
                            cwd=REPO, start_new_session=True)
    os.close(slave)
    out = b""

    def read_until(pattern, timeout):
        nonlocal out
        deadline = time.monotonic() + timeout * SCALE
        while not re.search(pattern, plain(out), re.M):
            assert time.monotonic() < deadline, "no %r in:\n%s" % (pattern, plain(out)[-2000:])
            r, _, _ = select.select([master], [], [], 0.2)
            if r:
                try:
                    out += os.read(master, 65536)
                except OSError:
                    break

    try:
        stamp = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
        read_until(r"^%s start Corvane Lattice tracker version 4\.0\.920, build id [0-9a-f]{40}$" % stamp, 30)
        read_until(r"^active peers: +TCP 0[ \t]+uTP 0$", 10)
        with Conn(port) as c:
            c.request(new_id(), new_id())
            read_until(r"^%s got new peer id for the connection$" % stamp, 10)
        read_until(r"^ 'get_peers' recv: +TCP 1[ \t]+uTP 0$", 25)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(10 * SCALE) == 0
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        os.close(master)
