#!/usr/bin/python3
"""Mutation check of the test suite: applies one known fault at a time to
src/, rebuilds, runs the fast test steps in order and records which step
noticed it. The tree is restored after every mutant.

  scripts/mutate.py                    every mutant, every fast step
  scripts/mutate.py --list             the mutants and where each one applies
  scripts/mutate.py --only a,b --steps unit,port --out result.txt

Builds go to build/mutate (native) and build/mutate-fuzz (clang, libFuzzer).
Faults are found by their text anywhere under src/ (whitespace-insensitive),
so they survive files moving; a fault whose text is gone or no longer unique
is reported as such instead of being run.
"""

import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
PY = "/usr/bin/python3"

# (name, old text, new text[, file hint]). The hint only breaks a tie between
# several matches: the match in the file whose path contains it wins.
MUTANTS = [
    # Bytes and order on the wire.
    ("enc_tcp_list_key", 'AppendToken("8:tcp_list")', 'AppendToken("8:tcp_lsit")', "peers_encoder"),
    ("enc_peer_id_key", 'AppendToken("1:p20:")', 'AppendToken("1:i20:")', "peers_encoder"),
    ("enc_utp_list_gets_tcp", "AddressForm::UtpItem, s->Kind())", "AddressForm::TcpItem, s->Kind())"),
    ("enc_time_before_share",
     'out.AppendToken("5:share"); out.WriteString(request.share, request.shareLength); '
     'out.AppendToken("4:time"); out.WriteInteger(static_cast<std::uint64_t>(time));',
     'out.AppendToken("4:time"); out.WriteInteger(static_cast<std::uint64_t>(time)); '
     'out.AppendToken("5:share"); out.WriteString(request.share, request.shareLength);'),
    ("enc_v4_port_bytes", "std::memcpy(c.bytes + 4, bytes + 2, 2);", "std::memcpy(c.bytes + 4, bytes + 0, 2);"),
    ("enc_v4_addr_bytes", "std::memcpy(c.bytes, bytes + 4, 4);", "std::memcpy(c.bytes, bytes + 8, 4);"),
    ("enc_v6_addr_bytes", "std::memcpy(c.bytes, bytes + 8, 16);", "std::memcpy(c.bytes, bytes + 4, 16);"),
    ("enc_port_little_endian", "static_cast<std::uint64_t>(be[0]) << 8 | be[1]",
     "static_cast<std::uint64_t>(be[1]) << 8 | be[0]"),
    ("reply_length_counts_prefix", "static_cast<std::uint32_t>(used - 4)", "static_cast<std::uint32_t>(used)"),
    # Framing.
    ("frame_prefix_little_endian", "static_cast<std::uint32_t>(p[2]) << 8 | p[3]",
     "static_cast<std::uint32_t>(p[3]) << 8 | p[2]"),
    ("frame_four_bytes_enough", "while (size - offset > 4", "while (size - offset >= 4"),
    ("frame_body_bound_ge", "body > kMaxMessageBody", "body >= kMaxMessageBody"),
    ("frame_total_short", "static_cast<std::uint64_t>(body) + 4;", "static_cast<std::uint64_t>(body) + 3;"),
    ("frame_ignores_held_reply", "offset > 4 && !InputPaused(connection)", "offset > 4"),
    # Request decoder.
    ("dec_string_reaching_end", "length > end - pos", "length >= end - pos"),
    ("dec_length_wrap_accepted", "if (overflowed || length > end - pos)", "if (length > end - pos)"),
    ("dec_share_any_length", "(value.length != 20 && value.length != 32)", "(value.length < 20 || value.length > 32)"),
    ("dec_peer_longer_ok", "value.length != 20) return false;", "value.length < 20) return false;"),
    ("dec_pwl_multiple_of_10", "value.length % 20 != 0", "value.length % 10 != 0"),
    ("dec_no_final_e", "r.pos == last && message[last] == 'e'", "r.pos == last"),
    # Registry: cap, exclusion, introduction, unbinding.
    ("cap_16_peers", "kMaxListed = 15", "kMaxListed = 16"),
    ("cap_pwl_sampled_at_15", "if (n <= kMaxListed) { for (auto& c : candidates)",
     "if (n < kMaxListed) { for (auto& c : candidates)"),
    ("requester_listed_small_share", "if (!(records[i].id == requester.id)) selected.push_back(&records.At(i));",
     "selected.push_back(&records.At(i));"),
    ("requester_listed_sampled", "if (!(candidate->id == requester.id)) selected.push_back(candidate);",
     "selected.push_back(candidate);"),
    ("no_introduction", "if (target.Send(data, length))", "if (static_cast<void>(target), false)"),
    ("close_keeps_binding", "tracker.registry.UnbindConnection(connection);", ""),
    ("failed_draw_keeps_new_record", "if (existing == nullptr) registry.WithdrawNewPeer(request, share);", ""),
    # Registry bytes of a refresh: charged once, at its change.
    ("refresh_charge_dropped", "RegistrationCost(request, existing); cost != 0) {",
     "RegistrationCost(request, existing); cost != 0 && existing == nullptr) {"),
    ("refresh_charge_doubled", "c->registryBytes += cost;", "c->registryBytes += existing != nullptr ? 2 * cost : cost;"),
    ("idle_expiry_31s", "now - lastActivity > 30", "now - lastActivity > 31"),
    # Lifetimes: sweep and completion port.
    ("sweep_ignores_transfers", "if (!s->closed || s->TransfersInFlight() != 0)", "if (!s->closed)"),
    ("completion_not_counted", "--transfersInFlight; const bool isRead", "const bool isRead", "tcp_socket"),
    ("port_close_keeps_parked_send", "Abort(*a, a->parkedWrite); *a = Attachment{};", "*a = Attachment{};"),
    ("port_blocks_with_ready", "ready.empty() ? timeoutMs : 0", "timeoutMs"),
    # The io_uring backend: a socket closed while its transfers wait to be
    # submitted, and the end of stream a wait for input finds.
    ("uring_close_before_submission", "if (started) { closing.push_back(fd); } else { close(fd); }", "close(fd);"),
    ("uring_multishot_end_ignored", "a->multishot = Multishot::Off; if (result == 0)", "if (result == 0)"),
    ("port_take_ignores_end", "if (a != nullptr && a->drained && !a->ended) return",
     "if (a != nullptr && a->drained) return"),
    # Input: only a message cut short is kept, the rest is handled where it lies.
    ("framing_drops_partial", "if (offset < length) connection.inbound.assign(data + offset, data + length);", ""),
    # Outbound ring and datagram send queue.
    ("ring_wrap_short_first", "std::size_t first = static_cast<std::size_t>(capacity - tail);",
     "std::size_t first = static_cast<std::size_t>(capacity - tail - 1);"),
    ("ring_released_while_holding", "if (count != 0 || lent != nullptr || data == nullptr) return;",
     "if (data == nullptr) return;"),
    ("ring_growth_frees_lent_block", "if (data != lent) GiveBlock(cache, data, capacity);",
     "GiveBlock(cache, data, capacity);"),
    ("ring_max_exclusive", "newCapacity > kMaxCapacity", "newCapacity >= kMaxCapacity"),
    ("ring_full_contiguous_zero", "tail > head ? tail - head : capacity - head", "tail >= head ? tail - head : capacity - head"),
    ("sendq_keeps_sent_chunk", "if (bytes == 0 || front->sent >= front->length)", "if (bytes == 0 && front->sent >= front->length)"),
    ("sendq_early_completion_counted", "if (earlyCount > 0) {", "if (earlyCount > 1) {"),
    # uTP binding.
    ("utp_eof_ignored", "case UTP_STATE_EOF: CloseUnbound(s, a->socket, true);", "case UTP_STATE_EOF:"),
    ("utp_admission_ignored", "if (!loop.admission.Admit(loop.tracker, address)) {",
     "if (!loop.admission.Admit(loop.tracker, address) && false) {"),
    # Input: the one pump and the TCP connection's resumption after a held reply.
    ("pump_no_flush_after_release", "acceptable = FrameMessages(tracker, connection); connection.FlushOutput();",
     "acceptable = FrameMessages(tracker, connection);"),
    ("tcp_no_read_after_held_reply", "if (Follow(OnOutputRoom(loop->tracker, *this))) ReadOn();",
     "Follow(OnOutputRoom(loop->tracker, *this));"),
    ("utp_syn_never_shed", "if (now - oldest->acceptedAt >= kMinPendingAge) return false;", "return false;"),
    ("uring_close_keeps_queued_input", "while (a->queued != 0) DropFirst(*a);", ""),
    ("uring_multishot_wait_never_ends", "if (a.reading == nullptr || !a.readingWaits || !InputKnown(a)) return;",
     "return;"),
    # Accepting: the reserve spent on a client that is not there yet.
    ("accept_refuses_without_a_client", "outOfResources && platform::WaitForConnection(h, kExhaustedWaitMs)",
     "outOfResources"),
    # Limits.
    ("limit_per_address_gt", "count >= limits.maxConnectionsPerAddress", "count > limits.maxConnectionsPerAddress"),
    ("limit_peer_ids_gt", "registrations.size() >= limits.maxPeerIdsPerConnection",
     "registrations.size() > limits.maxPeerIdsPerConnection"),
    ("limit_pending_utp_ge", "q.count > limits.maxPendingUtpConnections", "q.count >= limits.maxPendingUtpConnections"),
    ("limit_option_zero_taken", "if (value >= 1) field", "if (value >= 0) field"),
    ("admission_total_not_released", "--total;", "total += 0;"),
    # Statistics, report and log format, exit code.
    ("stats_get_peers_as_sent", "++getPeersPeriod[kind];", "++peersSentPeriod[kind];"),
    ("metrics_closed_from_opened", '"lattice_connections_closed_total", s.unregisteredTotal',
     '"lattice_connections_closed_total", s.registeredTotal'),
    ("metrics_path_prefix", 'if (request.path != "/metrics")', 'if (request.path.substr(0, 8) != "/metrics")'),
    ("stats_utp_registered_as_tcp", "loop->tracker.stats.CountRegistered(Utp);",
     "loop->tracker.stats.CountRegistered(Tcp);"),
    ("report_format", '"last %d seconds:\\n"', '"last %d second:\\n"'),
    ("log_stamp_format", 'strftime(buffer, size, "%Y-%m-%d %H:%M:%S"', 'strftime(buffer, size, "%Y-%m-%d %H:%M"'),
    ("exit_code_bind_failure", "StopLogWriter(kLogDrainTime); return kExitNoSockets;",
     "StopLogWriter(kLogDrainTime); return 1;"),
    ("exit_code_loop_failure", "return loopWorked ? kExitStopped : kExitLoopFailed;", "return kExitStopped;"),
    # Cluster mode (the "cluster" step: a real Redis Cluster on loopback).
    ("cluster_partial_map_steady", "if (!mapKnown || lastCovered < kSlotCount) return true;",
     "if (!mapKnown) return true;"),
    ("cluster_moved_not_followed", "slotOwner[redirect.slot] = &target; target.primary = true;",
     "target.primary = true;"),
    ("cluster_stale_epoch_delivered",
     "Connection* target = epoch == self->epoch ? self->tokens.Find(token) : nullptr;",
     "Connection* target = self->tokens.Find(token);"),
    ("cluster_close_no_unbind", "if (connection.tokenIndex == Connection::kNoToken) return;", "return;",
     "cluster_node"),
    ("cluster_quiet_never_touched",
     "if (record == nullptr || record->sharedAt == 0 || now - record->sharedAt < quietSeconds) return true;",
     "return true;"),
    ("cluster_missing_library_kept", 'if (text.find("Function not found") == std::string_view::npos) return;',
     "return;"),
    ("cluster_dead_node_listed", "node.dead = !isSelf && s.ageMs > baseline + kDeadAfterMs;", "node.dead = false;"),
    ("lua_requester_listed", "if id ~= requester and (taken == nil or not taken[id]) then",
     "if (taken == nil or not taken[id]) then"),
    ("lua_bound_ignored", "if count > own_before and connections > bound then", "if false then"),
    ("lua_changed_refresh_kept", "and r[4] == la and r[5] == la_list then", "then"),
]

