"""Sends one get_peers request over TCP on loopback and prints the reply.

Usage: get_peers_client.py PORT [TIMEOUT_SECONDS]. Exits 0 when the reply is
a framed "peers" message, 1 otherwise.
"""
import os
import socket
import struct
import sys
import time


def request_bytes():
    body = (b"d1:m9:get_peers4:peer20:" + os.urandom(20) +
            b"5:share20:" + os.urandom(20) + b"e")
    return struct.pack(">I", len(body)) + body


def get_peers(port, timeout=10.0):
    """Returns the raw reply (length prefix included), retrying the connect
    until the tracker listens or the timeout passes."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            conn = socket.create_connection(("127.0.0.1", port), timeout=2)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)
    with conn:
        conn.settimeout(max(1.0, deadline - time.monotonic()))
        conn.sendall(request_bytes())
        reply = b""
        while len(reply) < 4 or len(reply) < 4 + struct.unpack(">I", reply[:4])[0]:
            chunk = conn.recv(4096)
            if not chunk:
                break
            reply += chunk
    return reply


def is_peers_reply(reply):
    return (len(reply) >= 4 and struct.unpack(">I", reply[:4])[0] == len(reply) - 4
            and reply[4:].startswith(b"d1:m5:peers"))


if __name__ == "__main__":
    port = int(sys.argv[1])
    wait = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    try:
        data = get_peers(port, wait)
    except OSError as error:
        print(f"get_peers on port {port}: {error}")
        sys.exit(1)
    print(repr(data[:40]))
    sys.exit(0 if is_peers_reply(data) else 1)
