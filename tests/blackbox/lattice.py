"""Clients of the tracker: request and expected-message builders, a "peers"
decoder, a framed TCP connection and a uTP client (tools/utp_client, on the
tracker's libutp, driven over its line protocol)."""

import os
import pathlib
import queue
import random
import socket
import struct
import subprocess
import threading
import time

# Slow hosts (Wine, sanitizers) stretch every wait by this factor.
SCALE = float(os.environ.get("TRACKER_TIME_SCALE", "1"))
REPO = pathlib.Path(__file__).resolve().parents[2]
UTP_CLIENT = os.environ.get("UTP_CLIENT", str(REPO / "build" / "linux" / "tools" / "utp_client" / "utp_client"))
HAVE_UTP_CLIENT = os.access(UTP_CLIENT, os.X_OK)


def bstr(data: bytes) -> bytes:
    return str(len(data)).encode() + b":" + data


def frame(body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + body


def get_peers(share, peer, *, lp=None, up=None, la=None, la_list=None, pwl=None) -> bytes:
    """A framed "get_peers"; la and la_list are raw encoded values, pwl a list of ids."""
    body = b"d1:m9:get_peers5:share" + bstr(share) + b"4:peer" + bstr(peer)
    for key, value in ((b"lp", lp), (b"up", up)):
        if value is not None:
            body += bstr(key) + b"i%de" % value
    for key, value in ((b"la", la), (b"la_list", la_list)):
        if value is not None:
            body += bstr(key) + value
    if pwl is not None:
        body += b"3:pwl" + bstr(b"".join(pwl))
    return frame(body + b"e")


def new_id(n=20) -> bytes:
    return os.urandom(n)


def addr_bytes(sockaddr) -> bytes:
    """The 6- or 18-byte wire form of a socket address."""
    family = socket.AF_INET6 if ":" in sockaddr[0] else socket.AF_INET
    return socket.inet_pton(family, sockaddr[0]) + struct.pack(">H", sockaddr[1])


def peer_entry(p, *, a=None, tcp=None, utp=(), la=None, la_list=None, lp=0, up=0) -> bytes:
    """Expected bytes of one entry; tcp=None means the peer has no lists."""
    out = b"d" + (b"1:a" + bstr(a) if a is not None else b"")
    if tcp is not None:
        out += b"8:tcp_listl" + b"".join(map(bstr, tcp)) + b"e8:utp_listl" + b"".join(map(bstr, utp)) + b"e"
    out += (b"2:la" + la if la else b"") + (b"7:la_list" + la_list if la_list else b"")
    out += (b"2:lpi%de" % lp if lp else b"") + (b"2:upi%de" % up if up else b"")
    return out + b"1:p20:" + p + b"e"


def peers_message(entries, share, t) -> bytes:
    return frame(b"d1:m5:peers5:peersl" + b"".join(entries) + b"e5:share" + bstr(share) + b"4:timei%de" % t + b"e")


def _decode(buf, i):
    c = buf[i:i + 1]
    if c == b"i":
        j = buf.index(b"e", i)
        return int(buf[i + 1:j]), j + 1
    if c in (b"l", b"d"):
        items, i = [], i + 1
        while buf[i:i + 1] != b"e":
            item, i = _decode(buf, i)
            items.append(item)
        return (items if c == b"l" else dict(zip(items[::2], items[1::2]))), i + 1
    colon = buf.index(b":", i)
    end = colon + 1 + int(buf[i:colon])
    if end > len(buf):
        raise ValueError("string past the end at %d" % i)
    return buf[colon + 1:end], end


class PeersMessage:
    """A decoded "peers" message; `raw` is the whole frame, prefix included."""

    def __init__(self, raw: bytes):
        self.raw = raw
        assert struct.unpack(">I", raw[:4])[0] == len(raw) - 4, "prefix does not match the body"
        root, end = _decode(raw, 4)
        assert end == len(raw) and root[b"m"] == b"peers", raw[:80]
        self.entries, self.share, self.time = root[b"peers"], root[b"share"], root[b"time"]
        self.ids = [e[b"p"] for e in self.entries]


class Closed(Exception):
    pass


class Conn:
    """One blocking TCP client connection with a framed reader."""

    def __init__(self, port, host="127.0.0.1", timeout=5.0, rcvbuf=None, source=None):
        self.sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if source is not None:
            self.sock.bind((source, 0))
        self.sock.settimeout(timeout * SCALE)
        self.sock.connect((host, port))
        self.buf = b""
        self.addr = addr_bytes(self.sock.getsockname())

    def send(self, data: bytes):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.close()

    def _fill(self, deadline):
        if deadline <= time.monotonic():
            raise TimeoutError("no data from tracker")
        self.sock.settimeout(deadline - time.monotonic())
        try:
            chunk = self.sock.recv(1 << 16)
        except socket.timeout:
            raise TimeoutError("no data from tracker") from None
        except (ConnectionResetError, ConnectionAbortedError) as exc:
            raise Closed(str(exc)) from None
        if not chunk:
            raise Closed("end of stream")
        self.buf += chunk

    def recv_frame(self, timeout=5.0) -> bytes:
        deadline = time.monotonic() + timeout * SCALE
        while len(self.buf) < 4 or len(self.buf) < (n := 4 + struct.unpack(">I", self.buf[:4])[0]):
            self._fill(deadline)
        raw, self.buf = self.buf[:n], self.buf[n:]
        return raw

    def recv(self, timeout=5.0) -> PeersMessage:
        return PeersMessage(self.recv_frame(timeout))

    def request(self, share, peer, timeout=5.0, **kw) -> PeersMessage:
        """Sends one get_peers and returns the next message (its reply, when
        nothing else is queued for this connection)."""
        self.send(get_peers(share, peer, **kw))
        return self.recv(timeout)

    def barrier(self, timeout=5.0):
        """Every message queued for this connection so far: the tracker
        handles messages in order, so all arrive before the reply to a request
        in a fresh share."""
        share = new_id()
        self.send(get_peers(share, new_id()))
        before = []
        while (msg := self.recv(timeout)).share != share:
            before.append(msg)
        return before

    def wait_closed(self, timeout=5.0) -> bool:
        """True when the tracker ends the stream within `timeout`."""
        deadline = time.monotonic() + timeout * SCALE
        try:
            while True:
                self._fill(deadline)
                self.buf = b""
        except Closed:
            return True
        except TimeoutError:
            return False

    def leave(self):
        """Half-closes and waits until the tracker has closed its side, so
        that it has handled the departure before the test goes on."""
        self.sock.shutdown(socket.SHUT_WR)
        assert self.wait_closed(), "tracker did not close its side after our FIN"
        self.close()


class UtpClient:
    """One client UDP socket carrying any number of uTP connections."""

    def __init__(self, port, host="127.0.0.1"):
        self.proc = subprocess.Popen([UTP_CLIENT, host, str(port)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.port = int(self.expect("bound")[0])
        self.addr = addr_bytes((host, self.port))

    def _read(self):
        for line in self.proc.stdout:
            self.events.put(line.split())
        self.events.put(["exited"])

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def expect(self, kind, timeout=10.0, conn=None):
        """Arguments of the next event of this kind (for this connection);
        other events stay queued in order."""
        deadline = time.monotonic() + timeout * SCALE
        skipped = []
        try:
            while True:
                try:
                    event = self.events.get(timeout=max(0.0, deadline - time.monotonic()))
                except queue.Empty:
                    raise TimeoutError("no %s event (saw %s)" % (kind, skipped[:5])) from None
                assert event[0] != "exited", "utp_client exited"
                if event[0] == kind and (conn is None or event[1] == str(conn)):
                    return event[1:]
                skipped.append(event)
        finally:
            for e in skipped:
                self.events.put(e)

    def open(self) -> int:
        self.command("open")
        conn = int(self.expect("opened")[0])
        self.expect("connected", 10.0, conn)
        return conn

    def send(self, conn, data: bytes):
        self.command("send %d %s" % (conn, data.hex()))

    def recv(self, conn, timeout=5.0) -> PeersMessage:
        return PeersMessage(bytes.fromhex(self.expect("recv", timeout, conn)[1]))

    def stats(self):
        """The largest datagram the client received, and how many."""
        self.command("stats")
        return tuple(map(int, self.expect("stats")))

    def close(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def has_ipv6() -> bool:
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


_used_ports = set()
_port_choice = random.Random(os.getpid())


def free_port():
    """A port free for TCP and UDP on 127.0.0.1 (and ::1), not handed out before.
    Taken below the ephemeral range, where the tests' own outgoing connections
    cannot occupy it between this check and the tracker's bind."""
    while True:
        port = _port_choice.randrange(20000, 32768)
        held = []
        try:
            for family, host in [(socket.AF_INET, "127.0.0.1")] + ([(socket.AF_INET6, "::1")] if has_ipv6() else []):
                for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                    held.append(socket.socket(family, kind))
                    held[-1].bind((host, port))
            if port not in _used_ports:
                _used_ports.add(port)
                return port
        except OSError:
            pass
        finally:
            for s in held:
                s.close()
