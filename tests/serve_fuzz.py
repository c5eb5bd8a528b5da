"""Grammar-aware cases for ozu-qlix-serve's input side, for tests/test_serve_hardening.py and
scripts/fuzz_serve.py.

A case is what an RFC 2217 client may send: data (0xFF doubled), Telnet commands, option
negotiation, COM-PORT subnegotiations and other options' subnegotiations, cut into pieces. After
each case the target channel must have received exactly the case's data bytes, no other channel
and not the control channel anything, and a round trip on another channel must still work."""

import random
import socket
import struct
import time

from conftest import wait_until

IAC, SB, SE, COM_PORT = 255, 250, 240, 44
COMMANDS = range(241, 250)  # NOP to GA: no data
NEGOTIATIONS = (251, 252, 253, 254)  # WILL, WONT, DO, DONT
RATES = (9600, 19200, 57600, 115200)
# COM-PORT requests a client sends, with the values they take (purge only of what the server received)
_COM_PORT = [
    (2, range(0, 9)),
    (3, range(0, 6)),
    (4, range(0, 4)),
    (5, range(0, 20)),
    (8, [None]),
    (9, [None]),
    (10, range(256)),
    (11, range(256)),
    (12, [1]),
]


def _escape(data: bytes) -> bytes:
    return data.replace(b"\xff", b"\xff\xff")


def _com_port(rng: random.Random) -> bytes:
    if rng.random() < 0.3:
        return bytes((1,)) + struct.pack("!I", rng.choice(RATES))  # SET-BAUDRATE
    if rng.random() < 0.1:
        return bytes((0,)) + bytes(rng.randrange(256) for _ in range(rng.randint(0, 20)))  # SIGNATURE
    command, values = rng.choice(_COM_PORT)
    value = rng.choice(values)
    return bytes((command,)) if value is None else bytes((command, value))


def make_case(rng: random.Random):
    """(bytes on the wire, data bytes the channel must receive)."""
    wire, data = bytearray(), bytearray()
    for _ in range(rng.randint(1, 12)):
        kind = rng.randrange(6)
        if kind == 0:
            chunk = bytes(rng.randrange(255) for _ in range(rng.randint(1, 64)))
            wire += chunk
            data += chunk
        elif kind == 1:
            wire += b"\xff\xff"
            data += b"\xff"
        elif kind == 2:
            wire += bytes((IAC, rng.choice(COMMANDS)))
        elif kind == 3:
            wire += bytes((IAC, rng.choice(NEGOTIATIONS), rng.choice((0, 1, 3, COM_PORT, rng.randrange(256)))))
        elif kind == 4:
            wire += bytes((IAC, SB, COM_PORT)) + _escape(_com_port(rng)) + bytes((IAC, SE))
        else:
            option = rng.choice([o for o in range(255) if o != COM_PORT])
            payload = bytes(rng.randrange(256) for _ in range(rng.randint(0, 30)))
            wire += bytes((IAC, SB, option)) + _escape(payload) + bytes((IAC, SE))
    return bytes(wire), bytes(data)


def _pieces(rng: random.Random, wire: bytes):
    cuts = sorted(rng.sample(range(1, len(wire)), min(len(wire) - 1, rng.randint(0, 3)))) if len(wire) > 1 else []
    edges = [0, *cuts, len(wire)]
    return [wire[a:b] for a, b in zip(edges, edges[1:])]


def run(adapter, target, other, idle, rng: random.Random, count: int, stop_at: float = float("inf")):
    """Runs up to `count` cases against channel 1's TCP port `target` (channel 2's raw round
    trips on `other`, channel 3 untouched); `idle()` tells the target has no client left.
    Returns (cases run, failures as texts)."""
    failures = []
    control = adapter.commands(0)
    adapter.clear_received(1)
    adapter.clear_received(2)
    with socket.create_connection(("127.0.0.1", other), timeout=10) as witness:
        for number in range(count):
            if time.monotonic() > stop_at:
                return number, failures
            wire, data = make_case(rng)
            with socket.create_connection(("127.0.0.1", target), timeout=10) as sock:
                for piece in _pieces(rng, wire):
                    sock.sendall(piece)
                    time.sleep(0.0005)
                wait_until(lambda: len(adapter.received(1)) >= len(data), interval=0.002)
            wait_until(idle, interval=0.002)
            got = adapter.received(1)
            if got != data:
                failures.append("case %d %s: channel received %s, not %s" % (number, wire.hex(), got.hex(), data.hex()))
            ping = b"ping %06d\n" % number
            witness.sendall(ping)
            echo = b""
            while len(echo) < len(ping):
                part = witness.recv(len(ping) - len(echo))
                if not part:
                    break
                echo += part
            if echo != ping or adapter.received(2) != ping:
                failures.append("case %d: round trip on another channel gave %r" % (number, echo))
            if adapter.received(3) or adapter.commands(0) != control:
                failures.append("case %d: another channel or the control channel received something" % number)
            adapter.clear_received(1)
            adapter.clear_received(2)
            if failures:
                return number + 1, failures
    return count, failures
