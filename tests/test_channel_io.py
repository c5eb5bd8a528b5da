"""_Channel against a scripted device object and a fake clock."""

import array
import inspect
import math
import subprocess
import sys
import textwrap

import pytest

import ozu_qlix

NAME = "QLIX0123456789ABS2"
CLOSED = "设备[" + NAME + "]已关闭"


def B(data=b""):
    return array.array("B", data)


class FakeDevice:
    """Records what a channel asks of its adapter; answers "Config?" at once."""

    PackageSize = 64
    serial_number = "0123456789AB"

    def __init__(self, reply=b"9600\n"):
        self.reply = reply
        self.log = []
        self.packets = []
        self.handlers = {}
        self.fail = {}  # command text -> exception raised when it is sent
        self.fail_packet = None  # (index, exception) for output_data

    def set_io_control_handler_for_channel(self, handler, channel):
        self.log.append(("set", channel))
        self.handlers[channel] = handler

    def reset_io_control_handler_for_channel(self, channel):
        self.log.append(("reset", channel))
        self.handlers.pop(channel, None)

    def send_command_to_channel(self, command, channel):
        self.log.append((command, channel))
        if command in self.fail:
            raise self.fail[command]
        if command == "Config?" and self.reply is not None and channel in self.handlers:
            self.handlers[channel](B(self.reply))

    def output_data(self, package):
        if self.fail_packet and self.fail_packet[0] == len(self.packets):
            raise self.fail_packet[1]
        self.packets.append(package)

    def close_channel(self, channel):
        self.log.append(("close_channel", channel))


class Clock:
    """Replaces _now/_sleep: sleeping advances time; `hook(sleeps)` runs after each sleep."""

    def __init__(self, log, step=0.0):
        self.t, self.step, self.sleeps, self.log, self.hook = 1000.0, step, 0, log, None

    def now(self):
        self.log.append("now")
        self.t += self.step
        return self.t

    def sleep(self, seconds):
        assert seconds == 0.01
        self.sleeps += 1
        self.t += seconds
        if self.hook:
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


def test_surface():
    members = [k for k in ozu_qlix._Channel.__dict__ if not k.startswith("__") or k == "__init__"]
    assert members == ["__init__", "_update_baudrate", "initialize", "baudrate", "name", "close", "is_open",
                       "in_waiting", "input_data", "read_until", "read", "_Channel__read", "write", "timeout",
                       "flush_input", "reset_input_buffer"]
    assert str(inspect.signature(ozu_qlix._Channel.read_until)) == \
        "(self, expected=b'\\n', size: 'int' = None) -> '_array'"
    assert ozu_qlix._Channel._Channel__read.__doc__.split("\n\t\t")[1] == "从输入缓存中读取数据。"


@pytest.mark.parametrize("serial, channel, name", [("0123456789AB", 2, NAME), (None, 3, "QLIXNoneS3")])
def test_name(dev, serial, channel, name):
    dev.serial_number = serial
    assert ozu_qlix._Channel(dev, channel).name == name


@pytest.mark.parametrize("reply, stored, error", [
    (b"9600\n", 9600, None),
    (b" +9_600\t", 9600, None),
    (b"4800\n", 4800, "设置波特率失败:" + NAME + ":当前值 = 4800:目标值 = 9600"),
    (None, None, "设置波特率超时:" + NAME + ":目标值 = 9600"),
    (b"96 00", None, "设置波特率超时:" + NAME + ":目标值 = 9600"),
])
def test_baudrate_exchange(dev, clock, ch, capsys, reply, stored, error):
    dev.reply = reply
    if error:
        with pytest.raises(OSError) as info:
            ch.baudrate = 9600
        assert str(info.value) == error
    else:
        ch.baudrate = 9600
    assert ch.baudrate == stored
    assert dev.log[:4] == [("set", 2), ("Config 9600", 2), "now", ("Config?", 2)]
    assert dev.log[-1] == ("reset", 2) and not dev.handlers
    if stored is None:  # waited out the second, polling every 0.01 s
        assert 99 <= clock.sleeps <= 102
    err = capsys.readouterr().err
    assert err == ("波特率查询结果异常:" + NAME + "：[96 00]" if reply == b"96 00" else "")


