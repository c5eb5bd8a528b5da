"""The fast paths of channel writes, reads and in_waiting give exactly what the
general paths give: the same bytes, the same types, the same chunk semantics,
whether `_array` is the host's array type or a stand-in."""

import array
import collections

import pytest

import ozu_qlix
from fake_usb import RecordingDevice as Device


class ByteArray(array.array):
    """A stand-in for `_array`: packets and results must be made through it."""


@pytest.fixture(params=["host", "subclass"])
def array_type(request, monkeypatch):
    if request.param == "subclass":
        monkeypatch.setattr(ozu_qlix, "_array", ByteArray)
    return ozu_qlix._array


def expected_packets(channel, data):
    out = []
    for start in range(0, len(data), 62):
        piece = data[start : start + 62]
        out.append(bytes([channel, len(piece)]) + piece + bytes(62 - len(piece)))
    return out


@pytest.mark.parametrize(
    "data",
    [b"a", b"\x00" * 62, bytes(range(63)), bytes(range(256)) * 16 + b"x", bytearray(b"zz"), "héllo", [1, 2, 255]],
)
def test_write_packets(array_type, data):
    device = Device()
    channel = ozu_qlix._Channel(device, 7)
    raw = data.encode() if isinstance(data, str) else bytes(data)
    assert channel.write(data) == len(raw)
    assert [bytes(p) for p in device.packets] == expected_packets(7, raw)
    assert all(type(p) is array_type and p.typecode == "B" for p in device.packets)
    # Every packet is a fresh object: a device may keep them.
    assert len({id(p) for p in device.packets}) == len(device.packets)


def test_write_refuses_bad_values_at_their_packet(array_type):
    device = Device()
    channel = ozu_qlix._Channel(device, 1)
    with pytest.raises(OverflowError):
        channel.write([1] * 62 + [256])
    assert [bytes(p) for p in device.packets] == expected_packets(1, bytes([1] * 62))


@pytest.mark.parametrize(
    "chunks",
    [
        [b"abc", b"de"],
        [array.array("B", [i % 256] * (i % 5)) for i in range(300)],  # past one deque block
        [b"x"] * 100 + [[1, 2, 3]] + [bytearray(b"yz")] * 10,  # a chunk with a Python-level length
    ],
)
def test_in_waiting_counts_every_queued_byte(chunks):
    channel = ozu_qlix._Channel(Device(), 1)
    for chunk in chunks:
        channel.input_data(chunk)
    assert channel.in_waiting == sum(len(c) for c in chunks)


class Growing(list):
    """A chunk whose length, asked for, queues another chunk (as a careless
    subclass might): the sum still covers the chunks counted at the start."""

    def __init__(self, queue):
        super().__init__([9, 9])
        self.queue = queue

    def __len__(self):
        self.queue.append(b"late")
        return 2


def test_in_waiting_survives_a_queue_changed_by_a_chunk():
    channel = ozu_qlix._Channel(Device(), 1)
    for _ in range(100):
        channel.input_data(b"a")
    queue = channel._Channel__in_deque
    assert isinstance(queue, collections.deque)
    channel.input_data(Growing(queue))
    channel.input_data(b"bc")
    assert channel.in_waiting == 100 + 2 + 2


@pytest.mark.parametrize("timeout", [0.05, 1, float("nan"), 0, -1.0])
def test_reads_keep_chunk_semantics(array_type, timeout):
    channel = ozu_qlix._Channel(Device(), 1, timeout=timeout)
    first, second = array.array("B", [1, 2, 3]), array.array("B", [4, 5])
    channel.input_data(first)
    channel.input_data(second)
    assert channel._Channel__read(10) is first  # the front chunk itself when it fits
    channel.input_data(b"\n")
    result = channel.read(2)
    assert list(result) == [4, 5] and type(result) is array_type
    line = channel.read_until()
    assert bytes(line) == b"\n" and type(line) is array_type
    empty = channel._Channel__read(1) if timeout != 0.05 else channel.read(1)
    assert len(empty) == 0 and type(empty) is array_type
