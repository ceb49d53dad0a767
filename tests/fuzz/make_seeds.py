#!/usr/bin/env python3
"""Writes the hand-made seed inputs of corpus/relay and corpus/pool (layouts in the fuzzers'
header comments). Run it again after changing a layout; libFuzzer adds its own finds elsewhere."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def write(fuzzer, name, data):
    path = os.path.join(HERE, "corpus", fuzzer, name)
    with open(path, "wb") as out:
        out.write(bytes(data))


def arrival(text, sender=0, show=True, repeat=None, nested=False):
    header = (sender & 0x0F) | (0x10 if show else 0) | (0x20 if repeat else 0) | (0x40 if nested else 0)
    data = [header]
    if repeat:
        data.append(repeat - 1)
    return data + [len(text)] + list(text)


def relay_seeds():
    # clients-1, leaving slots 1-8, leaving slots 9-10, flags
    write("relay", "broadcast", [2, 0, 0, 0] + arrival(b"hello", sender=1))
    write("relay", "private-messages",
          [3, 0b100, 0, 0] + arrival(b"@3hi") + arrival(b"@2hi there", sender=1)
          + arrival(b"@12x", sender=2) + arrival(b"@") + arrival(b"@a") + arrival(b"@0")
          + arrival(b"x@3", show=False) + arrival(b":ser:hi") + arrival(b""))
    write("relay", "long-text", [1, 0, 0, 0] + arrival(b"0123456789", repeat=200)
          + arrival(b"x" * 255, sender=1, repeat=5, show=False) + arrival(b"@2" + b"y" * 200, repeat=6)
          + arrival(b"z" * 128, repeat=8) + arrival(b"q" * 205, repeat=5))
    write("relay", "log-nearly-full", [4, 0, 0, 1] + sum((arrival(b"line %d" % i, sender=i) for i in range(6)), []))
    write("relay", "nested-arrivals", [5, 0, 0, 0] + arrival(b"outer", nested=True)
          + arrival(b"@2inner", sender=1, nested=True) + arrival(b"innermost", sender=2)
          + arrival(b"after", sender=3))
    write("relay", "ten-clients", [9, 0b10, 0b10, 0] + arrival(b"@10x", sender=9)
          + arrival(b"@9to nine") + arrival(b"\x00\r\n\xff bytes", sender=5))


# Pool steps: opcode, operands; "ctl" is the control byte each handler and yield reads.
REQUEST, REQUEST_ON_CLIENT, ARRIVAL, PEER_CLOSED, ERROR, PROGRESS, COMPLETE, SCRIPT, STOP_FAILING, \
    CLOSE_CLIENT, SHUTDOWN, START, STOP, SEND, SEND_TO_ALL, RAISE_ERRORS, MAX_CLIENTS = range(17)
CLOSE, LISTEN, ACCEPT, SEND_OP, FETCH, STATE, LOCAL_PORT, REMOTE = range(8)
CREATE = 8  # a script target that fails the next slot addition


def index(i):  # a host call's slot index operand
    return i + 1


def text(t):
    return [len(t)] + list(t)


def setup(limit=10, raise_errors=True):
    return [MAX_CLIENTS, limit + 1, RAISE_ERRORS, int(raise_errors), START, 0]


def connect(ctl=0):
    return [REQUEST, ctl]


def pool_seeds():
    write("pool", "lifecycle",
          setup() + connect() * 3 + [SEND_TO_ALL] + text(b"hi") + [0, 0, 0]
          + [ARRIVAL, 2] + text(b"abc") + [0] + [PEER_CLOSED, 2, 0] + connect()
          + [PROGRESS, 1, 0, 5, 0, 0, COMPLETE, 1, 0] + [CLOSE_CLIENT, index(1), 0]
          + [CLOSE_CLIENT, index(1), 0, CLOSE_CLIENT, index(0), CLOSE_CLIENT, index(-1)]
          + [SHUTDOWN, 0, 0, 0] + [START, 2, STOP, START, 3])
    write("pool", "failures-recorded",
          setup(raise_errors=False) + connect() * 2
          + [SCRIPT, 1, FETCH, 0, 0, 7, ARRIVAL, 1] + text(b"lost")
          + [SCRIPT, 2, SEND_OP, 1, 0, 9, SEND_TO_ALL] + text(b"x") + [0]
          + [SEND, index(2)] + text(b"y") + [STOP_FAILING, 2, SEND, index(2)] + text(b"z") + [0]
          + [SEND, 0xf2] + text(b"out of range") + [SEND, index(12)] + text(b"none")
          + [SCRIPT, CREATE, 0, 0, 0, 1] + connect() + connect() + [START, 0] + connect()
          + [ERROR, 1, 0x80, 0x01, ERROR, 0, 0x27, 0x40, SHUTDOWN])
    write("pool", "failures-raised",
          setup() + connect() * 3 + [SCRIPT, 3, ACCEPT, 0, 0, 3] + [PEER_CLOSED, 2, 0] + connect()
          + [SCRIPT, 1, CLOSE, 0, 0, 4, CLOSE_CLIENT, index(1)]
          + [SCRIPT, 3, STATE, 0, 0, 5, SEND_TO_ALL] + text(b"s") + [0]
          + [ERROR, 3, 0xff, 0xff, 0, SCRIPT, 0, LISTEN, 1, 0, 6, START, 2, STOP]
          + [SCRIPT, 0x81, REMOTE, 1, 0, 2, SHUTDOWN, 0, 0, 0])
    # Greeting yields: a request during slot 1's greeting takes slot 2, then slot 1 is cancelled.
    write("pool", "cancel-below-newer",
          setup() + [REQUEST, 0x11, SEND, index(1)] + text(b"greeting") + [0x01, REQUEST, 0]
          + [SEND_TO_ALL] + text(b"all") + [0] + connect() + [SHUTDOWN, 0, 0])
    # Nested greetings past the limit, then a shutdown from inside a broadcast's yield.
    write("pool", "burst-and-shutdown-in-yield",
          setup(limit=2) + [REQUEST, 0x01, SEND, index(1)] + text(b"g1") + [0x01, REQUEST, 0x01]
          + [SEND, index(2)] + text(b"g2") + [0x02, REQUEST, REQUEST]
          + [SEND_TO_ALL] + text(b"all") + [0x01, SHUTDOWN, 0x06, CLOSE_CLIENT, index(2), 0, 0]
          + [START, 0] + connect())
    # Handlers that fail: a PoolError let out of a handler, and a handler that throws.
    write("pool", "failing-handlers",
          setup() + connect() + [ARRIVAL, 1] + text(b"x") + [0x05, SEND, index(7)] + text(b"n")
          + [ARRIVAL, 1] + text(b"y") + [0x08] + [PEER_CLOSED, 1, 0x0c] + [REQUEST, 0x18])


if __name__ == "__main__":
    relay_seeds()
    pool_seeds()
