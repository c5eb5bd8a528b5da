"""The qlix:// URL handler, driven through pyserial's own client code on
virtual adapters: serial_for_url, io wrappers, serial.threaded, timeouts,
settings, errors, cancelling and unplugging."""

import io
import re
import threading
import time

import pytest
import serial
import serial.rs485
import serial.threaded
import usb.core

import ozu_qlix_serial
from ozu_qlix_serial import protocol_qlix
from conftest import wait_until

PORT_TIMEOUT = 2


def elapsed(fn):
    start = time.monotonic()
    result = fn()
    return result, time.monotonic() - start


@pytest.mark.parametrize("url", ["qlix://ANY/2", "QLIX://any/2", "qlix://0123456789AB/2", "qlix://0123456789ab/2/"])
def test_serial_for_url_opens_the_channel_at_the_baud_rate(open_port, virtual_adapter, url):
    port = open_port(url, baudrate=115200)
    assert isinstance(port, ozu_qlix_serial.Serial)
    assert (port.port, port.name, port.is_open) == (url, "QLIX0123456789ABS2", True)
    assert virtual_adapter.channel_open(2) and virtual_adapter.channel_rate(2) == 115200
    assert port.write(b"ping") == 4 and port.read(4) == b"ping"
    assert virtual_adapter.received(2) == b"ping"
    port.baudrate = 9600
    assert virtual_adapter.channel_rate(2) == 9600


@pytest.mark.parametrize(
    "data, read, expected",
    [
        (b"one\ntwo\n", lambda p: [p.readline(), p.readline()], [b"one\n", b"two\n"]),
        (b"a\r\nb\r\n", lambda p: [p.read_until(b"\r\n"), p.read_until(b"\r\n")], [b"a\r\n", b"b\r\n"]),
        (b"x\ry\rEND\n", lambda p: p.read_until(b"\rEND"), b"x\ry\rEND"),
        (b"abcdef\n", lambda p: [p.read_until(b"\n", 4), p.readline(10)], [b"abcd", b"ef\n"]),
        (b"1\n2\n3", lambda p: p.readlines(), [b"1\n", b"2\n", b"3"]),
        (b"1\n2\n", lambda p: list(p), [b"1\n", b"2\n"]),
        (b"\x00\xff" * 40, lambda p: p.read(80), b"\x00\xff" * 40),
    ],
    ids=["readline", "read_until CRLF", "read_until 4-byte", "size limits", "readlines", "iteration", "binary"],
)
def test_pyserial_reading_members(open_port, data, read, expected):
    port = open_port(timeout=0.5)
    port.write(data)
    assert read(port) == expected


def test_text_wrapper_over_the_port(open_port, virtual_adapter):
    port = open_port(timeout=0.3)  # a buffered read asks for 8 KiB: it ends at the timeout
    text = io.TextIOWrapper(io.BufferedRWPair(port, port), encoding="utf-8", newline="\r\n", line_buffering=True)
    text.write("grüße\n")
    assert text.readline() == "grüße\r\n"
    assert virtual_adapter.received(1) == "grüße\r\n".encode()
    assert port.in_waiting == 0 and port.out_waiting == 0
    # The pair, dropped while the port is open, closes it through its reader
    # and writer; nothing is left over the closed port to flush at collection.
    text.detach()
    assert not port.is_open


def test_line_reader_over_paired_channels(vbus, open_port):
    vbus.add_adapter("00000000000B", channels=2, pairing=True)
    sender = open_port("qlix://00000000000B/1")
    lines = []

    class Lines(serial.threaded.LineReader):
        TERMINATOR = b"\n"

        def handle_line(self, line):
            lines.append(line)

    with serial.threaded.ReaderThread(open_port("qlix://00000000000B/2", timeout=None), Lines) as protocol:
        for i in range(20):
            sender.write(b"line %d\n" % i)
        assert wait_until(lambda: len(lines) == 20, 10), lines
        protocol.write_line("back")
        assert sender.readline() == b"back\n"
    assert lines == ["line %d" % i for i in range(20)]


@pytest.mark.parametrize(
    "settings, queued, call, expected, low, high",
    [
        ({"timeout": 0}, b"", lambda p: p.read(5), b"", 0, 0.5),
        ({"timeout": 0}, b"abc", lambda p: p.read(5), b"abc", 0, 0.5),
        ({"timeout": 0.3}, b"ab", lambda p: p.read(5), b"ab", 0.3, 3),
        ({"timeout": 0.3}, b"ab", lambda p: p.readline(), b"ab", 0.3, 3),
        ({"timeout": 0.3}, b"ab\r", lambda p: p.read_until(b"\r\n"), b"ab\r", 0.3, 3),
        ({"timeout": 10, "inter_byte_timeout": 0.2}, b"abc", lambda p: p.read(10), b"abc", 0.2, 5),
        ({"timeout": 0.3, "inter_byte_timeout": 5}, b"", lambda p: p.read(10), b"", 0.3, 3),
    ],
    ids=[
        "0 empty",
        "0 queued",
        "0.3 read",
        "0.3 readline",
        "0.3 read_until CRLF",
        "inter-byte",
        "overall bounds inter-byte",
    ],
)
def test_timeouts(open_port, virtual_adapter, settings, queued, call, expected, low, high):
    port = open_port(**settings)
    if queued:
        virtual_adapter.inject(1, queued)
        assert wait_until(lambda: port.in_waiting == len(queued))
    result, took = elapsed(lambda: call(port))
    assert result == expected
    assert low <= took < high


