"""_Channel against a scripted device object and a fake clock."""

import array
import contextlib
import math

import pytest

from conftest import run_child  # noqa: F401  (first: it selects the virtual USB library)
import ozu_qlix
from fake_usb import FakeDevice

NAME = "QLIX0123456789ABS2"
B = lambda data=b"": array.array("B", data)  # noqa: E731


class Clock:
    """Stands in for _now/_sleep: sleeping advances time, then runs `hook(sleeps)`."""

    def __init__(self, log, step=0.0):
        self.t, self.step, self.sleeps, self.log, self.hook = 1000.0, step, 0, log, lambda n: None

    def now(self):
        self.log.append("now")
        self.t += self.step
        return self.t

    def sleep(self, seconds):
        assert seconds == 0.01
        self.sleeps += 1
        self.t += seconds
        self.hook(self.sleeps)


@pytest.fixture
def dev(monkeypatch):
    if not hasattr(ozu_qlix._Device, "PackageSize"):
        monkeypatch.setattr(ozu_qlix, "_Device", FakeDevice)
    return FakeDevice()


@pytest.fixture
def clock(monkeypatch, dev):
    c = Clock(dev.log)
    monkeypatch.setattr(ozu_qlix, "_now", c.now)
    monkeypatch.setattr(ozu_qlix, "_sleep", c.sleep)
    return c


@pytest.fixture
def ch(dev):
    return ozu_qlix._Channel(dev, 2)


def fill(ch, *chunks):
    for c in chunks:
        ch.input_data(B(c))


@pytest.mark.parametrize(
    "reply, stored, error",
    [
        (b"9600\n", 9600, None),
        (b" +9_600\t", 9600, None),
        (b"4800\n", 4800, "设置波特率失败:" + NAME + ":当前值 = 4800:目标值 = 9600"),
        (None, None, "设置波特率超时:" + NAME + ":目标值 = 9600"),
        (b"96 00", None, "设置波特率超时:" + NAME + ":目标值 = 9600"),
    ],
)
def test_baudrate_exchange(dev, clock, ch, capsys, reply, stored, error):
    dev.reply = reply
    try:
        ch.baudrate = 9600
        assert error is None
    except OSError as e:
        assert str(e) == error
    assert ch.baudrate == stored
    assert dev.log[:4] == [("set", 2), ("Config 9600", 2), "now", ("Config?", 2)]
    assert dev.log[-1] == ("reset", 2) and not dev.handlers
    assert stored is not None or 99 <= clock.sleeps <= 102  # polled out the second
    assert capsys.readouterr().err == ("波特率查询结果异常:" + NAME + "：[96 00]" if reply == b"96 00" else "")


def test_initialize_order_and_name(dev, clock, ch):
    fill(ch, b"stale")
    ch.initialize(9600)
    assert [e for e in dev.log if e != "now"] == [
        ("set", 2),
        ("Config 9600", 2),
        ("Config?", 2),
        ("reset", 2),
        ("OpenChannel", 2),
        ("FlushInput", 2),
    ]
    assert ch.in_waiting == 0 and ch.baudrate == 9600 and ch.name == NAME
    dev.serial_number = None
    assert ozu_qlix._Channel(dev, 3).name == "QLIXNoneS3"


@pytest.mark.parametrize(
    "call, arg",
    [
        (lambda ch: ch.initialize(True), "baudrate"),
        (lambda ch: setattr(ch, "baudrate", 9600.0), "value"),
        (lambda ch: ch.read(True), "max_size"),
        (lambda ch: ch.read_until(size=1.5), "size"),
        (lambda ch: ch._Channel__read(None), "max_size"),
        (lambda ch: ozu_qlix._Channel(ch._Channel__device, True), "channel_number"),
    ],
)
def test_argument_types(ch, call, arg):
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % arg):
        call(ch)
    assert ch._Channel__device.log == []


def test_reads_take_one_chunk_at_a_time(ch):
    second = B(b"\x04\x05")
    fill(ch, b"\x01\x02\x03")
    ch.input_data(second)
    assert ch._Channel__read(2) == B(b"\x01\x02") and ch.in_waiting == 3
    assert ch._Channel__read(10) == B(b"\x03")
    assert ch._Channel__read(10) is second and ch._Channel__read(10) == B()
    fill(ch, b"", b"\x01\x02\x03", b"\x04\x05")
    assert ch._Channel__read(3) == B() and ch.in_waiting == 5  # an empty chunk is taken like any other
    assert ch.read(4) == B(b"\x01\x02\x03\x04") and ch.in_waiting == 1


@pytest.mark.parametrize(
    "kwargs, got, rest",
    [
        ({}, b"ab\n", b"cd"),
        ({"expected": "\n"}, b"ab\n", b"cd"),
        ({"expected": bytearray(b"b")}, b"ab", b"\ncd"),
        ({"size": 2}, b"ab", b"\ncd"),
        ({"size": 0}, b"", b"ab\ncd"),
        ({"expected": "z", "size": 4}, b"ab\nc", b"d"),
    ],
)
def test_read_until(ch, kwargs, got, rest):
    ch.timeout = 0.05
    fill(ch, b"ab\nc", b"d")
    assert ch.read_until(**kwargs).tobytes() == got and ch.read(10).tobytes() == rest


