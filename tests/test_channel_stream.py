"""No byte is lost, duplicated or reordered while the reader thread, host readers,
resets and close run at the same time."""

import array
import collections
import random
import threading
import time
import zlib

import pytest

import ozu_qlix
from test_channel_io import FakeDevice

LIMIT = 60  # seconds; every wait below is bounded by it


def stream(lines, seed):
    """Numbered, CRC-checked text lines (no line feed inside a line)."""
    rnd = random.Random(seed)
    out = []
    for i in range(lines):
        body = bytes(rnd.randrange(32, 127) for _ in range(rnd.randrange(0, 50)))
        out.append(b"%d:%s:%08x\n" % (i, body, zlib.crc32(body)))
    return b"".join(out)


def chunks(data, seed, largest=62):
    rnd = random.Random(seed)
    i = 0
    while i < len(data):
        n = rnd.randrange(0, largest + 1)  # empty chunks too
        yield data[i:i + n]
        i += n


def consume(ch, total, out, seed):
    """Reads with read_until and read(n) in turn until `total` bytes arrived or the channel closed."""
    rnd = random.Random(seed)
    end = time.monotonic() + LIMIT
    try:
        while len(out) < total and time.monotonic() < end:
            if rnd.random() < 0.5:
                part = ch.read_until()
            else:
                part = ch.read(rnd.randrange(1, 100))
            out += part.tobytes()
    except AssertionError as e:
        if "已关闭" not in str(e):
            raise


def run(*targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(LIMIT)
    assert not any(t.is_alive() for t in threads), "a stream thread did not finish"


def produce(ch, data, seed, stop=None):
    for c in chunks(data, seed):
        if stop is not None and stop.is_set():
            return
        ch.input_data(array.array("B", c))
        if random.random() < 0.05:
            time.sleep(0)


def test_stream_with_fake_reader_thread():
    data = stream(3000, 1)
    ch = ozu_qlix._Channel(FakeDevice(), 1, 0.02)
    out = bytearray()
    done = threading.Event()

    def poll_waiting():  # extra contention on the queue lock
        while not done.is_set():
            assert ch.in_waiting >= 0

    def reader():
        consume(ch, len(data), out, 2)
        done.set()

    run(lambda: produce(ch, data, 3), reader, poll_waiting)
    assert bytes(out) == data


class RecordingDeque(collections.deque):
    """The input queue, remembering every byte a reset threw away."""

    discarded = []

    def clear(self):
        RecordingDeque.discarded.append(b"".join(bytes(c) for c in self))
        super().clear()


def test_stream_with_resets(monkeypatch):
    monkeypatch.setattr(ozu_qlix, "_deque", RecordingDeque)
    RecordingDeque.discarded = []
    data = stream(2000, 4)
    ch = ozu_qlix._Channel(FakeDevice(), 1, 0.05)
    out = bytearray()
    produced = threading.Event()

    def resetter():
        while not produced.is_set():
            ch.reset_input_buffer()
            time.sleep(0.001)

    def producer():
        produce(ch, data, 5)
        produced.set()

    def reader():
        produced.wait(LIMIT)
        while True:  # drain what the last reset left
            part = ch.read(1000)
            if not part:
                break
            out.extend(part)

    def early_reader():
        while not produced.is_set():
            out.extend(ch.read_until())

    run(producer, resetter, early_reader)
    run(reader)
    discarded = b"".join(RecordingDeque.discarded)
    assert len(out) + len(discarded) == len(data)
    # What was read is the stream with whole stretches cut out, in order.
    it = iter(data)
    assert all(b in it for b in out)
    for piece in RecordingDeque.discarded:
        assert piece in data


def test_close_while_streaming():
    data = stream(3000, 6)
    ch = ozu_qlix._Channel(FakeDevice(), 1, 0.02)
    out = bytearray()
    stop = threading.Event()
    queue = ch._Channel__in_deque

    def closer():
        end = time.monotonic() + LIMIT
        while len(out) < len(data) // 3 and time.monotonic() < end:
            time.sleep(0.001)
        ch.close()
        stop.set()

    run(lambda: produce(ch, data, 7, stop), lambda: consume(ch, len(data), out, 8), closer)
    left = b"".join(bytes(c) for c in queue)
    delivered = bytes(out) + left
    assert 0 < len(out) < len(data)
    assert delivered == data[:len(delivered)]
    with pytest.raises(AssertionError):
        ch.read(1)


@pytest.mark.skipif(not hasattr(ozu_qlix._Device, "open_channel"), reason="adapter link not available")
def test_loopback_through_adapter(make_device):
    device = make_device()
    ch = device.open_channel(1, 115200, 0.05)
    try:
        assert ch.baudrate == 115200 and ch.is_open
        data = stream(800, 9)
        out = bytearray()

        def writer():
            for c in chunks(data, 10, largest=200):
                assert ch.write(c) == len(c)

        run(writer, lambda: consume(ch, len(data), out, 11))
        assert bytes(out) == data
    finally:
        ch.close()
    assert not ch.is_open
