"""Control commands and queries, the channel count, the channel table and data output."""

import array
import os
import threading

import pytest
import usb.core
import usb.util

import ozu_qlix
from conftest import run_child, wait_until
from fake_usb import FakeAdapter

SERIAL = "0123456789AB"
RANGE = "通道号超出范围 (0, 4]:" + SERIAL


@pytest.mark.parametrize(
    "command, channel, record",
    [
        ("OpenChannel", 3, bytes([103, 12]) + b"OpenChannel\n"),
        ("Config 9600\n", 1, bytes([101, 12]) + b"Config 9600\n"),
        ("a" * 61, 2, bytes([102, 62]) + b"a" * 61 + b"\n"),
        ("é" * 30 + "a", 0, bytes([100, 62]) + ("é" * 30 + "a\n").encode()),
    ],
)
def test_command_packet_bytes(make_device, command, channel, record):
    device = make_device()
    device._send_command_to_channel(command, channel)
    assert device._Device__dev.written == [record + bytes(64 - len(record))]


@pytest.mark.parametrize(
    "command, channel, error, message",
    [
        ("b" * 62, 1, AssertionError, "命令[%s]过长。包含命令结束符后，长度不能超过[62]个字节:%s" % ("b" * 62, SERIAL)),
        ("é" * 31, 1, AssertionError, "命令[%s]过长。包含命令结束符后，长度不能超过[62]个字节:%s" % ("é" * 31, SERIAL)),
        ("X", 156, OverflowError, None),
        ("X", -101, OverflowError, None),
    ],
)
def test_refused_commands_write_nothing(make_device, command, channel, error, message):
    device = make_device()
    with pytest.raises(error) as info:
        device._send_command_to_channel(command, channel)
    assert message is None or str(info.value) == message
    assert device._Device__dev.written == []


@pytest.mark.parametrize("payload, text", [(b"A\xff", "A\u00ff"), ("hé\n".encode(), "hé\n"), (b"", "")])
def test_master_basic_handler(payload, text):
    assert ozu_qlix._Device.master_basic_handler(array.array("B", payload)) == text


