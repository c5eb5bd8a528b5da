"""Load on two virtual adapters at once: every channel streams checksummed
frames both ways with several writer and reader threads, while other threads
open and close a channel, change baud rates and query the adapters. Nothing may
be lost, duplicated, reordered or malformed, and nothing may be left behind."""

import random
import struct
import threading
import time
import zlib

import pytest

import ozu_qlix
from conftest import assert_released, close_registered


# 31-byte frames: two fill one 62-byte packet exactly, so packets of writers
# that share a channel interleave on the wire without tearing a frame.
FRAME = struct.Struct(">BBI21sI")  # channel index, writer, sequence, payload, crc32
assert FRAME.size == 31


def make_frame(index, writer, seq, rng):
    body = struct.pack(">BBI21s", index, writer, seq, rng.randbytes(21))
    return body + struct.pack(">I", zlib.crc32(body))


def frames_by_writer(index, stream):
    """The frames of a channel's wire stream, per writer; checks each one is whole and correct."""
    assert len(stream) % FRAME.size == 0, "a frame was torn"
    per_writer = {}
    for at in range(0, len(stream), FRAME.size):
        raw = stream[at : at + FRAME.size]
        got_index, writer, seq, _, crc = FRAME.unpack(raw)
        assert (got_index, crc) == (index, zlib.crc32(raw[:-4])), "corrupt frame at %d" % at
        per_writer.setdefault(writer, []).append(raw)
    return per_writer


def _common_prefix(a, ai, b, bi, window=4096):
    """Length of the common run of a[ai:] and b[bi:], looked for within `window` bytes."""
    n = min(len(a) - ai, len(b) - bi, window)
    if a[ai : ai + n] == b[bi : bi + n]:
        return n
    lo, hi = 0, n
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a[ai + lo : ai + mid] == b[bi + lo : bi + mid]:
            lo = mid
        else:
            hi = mid
    return lo


def interleaves(stream, parts):
    """True when `parts` split `stream` between them: every byte in exactly one
    part, each part holding its bytes in stream order (what several readers of
    one queue must see). Depth-first over the choice points, each state once."""
    if sum(map(len, parts)) != len(stream):
        return False
    seen = set()
    todo = [(0, (0,) * len(parts))]
    while todo:
        i, pos = todo.pop()
        pos = list(pos)
        while i < len(stream):
            takers = [r for r, p in enumerate(parts) if pos[r] < len(p) and p[pos[r]] == stream[i]]
            if len(takers) != 1:
                state = (i, tuple(pos))
                if takers and state not in seen:
                    seen.add(state)
                    for r in takers:
                        todo.append((i + 1, tuple(p + (k == r) for k, p in enumerate(pos))))
                break
            # One reader can take this byte: it takes the whole run up to the
            # next byte another reader could take as well.
            r = takers[0]
            stop = i + _common_prefix(parts[r], pos[r], stream, i)
            for s, p in enumerate(parts):
                if s != r and pos[s] < len(p):
                    found = stream.find(p[pos[s]], i + 1, stop)
                    if found != -1:
                        stop = found
            pos[r] += stop - i
            i = stop
        else:
            return True
    return False


@pytest.mark.parametrize(
    "stream, parts, expected",
    [
        (b"abcdef", [b"abcdef", b""], True),
        (b"abcdef", [b"ace", b"bdf"], True),
        (b"aaab", [b"ab", b"aa"], True),  # needs backtracking at the tied 'a's
        (b"abcdef", [b"acb", b"def"], False),  # reordered inside one reader
        (b"abcdef", [b"abc", b"cdef"], False),  # duplicated byte
        (b"abcdef", [b"abc", b"df"], False),  # lost byte
    ],
)
def test_interleaving_check(stream, parts, expected):
    assert interleaves(stream, parts) is expected


STREAM_SECONDS = 6
WRITERS = READERS = 2
CHANNELS = 6  # channels 1-4 stream, 5 is opened and closed, 6 changes rate
STREAMING = range(1, 5)
# Inbound bytes an adapter may hold before writers wait. A firmware reply
# queues behind them and must reach the host within a query's 0.5 s, also on
# a slow host (under wine: 300 to 1000 reads a second with this load).
BACKLOG = 2048
RATES = [1200, 9600, 57600, 115200, 921600]


