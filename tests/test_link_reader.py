"""Adapter construction, USB transfers, the reader thread and process exit."""

import array
import os
import threading
import types

import pytest
import usb.core

import ozu_qlix
from conftest import reader_threads, run_child, wait_until
from fake_usb import FakeAdapter

SERIAL = "0123456789AB"
FAIL = "USB 设备[QLIX" + SERIAL + "S]读取数据失败，有可能是设备已拔出："


class Recorder:
    def __init__(self, number, log):
        self.number, self.log = number, log

    def input_data(self, data):
        self.log.append((self.number, data))


def recorded(device, numbers):
    log = []
    for n in numbers + [9]:
        device._Device__channels[n] = Recorder(n, log)
    return log


def settle(fake, log):
    """Waits until everything injected so far has been walked (channel 9 marks the end)."""
    fake.send((9, b"!"))
    assert wait_until(lambda: log and log[-1][0] == 9)
    del log[-1]


@pytest.mark.parametrize(
    "options, calls",
    [
        ({"kernel_driver": True}, ["is_kernel_driver_active", "detach_kernel_driver", "get_active_configuration"]),
        ({"kernel_driver": False}, ["is_kernel_driver_active", "get_active_configuration"]),
        ({"kernel_unsupported": True}, ["is_kernel_driver_active", "get_active_configuration"]),
    ],
)
def test_construction(make_device, options, calls):
    fake = FakeAdapter(**options)
    device = make_device(fake)
    assert [c[0] for c in fake.calls] == calls
    assert device._Device__input_scanner in reader_threads() and device._Device__stop_flag is False


@pytest.mark.parametrize("swapped", [False, True])
def test_transfers_use_keywords_and_listed_endpoints(make_device, monkeypatch, swapped):
    calls = []
    fake = FakeAdapter(endpoints_swapped=swapped)
    monkeypatch.setattr(fake, "write", lambda *a, **kw: calls.append((a, kw)) or 64)
    device = make_device(fake)
    assert device._Device__write(b"x") == 64 and device._Device__write(data=b"y", timeout=7) == 64
    out = fake.IN_ADDRESS if swapped else fake.OUT_ADDRESS
    assert calls == [
        ((), {"endpoint": out, "data": b"x", "timeout": 100}),
        ((), {"endpoint": out, "data": b"y", "timeout": 7}),
    ]
    monkeypatch.setattr(fake, "read", lambda *a, **kw: ("read", a, kw))
    assert device._Device__read() == (
        "read",
        (),
        {"endpoint": 0x01 if swapped else 0x81, "size_or_buffer": 64, "timeout": 50},
    )


@pytest.mark.parametrize("method", ["_Device__read", "_Device__write"])
@pytest.mark.parametrize("bad", [True, None, 50.0])
def test_transfer_timeout_must_be_exact_int(make_device, method, bad):
    args = () if method == "_Device__read" else (bytes(64),)
    with pytest.raises(
        TypeError, match=r"^Argument 'timeout' has incorrect type \(expected int, got %s\)$" % type(bad).__name__
    ):
        getattr(make_device(), method)(*args, timeout=bad)


def test_close_twice_and_serial_number_type(manager):
    fake = FakeAdapter()
    device = ozu_qlix._Device(manager, fake)
    device.close()
    assert not device._Device__input_scanner.is_alive() and fake.disposed == 1
    device.close()
    assert fake.disposed == 2
    fake.serial_number = b"raw"
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        device.serial_number


@pytest.mark.parametrize(
    "raw, expected",
    [
        (b"\x00\x01\x03abc", []),
        (bytes([1, 3, 0x61, 0x62, 0x63, 2, 1, 0x78, 0]), [(1, b"abc"), (2, b"x")]),
        (bytes([1, 0, 5, 2, 0x7A, 0x7A, 2, 1, 0x78]), [(1, b""), (2, b"x")]),  # 5 is not open
        (bytes([1, 60]) + b"a" * 60 + bytes([2, 1, 0x78]), [(1, b"a" * 60)]),  # no header at 62
        (bytes([1, 10, 0x41, 0x42]), [(1, b"AB")]),  # count runs past the received bytes
        (bytes([1, 1, 0x41, 2]), [(1, b"A")]),  # count byte missing
        (b"", []),
        (bytes([1, 1, 0x41, 100, 1, 0x39, 2, 1, 0x78]), [(1, b"A")]),  # control record ends the walk
    ],
)
@pytest.mark.parametrize("convert", [None, list, bytes])
def test_walk_delivers_slices_of_what_was_read(make_device, monkeypatch, capsys, raw, expected, convert):
    fake = FakeAdapter()
    read = fake.read
    monkeypatch.setattr(fake, "read", lambda *a, **kw: convert(read(*a, **kw)) if convert else read(*a, **kw))
    device = make_device(fake)
    log = recorded(device, [1, 2])
    fake.inject(raw)
    settle(fake, log)
    assert [(n, bytes(d)) for n, d in log] == expected
    assert all(type(d) is (convert or array.array) for _, d in log)
    assert device._Device__input_scanner.is_alive() and capsys.readouterr().err == ""


