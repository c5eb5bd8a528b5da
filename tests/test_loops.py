"""qlix:// ports in event loops, on virtual adapters: the descriptor's level,
the output queue of write_timeout = 0, pyserial-asyncio-fast end to end, and
no descriptor or thread left behind."""

import asyncio
import gc
import os
import select
import sys
import threading
import time
import weakref

import pytest
import serial
import serial_asyncio_fast

from conftest import wait_until
from ozu_qlix_serial import OUTPUT_QUEUE_LIMIT

posix_only = pytest.mark.skipif(os.name == "nt", reason="no descriptor on Windows: event loops poll in_waiting")


PORT_TIMEOUT = 0


def level(fd, wait=0.0):
    readable, writable, _ = select.select([fd], [fd], [], wait)
    return bool(readable), bool(writable)


def readable_within(fd, seconds=10.0):
    return bool(select.select([fd], [], [], seconds)[0])


@posix_only
@pytest.mark.parametrize(
    "drain",
    [lambda p: p.read(10), lambda p: p.readline(), lambda p: p.read_until(b"c\n"), lambda p: p.reset_input_buffer()],
    ids=["read", "readline", "read_until", "reset"],
)
def test_descriptor_is_readable_exactly_while_input_is_queued(open_port, virtual_adapter, drain):
    port = open_port()
    fd = port.fileno()
    assert level(fd) == (False, True)
    virtual_adapter.inject(1, b"abc\n")
    assert readable_within(fd) and port.in_waiting == 4
    assert port.read(1) == b"a" and level(fd)[0]  # input left: still readable
    drain(port)
    assert port.in_waiting == 0 and level(fd) == (False, True)
    virtual_adapter.inject(1, b"d")
    assert readable_within(fd) and port.read(5) == b"d" and not level(fd)[0]


@posix_only
@pytest.mark.parametrize("end", ["close", "unplug"])
def test_descriptor_becomes_readable_when_the_channel_ends(open_port, virtual_adapter, end):
    port = open_port()
    watched = os.dup(port.fileno())  # outlives the port's own descriptor
    try:
        seen = []
        watcher = threading.Thread(target=lambda: seen.append(readable_within(watched, 30)))
        watcher.start()
        port.close() if end == "close" else virtual_adapter.unplug()
        watcher.join(40)
        assert seen == [True]
        if end == "unplug":
            assert level(port.fileno())[0]
            with pytest.raises(serial.SerialException):
                port.read(1)
    finally:
        os.close(watched)


@posix_only
def test_errors_of_the_descriptor_hook_are_reported_and_spare_the_reader(open_port, virtual_adapter, monkeypatch):
    port = open_port()
    port.fileno()
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append(info.exc_value))
    signal = port._channel.__dict__["_Channel__in_signal"]
    signal.on_event = lambda: 1 / 0
    virtual_adapter.inject(1, b"x")
    assert wait_until(lambda: port.in_waiting == 1)
    virtual_adapter.inject(1, b"y")  # the reader lives on
    assert wait_until(lambda: port.in_waiting == 2) and port.read(2) == b"xy"
    signal.on_event = None
    assert reported and isinstance(reported[0], ZeroDivisionError)


def test_queued_writes_keep_their_order_and_flush_waits_for_them(open_port, virtual_adapter):
    port = open_port(write_timeout=0)
    pieces = [bytes([i]) * size for i, size in enumerate((1, 61, 62, 63, 5000, 20000, 3))]
    assert [port.write(p) for p in pieces] == [len(p) for p in pieces]
    port.write_timeout = None
    assert port.write(b"last") == 4  # sent after the queued bytes
    port.flush()
    assert port.out_waiting == 0
    assert virtual_adapter.received(1) == b"".join(pieces) + b"last"


def test_an_error_while_sending_is_raised_by_the_next_call(open_port, virtual_adapter):
    port = open_port(write_timeout=0)
    virtual_adapter.stall_out = True
    assert port.write(b"lost") == 4
    assert wait_until(lambda: port.out_waiting == 0)
    with pytest.raises(serial.SerialException):
        port.flush()
    virtual_adapter.stall_out = False
    port.reset_input_buffer()
    assert port.write(b"ok") == 2
    port.flush()
    assert virtual_adapter.received(1).endswith(b"ok") and b"lost" not in virtual_adapter.received(1)


