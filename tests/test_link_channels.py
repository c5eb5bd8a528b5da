"""The table of open channels and data output."""

import array
import os

import pytest
import usb.core

from fake_usb import FakeAdapter

import ozu_qlix
from conftest import run_child

SERIAL = "0123456789AB"


class StubChannel:
    """Stands in for _Channel: records construction, fails initialize on demand."""

    fail_with = None
    made = []

    def __init__(self, device, channel_number, timeout):
        self.device, self.number, self.timeout = device, channel_number, timeout
        self.registered_at_init = None
        self.closed = 0
        StubChannel.made.append(self)

    def initialize(self, baudrate):
        self.baudrate = baudrate
        self.registered_at_init = self.device._Device__channels.get(self.number) is self
        if StubChannel.fail_with is not None:
            raise StubChannel.fail_with

    def close(self):
        self.closed += 1
        self.device.close_channel(self.number)


@pytest.fixture
def stub_channels(monkeypatch):
    StubChannel.fail_with, StubChannel.made = None, []
    monkeypatch.setattr(ozu_qlix, "_Channel", StubChannel)
    return StubChannel


def test_open_registers_before_initialize(make_device, stub_channels):
    device = make_device()
    channel = device.open_channel(2, 115200, 1)
    assert channel.registered_at_init and channel.baudrate == 115200
    assert type(channel.timeout) is float and channel.timeout == 1.0
    assert device._Device__channels == {2: channel}
    assert not device._Device__channel_lock.locked()


@pytest.mark.parametrize("number", [0, 5, -3])
def test_open_out_of_range(make_device, stub_channels, number):
    device = make_device()
    with pytest.raises(AssertionError) as info:
        device.open_channel(number, 9600, 1.0)
    assert str(info.value) == "通道号超出范围 (0, 4]:" + SERIAL
    assert device._Device__channels == {} and stub_channels.made == []


@pytest.mark.parametrize("args, name, got", [
    ((True, 9600, 1.0), "channel", "bool"),
    ((1, "9600", 1.0), "baudrate", "str"),
])
def test_open_argument_types(make_device, stub_channels, args, name, got):
    device = make_device()
    with pytest.raises(TypeError, match=r"Argument '%s' has incorrect type \(expected int, got %s\)" % (name, got)):
        device.open_channel(*args)
    with pytest.raises(TypeError):
        device.open_channel(1, 9600, None)


def test_open_twice_fails_and_keeps_first(make_device, stub_channels):
    device = make_device()
    first = device.open_channel(4, 9600, 1.0)
    with pytest.raises(AssertionError) as info:
        device.open_channel(4, 9600, 1.0)
    assert str(info.value) == "通道[4]已经打开:" + SERIAL
    assert device._Device__channels == {4: first}
    assert not device._Device__channel_lock.locked()


@pytest.mark.parametrize("error", [IOError("baud"), usb.core.USBTimeoutError("slow")])
def test_failed_initialize_closes_channel_and_adapter(manager, stub_channels, error):
    device = ozu_qlix._Device(manager, FakeAdapter())
    thread = device._Device__input_scanner
    stub_channels.fail_with = error
    with pytest.raises(type(error)) as info:
        device.open_channel(1, 9600, 1.0)
    assert info.value is error
    assert stub_channels.made[0].closed == 1
    assert not thread.is_alive() and manager.closed == [device]
    assert device._Device__channels == {}


def test_other_initialize_errors_propagate_without_clean_up(make_device, stub_channels):
    device = make_device()
    stub_channels.fail_with = ValueError("odd")
    with pytest.raises(ValueError, match="odd"):
        device.open_channel(3, 9600, 1.0)
    assert stub_channels.made[0].closed == 0 and 3 in device._Device__channels


def test_close_error_during_clean_up_carries_the_original(make_device, stub_channels, monkeypatch):
    device = make_device()
    original = IOError("baud")
    stub_channels.fail_with = original
    monkeypatch.setattr(StubChannel, "close", lambda self: 1 / 0)
    with pytest.raises(ZeroDivisionError) as info:
        device.open_channel(1, 9600, 1.0)
    assert info.value.__context__ is original


def test_close_channel_closes_adapter_with_last_channel(manager, stub_channels):
    fake = FakeAdapter()
    device = ozu_qlix._Device(manager, fake)
    device.open_channel(1, 9600, 1.0)
    device.open_channel(2, 9600, 1.0)
    device.close_channel(1)
    device.close_channel(1)
    assert manager.closed == [] and device._Device__input_scanner.is_alive()
    device.close_channel(2)
    assert manager.closed == [device] and fake.disposed == 1
    assert not device._Device__input_scanner.is_alive()
    device.close_channel(3)
    assert manager.closed == [device, device] and fake.disposed == 2
    assert not device._Device__channel_lock.locked()


@pytest.mark.parametrize("size", [0, 63, 65])
def test_output_data_refuses_wrong_size(make_device, size):
    device = make_device()
    with pytest.raises(AssertionError) as info:
        device.output_data(bytes(size))
    assert str(info.value) == "只支持长度为 64 的数据包:" + SERIAL
    assert device._Device__dev.written == []


@pytest.mark.parametrize("data", [bytes([1, 2, 0x41, 0x42]) + bytes(60), array.array("B", [3, 1, 0x43] + [0] * 61)])
def test_output_data_writes_one_packet(make_device, data):
    device = make_device()
    assert device.output_data(data) is None
    assert device._Device__dev.written == [bytes(data)]


@pytest.mark.parametrize("written, fails", [(64, False), (100, False), (63, True), (0, True)])
def test_output_data_checks_written_size(make_device, written, fails):
    device = make_device()
    device._Device__dev.write = lambda endpoint, data, timeout=None: written
    if fails:
        with pytest.raises(AssertionError) as info:
            device.output_data(bytes(64))
        assert str(info.value) == ""
    else:
        device.output_data(bytes(64))


def test_real_channel_round_trip(manager):
    fake = FakeAdapter()
    device = ozu_qlix._Device(manager, fake)
    channel = device.open_channel(2, 19200, 0.5)
    assert fake.baud[2] == 19200 and 2 in fake.open_channels
    device.output_data(bytes([2, 3]) + b"abc" + bytes(59))
    assert bytes(channel.read(3)) == b"abc"
    channel.close()
    assert manager.closed == [device] and fake.disposed == 1


CHILD = """
import sys
sys.path.insert(0, %r)
import ozu_qlix
from fake_usb import FakeAdapter

class Manager:
    def close_device(self, device):
        pass

class Channel:
    def __init__(self, device, channel_number, timeout):
        self.n = channel_number
    def initialize(self, baudrate):
        pass

fake = FakeAdapter()
ozu_qlix._Channel = Channel
device = ozu_qlix._Device(Manager(), fake)
a = device.open_channel(9, 9600, 1.0)
b = device.open_channel(9, 9600, 1.0)
print(device._Device__channels[9] is b, fake.commands)
device.output_data(bytes(10))
print(fake.written)
device.close()
""" % os.path.dirname(__file__)


def test_without_assertions_table_checks_are_skipped():
    result = run_child(CHILD, "-O", timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True []", "[" + repr(bytes(10)) + "]"]