def test_control_replies_and_channel_handlers(make_device, capsys):
    device = make_device()
    fake, seen = device._Device__dev, []
    log = recorded(device, [1])

    def handler(payload):
        seen.append(bytes(payload))
        if payload[0] == ord("x"):
            raise ValueError("bad reply")

    device.set_io_control_handler_for_channel(handler, 3)
    device._Device__io_control_master_event.clear()  # the channel-count reply is consumed
    fake.send((100, b"first"), (1, b"dropped"))
    fake.send((100, b"second"))
    fake.send((104, b"nobody"))
    fake.send((103, b"ok"), (1, b"dropped"))
    fake.send((103, b"x"))
    settle(fake, log)
    assert log == [] and seen == [b"ok", b"x"]
    assert bytes(device._Device__io_control_master_query_feedback) == b"first"
    assert capsys.readouterr().err == "处理 IOControl 命令时出错：[bad reply]:" + SERIAL


@pytest.mark.parametrize("cause", ["unplug", "input_data", "read_error"])
def test_failure_reports_once_and_ends_reader(make_device, capsys, cause):
    device = make_device()
    fake, thread = device._Device__dev, device._Device__input_scanner
    if cause == "unplug":
        fake.unplug()
        error = usb.core.USBError("No such device (it may have been disconnected)", -4, 19)
    elif cause == "input_data":
        error = RuntimeError("delivery failed")

        def input_data(data):
            raise error

        device._Device__channels[1] = types.SimpleNamespace(input_data=input_data)
        fake.send((1, b"a"))
    else:
        error = usb.core.USBError("pipe")
        fake.fail_next_read(error)
    thread.join(5)
    assert not thread.is_alive() and capsys.readouterr().err == FAIL + str(error)


def test_idle_error_type_is_read_at_call_time_and_base_exceptions_escape(make_device, monkeypatch, capsys):
    class Idle(Exception):
        pass

    class Escape(BaseException):
        pass

    escaped = []
    monkeypatch.setattr(threading, "excepthook", lambda args: escaped.append(args.exc_type))
    monkeypatch.setattr(ozu_qlix, "_usb_core", types.SimpleNamespace(USBTimeoutError=Idle))
    device = make_device()
    fake, thread = device._Device__dev, device._Device__input_scanner
    fake.fail_next_read(Idle())
    log = recorded(device, [])
    settle(fake, log)
    fake.fail_next_read(Escape())
    thread.join(5)
    assert not thread.is_alive() and escaped == [Escape] and capsys.readouterr().err == ""


CHILD = """
import sys, threading, time
sys.path.insert(0, %r)
import ozu_qlix
from fake_usb import FakeAdapter
fake = FakeAdapter()
device = ozu_qlix._Device(None, fake)
assert not device._Device__input_scanner.daemon
got = []
device._Device__channels[1] = type("C", (), {"input_data": lambda self, d: got.append(bytes(d))})()

def worker():
    time.sleep(0.5)  # well after the main thread has returned
    fake.send((1, b"late"))
    deadline = time.monotonic() + 10
    while not got and time.monotonic() < deadline:
        time.sleep(0.01)
    print("worker got", got)
    device.close()
""" % os.path.dirname(__file__)


@pytest.mark.parametrize(
    "tail, output",
    [
        ("print('main done')", "main done\n"),
        ("threading.Thread(target=worker).start()", "worker got [b'late']\n"),
    ],
)
def test_readers_never_keep_a_finished_program_alive(tail, output):
    result = run_child(CHILD + tail + "\n", timeout=30)
    assert (result.returncode, result.stdout, result.stderr) == (0, output, "")
