#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: valid and nearly valid requests.

Run from anywhere: python3 fuzz/make_corpus.py. Rewrites fuzz/corpus/get_peers
and fuzz/corpus/framing (files of other names in them are left alone).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

SHARE20 = bytes(range(1, 21))
SHARE32 = bytes(range(0x40, 0x60))


def peer(letter):
    return (letter * 20).encode()


def bstr(b):
    return str(len(b)).encode() + b":" + b


def request(peer_id, share=SHARE20, lp=None, up=None, pv=None, la=None, la_list=None, pwl=None):
    body = b"d1:m9:get_peers"
    if la is not None:
        body += b"2:la" + bstr(la)
    if la_list is not None:
        body += b"7:la_list" + bstr(la_list)
    if lp is not None:
        body += b"2:lpi%de" % lp
    if up is not None:
        body += b"2:upi%de" % up
    if pv is not None:
        body += b"2:pvi%de" % pv
    body += b"4:peer" + bstr(peer_id) + b"5:share" + bstr(share)
    if pwl is not None:
        body += b"3:pwl" + bstr(b"".join(pwl))
    return body + b"e"


def frame(body):
    return struct.pack(">I", len(body)) + body


LA4 = bytes([127, 0, 0, 1, 0x1A, 0xE1])
LA_LIST = bstr(LA4) + bstr(bytes([127, 0, 0, 2, 0x1A, 0xE2]))

GET_PEERS = {
    "minimal": request(peer("a")),
    "typical": request(peer("a"), lp=51413, up=51414, pv=3, la=LA4, la_list=LA_LIST),
    "share32": request(peer("a"), share=SHARE32, lp=70000),
    "pwl_named": request(peer("a"), pwl=[peer("A"), peer("B"), peer("C"), peer("a")]),
    "pwl_empty": b"d1:m9:get_peers4:peer20:" + peer("a") + b"5:share20:" + SHARE20 + b"3:pwl0:e",
    "reversed_keys": b"d5:share20:" + SHARE20 + b"4:peer20:" + peer("b") + b"2:lpi1e1:m9:get_peerse",
    "empty_dict": b"de",
    "only_m": b"d1:m9:get_peerse",
    "trailing_byte": request(peer("a")) + b"x",
    "negative_lp": b"d1:m9:get_peers2:lpi-1e4:peer20:" + peer("a") + b"5:share20:" + SHARE20 + b"e",
    "huge_la": b"d1:m9:get_peers2:la4294967295:abce",
    "share21": b"d1:m9:get_peers4:peer20:" + peer("a") + b"5:share21:" + bytes(21) + b"e",
    "la_leading_zero": b"d1:m9:get_peers2:la06:" + LA4 + b"7:la_list0:4:peer20:" + peer("c")
    + b"5:share20:" + SHARE20 + b"e",
    "repeated_keys": b"d1:m9:get_peers3:pwl20:" + peer("A") + b"2:lpi5e2:lpi6e3:pwl20:" + peer("B")
    + b"4:peer20:" + peer("a") + b"5:share20:" + SHARE20 + b"e",
    "m_peers": b"d1:m5:peers4:peer20:" + peer("a") + b"5:share20:" + SHARE20 + b"e",
}

# Framing input: 4 header bytes, the schedule, then the stream (see fuzz_framing.cpp).
WHOLE, ONE, THREE, SEVEN, SIXTEEN, SIXTY_ONE, TWO_FIFTY_SIX, HALF = range(8)
DRAIN_SOME, DRAIN_ALL, CLOSE = 0x20, 0x40, 0x80


def step(slot, chunk=WHOLE, flags=DRAIN_ALL):
    return slot | chunk << 2 | flags


def framing(slots, utp_mask, families, fail_mask, schedule, stream):
    header = bytes([(slots - 1) | utp_mask << 2, families, fail_mask, len(schedule)])
    assert len(schedule) < 32
    return header + bytes(schedule) + stream


def crowd(count, share=SHARE20, **fields):
    """One whole message per peer id, ids 'A', 'B', ... in turn."""
    return b"".join(frame(request(peer(chr(ord("A") + i)), share=share, **fields)) for i in range(count))


FRAMING = {
    "one_request": framing(1, 0, 0, 0, [], frame(request(peer("a"), lp=6881))),
    "two_in_one_read": framing(1, 0, 0, 0, [step(0, TWO_FIFTY_SIX)],
                               frame(request(peer("a"))) + frame(request(peer("b"), la=LA4))),
    "byte_by_byte": framing(1, 0, 0, 0, [step(0, ONE, 0)], frame(request(peer("a"), lp=1, up=2))),
    "empty_message_first": framing(1, 0, 0, 0, [step(0, ONE, 0)], b"\0\0\0\0" + frame(request(peer("a")))),
    "four_connections": framing(4, 0b1010, 0b01001000, 0,
                                [step(0), step(1), step(2), step(3, WHOLE, DRAIN_SOME)],
                                crowd(20, lp=6881, la=LA4)),
    "tcp_and_utp_same_peer": framing(2, 0b10, 0, 0,
                                     [step(0), step(1), step(0, WHOLE, DRAIN_ALL | CLOSE), step(1)],
                                     frame(request(peer("a"))) + frame(request(peer("a")))
                                     + frame(request(peer("b"))) + frame(request(peer("c")))),
    "two_ids_one_connection": framing(2, 0, 0, 0, [step(0), step(0), step(1), step(0, WHOLE, CLOSE)],
                                      frame(request(peer("a"))) + frame(request(peer("b")))
                                      + frame(request(peer("c"))) + frame(request(peer("d")))),
    "oversized_prefix": framing(1, 0, 0, 0, [step(0, SIXTEEN)],
                                frame(request(peer("a"))) + struct.pack(">I", 0x00100000) + b"d1:m9:get_peerse"),
    "random_source_fails": framing(2, 0, 0, 0b11111110, [step(0), step(1)], crowd(30)),
    "addresses_v6_and_none": framing(3, 0b010, 0b100001, 0, [step(0), step(1), step(2)],
                                     crowd(6, la=LA4, la_list=LA_LIST, up=7000)),
    "ring_fills": framing(2, 0, 0, 0, [step(0, WHOLE, 0), step(1, WHOLE, 0)],
                          crowd(8, la=b"x" * 1200)),
    "two_shares": framing(2, 0b01, 0, 0, [step(0), step(1), step(0, WHOLE, DRAIN_ALL | CLOSE)],
                          frame(request(peer("a"))) + frame(request(peer("a"), share=SHARE32))
                          + frame(request(peer("b"), share=SHARE32))),
    "garbage_between": framing(1, 0, 0, 0, [step(0, HALF, DRAIN_SOME), step(0, SEVEN)],
                               frame(b"de") + frame(b"d1:m5:peerse") + frame(request(peer("a")))
                               + frame(b"d4:peer3:abce") + frame(request(peer("b"), pwl=[peer("a")]))),
}


def write(folder, seeds):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("get_peers", GET_PEERS)
    write("framing", FRAMING)