def test_initialize_order_and_reset(dev, clock, ch):
    fill(ch, b"stale")
    ch.initialize(9600)
    commands = [e for e in dev.log if e != "now"]
    assert commands == [("set", 2), ("Config 9600", 2), ("Config?", 2), ("reset", 2), ("OpenChannel", 2),
                        ("FlushInput", 2)]
    assert ch.in_waiting == 0 and ch.baudrate == 9600


@pytest.mark.parametrize("call, arg", [
    (lambda ch: ch.initialize(True), "baudrate"),
    (lambda ch: setattr(ch, "baudrate", 9600.0), "value"),
    (lambda ch: ch.read(True), "max_size"),
    (lambda ch: ch.read_until(size=1.5), "size"),
    (lambda ch: ch._Channel__read(None), "max_size"),
    (lambda ch: ozu_qlix._Channel(ch._Channel__device, True), "channel_number"),
])
def test_argument_types(ch, call, arg):
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % arg):
        call(ch)
    assert ch._Channel__device.log == []


def test_private_read_takes_one_chunk_at_most(ch):
    fill(ch, b"\x01\x02\x03")
    second = B(b"\x04\x05")
    ch.input_data(second)
    assert ch._Channel__read(2) == B(b"\x01\x02")
    assert ch.in_waiting == 3
    assert ch._Channel__read(10) == B(b"\x03")
    assert ch._Channel__read(10) is second
    assert ch._Channel__read(10) == B()


@pytest.mark.parametrize("kwargs, got, rest", [
    ({}, b"ab\n", b"cd"),
    ({"expected": "\n"}, b"ab\n", b"cd"),
    ({"expected": bytearray(b"b")}, b"ab", b"\ncd"),
    ({"size": 2}, b"ab", b"\ncd"),
    ({"size": 0}, b"", b"ab\ncd"),
    ({"expected": "z", "size": 4}, b"ab\nc", b"d"),
])
def test_read_until(ch, kwargs, got, rest):
    ch.timeout = 0.05
    fill(ch, b"ab\nc", b"d")
    assert ch.read_until(**kwargs).tobytes() == got
    assert ch.read(10).tobytes() == rest


