"""No byte is lost, duplicated or reordered while the reader thread, host readers,
resets and close run at the same time."""

import array
import collections
import random
import threading
import time
import zlib

import ozu_qlix
from fake_usb import FakeDevice

LIMIT = 60  # seconds; bounds every wait below


def stream(lines, seed):
    """Numbered, CRC-checked text lines."""
    rnd = random.Random(seed)
    bodies = [bytes(rnd.randrange(32, 127) for _ in range(rnd.randrange(50))) for _ in range(lines)]
    return b"".join(b"%d:%s:%08x\n" % (i, b, zlib.crc32(b)) for i, b in enumerate(bodies))


def chunks(data, seed, largest=62):
    rnd, i = random.Random(seed), 0
    while i < len(data):
        n = rnd.randrange(largest + 1)  # empty chunks too
        yield data[i : i + n]
        i += n


def consume(ch, total, out, seed, stop=lambda: False):
    """Reads with read_until and read(n) in turn until `total` bytes, close or `stop()`."""
    rnd, end = random.Random(seed), time.monotonic() + LIMIT
    try:
        while len(out) < total and time.monotonic() < end and not stop():
            out += (ch.read_until() if rnd.random() < 0.5 else ch.read(rnd.randrange(1, 100))).tobytes()
    except AssertionError as e:
        assert "已关闭" in str(e)


def produce(ch, data, seed, stop=None, pause=0.0):
    for i, c in enumerate(chunks(data, seed)):
        if stop is not None and stop.is_set():
            return
        ch.input_data(array.array("B", c))
        if pause and i % 50 == 0:
            time.sleep(pause)


def run(*targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(LIMIT)
    assert not any(t.is_alive() for t in threads), "a stream thread did not finish"


def test_stream_with_reader_thread():
    data, out, done = stream(3000, 1), bytearray(), threading.Event()
    ch = ozu_qlix._Channel(FakeDevice(), 1, 0.02)

    def poll_waiting():  # more contention on the queue lock
        while not done.wait(0.0005):
            assert ch.in_waiting >= 0

    run(lambda: produce(ch, data, 3), lambda: (consume(ch, len(data), out, 2), done.set()), poll_waiting)
    assert bytes(out) == data


class RecordingDeque(collections.deque):
    """The input queue, remembering every stretch a reset threw away."""

    discarded = []

    def clear(self):
        RecordingDeque.discarded.append(b"".join(bytes(c) for c in self))
        super().clear()


def test_stream_with_resets(monkeypatch):
    monkeypatch.setattr(ozu_qlix, "_deque", RecordingDeque)
    RecordingDeque.discarded = []
    data, out, produced = stream(2000, 4), bytearray(), threading.Event()
    ch = ozu_qlix._Channel(FakeDevice(), 1, 0.05)

    def resetter():
        while not produced.wait(0.001):
            ch.reset_input_buffer()

    run(
        lambda: (produce(ch, data, 5, pause=0.002), produced.set()),
        resetter,
        lambda: consume(ch, len(data), out, 6, produced.is_set),
    )
    while ch.in_waiting:  # what the last reset left
        out += ch.read(len(data)).tobytes()
    assert RecordingDeque.discarded and len(out) + sum(map(len, RecordingDeque.discarded)) == len(data)
    rest = iter(data)  # what was read is the stream with whole stretches cut out, in order
    assert all(b in rest for b in out) and all(d in data for d in RecordingDeque.discarded)


def test_close_while_streaming():
    data, out, stop = stream(3000, 7), bytearray(), threading.Event()
    ch = ozu_qlix._Channel(FakeDevice(), 1, 0.02)
    queue = ch._Channel__in_deque

    def closer():
        end = time.monotonic() + LIMIT
        while len(out) < len(data) // 3 and time.monotonic() < end:
            time.sleep(0.001)
        ch.close()
        stop.set()

    run(lambda: produce(ch, data, 8, stop), lambda: consume(ch, len(data), out, 9), closer)
    delivered = bytes(out) + b"".join(bytes(c) for c in queue)  # read, or dropped by close
    assert 0 < len(out) < len(data) and delivered == data[: len(delivered)]


def test_loopback_through_adapter(make_device):
    ch = make_device().open_channel(1, 115200, 0.05)
    data, out = stream(800, 10), bytearray()
    try:
        assert ch.baudrate == 115200
        run(lambda: [ch.write(c) for c in chunks(data, 11, largest=200)], lambda: consume(ch, len(data), out, 12))
    finally:
        ch.close()
    assert bytes(out) == data