STEPS = ["unit", "port", "fuzz", "blackbox", "cluster"]
TIMEOUTS = {"unit": 180, "port": 240, "fuzz": 120, "blackbox": 900, "cluster": 900}


class Stop(Exception):
    pass


def on_term(signum, frame):
    raise Stop("signal %d" % signum)


def log(msg):
    print(msg, flush=True)


def pattern_of(old):
    return re.compile(r"\s+".join(re.escape(part) for part in old.split()))


def source_files():
    return sorted(p for p in (ROOT / "src").rglob("*") if p.is_file() and p.suffix in (".cpp", ".h", ".hpp", ".c", ".lua"))


def locate(mutant):
    """(path, match) or (None, 'not-found'|'ambiguous')."""
    old, hint = mutant[1], (mutant[3] if len(mutant) > 3 else None)
    rx = pattern_of(old)
    hits = []
    for path in source_files():
        text = path.read_text(encoding="utf-8", errors="surrogateescape")
        hits += [(path, m) for m in rx.finditer(text)]
    if len(hits) > 1 and hint:
        hits = [h for h in hits if hint in str(h[0].relative_to(ROOT))]
    if not hits:
        return None, "not-found"
    if len(hits) > 1:
        return None, "ambiguous"
    return hits[0]


def run(cmd, log_file, timeout, env=None, cwd=ROOT):
    """Runs cmd in its own process group; returns the exit code, or None on timeout."""
    with open(log_file, "ab") as out:
        out.write(("\n$ %s\n" % " ".join(map(str, cmd))).encode())
        out.flush()
        proc = subprocess.Popen(list(map(str, cmd)), stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                cwd=cwd, env=env, start_new_session=True)
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            # SIGINT first, so pytest's teardown stops the trackers it started.
            os.killpg(proc.pid, signal.SIGINT)
            try:
                proc.wait(20)
            except subprocess.TimeoutExpired:
                pass
            return None
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()


