import sys; sys.path.insert(0, "/tmp/review")
from harness import *
PORT = int(sys.argv[1]); BIN = ASAN if sys.argv[2] == "asan" else REL
t = Tracker(PORT, BIN, extra=sys.argv[3:])
fails = []
def check(name, cond):
    print(("ok   " if cond else "FAIL ") + name, flush=True)
    if not cond: fails.append(name)
def served():
    c = Conn(PORT); s = nid(); c.send(get_peers(s, nid()))
    r = peers(c.recv_frame()); c.close(); return r[b"share"] == s
try:
    for variant in range(4):
        u = RawUtp(PORT); u.connect(); me = nid()
        # small window: the tracker can send little; keep sending requests (1 KB la each)
        n = 0
        blob = b"".join(get_peers(nid(), me, la=bstr(b"q" * 1000)) for _ in range(700))  # ~720 KB
        for i in range(0, len(blob), 1200):
            u.raw(utp_hdr(ST_DATA, u.sid, u.seq, u.ackno, wnd=[0, 200][variant % 2]) + blob[i:i+1200]); u.seq += 1
            n += 1
            if n % 40 == 0:
                time.sleep(0.03)
                # drain what arrives but do not ack (variant 0/1) or ack with window (2/3)
                try:
                    while True:
                        d, _ = u.u.recvfrom(70000)
                except socket.timeout: pass
                except BlockingIOError: pass
        types = [p["type"] for p in u.pump(0.5)]
        print("   variant", variant, "types seen", sorted(set(types)))
        if variant >= 2:
            # open the window and ack everything
            for _ in range(20):
                u.raw(utp_hdr(ST_STATE, u.sid, u.seq, u.ackno, wnd=1 << 20)); u.pump(0.1)
        u.reset() if variant % 2 else u.fin()
        u.pump(0.2)
        check("served after held-reply variant %d" % variant, served())
    time.sleep(1)
finally:
    rc = t.stop(); san = t.sanitizer()
    check("exit 0 (%s)" % rc, rc == 0); check("no sanitizer report", not san)
    print(san[:8000]); print("FAILS", fails)