@pytest.mark.slow
def test_two_adapters_under_load(sim, watchdog):
    adapters = [
        sim.add_adapter("LOADA1", channels=CHANNELS, endpoint="interrupt"),
        sim.add_adapter("LOADB2", channels=CHANNELS, endpoint="bulk"),
    ]
    ports = [
        (a, ch, ozu_qlix.Serial("QLIX%sS%d" % (a.serial, ch), 115200, timeout=0.05))
        for a in adapters
        for ch in STREAMING
    ]
    failures, stop, drain = [], threading.Event(), threading.Event()
    sent = {(i, w): [] for i in range(len(ports)) for w in range(WRITERS)}
    got = {(i, r): [] for i in range(len(ports)) for r in range(READERS)}
    expected_len = {}
    read_size = {key: 37 + 200 * key[1] for key in got}  # readers of one channel ask for different sizes
    churn = {"opened": 0, "rates": 0, "echoes": 0}

    def guarded(fn):
        def run(*args):
            try:
                fn(*args)
            except BaseException as exc:  # reported by the test thread
                failures.append((fn.__name__, args, repr(exc)))
                stop.set()

        return run

    @guarded
    def writer(i, w):
        rng, seq, (adapter, _, port) = random.Random(i * 10 + w), 0, ports[i]
        while not stop.is_set():
            # Flow control, as a serial line gives it: a bulk endpoint takes
            # data far faster than one reader thread can sort it.
            while adapter.pending > BACKLOG and not stop.is_set():
                time.sleep(0.001)
            n = rng.randint(1, 8)
            chunk = b"".join(make_frame(i, w, seq + k, rng) for k in range(n))
            assert port.write(chunk) == len(chunk)
            sent[i, w].append(chunk)
            seq += n

    @guarded
    def reader(i, r):
        port, out = ports[i][2], got[i, r]
        while True:
            data = port.read(read_size[i, r])
            if data:
                out.append(data)
            elif drain.is_set():
                total = sum(len(b) for k in range(READERS) for b in got[i, k])
                if total >= expected_len.get(i, 0) or stop.is_set():
                    return

    @guarded
    def open_close(adapter):
        n = 0
        while not stop.is_set():
            with ozu_qlix.Serial("QLIX%sS5" % adapter.serial, 19200, timeout=2) as port:
                line = b"open-close %d\n" % n
                port.write(line)
                assert port.read_until() == line
            n += 1
            churn["opened"] += 1

    @guarded
    def rate_changer(adapter):
        rng = random.Random(adapter.serial)
        with ozu_qlix.Serial("QLIX%sS6" % adapter.serial, 9600, timeout=2) as port:
            device = ozu_qlix.get_hid_device(adapter.serial)
            while not stop.is_set():
                rate = rng.choice(RATES)
                port.baudrate = rate
                assert port.baudrate == rate and adapter.channel_rate(6) == rate
                churn["rates"] += 1
                text = "ping %d" % churn["rates"]
                # A reply may miss the query's 0.5 s under this load (None); a wrong one never comes.
                assert device.echo(text) in (text, None)
                churn["echoes"] += 1

    threads = [threading.Thread(target=writer, args=(i, w), daemon=True) for i, w in sent]
    threads += [threading.Thread(target=reader, args=key, daemon=True) for key in got]
    churners = [
        threading.Thread(target=fn, args=(a,), daemon=True) for a in adapters for fn in (open_close, rate_changer)
    ]
    for t in threads + churners:
        t.start()
    stop.wait(STREAM_SECONDS)
    stop.set()
    writers = threads[: len(sent)]
    for t in writers + churners:
        t.join(15)
    assert not any(t.is_alive() for t in writers + churners), "a writer or churn thread is stuck"
    for i, (adapter, ch, _) in enumerate(ports):
        expected_len[i] = len(adapter.received(ch))
    stop.clear()
    drain.set()
    deadline = time.monotonic() + 20
    for t in threads[len(sent) :]:
        t.join(max(0.1, deadline - time.monotonic()))
    stuck = [t for t in threads if t.is_alive()]
    stop.set()
    for t in stuck:
        t.join(5)
    assert not stuck, "readers did not drain their channels"
    for _, _, port in ports:
        port.close()
    assert not failures, failures
    checked = time.monotonic()

    assert churn["opened"] >= 2 and churn["rates"] >= 2 and churn["echoes"] >= 2, churn
    total = 0
    for i, (adapter, ch, _) in enumerate(ports):
        wire = adapter.received(ch)
        per_writer = frames_by_writer(i, wire)
        for w in range(WRITERS):
            # Each writer's frames reached the wire once, whole and in its order.
            assert b"".join(per_writer.get(w, [])) == b"".join(sent[i, w])
        parts = [b"".join(got[i, r]) for r in range(READERS)]
        assert interleaves(wire, parts), "channel %s:%d lost, repeated or reordered input" % (adapter.serial, ch)
        total += len(wire)
    for adapter in adapters:
        assert adapter.malformed == 0 and adapter.dropped == 0
    assert total > 50_000
    print(
        "load: %d bytes each way on %d channels, %s; checked in %.1f s"
        % (total, len(ports), churn, time.monotonic() - checked)
    )
    assert_released(sim)
    close_registered()
