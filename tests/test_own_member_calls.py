"""The module's calls to its own members run the members' bodies directly only
while the attribute is provably the module's own: instance attributes,
subclasses, members replaced on the class (also after the direct call has been
used) and stand-in clocks are honoured; results keep their types and bytes."""

import array
import time
import weakref

import pytest

import ozu_qlix
from conftest import wait_until
from fake_usb import FakeAdapter
from fake_usb import RecordingDevice as Device


def channel_with(*chunks, timeout=1.0, cls=None):
    channel = (cls or ozu_qlix._Channel)(Device(), 1, timeout=timeout)
    for chunk in chunks:
        channel.input_data(chunk)
    return channel


class Facade:
    """Serial's members on a given channel object, without an adapter."""

    def __init__(self, channel):
        self.port = ozu_qlix.Serial.__new__(ozu_qlix.Serial)
        self.port._Serial__handle = channel


def test_channel_read_follows_members_replaced_on_the_class(monkeypatch):
    channel = channel_with(b"ab", b"cd", b"ef")
    port = Facade(channel).port
    assert port.read(2) == b"ab"  # the direct call is in use now
    calls = []
    original = ozu_qlix._Channel.read
    monkeypatch.setattr(ozu_qlix._Channel, "read", lambda self, n: calls.append(n) or original(self, n))
    private = ozu_qlix._Channel._Channel__read
    monkeypatch.setattr(
        ozu_qlix._Channel, "_Channel__read", lambda self, n: calls.append(("inner", n)) or private(self, n)
    )
    assert port.read(2) == b"cd"
    assert calls == [2, ("inner", 2)]
    monkeypatch.undo()
    assert port.read(2) == b"ef" and calls == [2, ("inner", 2)]


@pytest.mark.parametrize("member", ["read", "write"])
def test_instance_attributes_come_first(member):
    channel = channel_with(b"xyz")
    port = Facade(channel).port
    port.read(1), port.write(b"q")
    seen = []
    setattr(channel, member, lambda *a: seen.append(a) or (array.array("B", b"!") if member == "read" else 5))
    result = getattr(port, member)(*((3,) if member == "read" else (b"data",)))
    assert seen == ([(3,)] if member == "read" else [(b"data",)])
    assert result == (b"!" if member == "read" else 5)
    delattr(channel, member)
    assert port.read(2) == b"yz"


class Slow(ozu_qlix._Channel):
    """A subclass whose timeout property and private read are its own."""

    reads = 0

    @property
    def timeout(self):
        return 0.05

    def _Channel__read(self, max_size):
        Slow.reads += 1
        return super()._Channel__read(max_size)


def test_subclass_members_are_called():
    channel = channel_with(b"abc", timeout=30, cls=Slow)
    Slow.reads = 0
    t0 = time.monotonic()
    assert bytes(channel.read(5)) == b"abc"  # waits the subclass's 0.05 s, not 30 s
    assert time.monotonic() - t0 < 10
    assert Slow.reads >= 2


@pytest.mark.parametrize("timeout", [0.05, 0])
def test_replaced_clock_is_called(monkeypatch, timeout):
    ticks = iter(range(100))
    calls = []

    def now():
        calls.append(1)
        return next(ticks)

    monkeypatch.setattr(ozu_qlix, "_now", now)
    monkeypatch.setattr(ozu_qlix, "_sleep", lambda s: None)
    channel = channel_with(b"a", timeout=timeout if timeout else 0.0)
    if timeout:
        # Deadline 0 + 0.05: the second clock reading (1) is past it.
        assert bytes(channel.read(4)) == b"a" and len(calls) == 2
    else:
        # No time limit: the clock is still read at every wait, as before.
        channel.input_data(b"bcd")
        assert bytes(channel.read(4)) == b"abcd" and calls == []


def test_read_results_are_fresh_arrays_of_the_queued_bytes():
    kept = array.array("B", b"kept")
    channel = channel_with(kept, array.array("B", b"1234"), b"56")
    first = channel.read(4)
    assert first is not kept and first == kept  # a chunk still referenced is copied
    whole = channel.read(6)
    assert bytes(whole) == b"123456" and type(whole) is array.array
    watched = array.array("B", b"wxyz")
    ref = weakref.ref(watched)
    channel.input_data(watched)
    del watched
    result = channel.read(10)
    assert bytes(result) == b"wxyz" and ref() is not result  # a weakly referenced chunk is copied too
    channel.input_data(array.array("h", [1, 2]))
    with pytest.raises(TypeError):
        channel.read(8)  # the first part of another kind cannot extend


def test_reader_calls_replaced_members(make_device, monkeypatch):
    fake = FakeAdapter()
    device = make_device(fake)
    got = []
    channel = channel_with()
    device._Device__channels[1] = channel
    fake.send((1, b"direct"))
    assert wait_until(lambda: channel.in_waiting == 6)
    monkeypatch.setattr(ozu_qlix._Channel, "input_data", lambda self, data: got.append(bytes(data)))
    fake.send((1, b"patched"))
    assert wait_until(lambda: got == [b"patched"])
    reads = []
    original = ozu_qlix._Device._Device__read
    monkeypatch.setattr(device, "_Device__read", lambda *a: reads.append(a) or original(device, *a))
    fake.send((1, b"again"))
    assert wait_until(lambda: got == [b"patched", b"again"] and reads)
    assert bytes(channel.read(10)) == b"direct"