def test_timeout_set_by_another_thread_during_an_inter_byte_read_is_kept(open_port, virtual_adapter, monkeypatch):
    # Another thread sets port.timeout at every point where the read works out
    # a wait's time-out: the port's channel must end with the last value set.
    port = open_port(timeout=30.0, inter_byte_timeout=0.2)
    virtual_adapter.inject(1, b"abc")
    assert wait_until(lambda: port.in_waiting == 3)
    reader, values, convert = threading.current_thread(), iter(range(11, 100)), protocol_qlix._channel_timeout

    def switching(seconds):
        value = convert(seconds)
        if threading.current_thread() is reader:
            other = threading.Thread(target=setattr, args=(port, "timeout", next(values)))
            other.start()
            other.join()
        return value

    monkeypatch.setattr(protocol_qlix, "_channel_timeout", switching)
    assert port.read(10) == b"abc"
    assert port._channel.timeout == float(port.timeout)


def test_timeout_none_waits_for_every_byte(open_port, virtual_adapter):
    port = open_port(timeout=None)
    feeder = threading.Timer(0.3, lambda: [virtual_adapter.inject(1, bytes([b])) for b in b"slow!"])
    feeder.start()
    result, took = elapsed(lambda: port.read(5))
    feeder.join()
    assert result == b"slow!" and took >= 0.3


def test_usb_out_time_out_is_a_write_timeout(open_port, virtual_adapter):
    port = open_port(write_timeout=1)
    virtual_adapter.out_timeout = True
    with pytest.raises(serial.SerialTimeoutException) as failure:
        port.write(b"x" * 100)
    assert isinstance(failure.value.__cause__, usb.core.USBTimeoutError)
    virtual_adapter.out_timeout = False
    assert port.write(b"ok") == 2 and port.read(2) == b"ok"


FIXED = [
    ("bytesize", serial.SEVENBITS, "bytesize=8"),
    ("parity", serial.PARITY_EVEN, "parity='N'"),
    ("stopbits", serial.STOPBITS_TWO, "stopbits=1"),
    ("xonxoff", True, "xonxoff=False"),
    ("rtscts", True, "rtscts=False"),
    ("dsrdtr", True, "dsrdtr=False"),
]


@pytest.mark.parametrize(
    "name, value, supported, when",
    [
        (*setting, when)
        for when in ("construction", "assignment", "assignment while closed", "apply_settings")
        for setting in FIXED
    ]
    + [("rs485_mode", serial.rs485.RS485Settings(), "rs485_mode=None", "assignment")],
)
def test_settings_other_than_8n1_are_refused(open_port, virtual_adapter, name, value, supported, when):
    match = (
        re.escape("%s=%r is not supported: QLIX adapters support only %s" % (name, value, supported))
        + ".*; they run 8 data bits, no parity, 1 stop bit and no flow control$"
    )
    with pytest.raises(ValueError, match=match):
        if when == "construction":
            open_port(**{name: value})
        port = open_port(do_not_open=when == "assignment while closed")
        if when == "apply_settings":
            port.apply_settings(dict(port.get_settings(), **{name: value}))
        else:
            setattr(port, name, value)
    if when != "construction":
        assert getattr(port, name) != value
        port.open() if not port.is_open else None
        assert port.write(b"still 8N1") == 9 and port.read(9) == b"still 8N1"


def test_modem_lines_and_break(open_port):
    port = open_port()
    port.rts, port.dtr = False, True
    assert (port.cts, port.dsr, port.ri, port.cd) == (False, False, False, False)
    with pytest.raises(serial.SerialException, match="not supported"):
        port.send_break()
    assert port.write(b"on") == 2 and port.read(2) == b"on"


# English first, the module's own text kept after it.
@pytest.mark.parametrize(
    "url, message, cause",
    [
        (
            "qlix://FEEDFACE0000/1",
            "no attached QLIX adapter has the serial number FEEDFACE0000 (attached: "
            "0123456789AB): `ozu-qlix-ports` lists the attached ones (QLIX Device (VID=0x483, PID=0x5750) with Serial "
            'Number "FEEDFACE0000" not found.)',
            AssertionError,
        ),
        (
            "qlix://ANY/5",
            "channel 5 is out of range: adapter 0123456789AB has channels 1 to 4 (通道号超出范围 (0, 4]:0123456789AB)",
            AssertionError,
        ),
        (
            "qlix://ANY/0",
            "channel 0 is out of range: adapter 0123456789AB has channels 1 to 4 (通道号超出范围 (0, 4]:0123456789AB)",
            AssertionError,
        ),
        (
            "qlix://ANY/1",
            "channel 1 of adapter 0123456789AB is already open (one port per channel) (通道[1]已经打开:0123456789AB)",
            AssertionError,
        ),
        (
            "qlix://ANY/x",
            "expected a URL of the form qlix://<serial number or ANY>/<channel>, not 'qlix://ANY/x'",
            None,
        ),
    ],
)
def test_open_failures_are_serial_exceptions(open_port, url, message, cause):
    open_port("qlix://ANY/1")
    with pytest.raises(serial.SerialException) as failure:
        open_port(url)
    prefix = "" if cause is None else "could not open port %s: " % url
    assert str(failure.value) == prefix + message
    assert type(failure.value.__cause__) is cause if cause else failure.value.__cause__ is None


