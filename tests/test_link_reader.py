"""The reader thread: record walk, dispatch, failures and process exit."""

import array
import os
import threading
import types

import pytest
import usb.core

import ozu_qlix
from conftest import run_child, wait_until
from fake_usb import FakeAdapter, packet

SENTINEL = 9
SERIAL = "0123456789AB"


class Recorder:
    """A stand-in channel that records what the reader delivers."""

    def __init__(self, number, log):
        self.number, self.log = number, log

    def input_data(self, data):
        self.log.append((self.number, data))


class ConvertingAdapter(FakeAdapter):
    """Returns each read as another sequence type."""

    def __init__(self, convert, **options):
        super().__init__(**options)
        self.convert = convert

    def read(self, endpoint, size_or_buffer, timeout=None):
        return self.convert(super().read(endpoint, size_or_buffer, timeout))


def open_recorders(device, numbers, log):
    for n in numbers:
        device._Device__channels[n] = Recorder(n, log)


def settle(fake, log):
    """Waits until everything injected so far has been walked."""
    fake.send((SENTINEL, b"!"))
    assert wait_until(lambda: any(n == SENTINEL for n, _ in log))
    del log[-1]


@pytest.mark.parametrize("raw, expected", [
    (b"\x00\x01\x03abc", []),
    (bytes([1, 3, 0x61, 0x62, 0x63, 2, 1, 0x78, 0]), [(1, b"abc"), (2, b"x")]),
    (bytes([1, 0, 2, 1, 0x78]), [(1, b""), (2, b"x")]),
    (bytes([5, 2, 0x7A, 0x7A, 1, 1, 0x41, 0]), [(1, b"A")]),
    (bytes([1, 60]) + b"a" * 60 + bytes([2, 1, 0x78]), [(1, b"a" * 60)]),
    (bytes([1, 10, 0x41, 0x42]), [(1, b"AB")]),
    (bytes([1, 2, 0x41, 0x42]), [(1, b"AB")]),
    (bytes([1, 1, 0x41, 2]), [(1, b"A")]),
    (bytes([1]), []),
    (b"", []),
    (bytes([1, 1, 0x41, 100, 1, 0x39, 2, 1, 0x78]), [(1, b"A")]),
])
@pytest.mark.parametrize("convert", [lambda a: a, list, bytes], ids=["array", "list", "bytes"])
def test_walk_delivers_records_in_order(make_device, capsys, raw, expected, convert):
    fake = ConvertingAdapter(convert)
    device = make_device(fake)
    log = []
    open_recorders(device, [1, 2, SENTINEL], log)
    fake.inject(raw)
    settle(fake, log)
    assert [(n, bytes(d)) for n, d in log] == expected
    assert all(type(d) is type(convert(array.array("B"))) for _, d in log)
    assert device._Device__input_scanner.is_alive()
    assert capsys.readouterr().err == ""


def test_payload_is_a_copy_not_a_view(make_device):
    device = make_device()
    fake = device._Device__dev
    log = []
    open_recorders(device, [1, SENTINEL], log)
    fake.send((1, b"abc"), (1, b"de"))
    settle(fake, log)
    first, second = log[0][1], log[1][1]
    first[0] = 0x5A
    assert (bytes(first), bytes(second)) == (b"Zbc", b"de")


def test_control_replies_first_kept_until_event_cleared(make_device):
    device = make_device()
    fake = device._Device__dev
    log = []
    open_recorders(device, [1, SENTINEL], log)
    fake.send((100, b"first"), (1, b"not delivered"))
    fake.send((100, b"second"))
    settle(fake, log)
    assert log == []
    assert device._Device__io_control_master_event.is_set()
    assert bytes(device._Device__io_control_master_query_feedback) == b"first"


