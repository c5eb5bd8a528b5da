"""Reads that wait: they end when input arrives, when the adapter is lost
(after the bytes queued before the loss), or when cancelled; on fake adapters
and on virtual ones."""

import threading
import time

import pytest

import ozu_qlix
from conftest import run_child, wait_until

SERIAL = "0123456789AB"


@pytest.fixture(params=["fake", "virtual"])
def link(request):
    """(inject(channel, data), unplug()) for an attached adapter with 4 channels."""
    if request.param == "fake":
        adapter = request.getfixturevalue("bus").add(SERIAL)
        return (lambda channel, data: adapter.send((channel, data))), adapter.unplug
    adapter = request.getfixturevalue("vbus").add_adapter(SERIAL, channels=4)
    return adapter.inject, adapter.unplug


def port(channel, timeout):
    return ozu_qlix.Serial("QLIX%sS%d" % (SERIAL, channel), 115200, timeout=timeout)


def in_thread(call):
    """Starts call() on a daemon thread; returns (thread, outcome dict)."""
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except BaseException as exc:
            outcome["result"] = exc

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    return thread, outcome


@pytest.mark.parametrize("call", ["read", "read_until"])
def test_waiting_read_returns_when_input_arrives(link, watchdog, call):
    inject, _ = link
    with port(2, timeout=60) as p:
        thread, outcome = in_thread(lambda: p.read(3) if call == "read" else p.read_until(b"\n"))
        threading.Event().wait(0.1)
        assert thread.is_alive()
        inject(2, b"ab\n")
        thread.join(30)  # far below the 60 s time-out: woken by the input
        assert outcome == {"result": b"ab\n"}


def test_wall_clock_set_back_does_not_lengthen_a_read(link, watchdog, monkeypatch):
    # A test cannot set back the system clock, and while `_now` is the host's
    # time.time the module reads no wall clock at all: the read's deadline is
    # taken on the monotonic clock. What a test can set back is `_now` itself:
    # an hour behind once the read waits, it must not move that deadline (a
    # deadline kept on the wall clock would wait for that hour).
    with port(1, timeout=0.3) as p:
        thread, outcome = in_thread(lambda: p.read(1))
        threading.Event().wait(0.1)
        monkeypatch.setattr(ozu_qlix, "_now", lambda: time.time() - 3600)
        thread.join(10)  # far above the 0.3 s time-out
        ended = not thread.is_alive()
        monkeypatch.undo()
        thread.join(30)
        assert ended and outcome == {"result": b""}


def test_adapter_loss_ends_reads_after_the_queued_bytes(link, watchdog):
    inject, unplug = link
    queued, partial, waiting, limited = port(1, 0), port(2, 0), port(3, 0), port(4, 60)
    inject(1, b"abc")
    inject(2, b"xy")
    assert wait_until(lambda: queued.in_waiting == 3 and partial.in_waiting == 2)
    readers = [
        in_thread(lambda: partial.read(5)),
        in_thread(lambda: waiting.read_until()),
        in_thread(lambda: limited.read(1)),
    ]
    assert wait_until(lambda: partial.in_waiting == 0)  # taken by the waiting read
    unplug()
    for thread, _ in readers:
        thread.join(30)
    results = [outcome["result"] for _, outcome in readers]
    assert results[0] == b"xy"  # a read that took bytes returns them
    for channel, error in [(3, results[1]), (4, results[2])]:
        assert isinstance(error, OSError) and str(error) == "设备[QLIX%sS%d]已断开" % (SERIAL, channel)
    assert queued.read(10) == b"abc"  # queued before the loss: still delivered
    for p in (queued, partial):
        for later in (lambda: p.read(1), p.read_until):
            with pytest.raises(OSError, match=r"^设备\[QLIX%sS\d\]已断开$" % SERIAL):
                later()
    assert all(p.is_open for p in (queued, partial, waiting, limited))
    for p in (queued, partial, waiting, limited):
        p.close()


def test_cancel_ends_a_waiting_read_with_what_it_took(link, watchdog):
    inject, _ = link
    with port(1, 0) as p:
        inject(1, b"part")
        assert wait_until(lambda: p.in_waiting == 4)
        thread, outcome = in_thread(lambda: p.read(10))
        assert wait_until(lambda: p.in_waiting == 0)
        p._Serial__handle._Channel__in_signal.cancel()
        thread.join(30)
        assert outcome == {"result": b"part"}


def test_adapter_loss_is_not_an_assertion():
    result = run_child(
        """
import usb.core
from fake_usb import FakeAdapter
fake = FakeAdapter()
fake.idVendor, fake.idProduct = 0x0483, 0x5750
usb.core.find = lambda find_all=False, **criteria: iter([fake]) if find_all else fake
import ozu_qlix
port = ozu_qlix.Serial("QLIX0123456789ABS1", 9600, timeout=0)
fake.unplug()
try:
    port.read(1)
except OSError as error:
    print(error)
port.close()
""",
        "-O",
        timeout=30,
    )
    assert result.stdout == "设备[QLIX0123456789ABS1]已断开\n", result.stderr