def test_output_queue_is_bounded_under_a_slow_adapter(open_port, virtual_adapter):
    port = open_port(write_timeout=0)
    virtual_adapter.out_timeout = True  # nothing leaves: every packet times out after 100 ms
    writable = (lambda: level(port.fileno())[1]) if os.name != "nt" else (lambda: False)
    assert port.write(bytes(OUTPUT_QUEUE_LIMIT + 1000)) == OUTPUT_QUEUE_LIMIT
    assert port.write(b"more") == 0 and port.out_waiting == OUTPUT_QUEUE_LIMIT and not writable()
    port.reset_output_buffer()  # drops all but the chunk being sent
    assert port.out_waiting < 1000 and (os.name == "nt" or writable())
    virtual_adapter.out_timeout = False  # the NAKed packets are sent again: none is lost
    assert port.write(b"after") == 5
    port.flush()
    sent = virtual_adapter.received(1)
    assert sent.endswith(b"after") and sent[:-5] == bytes(len(sent) - 5) and len(sent) - 5 < 1000


def test_pyserial_asyncio_fast_reads_lines_and_exact_counts_from_two_channels(virtual_adapter, watchdog):
    payload = bytes(range(256)) * 32  # 8 KiB: many USB packets each way

    async def talk(url):
        reader, writer = await serial_asyncio_fast.open_serial_connection(url=url, baudrate=115200)
        try:
            lines = []
            for i in range(20):
                writer.write(b"%s line %d\n" % (url.encode(), i))
                lines.append(await reader.readline())
            writer.write(payload)
            echoed = await reader.readexactly(len(payload))
            return lines, echoed
        finally:
            writer.close()
            await writer.wait_closed()

    async def both():
        return await asyncio.wait_for(asyncio.gather(talk("qlix://ANY/2"), talk("qlix://ANY/3")), 60)

    for url, (lines, echoed) in zip(("qlix://ANY/2", "qlix://ANY/3"), asyncio.run(both())):
        assert lines == [b"%s line %d\n" % (url.encode(), i) for i in range(20)]
        assert echoed == payload
    assert not virtual_adapter.channel_open(2) and not virtual_adapter.channel_open(3)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.slow
@posix_only
@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors in /proc")
def test_no_descriptor_or_thread_left_after_open_close_cycles(vbus, open_port):
    vbus.set_paced(False)
    open_port("qlix://ANY/2")  # keeps the adapter open: each cycle opens a channel only
    threads, descriptors = threading.active_count(), open_descriptors()
    for i in range(10_000):
        port = serial.serial_for_url("qlix://ANY/1", timeout=0, write_timeout=0)
        port.fileno()
        if i % 100 == 0:
            port.write(b"x")  # starts the sending thread
        port.close()
    assert (threading.active_count(), open_descriptors()) == (threads, descriptors)


def test_concurrent_first_writes_share_one_output_queue(open_port, virtual_adapter, monkeypatch):
    from ozu_qlix_serial import protocol_qlix

    made = []

    class Slow(protocol_qlix.OutputQueue):
        def __init__(self, *args):
            time.sleep(0.05)  # every first write is under way before the first queue exists
            super().__init__(*args)
            made.append(self)

    monkeypatch.setattr(protocol_qlix, "OutputQueue", Slow)
    port = open_port(write_timeout=0)
    start = threading.Barrier(8)
    pieces = [bytes([i]) * 100 for i in range(8)]
    writers = [threading.Thread(target=lambda p=p: (start.wait(), port.write(p))) for p in pieces]
    for t in writers:
        t.start()
    for t in writers:
        t.join(30)
    port.flush()
    assert len(made) == 1 and port.out_waiting == 0
    assert sorted(virtual_adapter.received(1)) == sorted(b"".join(pieces))
    port.close()
    assert not [t for t in threading.enumerate() if t.name.startswith("qlix output")]


@pytest.mark.parametrize("write_timeout", [None, 0])
def test_dropped_port_whose_callback_refers_to_it_is_closed(virtual_adapter, write_timeout):
    def dropped_port():
        port = serial.serial_for_url("qlix://ANY/1", timeout=0, write_timeout=write_timeout)
        port.set_event_callback(lambda: port.name)
        port.write(b"x")
        return weakref.ref(port)

    dropped = dropped_port()
    gc.collect()
    assert dropped() is None and wait_until(lambda: not virtual_adapter.channel_open(1))
    assert wait_until(lambda: not [t for t in threading.enumerate() if t.name.startswith("qlix output")])