def test_no_adapter_attached_says_where_to_look(vbus):
    with pytest.raises(serial.SerialException) as failure:
        serial.serial_for_url("qlix://ANY/1")
    assert str(failure.value) == (
        "could not open port qlix://ANY/1: no QLIX adapter is attached: `ozu-qlix-ports` lists the attached ones; "
        'to set one up, see the README, "Use a real adapter" (QLIX Device (VID=0x483, PID=0x5750) not found.)'
    )


@pytest.mark.parametrize(
    "use",
    [
        lambda p: p.read(),
        lambda p: p.write(b"x"),
        lambda p: p.readline(),
        lambda p: p.in_waiting,
        lambda p: p.out_waiting,
        lambda p: p.reset_input_buffer(),
        lambda p: p.reset_output_buffer(),
        lambda p: p.flush(),
        lambda p: p.cts,
        lambda p: p.send_break(),
    ],
    ids=[
        "read",
        "write",
        "readline",
        "in_waiting",
        "out_waiting",
        "reset_input_buffer",
        "reset_output_buffer",
        "flush",
        "cts",
        "send_break",
    ],
)
def test_closed_port_raises_port_not_open(open_port, use):
    port = open_port()
    port.close()
    with pytest.raises(serial.PortNotOpenError):
        use(port)


def test_reopening(open_port, virtual_adapter, vbus):
    port = open_port(do_not_open=True)
    for round_ in range(3):
        with port:
            assert virtual_adapter.channel_open(1)
            port.write(b"round %d" % round_)
            assert port.read(7) == b"round %d" % round_
        assert not port.is_open and not virtual_adapter.channel_open(1)
    port.open()
    port.port = "qlix://ANY/3"  # pyserial reopens on the new port
    assert port.is_open and virtual_adapter.channel_open(3) and not virtual_adapter.channel_open(1)
    with pytest.raises(serial.SerialException, match="already open"):
        port.open()
    port.close()
    port.close()
    assert vbus.open_handles() == 0


@pytest.mark.parametrize(
    "read",
    [
        lambda p: p.read(10),
        lambda p: p.read_until(b"END"),
        lambda p: p.readline(),
        lambda p: p.read(10) if setattr(p, "inter_byte_timeout", 30) is None else None,
    ],
    ids=["read", "read_until", "readline", "inter-byte read"],
)
def test_cancel_read_from_another_thread(open_port, virtual_adapter, read, watchdog):
    port = open_port(timeout=None)
    got, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            got.append(read(port))

    thread = threading.Thread(target=reader)
    thread.start()
    virtual_adapter.inject(1, b"abc")
    # A waiting read only ends when cancelled: 3 bytes never satisfy it.
    assert wait_until(lambda: port.cancel_read() or b"".join(got) == b"abc", 5), got
    stop.set()
    assert wait_until(lambda: port.cancel_read() or not thread.is_alive(), 5)
    thread.join()
    assert all(len(part) <= 10 for part in got)


@pytest.mark.parametrize("how", ["waiting read", "later read", "write"])
def test_unplugging_raises_serial_exception(open_port, virtual_adapter, how, watchdog):
    port = open_port(timeout=None if how == "waiting read" else 30)
    virtual_adapter.inject(1, b"before")
    assert port.read(6) == b"before"
    outcome = []
    if how == "waiting read":
        thread = threading.Thread(target=lambda: outcome.append(pytest.raises(serial.SerialException, port.read, 5)))
        thread.start()
        time.sleep(0.2)
    virtual_adapter.unplug()
    unplugged = time.monotonic()
    if how == "write":  # once the reader has closed the adapter
        assert wait_until(lambda: not ozu_qlix_serial._extension.registered_adapters(), 10)
    if how == "waiting read":
        thread.join(10)
        assert not thread.is_alive()
        failure = outcome[0]
    else:
        with pytest.raises(serial.SerialException) as failure:
            port.read(5) if how == "later read" else port.write(b"x")
        assert time.monotonic() - unplugged < 10  # not the 30 s timeout
    assert isinstance(failure.value.__cause__, OSError)
    if how != "write":
        assert str(failure.value) == (
            "the adapter of QLIX0123456789ABS1 is disconnected (unplugged, or its USB reads "
            "fail) (设备[QLIX0123456789ABS1]已断开)"
        )
    else:
        assert str(failure.value) == (
            "adapter 0123456789AB is closed (unplugged, or its USB reads failed) "
            "([Errno 19] USB 设备[QLIX0123456789ABS]已关闭)"
        )
