#!/usr/bin/env python3
"""Writes the dialogue fuzzer's seed corpus: a handful of tiny inputs, one per
kind of run, in the input layout described at the top of dialogue_fuzz.cpp."""
import os
import struct
import sys

QUERY_FAILS, READ_FAILS, LIMITED, PENDING_READ, PENDING_WRITE, LATE = 1, 2, 4, 8, 16, 32
REPEAT_3, REPEAT_15, REPEAT_ALL = 0x40, 0x80, 0xC0
AT_ONCE, AFTER, NEVER = 0, 1, 2


def word(value):
    return struct.pack(">H", value)


def literal(data):
    return bytes([1, len(data)]) + bytes(data)


def generated(length, pattern, seed):
    return bytes([3]) + word(length) + bytes([pattern, seed])


NOTHING = bytes([0])


def collection(control=0, payload=NOTHING, query_error=0, read_error=0, limit=None,
               read_completion=None, delivered_on_cancel=0, write_completion=None, late=None):
    out = bytes([control])
    if control & QUERY_FAILS:
        out += bytes([query_error])
    if control & READ_FAILS:
        out += bytes([read_error])
    if control & LIMITED:
        out += word(limit)
    if control & PENDING_READ:
        out += bytes(read_completion) + word(delivered_on_cancel)
    if control & PENDING_WRITE:
        out += bytes(write_completion)
    out += payload
    if control & LATE:
        out += late[0] + word(late[1])
    return out


def seeds():
    yield "silent", bytes([0])
    yield "talking", (bytes([0]) + collection(payload=literal([6]))
                      + collection(payload=literal(b"SIM-42\r"))
                      + collection(payload=literal(b"V 1.0\r\n"))
                      + collection(payload=literal([6]))
                      + collection(payload=literal(range(16)))
                      + collection(payload=literal([6, 0xA0, 0xFF])))
    yield "overflow", bytes([0]) + collection(payload=generated(9000, 2, 7)) + collection()
    yield "acks_everywhere", bytes([0]) + collection(REPEAT_ALL, literal([6]))
    yield "late_halves", bytes([0]) + collection(REPEAT_15 | LATE, literal(b"ab"), late=(literal(b"cd"), 150))
    yield "long_text", bytes([0]) + collection() + collection(payload=literal(b"A" * 30 + b"\x7f\x80"))
    yield "failures", (bytes([0]) + collection(QUERY_FAILS, literal([6]), query_error=0)
                       + collection(READ_FAILS, literal(b"XY"), read_error=1)
                       + collection(LIMITED, literal(b"abcdef"), limit=2)
                       + collection(LIMITED, NOTHING, limit=0))
    yield "pending", (bytes([0x20, AFTER, 150]) + collection(PENDING_READ, literal([6, 1, 2]),
                                                              read_completion=[NEVER, 0], delivered_on_cancel=1)
                      + collection(PENDING_READ | PENDING_WRITE, literal(b"abc"), read_completion=[AFTER, 40],
                                   write_completion=[NEVER, 0])
                      + collection(PENDING_READ | LATE, literal(b"late"), read_completion=[AFTER, 120],
                                   late=(literal([6, 6]), 300)))
    yield "flooded", bytes([0]) + collection(REPEAT_ALL, generated(10000, 2, 3))
    yield "absent", bytes([0x0F])
    yield "device_leaves", bytes([0x10]) + word(2500) + collection(payload=literal([6]))


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out_dir, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
