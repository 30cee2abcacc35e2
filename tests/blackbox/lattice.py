"""Client-side helpers for talking to the tracker on the wire.

Requests are built by hand (key order and raw values stay under the test's
control); "peers" messages are decoded into nodes that keep their exact byte
spans, so tests can check both meaning and layout.
"""

import os
import select
import socket
import struct
import time

MAX_FRAME = 1 << 24  # sanity cap for what we accept from the tracker
# Slow hosts (Wine, sanitizers) stretch every wait by this factor.
SCALE = float(os.environ.get("TRACKER_TIME_SCALE", "1"))


# ---------------------------------------------------------------- encoding

def bstr(data: bytes) -> bytes:
    return str(len(data)).encode() + b":" + data


def bint(value: int) -> bytes:
    return b"i%de" % value


def bdict(pairs) -> bytes:
    """pairs: iterable of (key bytes, already-encoded value bytes), order kept."""
    return b"d" + b"".join(bstr(k) + v for k, v in pairs) + b"e"


def frame(body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + body


def request_body(share=None, peer=None, *, lp=None, up=None, pv=None, la=None,
                 la_list=None, pwl=None, m=b"get_peers", extra=(), order=None) -> bytes:
    """Body of a "get_peers".  `la`/`la_list` are raw encoded values (sent
    verbatim).  `pwl` is a list of 20-byte ids.  `extra` pairs are appended."""
    pairs = []
    if m is not None:
        pairs.append((b"m", bstr(m)))
    if share is not None:
        pairs.append((b"share", bstr(share)))
    if peer is not None:
        pairs.append((b"peer", bstr(peer)))
    if lp is not None:
        pairs.append((b"lp", bint(lp)))
    if up is not None:
        pairs.append((b"up", bint(up)))
    if pv is not None:
        pairs.append((b"pv", bint(pv)))
    if la is not None:
        pairs.append((b"la", la))
    if la_list is not None:
        pairs.append((b"la_list", la_list))
    if pwl is not None:
        pairs.append((b"pwl", bstr(b"".join(pwl))))
    pairs.extend(extra)
    if order == "reverse":
        pairs.reverse()
    return bdict(pairs)


def get_peers(share, peer, **kw) -> bytes:
    return frame(request_body(share, peer, **kw))


def new_id(n=20) -> bytes:
    return os.urandom(n)


def addr_bytes(sockaddr) -> bytes:
    """6- or 18-byte wire form of a (host, port[, ...]) socket address."""
    host, port = sockaddr[0], sockaddr[1]
    if ":" in host:
        return socket.inet_pton(socket.AF_INET6, host) + struct.pack(">H", port)
    return socket.inet_aton(host) + struct.pack(">H", port)


def peer_entry(p, *, a=None, tcp=None, utp=(), la=None, la_list=None, lp=0, up=0) -> bytes:
    """Expected bytes of one peer entry (key order a, tcp_list, utp_list, la,
    la_list, lp, up, p).  tcp=None means the peer has no connections."""
    out = b"d"
    if a is not None:
        out += b"1:a" + bstr(a)
    if tcp is not None:
        out += b"8:tcp_list" + b"l" + b"".join(bstr(x) for x in tcp) + b"e"
        out += b"8:utp_list" + b"l" + b"".join(bstr(x) for x in utp) + b"e"
    if la:
        out += b"2:la" + la
    if la_list:
        out += b"7:la_list" + la_list
    if lp:
        out += b"2:lp" + bint(lp)
    if up:
        out += b"2:up" + bint(up)
    return out + b"1:p20:" + p + b"e"


def peers_message(entries, share, t) -> bytes:
    """Expected framed "peers" message from already-encoded entries."""
    body = (b"d1:m5:peers5:peersl" + b"".join(entries) + b"e5:share" + bstr(share)
            + b"4:time" + bint(t) + b"e")
    return frame(body)


# ---------------------------------------------------------------- decoding

class DecodeError(ValueError):
    pass


class Node:
    """A decoded bencode value with its byte span in the source buffer."""

    def __init__(self, kind, value, buf, start, end):
        self.kind, self.value, self.buf, self.start, self.end = kind, value, buf, start, end

    @property
    def raw(self) -> bytes:
        return self.buf[self.start:self.end]

    def keys(self):
        assert self.kind == "dict"
        return [k for k, _ in self.value]

    def get(self, key):
        assert self.kind == "dict"
        for k, v in self.value:
            if k == key:
                return v
        return None


def _decode(buf, i):
    if i >= len(buf):
        raise DecodeError("truncated at %d" % i)
    c = buf[i:i + 1]
    if c == b"i":
        j = buf.index(b"e", i)
        digits = buf[i + 1:j]
        if not digits or not digits.lstrip(b"-").isdigit():
            raise DecodeError("bad integer at %d" % i)
        return Node("int", int(digits), buf, i, j + 1), j + 1
    if c == b"l":
        items, j = [], i + 1
        while buf[j:j + 1] != b"e":
            node, j = _decode(buf, j)
            items.append(node)
        return Node("list", items, buf, i, j + 1), j + 1
    if c == b"d":
        items, j = [], i + 1
        while buf[j:j + 1] != b"e":
            key, j = _decode(buf, j)
            if key.kind != "str":
                raise DecodeError("non-string key at %d" % key.start)
            val, j = _decode(buf, j)
            items.append((key.value, val))
        return Node("dict", items, buf, i, j + 1), j + 1
    if c.isdigit():
        colon = buf.index(b":", i)
        n = int(buf[i:colon])
        end = colon + 1 + n
        if end > len(buf):
            raise DecodeError("string runs past end at %d" % i)
        return Node("str", buf[colon + 1:end], buf, i, end), end
    raise DecodeError("unexpected byte %r at %d" % (c, i))


def decode(buf: bytes) -> Node:
    try:
        node, end = _decode(buf, 0)
    except (ValueError, IndexError) as exc:
        raise DecodeError(str(exc)) from exc
    if end != len(buf):
        raise DecodeError("%d trailing bytes" % (len(buf) - end))
    return node


ENTRY_KEY_ORDER = [b"a", b"tcp_list", b"utp_list", b"la", b"la_list", b"lp", b"up", b"p"]


class Entry:
    def __init__(self, node: Node):
        self.node = node
        keys = node.keys()
        positions = [ENTRY_KEY_ORDER.index(k) for k in keys if k in ENTRY_KEY_ORDER]
        if len(positions) != len(keys) or positions != sorted(set(positions)):
            raise DecodeError("entry keys out of order or unknown: %r" % keys)
        if b"p" not in keys or (b"tcp_list" in keys) != (b"utp_list" in keys):
            raise DecodeError("entry key set invalid: %r" % keys)

    def _str(self, key):
        v = self.node.get(key)
        return None if v is None else v.value

    @property
    def raw(self):
        return self.node.raw

    @property
    def p(self):
        return self._str(b"p")

    @property
    def a(self):
        return self._str(b"a")

    @property
    def tcp(self):
        v = self.node.get(b"tcp_list")
        return None if v is None else [x.value for x in v.value]

    @property
    def utp(self):
        v = self.node.get(b"utp_list")
        return None if v is None else [x.value for x in v.value]

    @property
    def lp(self):
        v = self.node.get(b"lp")
        return None if v is None else v.value

    @property
    def up(self):
        v = self.node.get(b"up")
        return None if v is None else v.value

    def raw_of(self, key):
        """Raw encoded value under `key` (e.g. the la as sent), or None."""
        v = self.node.get(key)
        return None if v is None else v.raw


class PeersMessage:
    """A decoded "peers" message; `raw` is the whole frame, prefix included."""

    def __init__(self, raw: bytes):
        self.raw = raw
        (n,) = struct.unpack(">I", raw[:4])
        if n != len(raw) - 4:
            raise DecodeError("prefix %d does not match body %d" % (n, len(raw) - 4))
        self.root = decode(raw[4:])
        if self.root.kind != "dict" or self.root.keys() != [b"m", b"peers", b"share", b"time"]:
            raise DecodeError("top-level keys: %r" % (self.root.keys() if self.root.kind == "dict" else None))
        if self.root.get(b"m").value != b"peers":
            raise DecodeError("m is %r" % self.root.get(b"m").value)
        self.entries = [Entry(e) for e in self.root.get(b"peers").value]
        self.share = self.root.get(b"share").value
        self.time = self.root.get(b"time").value

    @property
    def ids(self):
        return [e.p for e in self.entries]

    def __repr__(self):
        return "<peers share=%s ids=%s time=%d>" % (
            self.share.hex()[:8], [i.hex()[:8] for i in self.ids], self.time)


# ---------------------------------------------------------------- connection

class Closed(Exception):
    """The tracker closed the connection."""


class Conn:
    """One blocking TCP client connection with a framed reader."""

    def __init__(self, port, host="127.0.0.1", timeout=5.0, rcvbuf=None, source=None):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
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

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("no data from tracker")
        self.sock.settimeout(remaining)
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
        """Next whole frame (prefix included)."""
        deadline = time.monotonic() + timeout * SCALE
        while len(self.buf) < 4:
            self._fill(deadline)
        (n,) = struct.unpack(">I", self.buf[:4])
        if n > MAX_FRAME:
            raise DecodeError("tracker declared a %d-byte frame" % n)
        while len(self.buf) < 4 + n:
            self._fill(deadline)
        raw, self.buf = self.buf[:4 + n], self.buf[4 + n:]
        return raw

    def recv(self, timeout=5.0) -> PeersMessage:
        return PeersMessage(self.recv_frame(timeout))

    def request(self, share, peer, timeout=5.0, **kw) -> PeersMessage:
        """Send one get_peers and return the next message (its reply, when
        nothing else is queued for this connection)."""
        self.send(get_peers(share, peer, **kw))
        return self.recv(timeout)

    def barrier(self, timeout=5.0):
        """Return every message queued for this connection so far.

        Sends a get_peers in a fresh share; the tracker handles messages in
        order, so all that was queued earlier arrives before its reply."""
        share = new_id()
        self.send(get_peers(share, new_id()))
        before = []
        while True:
            msg = self.recv(timeout)
            if msg.share == share and not msg.entries:
                return before
            before.append(msg)

    def pending(self, wait=0.2) -> bytes:
        """Bytes that arrive within `wait` seconds (for 'nothing came' checks)."""
        deadline = time.monotonic() + wait
        try:
            while True:
                self._fill(deadline)
        except TimeoutError:
            pass
        return self.buf

    def wait_closed(self, timeout=5.0) -> bool:
        """True when the tracker ends the stream within `timeout` (data that
        arrives first is discarded)."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self._fill(deadline)
                self.buf = b""
        except Closed:
            return True
        except TimeoutError:
            return False

    def is_open(self) -> bool:
        """Open and nothing unread: no EOF/reset is readable right now."""
        r, _, _ = select.select([self.sock], [], [], 0)
        if not r:
            return True
        try:
            self.sock.setblocking(False)
            data = self.sock.recv(1 << 16, socket.MSG_PEEK)
        except BlockingIOError:
            return True
        except OSError:
            return False
        finally:
            self.sock.setblocking(True)
        return bool(data)

    def leave(self, timeout=5.0):
        """Half-close and wait until the tracker has closed its side, so that
        the tracker has processed the departure before the test goes on."""
        self.sock.shutdown(socket.SHUT_WR)
        closed = self.wait_closed(timeout)
        self.close()
        assert closed, "tracker did not close its side after our FIN"

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def has_ipv6() -> bool:
    if not socket.has_ipv6:
        return False
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False