def kill_strays(binaries):
    """Trackers the black-box tests start get sessions of their own; any of
    ours still running after a step (a hung or killed run) is ended here."""
    wanted = {str(b) for b in binaries}
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            exe = os.readlink(entry / "exe")
        except OSError:
            continue
        if exe.removesuffix(" (deleted)") in wanted:
            try:
                os.kill(int(entry.name), signal.SIGKILL)
            except OSError:
                pass


class Runner:
    def __init__(self, args):
        self.args = args
        self.native = ROOT / "build" / "mutate"
        self.fuzz = ROOT / "build" / "mutate-fuzz"
        self.log_file = pathlib.Path(args.log).resolve() if args.log else ROOT / "build" / "mutate.log"
        self.fuzz_targets = sorted(p.stem for p in (ROOT / "fuzz").glob("fuzz_*.cpp"))
        self.tracker = self.native / "corvane-lattice-tracker"
        self.utp_client = self.native / "tools" / "utp_client" / "utp_client"
        downloads = ROOT / "build" / "_downloads"
        if not any(downloads.glob("*.tgz")):
            # A worktree without its own copy uses the main tree's tarball.
            common = subprocess.run(["git", "rev-parse", "--path-format=absolute", "--git-common-dir"], cwd=ROOT,
                                    capture_output=True, text=True).stdout.strip()
            if common:
                downloads = pathlib.Path(common).parent / "build" / "_downloads"
        self.downloads = downloads

    def configure(self):
        common = ["-G", "Ninja", "-DLIBUTP_DOWNLOAD_DIR=%s" % self.downloads, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
        dirs = [(self.native, ["-DLATTICE_BENCH=OFF"])]
        if "fuzz" in self.args.steps:
            dirs.append((self.fuzz, ["-DCMAKE_C_COMPILER=clang", "-DCMAKE_CXX_COMPILER=clang++", "-DLATTICE_FUZZ=ON",
                                     "-DLATTICE_TESTS=OFF", "-DLATTICE_BENCH=OFF"]))
        for d, extra in dirs:
            if not (d / "build.ninja").exists():
                log("configuring %s" % d.relative_to(ROOT))
                if run(["cmake", "-S", ROOT, "-B", d] + common + extra, self.log_file, 600) != 0:
                    sys.exit("configure of %s failed; see %s" % (d, self.log_file))

    def targets(self, step):
        return {"unit": (self.native, ["tests/unit_tests"]),
                "port": (self.native, ["tests/port_tests"]),
                "fuzz": (self.fuzz, self.fuzz_targets),
                "blackbox": (self.native, ["corvane-lattice-tracker", "utp_client"]),
                "cluster": (self.native, ["tests/engine_tests", "corvane-lattice-tracker", "utp_client"])}[step]

    def build(self, step):
        d, targets = self.targets(step)
        return run(["ninja", "-C", d, "-j", str(os.cpu_count() or 2)] + targets, self.log_file, 1800) == 0

    def test(self, step):
        """True when the step passed; None when it timed out."""
        t = TIMEOUTS[step]
        if step == "unit":
            rc = run([self.native / "tests" / "unit_tests", "--gtest_brief=1"], self.log_file, t)
            return None if rc is None else rc == 0
        if step == "port":
            # The port contract on each Linux backend, as the test command runs it.
            for backend in ("io_uring", "epoll"):
                rc = run(["env", "LATTICE_IO_BACKEND=" + backend, self.native / "tests" / "port_tests",
                          "--gtest_brief=1"], self.log_file, t)
                if rc is None or rc != 0:
                    return None if rc is None else False
            return True
        if step == "fuzz":
            env = dict(os.environ, ASAN_OPTIONS="abort_on_error=1:detect_leaks=1",
                       UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
            for target in self.fuzz_targets:
                corpus = sorted(p for p in (ROOT / "fuzz" / "corpus" / target[len("fuzz_"):]).glob("*") if p.is_file())
                with tempfile.TemporaryDirectory() as scratch:
                    # Replay only: given files, libFuzzer runs each once and stops.
                    rc = run([self.fuzz / "fuzz" / target, "-rss_limit_mb=2048", "-detect_leaks=1",
                              "-artifact_prefix=%s/" % scratch] + corpus, self.log_file, t, env=env)
                if rc is None:
                    return None
                if rc != 0:
                    return False
            return True
        if step == "cluster":
            # The engine client, then the function and three nodes; the
            # library is read from the (mutated) source tree.
            rc = run([self.native / "tests" / "engine_tests", "--gtest_brief=1"], self.log_file, t)
            if rc is None or rc != 0:
                return None if rc is None else False
            env = dict(os.environ, TRACKER_BIN=str(self.tracker), UTP_CLIENT=str(self.utp_client))
            try:
                rc = run([PY, "-m", "pytest", "-q", "-x", "tests/cluster"], self.log_file, t, env=env)
            finally:
                kill_strays([self.tracker, self.utp_client])
            return None if rc is None else rc == 0
        env = dict(os.environ, TRACKER_CMD=str(self.tracker), UTP_CLIENT=str(self.utp_client))
        try:
            rc = run([PY, "-m", "pytest", "-q", "-x", "tests/blackbox", "-m", "not load and not slow"],
                     self.log_file, t, env=env)
        finally:
            kill_strays([self.tracker, self.utp_client])
        return None if rc is None else rc == 0

    def run_steps(self):
        """(outcome, step) for the tree as it is now."""
        for step in self.args.steps:
            if not self.build(step):
                return "build-failed", step
            ok = self.test(step)
            if ok is None:
                return "killed", step + ":timeout"
            if not ok:
                return "killed", step
        return "survived", "-"

    def mutant(self, m):
        path, match = locate(m)
        if path is None:
            return match, "-"
        original = path.read_bytes()
        text = original.decode("utf-8", errors="surrogateescape")
        mutated = text[:match.start()] + m[2] + text[match.end():]
        try:
            path.write_bytes(mutated.encode("utf-8", errors="surrogateescape"))
            return self.run_steps()
        finally:
            path.write_bytes(original)


def src_clean():
    return subprocess.run(["git", "diff", "--quiet", "--", "src"], cwd=ROOT).returncode == 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", help="comma-separated mutant names")
    ap.add_argument("--list", action="store_true", help="list the mutants and where they apply")
    ap.add_argument("--steps", default=",".join(STEPS), help="comma-separated, in order, from: " + ",".join(STEPS))
    ap.add_argument("--out", help="write 'name outcome step' lines here")
    ap.add_argument("--log", help="build and test output (default build/mutate.log)")
    ap.add_argument("--baseline", action="store_true", help="first check that the unmutated tree passes the steps")
    args = ap.parse_args()
    args.steps = [s for s in args.steps.split(",") if s]
    if any(s not in STEPS for s in args.steps):
        ap.error("unknown step in --steps; choose from " + ",".join(STEPS))
    names = [m[0] for m in MUTANTS]
    if len(set(names)) != len(names):
        sys.exit("duplicate mutant names")
    chosen = MUTANTS
    if args.only:
        wanted = args.only.split(",")
        unknown = [w for w in wanted if w not in names]
        if unknown:
            ap.error("unknown mutant(s): " + ",".join(unknown))
        chosen = [m for m in MUTANTS if m[0] in wanted]

    if args.list:
        for m in chosen:
            path, match = locate(m)
            where = path.relative_to(ROOT) if path else match
            print("%-32s %s" % (m[0], where))
        return 0

    if not src_clean():
        sys.exit("src/ has uncommitted changes; refusing to mutate it")
    signal.signal(signal.SIGTERM, on_term)
    runner = Runner(args)
    runner.log_file.parent.mkdir(parents=True, exist_ok=True)
    log("log: %s" % runner.log_file)
    runner.configure()
    results = []
    start = time.monotonic()
    try:
        if args.baseline:
            outcome, step = runner.run_steps()
            if outcome != "survived":
                sys.exit("unmutated tree: %s at %s; see %s" % (outcome, step, runner.log_file))
            log("baseline passes")
        else:
            # Built once unmutated, so each mutant costs an incremental build.
            for step in args.steps:
                if not runner.build(step):
                    sys.exit("unmutated tree does not build (%s); see %s" % (step, runner.log_file))
        for i, m in enumerate(chosen, 1):
            t0 = time.monotonic()
            with open(runner.log_file, "a") as f:
                f.write("\n===== mutant %s\n" % m[0])
            outcome, step = runner.mutant(m)
            secs = time.monotonic() - t0
            results.append((m[0], outcome, step, secs))
            log("[%2d/%d] %-32s %-13s %-18s %4.0f s" % (i, len(chosen), m[0], outcome, step, secs))
    except (KeyboardInterrupt, Stop) as e:
        log("interrupted (%s); tree restored" % (e or "Ctrl-C"))
    finally:
        if not src_clean():
            log("WARNING: src/ differs from HEAD after the run")

    print()
    print("%-32s %-13s %-18s %6s" % ("mutant", "outcome", "step", "secs"))
    for name, outcome, step, secs in results:
        print("%-32s %-13s %-18s %6.0f" % (name, outcome, step, secs))
    if args.out:
        with open(args.out, "w") as f:
            for name, outcome, step, _ in results:
                f.write("%s %s %s\n" % (name, outcome, step))
    killed = sum(r[1] == "killed" for r in results)
    survived = sum(r[1] == "survived" for r in results)
    other = len(results) - killed - survived
    print("wall time: %.0f s" % (time.monotonic() - start))
    print("mutants: %d killed, %d survived, %d not applicable/build-failed" % (killed, survived, other))
    return 0 if len(results) == len(chosen) else 1


if __name__ == "__main__":
    sys.exit(main())