@pytest.mark.parametrize("expected, error, message", [
    (b"\r\n", TypeError, "ord() expected a character, but string of length 2 found"),
    (bytearray(), TypeError, "ord() expected a character, but string of length 0 found"),
    ("ab", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 2"),
    (10, TypeError, "ord() expected string of length 1, but int found"),
])
def test_read_until_bad_terminator(ch, expected, error, message):
    fill(ch, b"ab\n")
    with pytest.raises(error) as info:
        ch.read_until(expected)
    assert str(info.value) == message
    assert ch.in_waiting == 3


def test_read_across_chunks(ch):
    fill(ch, b"\x01\x02\x03", b"\x04\x05")
    assert ch.read(4) == B(b"\x01\x02\x03\x04")
    assert ch.in_waiting == 1


@pytest.mark.parametrize("timeout, expected", [(0.05, b"abc"), (0, b"abcde"), (-1.0, b"abcde"),
                                               (math.nan, b"abcde")])
def test_read_deadline(clock, ch, timeout, expected):
    ch.timeout = timeout
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
    fill(ch, *[data[i:i + 10] for i in range(0, 1000, 10)])
    assert reader(ch).tobytes() == data and clock.sleeps == 0


def test_empty_chunk_counts_as_empty_poll(clock, ch):
    ch.timeout = 5
    fill(ch, b"", b"\x07")
    assert ch.read(1) == B(b"\x07") and clock.sleeps == 1


@pytest.mark.parametrize("reader", [lambda ch: ch.read(5), lambda ch: ch.read_until()])
def test_close_during_read_keeps_taken_bytes(clock, ch, reader):
    fill(ch, b"abc")
    clock.hook = lambda n: n == 3 and ch.close()
    assert reader(ch).tobytes() == b"abc"
    with pytest.raises(AssertionError, match=r"\]已关闭"):
        reader(ch)


def test_timeout_property(ch):
    assert ch.timeout == -1.0
    ch.timeout = 2
    assert type(ch.timeout) is float and ch.timeout == 2.0
    for bad in (None, "1"):
        with pytest.raises(TypeError):
            ch.timeout = bad
    assert ch.timeout == 2.0


def test_closed_channel(dev, ch):
    fill(ch, b"abc")
    assert ch.in_waiting == 3 and ch.is_open
    ch.close()
    assert not ch.is_open and ch.in_waiting == 0
    assert dev.log == [("CloseChannel", 2), ("close_channel", 2)]
    ch.input_data(B(b"x"))
    assert ch.read(0) == B() and ch.read(-2) == B() and ch.read_until(size=0) == B()
    for call in (lambda: ch.read(1), lambda: ch.read_until(), lambda: ch.write(b"x"), ch.reset_input_buffer):
        with pytest.raises(AssertionError) as info:
            call()
        assert str(info.value) == CLOSED
    assert dev.packets == [] and dev.log[-1] == ("FlushInput", 2)
    ch.close()
    assert dev.log[-2:] == [("CloseChannel", 2), ("close_channel", 2)]


@pytest.mark.parametrize("error, swallowed", [(OSError("unplugged"), True), (KeyboardInterrupt(), False)])
def test_close_when_command_fails(dev, ch, error, swallowed):
    dev.fail["CloseChannel"] = error
    if swallowed:
        ch.close()
    else:
        with pytest.raises(KeyboardInterrupt):
            ch.close()
    assert not ch.is_open
    assert (("close_channel", 2) in dev.log) == swallowed


def test_reset_input_buffer_keeps_queue_when_command_fails(dev, ch):
    fill(ch, b"abc")
    dev.fail["FlushInput"] = OSError("timeout")
    with pytest.raises(OSError):
        ch.flush_input()
    assert ch.in_waiting == 3
    del dev.fail["FlushInput"]
    ch.flush_input()
    assert ch.in_waiting == 0 and dev.log == [("FlushInput", 2)] * 2


def expected_packets(channel, data, size=64):
    out = []
    for i in range(0, len(data), size - 2):
        piece = bytes(data[i:i + size - 2])
        out.append(bytes([channel, len(piece)]) + piece + bytes(size - 2 - len(piece)))
    return out


@pytest.mark.parametrize("n", [0, 1, 62, 63, 124, 130])
@pytest.mark.parametrize("kind", [bytes, bytearray, lambda b: B(b), list, memoryview, tuple])
def test_write_packets(dev, ch, n, kind):
    raw = bytes((i * 7) % 256 for i in range(n))
    assert ch.write(kind(raw)) == n
    assert all(type(p) is array.array and p.typecode == "B" for p in dev.packets)
    assert [p.tobytes() for p in dev.packets] == expected_packets(2, raw)


def test_write_text_as_utf8(dev, ch):
    text = "é€" * 20
    assert ch.write(text) == len(text.encode()) == 100
    assert [p.tobytes() for p in dev.packets] == expected_packets(2, text.encode())


def test_write_reads_package_size_each_call(dev, ch, monkeypatch):
    monkeypatch.setattr(ozu_qlix, "_Device", type("Small", (), {"PackageSize": 16}))
    assert ch.write(b"x" * 20) == 20
    assert [p.tobytes() for p in dev.packets] == expected_packets(2, b"x" * 20, size=16)


@pytest.mark.parametrize("data, error, sent", [
    ([1] * 65 + [300] + [1] * 5, OverflowError, 1),
    ([1, 2, -1], OverflowError, 0),
    ([1] * 62 + ["a"], TypeError, 1),
    (array.array("H", [1, 2]), TypeError, 0),
    ((b for b in b"ab"), TypeError, 0),
])
def test_write_bad_data(dev, ch, data, error, sent):
    with pytest.raises(error):
        ch.write(data)
    assert len(dev.packets) == sent


def test_write_error_part_way(dev, ch):
    dev.fail_packet = (1, OSError("write timed out"))
    with pytest.raises(OSError, match="write timed out"):
        ch.write(b"z" * 150)
    assert [p.tobytes() for p in dev.packets] == expected_packets(2, b"z" * 62)


def test_without_assertions():
    script = textwrap.dedent("""
        import ozu_qlix
        class Dev:
            serial_number = "S"
            def send_command_to_channel(self, c, n): pass
            def close_channel(self, n): pass
            def output_data(self, p): sent.append(p)
        class Size: PackageSize = 64
        ozu_qlix._Device = Size
        sent = []
        ch = ozu_qlix._Channel(Dev(), 1)
        ch.close()
        assert ch.reset_input_buffer() is None
        assert ch.write(b"ab") == 2 and len(sent) == 1
        try:
            ch.read(1)
        except TypeError as e:
            print(e)
    """)
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "object of type 'NoneType' has no len()"
