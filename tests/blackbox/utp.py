"""A uTP client for the black-box tests: drives tools/utp_client (built on
the same libutp as the tracker) over its line protocol."""

import os
import pathlib
import queue
import subprocess
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
CLIENT = os.environ.get("UTP_CLIENT", str(REPO / "build" / "linux" / "tools" / "utp_client" / "utp_client"))


def available() -> bool:
    return os.access(CLIENT, os.X_OK)


class UtpClient:
    """One client UDP socket carrying any number of uTP connections."""

    def __init__(self, port, host="127.0.0.1"):
        self.proc = subprocess.Popen([CLIENT, host, str(port)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        self.events = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        kind, args = self.expect("bound")
        self.port = int(args[0])

    def _read(self):
        for line in self.proc.stdout:
            self.events.put(line.split())
        self.events.put(["exited"])

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def expect(self, kind, timeout=10.0, conn=None):
        """The next event of this kind (for this connection); others are kept
        in order for later calls."""
        deadline = time.monotonic() + timeout
        skipped = []
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no %s event (saw %s)" % (kind, skipped[:5]))
                try:
                    event = self.events.get(timeout=left)
                except queue.Empty:
                    continue
                if event[0] == "exited":
                    raise AssertionError("utp_client exited")
                if event[0] == kind and (conn is None or event[1] == str(conn)):
                    return event[0], event[1:]
                skipped.append(event)
        finally:
            for e in skipped:
                self.events.put(e)

    def open(self, timeout=10.0) -> int:
        self.command("open")
        _, args = self.expect("opened")
        conn = int(args[0])
        self.expect("connected", timeout, conn)
        return conn

    def send(self, conn, data: bytes):
        self.command("send %d %s" % (conn, data.hex()))

    def recv_frame(self, conn, timeout=5.0) -> bytes:
        _, args = self.expect("recv", timeout, conn)
        return bytes.fromhex(args[1])

    def pending(self, conn, wait=0.3):
        """Messages that arrive for the connection within `wait` seconds."""
        out = []
        while True:
            try:
                out.append(self.recv_frame(conn, wait))
            except TimeoutError:
                return out

    def close_conn(self, conn):
        self.command("close %d" % conn)

    def stats(self):
        self.command("stats")
        _, args = self.expect("stats")
        return int(args[0]), int(args[1])

    def counts(self):
        self.command("counts")
        _, args = self.expect("counts", 30.0)
        return tuple(int(x) for x in args)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
            except (BrokenPipeError, OSError):
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
