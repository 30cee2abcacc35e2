"""Sends one get_peers over TCP on loopback, retrying the connect until the
tracker listens; exits 0 when the reply is the "peers" message for it.

Usage: get_peers_client.py PORT [TIMEOUT_SECONDS]
"""
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "blackbox"))
from lattice import Conn, new_id  # noqa: E402


def answers(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            with Conn(port, timeout=max(1.0, deadline - time.monotonic())) as c:
                share = new_id()
                return c.request(share, new_id()).share == share
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


if __name__ == "__main__":
    try:
        sys.exit(0 if answers(int(sys.argv[1]), float(sys.argv[2]) if len(sys.argv) > 2 else 10.0) else 1)
    except Exception as error:  # noqa: BLE001 - any failure is a failed check
        print(f"get_peers on port {sys.argv[1]}: {error!r}")
        sys.exit(1)