@pytest.mark.parametrize(
    "expected, error, message",
    [
        (b"\r\n", TypeError, "ord() expected a character, but string of length 2 found"),
        (bytearray(), TypeError, "ord() expected a character, but string of length 0 found"),
        ("ab", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 2"),
        (10, TypeError, "ord() expected string of length 1, but int found"),
    ],
)
def test_read_until_bad_terminator(ch, expected, error, message):
    fill(ch, b"ab\n")
    with pytest.raises(error) as info:
        ch.read_until(expected)
    assert str(info.value) == message and ch.in_waiting == 3


@pytest.mark.parametrize("timeout, expected", [(0.05, b"abc"), (0, b"abcde"), (-1, b"abcde"), (math.nan, b"abcde")])
def test_read_deadline(clock, ch, timeout, expected):
    ch.timeout = timeout
    assert type(ch.timeout) is float
    fill(ch, b"abc")
    clock.hook = lambda n: n == 50 and fill(ch, b"de")
    assert ch.read(5).tobytes() == expected
    assert clock.sleeps == (50 if len(expected) == 5 else 5)


@pytest.mark.parametrize("reader", [lambda ch: ch.read(1000), lambda ch: ch.read_until(b"\xff", 1000)])
def test_deadline_ignored_while_data_queued(dev, monkeypatch, ch, reader):
    clock = Clock(dev.log, step=1.0)  # every look at the clock passes a second
    monkeypatch.setattr(ozu_qlix, "_now", clock.now)
    monkeypatch.setattr(ozu_qlix, "_sleep", clock.sleep)
    ch.timeout = 0.001
    data = bytes(range(250)) * 4
    fill(ch, *[data[i : i + 10] for i in range(0, 1000, 10)])
    assert reader(ch).tobytes() == data and clock.sleeps == 0


@pytest.mark.parametrize("reader", [lambda ch: ch.read(5), lambda ch: ch.read_until()])
def test_close_during_read_keeps_taken_bytes(clock, ch, reader):
    fill(ch, b"abc")
    clock.hook = lambda n: n == 3 and ch.close()
    assert reader(ch).tobytes() == b"abc"
    with pytest.raises(AssertionError, match=r"\]已关闭"):
        reader(ch)


def test_closed_channel(dev, ch):
    fill(ch, b"abc")
    ch.close()
    assert not ch.is_open and ch.in_waiting == 0
    assert dev.log == [("CloseChannel", 2), ("close_channel", 2)]
    ch.input_data(B(b"x"))
    assert ch.read(0) == ch.read(-2) == ch.read_until(size=0) == B()
    for call in (lambda: ch.read(1), ch.read_until, lambda: ch.write(b"x"), ch.reset_input_buffer):
        with pytest.raises(AssertionError) as info:
            call()
        assert str(info.value) == "设备[" + NAME + "]已关闭"
    ch.close()  # a second close sends nothing either: the channel may be another port's by now
    assert dev.packets == [] and dev.log == [("CloseChannel", 2), ("close_channel", 2)]


@pytest.mark.parametrize(
    "command, error, raised",
    [
        ("CloseChannel", OSError("unplugged"), False),
        ("CloseChannel", KeyboardInterrupt(), True),  # raised once the channel has left the adapter
        ("FlushInput", OSError("timeout"), True),
    ],
)
def test_command_failures(dev, ch, command, error, raised):
    fill(ch, b"abc")
    dev.fail[command] = error
    with pytest.raises(type(error)) if raised else contextlib.nullcontext():
        ch.close() if command == "CloseChannel" else ch.flush_input()
    closed = command == "CloseChannel"
    assert ch.is_open != closed and (("close_channel", 2) in dev.log) == closed
    assert ch.in_waiting == (3 if ch.is_open else 0)  # a failed flush keeps the queue


def packets(channel, data, size=64):
    pieces = [bytes(data[i : i + size - 2]) for i in range(0, len(data), size - 2)]
    return [bytes([channel, len(p)]) + p + bytes(size - 2 - len(p)) for p in pieces]


@pytest.mark.parametrize("n", [0, 1, 62, 63, 124, 130])
@pytest.mark.parametrize("kind", [bytes, bytearray, B, list, memoryview, tuple, lambda b: b.decode("latin-1")])
def test_write_packets(dev, ch, n, kind):
    data = kind(bytes((i * 7) % 256 for i in range(n)))
    raw = data.encode() if isinstance(data, str) else bytes(data)  # text goes out as UTF-8
    assert ch.write(data) == len(raw)
    assert all(type(p) is array.array and p.typecode == "B" for p in dev.packets)
    assert [p.tobytes() for p in dev.packets] == packets(2, raw)


def test_write_reads_package_size_each_call(dev, ch, monkeypatch):
    monkeypatch.setattr(ozu_qlix, "_Device", type("Small", (), {"PackageSize": 16}))
    assert ch.write(b"x" * 20) == 20
    assert [p.tobytes() for p in dev.packets] == packets(2, b"x" * 20, size=16)


@pytest.mark.parametrize(
    "data, error, sent",
    [
        ([1] * 65 + [300], OverflowError, 1),
        ([1, 2, -1], OverflowError, 0),
        ([1] * 62 + ["a"], TypeError, 1),
        (array.array("H", [1, 2]), TypeError, 0),
        ((b for b in b"ab"), TypeError, 0),
        (b"z" * 150, OSError, 1),  # output_data fails at the second package
    ],
)
def test_write_failures(dev, ch, data, error, sent):
    dev.fail["packet"] = 1
    with pytest.raises(error):
        ch.write(data)
    assert [p.tobytes() for p in dev.packets] == (packets(2, data[:62]) if sent else [])


def test_close_during_write_stops_it(dev, ch):
    output = dev.output_data
    dev.output_data = lambda package: (output(package), ch.close())  # closed in another thread, say
    with pytest.raises(AssertionError, match=r"\]已关闭$"):
        ch.write(b"z" * 150)
    assert [p.tobytes() for p in dev.packets] == packets(2, b"z" * 62)  # nothing after the close