def test_queries_serialise_and_ignore_stale_replies(make_device):
    device = make_device()
    fake = device._Device__dev
    with pytest.raises(AssertionError, match=r"^查询指令必须要以英文问号\[\?\]结尾:%s$" % SERIAL):
        device.io_control_master_query("Version", bytes)
    assert fake.written == [] and device.firmware_version == "QLIX-FW 1.0"
    fake._command = lambda channel, text: None  # silent firmware
    assert device.io_control_master_query("Version?", bytes, 0.05) is None
    del fake._command
    fake.send((100, b"stale"))
    assert wait_until(device._Device__io_control_master_event.is_set)
    results = {}

    def run(name):
        results[name] = [device.echo("%s-%d" % (name, i)) for i in range(10)]

    threads = [threading.Thread(target=run, args=(n,)) for n in "ab"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert results == {n: ["%s-%d" % (n, i) for i in range(10)] for n in "ab"}


@pytest.mark.parametrize("failure", ["write", "handler"])
def test_query_releases_protector_on_failure(make_device, failure):
    device = make_device()
    fake, handler = device._Device__dev, ozu_qlix._Device.master_basic_handler
    if failure == "write":
        fake.write_error = usb.core.USBError("gone")
    else:
        handler = lambda payload: 1 / 0  # noqa: E731
    with pytest.raises(usb.core.USBError if failure == "write" else ZeroDivisionError):
        device.io_control_master_query("Version?", handler)
    assert not device._Device__io_control_master_protector.locked()


@pytest.mark.parametrize(
    "reply, count, shown",
    [
        ("8\n", 8, None),
        (" 12\r\n", 12, None),
        ("abc", None, "array('B', [97, 98, 99])"),
        ("", None, "array('B')"),
        ("silent", None, None),
    ],
)
def test_channel_count(make_device, capsys, reply, count, shown):
    device = make_device()
    fake = device._Device__dev
    fake.channel_count_reply = reply
    if count is not None:
        assert device.channel_count == count and device.channel_count == count
        assert fake.commands == [(100, "ChannelCount?\n")]
        return
    # A reply that is no count is reported as such, not as a time-out.
    message = "查询设备通道数量超时:" if shown is None else "通道数量查询结果异常:"
    with pytest.raises(AssertionError, match="^%s%s$" % (message, SERIAL)):
        device.channel_count
    assert capsys.readouterr().err == ("" if shown is None else "ChannelCount command feedback invalid: [%s]" % shown)


@pytest.mark.parametrize(
    "call, closes",
    [
        (lambda d, n: d.set_io_control_handler_for_channel(print, n), False),
        (lambda d, n: d.send_command_to_channel("FlushInput", n), False),
        (lambda d, n: d.open_channel(n, 9600, 1.0), True),  # a failed open leaves no unused adapter open
    ],
)
@pytest.mark.parametrize("number", [0, 5])
def test_channel_range_checks(make_device, manager, call, closes, number):
    device = make_device()
    with pytest.raises(AssertionError, match="^%s$" % RANGE.replace("(", r"\(")):
        call(device, number)
    assert device._Device__io_control_handlers == {} and device._Device__channels == {}
    # The channel-count query only, and the wake-up of the reader of an adapter that closed.
    assert device._Device__dev.commands == [(100, "ChannelCount?\n")] + [(100, "Echo ?\n")] * closes
    assert manager.closed == ([device] if closes else [])
    assert device._Device__state == ("closed" if closes else "open")
    if closes:
        device = make_device()
    call(device, 4)
    with pytest.raises(TypeError, match="expected int, got bool"):
        call(device, True)


class StubChannel:
    fail_with = None

    def __init__(self, device, channel_number, timeout):
        self.device, self.number, self.timeout, self.closed = device, channel_number, timeout, 0

    def initialize(self, baudrate):
        self.registered = self.device._Device__channels.get(self.number) is self
        if StubChannel.fail_with is not None:
            raise StubChannel.fail_with

    def close(self):
        self.closed += 1
        self.device.close_channel(self.number)


@pytest.fixture
def stub_channels(monkeypatch):
    monkeypatch.setattr(StubChannel, "fail_with", None)
    monkeypatch.setattr(ozu_qlix, "_Channel", StubChannel)
    return StubChannel


def test_open_and_close_channels(manager, stub_channels):
    fake = FakeAdapter()
    device = ozu_qlix._Device(manager, fake)
    first = device.open_channel(2, 115200, 1)
    assert first.registered and type(first.timeout) is float
    with pytest.raises(AssertionError, match="^通道\\[2\\]已经打开:%s$" % SERIAL):
        device.open_channel(2, 9600, 1.0)
    device.open_channel(3, 9600, 1.0)
    assert device._Device__channels[2] is first and not device._Device__channel_lock.locked()
    device.close_channel(2)
    device.close_channel(2)
    assert manager.closed == [] and device._Device__input_scanner.is_alive()
    device.close_channel(3)
    assert manager.closed == [device] and fake.disposed == 1 and not device._Device__input_scanner.is_alive()
    device.close_channel(1)
    assert manager.closed == [device, device] and fake.disposed == 2


@pytest.mark.parametrize(
    "error",
    [
        IOError("baud"),
        usb.core.USBTimeoutError("slow"),
        ValueError("odd"),
        KeyboardInterrupt(),
    ],
)
def test_failed_initialize(manager, stub_channels, error):
    # Any failure, an interruption included, closes the channel and its adapter.
    device = ozu_qlix._Device(manager, FakeAdapter())
    stub_channels.fail_with = error
    with pytest.raises(type(error)) as info:
        device.open_channel(1, 9600, 1.0)
    assert info.value is error
    assert manager.closed == [device] and device._Device__channels == {}


def interrupted_once(function):
    """`function`, except that its first call raises KeyboardInterrupt at once."""
    calls = []

    def call(*args):
        calls.append(args)
        if len(calls) == 1:
            raise KeyboardInterrupt
        return function(*args)

    return call


@pytest.mark.parametrize("step", ["join", "release", "unregister"])
def test_interrupted_close_steps_are_made_again(manager, stub_channels, monkeypatch, step):
    # Ctrl-C in any step of an adapter's close: every step is still made, the
    # USB device released only once the reader has left its loop, then the
    # interruption is raised.
    fake = FakeAdapter()
    reading = []
    read = fake.read

    def tracked_read(*args, **kwargs):
        reading.append(1)
        try:
            return read(*args, **kwargs)
        finally:
            reading.pop()

    monkeypatch.setattr(fake, "read", tracked_read)
    released_while_reading = []

    def release(dev):
        released_while_reading.append(bool(reading))
        usb.util.dispose_resources(dev)

    device = ozu_qlix._Device(manager, fake)
    device.open_channel(1, 9600, 1.0)
    thread = device._Device__input_scanner
    if step == "join":  # an interrupted join on Python 3.12 marks the running thread stopped: joins return at once
        monkeypatch.setattr(thread, "join", interrupted_once(lambda: None))
    monkeypatch.setattr(ozu_qlix, "_close_usb_device", interrupted_once(release) if step == "release" else release)
    if step == "unregister":
        monkeypatch.setattr(manager, "close_device", interrupted_once(manager.close_device))
    with pytest.raises(KeyboardInterrupt):
        device.close_channel(1)
    assert manager.closed == [device] and fake.disposed == 1 and released_while_reading == [False]
    assert device._Device__channels == {} and wait_until(lambda: not thread.is_alive())


@pytest.mark.parametrize(
    "data, written, message",
    [
        (bytes(63), None, "只支持长度为 64 的数据包:" + SERIAL),
        (bytes(65), None, "只支持长度为 64 的数据包:" + SERIAL),
        (array.array("B", [3, 1, 0x43] + [0] * 61), 64, None),
        (bytes(64), 63, ""),
    ],
)
def test_output_data(make_device, monkeypatch, data, written, message):
    device = make_device()
    sent = []
    monkeypatch.setattr(device._Device__dev, "write", lambda endpoint, data, timeout: sent.append(data) or written)
    if message is None:
        assert device.output_data(data) is None
    else:
        with pytest.raises(AssertionError) as info:
            device.output_data(data)
        assert str(info.value) == message
    assert sent == ([] if written is None else [data])


CHILD = """
import sys
sys.path.insert(0, %r)
import ozu_qlix
from fake_usb import FakeAdapter
fake = FakeAdapter()
fake.channel_count_reply = "silent"
device = ozu_qlix._Device(None, fake)
device._send_command_to_channel("x" * 70, 1)
print(len(fake.written[0]), fake.written[0][1])
print(device.channel_count, device.channel_count, len(fake.commands_for(0)))
device.output_data(bytes(10))
print(device.io_control_master_query("Version", print, 0.01), fake.written[-2])
device.close()
""" % os.path.dirname(__file__)


def test_without_assertions_other_checks_are_skipped():
    result = run_child(CHILD, "-O", timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["73 71", "None None 2", "None " + repr(bytes(10))]