def test_channel_replies_go_to_handler_and_handler_errors_are_reported(make_device, capsys):
    device = make_device()
    fake = device._Device__dev
    seen, log = [], []
    open_recorders(device, [SENTINEL], log)

    def handler(payload):
        seen.append(bytes(payload))
        if payload[0] == ord("x"):
            raise ValueError("bad reply")

    device.set_io_control_handler_for_channel(handler, 3)
    fake.send((104, b"nobody"))
    fake.send((103, b"ok"), (SENTINEL, b"not delivered"))
    fake.send((103, b"x"))
    settle(fake, log)
    assert seen == [b"ok", b"x"] and log == []
    assert capsys.readouterr().err == "处理 IOControl 命令时出错：[bad reply]:" + SERIAL
    assert device._Device__input_scanner.is_alive()


@pytest.mark.parametrize("cause, text", [
    ("unplug", str(usb.core.USBError("No such device (it may have been disconnected)", -4, 19))),
    ("input_data", "delivery failed"),
    ("read_error", str(usb.core.USBError("pipe"))),
])
def test_failure_reports_once_and_ends_reader(make_device, capsys, cause, text):
    device = make_device()
    fake = device._Device__dev
    thread = device._Device__input_scanner

    class Failing:
        def input_data(self, data):
            raise RuntimeError("delivery failed")

    if cause == "unplug":
        fake.unplug()
    elif cause == "input_data":
        device._Device__channels[1] = Failing()
        fake.send((1, b"a"))
    else:
        fake.fail_next_read(usb.core.USBError("pipe"))
    thread.join(5)
    assert not thread.is_alive()
    assert capsys.readouterr().err == (
        "USB 设备[QLIX" + SERIAL + "S]读取数据失败，有可能是设备已拔出：" + text)
    device.close()


def test_timeout_type_is_read_from_module_global_at_call_time(make_device, monkeypatch, capsys):
    class Idle(Exception):
        pass

    monkeypatch.setattr(ozu_qlix, "_usb_core", types.SimpleNamespace(USBTimeoutError=Idle))
    device = make_device()
    fake = device._Device__dev
    thread = device._Device__input_scanner
    fake.fail_next_read(Idle("nothing"))
    assert wait_until(lambda: fake.read_error is None)
    log = []
    open_recorders(device, [SENTINEL], log)
    settle(fake, log)
    assert thread.is_alive() and capsys.readouterr().err == ""
    # The real time-out is now an ordinary failure.
    fake.fail_next_read(usb.core.USBTimeoutError("timed out"))
    thread.join(5)
    assert not thread.is_alive()
    assert capsys.readouterr().err.endswith("：" + str(usb.core.USBTimeoutError("timed out")))


def test_exception_outside_exception_hierarchy_propagates_without_message(make_device, monkeypatch, capsys):
    class Escape(BaseException):
        pass

    escaped = []
    monkeypatch.setattr(threading, "excepthook", lambda args: escaped.append(args.exc_type))
    device = make_device()
    thread = device._Device__input_scanner
    device._Device__dev.fail_next_read(Escape())
    thread.join(5)
    assert not thread.is_alive() and escaped == [Escape]
    assert capsys.readouterr().err == ""


CHILD_PRELUDE = """
import sys, threading, time
sys.path.insert(0, %r)
import ozu_qlix
from fake_usb import FakeAdapter

class Manager:
    def close_device(self, device):
        pass

fake = FakeAdapter()
device = ozu_qlix._Device(Manager(), fake)
assert not device._Device__input_scanner.daemon
""" % os.path.dirname(__file__)


def test_reader_does_not_keep_finished_program_alive():
    result = run_child(CHILD_PRELUDE + "print('main done')\n", timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "main done\n" and result.stderr == ""


def test_reader_serves_worker_thread_that_outlives_main():
    code = CHILD_PRELUDE + """
got = []

class Channel:
    def input_data(self, data):
        got.append(bytes(data))

device._Device__channels[1] = Channel()

def worker():
    time.sleep(0.5)  # well after the main thread has returned
    fake.send((1, b"late"))
    deadline = time.monotonic() + 10
    while not got and time.monotonic() < deadline:
        time.sleep(0.01)
    print("worker got", got)
    device.close()

threading.Thread(target=worker).start()
"""
    result = run_child(code, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "worker got [b'late']\n"
