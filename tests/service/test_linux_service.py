"""The Linux build as a systemd service: notify messages, the stop signal,
and -sr / -sd against a unit folder and a systemctl of the test's own.

Run: /usr/bin/python3 -m pytest tests/service
The binary is $LATTICE_BIN, else build/linux/corvane-lattice-tracker.
"""
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from get_peers_client import answers  # noqa: E402
from lattice import free_port  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(os.environ.get("LATTICE_BIN", ROOT / "build/linux/corvane-lattice-tracker")).resolve()
UNIT = "corvane-lattice-tracker.service"
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="-sr and -sd need root")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "LATTICE_UNIT_DIR")}
    env.update(extra)
    return env


@pytest.fixture(params=[False, True], ids=["path", "abstract"])
def notify(request, tmp_path):
    """The datagram socket that NOTIFY_SOCKET names ('@': the abstract
    namespace), and wait_for(line): the messages until one has that line."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    name = f"@lattice-notify-{os.getpid()}-{time.monotonic_ns()}" if request.param else str(tmp_path / "notify")
    sock.bind("\0" + name[1:] if request.param else name)
    seen = []

    def wait_for(line, timeout=15):
        deadline = time.monotonic() + timeout
        while not any(line in m.split("\n") for m in seen):
            assert time.monotonic() < deadline, f"no {line!r} in {seen}"
            sock.settimeout(deadline - time.monotonic())
            seen.append(sock.recv(4096).decode())
        return seen

    yield type("Notify", (), {"name": name, "wait_for": staticmethod(wait_for)})
    sock.close()


def start_service(notify_name, port):
    return subprocess.Popen([str(BIN), "-s", "-p", str(port)], env=clean_env(NOTIFY_SOCKET=notify_name),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def test_reports_ready_serves_and_stops_on_sigterm_with_exit_code_0(notify):
    port = free_port()
    proc = start_service(notify.name, port)
    try:
        seen = notify.wait_for("READY=1")
        assert seen[0].startswith("STATUS=") and "READY=1" not in seen[0]
        assert len(seen) == 2
        assert answers(port)
        proc.send_signal(signal.SIGTERM)
        seen = notify.wait_for("STOPPING=1")
        assert proc.wait(timeout=10) == 0
        final = notify.wait_for("EXIT_STATUS=0")[-1]
        assert "STATUS=Stopped" in final.split("\n")
        assert [m for m in seen if "STOPPING=1" in m] == [seen[2]]
    finally:
        proc.kill()
        proc.wait()


def test_tracker_that_cannot_open_its_sockets_stops_with_exit_code_2(notify):
    proc = start_service(notify.name, "no-such-port-name")
    assert proc.wait(timeout=15) == 2
    seen = notify.wait_for("EXIT_STATUS=2")
    assert not any("READY=1" in m for m in seen)
    assert seen[0].startswith("STATUS=")


def test_minus_s_outside_systemd_exits_0_at_once_silently():
    result = subprocess.run([str(BIN), "-s", "-p", str(free_port())], env=clean_env(), capture_output=True,
                            timeout=5)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")


@pytest.fixture
def system(tmp_path):
    """A unit folder, and a PATH whose systemctl logs its arguments and exits
    with the code in the file 'rc'."""
    units, bin_dir, log, rc = tmp_path / "units", tmp_path / "bin", tmp_path / "systemctl.log", tmp_path / "rc"
    units.mkdir()
    bin_dir.mkdir()
    (bin_dir / "systemctl").write_text(f'#!/bin/sh\necho "$*" >> {log}\nexit $(cat {rc})\n')
    (bin_dir / "systemctl").chmod(0o755)
    rc.write_text("0")
    run = lambda *args: subprocess.run([str(BIN), *args], env=clean_env(LATTICE_UNIT_DIR=str(units), PATH=str(bin_dir)),
                                       capture_output=True, timeout=30).returncode
    calls = lambda: log.read_text().splitlines() if log.exists() else []
    return type("System", (), {"unit": units / UNIT, "bin": bin_dir, "rc": rc, "run": staticmethod(run),
                               "calls": staticmethod(calls)})


def exec_start(unit):
    return [line for line in unit.read_text().splitlines() if line.startswith("ExecStart=")]


@as_root
def test_install_writes_and_enables_once_and_remove_stops_disables_deletes(system):
    assert system.run("-sr", "-p", "4000") == 0
    assert exec_start(system.unit) == [f'ExecStart="{BIN}" -s -p 4000']
    assert "Type=notify" in system.unit.read_text().splitlines()
    if shutil.which("systemd-analyze"):  # systemd's own parser, where installed
        verify = subprocess.run(["systemd-analyze", "verify", str(system.unit)], capture_output=True, timeout=30)
        assert (verify.returncode, verify.stderr) == (0, b"")
    assert system.calls() == ["daemon-reload", f"enable {UNIT}"]

    written = system.unit.read_bytes()
    assert system.run("-sr", "-p", "5000") == 0
    assert system.unit.read_bytes() == written
    assert len(system.calls()) == 2

    assert system.run("-sd") == 0
    assert not system.unit.exists()
    assert system.calls()[2:] == [f"stop --no-block {UNIT}", f"disable {UNIT}", "daemon-reload"]
    assert system.run("-sd") == 1
    assert len(system.calls()) == 5

    assert system.run("-sr", "-p", "4000", "5000") == 0
    assert exec_start(system.unit) == [f'ExecStart="{BIN}" -s']


@as_root
@pytest.mark.parametrize("mode", ["absent", "failing"])
def test_install_and_remove_succeed_on_the_unit_file_when_systemctl_does_not(system, mode):
    (system.bin / "systemctl").unlink() if mode == "absent" else system.rc.write_text("1")
    assert system.run("-sr") == 0
    assert exec_start(system.unit) == [f'ExecStart="{BIN}" -s']
    assert system.run("-sd") == 0
    assert not system.unit.exists()


@as_root
@pytest.mark.skipif(shutil.which("setpriv") is None, reason="needs setpriv")
def test_install_and_remove_refuse_an_unprivileged_user(tmp_path):
    # A copy that the unprivileged user can reach and run.
    folder = pathlib.Path(tempfile.mkdtemp())
    try:
        folder.chmod(0o755)
        copy = folder / BIN.name
        shutil.copy(BIN, copy)
        units = folder / "units"
        units.mkdir(mode=0o777)
        for option in ("-sr", "-sd"):
            result = subprocess.run(
                ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", str(copy), option],
                env=clean_env(LATTICE_UNIT_DIR=str(units)), capture_output=True, timeout=30)
            assert (result.returncode, result.stderr) == (5, b"Not enough privileges to perform this operation.\n")
            assert list(units.iterdir()) == []
    finally:
        shutil.rmtree(folder)
