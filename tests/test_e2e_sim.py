"""ozu_qlix end to end through the real pyusb backend on virtual adapters:
ports, listing, queries, baud rates, reply faults, unplug and re-plug, two
adapters, multi-record packets and a multi-threaded stress run."""

import random
import struct
import threading
import time
import zlib

import pytest
import usb.core

import ozu_qlix
from conftest import assert_released, close_registered, reader_threads, registry, wait_until


@pytest.mark.parametrize("endpoint", ["interrupt", "bulk"])
@pytest.mark.parametrize("name", ["QLIXANYS2", "qlix{serial}s2"])
def test_port_round_trip(sim, endpoint, name):
    adapter = sim.add_adapter("E2E0001", channels=4, endpoint=endpoint)
    with ozu_qlix.create_serial_instance(name.format(serial=adapter.serial), 115200, timeout=1) as port:
        assert isinstance(port, ozu_qlix.Serial) and port.baudrate == 115200
        assert not adapter.kernel_driver_active
        assert port.write(b"AT\r\n") == 4
        assert port.read_until() == b"AT\r\n"
        text = "é" * 50 + "\n"
        port.write(text)
        assert port.read_until().decode() == text
    assert adapter.received(2) == b"AT\r\n" + text.encode()
    assert adapter.commands(2) == ["Config 115200", "Config?", "OpenChannel", "FlushInput", "CloseChannel"]
    assert not adapter.channel_open(2) and adapter.malformed == 0
    assert_released(sim)


def test_listing_and_adapter_queries(sim):
    first = sim.add_adapter("LIST01", channels=3)
    sim.add_adapter("LIST02", channels=1)
    assert ozu_qlix.list_serial_numbers() == ["LIST01", "LIST02"]
    names = ozu_qlix.list_qlix_names()
    assert {"QLIXLIST01S1", "QLIXLIST01S3", "QLIXLIST02S1"} <= set(names)
    device = ozu_qlix.get_hid_device("LIST01")
    assert device.channel_count == 3
    assert device.echo("Hello, 世界") == "Hello, 世界"
    assert device.firmware_version == "QLIX-SIM 1.0"
    assert "Echo Hello, 世界?" in first.commands(0)


def test_adapter_queries_time_out_when_silent(sim):
    adapter = sim.add_adapter("QUIET01")
    device = ozu_qlix.get_hid_device("QUIET01")
    adapter.set_reply_fault(sim.ReplyFault.SILENT, sim.Scope.ADAPTER)
    started = time.monotonic()
    assert device.echo("anyone?") is None and device.firmware_version is None
    assert time.monotonic() - started < 5


def test_kernel_driver_support_missing(sim):
    adapter = sim.add_adapter("WIN0001")
    sim.set_kernel_driver_support(False)
    with ozu_qlix.Serial("QLIXWIN0001S1", timeout=1) as port:
        port.write(b"ok\n")
        assert port.read_until() == b"ok\n"
    assert adapter.kernel_driver_active  # nothing detached it
    assert_released(sim)


@pytest.mark.parametrize("rate", [300, 9600, 921600])
def test_baudrate_change(sim, rate):
    adapter = sim.add_adapter("BAUD001")
    with ozu_qlix.Serial("QLIXBAUD001S3", timeout=1) as port:
        port.baudrate = rate
        assert port.baudrate == rate and adapter.channel_rate(3) == rate
        assert adapter.commands(3)[-2:] == ["Config %d" % rate, "Config?"]


@pytest.mark.parametrize(
    "fault, scope, error, message, stderr",
    [
        ("WRONG_RATE", "CHANNEL", OSError, "设置波特率失败:QLIXFAULT01S1:当前值 = 19200:目标值 = 9600", ""),
        ("SILENT", "CHANNEL", OSError, "设置波特率超时:QLIXFAULT01S1:目标值 = 9600", ""),
        (
            "GARBAGE",
            "CHANNEL",
            OSError,
            "设置波特率超时:QLIXFAULT01S1:目标值 = 9600",
            "波特率查询结果异常:QLIXFAULT01S1：[garbage\xfe#]",
        ),
        ("SILENT", "ADAPTER", AssertionError, "查询设备通道数量超时:FAULT01", ""),
        (
            "GARBAGE",
            "ADAPTER",
            AssertionError,
            "通道数量查询结果异常:FAULT01",
            "ChannelCount command feedback invalid: [array('B', [103, 97, 114, 98, 97, 103, 101, 254, 35])]",
        ),
    ],
)
def test_reply_faults(sim, capsys, fault, scope, error, message, stderr):
    if error is AssertionError and not __debug__:
        pytest.skip("assertions are off")
    adapter = sim.add_adapter("FAULT01")
    adapter.set_reply_fault(sim.ReplyFault[fault], sim.Scope[scope])
    with pytest.raises(error) as failed:
        ozu_qlix.Serial("QLIXFAULT01S1", timeout=1)
    assert str(failed.value) == message
    assert capsys.readouterr().err == stderr
    if scope == "CHANNEL":
        assert not adapter.channel_open(1) and adapter.commands(1)[-1] == "CloseChannel"
        assert_released(sim)
    # The adapter is healthy again: the same port opens once the fault is gone.
    adapter.set_reply_fault(sim.ReplyFault.NONE)
    close_registered()
    with ozu_qlix.Serial("QLIXFAULT01S1", timeout=1) as port:
        assert port.baudrate == 9600


def test_multi_record_packet_reaches_both_channels(sim):
    adapter = sim.add_adapter("MULTI01")
    with ozu_qlix.Serial("QLIXMULTI01S1", timeout=0.2) as one, ozu_qlix.Serial("QLIXMULTI01S2", timeout=0.2) as two:
        adapter.inject_packet(b"\x01\x03abc\x02\x01x\x03\x02zz\x00")
        adapter.inject_packet(b"\x02\x02yz" + bytes(58) + b"\x01\x09")  # walk stops below offset 62
        assert one.read(10) == b"abc" and two.read(10) == b"xyz"


def test_paired_channels_talk_to_each_other(sim):
    adapter = sim.add_adapter("PAIR01", channels=4, pairing=True)
    with ozu_qlix.Serial("QLIXPAIR01S3", timeout=1) as three, ozu_qlix.Serial("QLIXPAIR01S4", timeout=1) as four:
        three.write(b"ping\n")
        assert four.read_until() == b"ping\n"
        four.write(b"pong\n")
        assert three.read_until() == b"pong\n"
    assert adapter.received(3) == b"ping\n"


def test_unplug_while_streaming_then_replug(sim, capsys):
    adapter = sim.add_adapter("PLUG01")
    port = ozu_qlix.Serial("QLIXPLUG01S1", timeout=0.2)
    stop, errors = threading.Event(), []

    def stream():
        while not stop.is_set():
            try:
                port.write(b"data" * 20)
            except usb.core.USBError as exc:
                errors.append(exc)
                return

    writer = threading.Thread(target=stream)
    writer.start()
    assert wait_until(lambda: len(adapter.received(1)) > 400, 5)
    adapter.unplug()
    writer.join(5)
    stop.set()
    assert not writer.is_alive() and len(errors) == 1
    assert wait_until(lambda: not reader_threads(), 5)
    err = capsys.readouterr().err
    assert err.startswith("USB 设备[QLIXPLUG01S]读取数据失败，有可能是设备已拔出：")
    assert err.count("USB 设备[") == 1
    with pytest.raises(usb.core.USBError):
        port.write(b"after")
    port.close()
    assert not port.is_open
    assert_released(sim)

    again = adapter.replug()
    with ozu_qlix.Serial("QLIXPLUG01S1", timeout=1) as port:
        port.write(b"back\n")
        assert port.read_until() == b"back\n"
    assert again.received(1) == b"back\n"


def test_two_adapters_at_once(sim):
    left, right = sim.add_adapter("LEFT01"), sim.add_adapter("RIGHT01", endpoint="bulk")
    with ozu_qlix.Serial("QLIXLEFT01S1", timeout=1) as a, ozu_qlix.Serial("QLIXRIGHT01S1", timeout=1) as b:
        a.write(b"left\n")
        b.write(b"right\n")
        assert (a.read_until(), b.read_until()) == (b"left\n", b"right\n")
        assert set(registry()) == {"LEFT01", "RIGHT01"}
    assert (left.received(1), right.received(1)) == (b"left\n", b"right\n")
    assert_released(sim)


FRAME = struct.Struct(">BII11sI")  # port index, sequence, seed, payload, crc32


def frame(index, seq, rng):
    body = struct.pack(">BII11s", index, seq, rng.getrandbits(32), rng.randbytes(11))
    return body + struct.pack(">I", zlib.crc32(body))


def check_frames(index, stream):
    """Frames in order, each intact, sequence numbers without gaps."""
    assert len(stream) % FRAME.size == 0
    for n in range(len(stream) // FRAME.size):
        raw = stream[n * FRAME.size : (n + 1) * FRAME.size]
        got_index, seq, _, _, crc = FRAME.unpack(raw)
        assert (got_index, seq, crc) == (index, n, zlib.crc32(raw[:-4]))


def test_stress_all_channels_of_two_adapters(sim):
    adapters = [sim.add_adapter("BENCH%02d" % n, channels=4) for n in (1, 2)]
    ports = [ozu_qlix.Serial("QLIX%sS%d" % (a.serial, ch), timeout=0.05) for a in adapters for ch in range(1, 5)]
    sent, received = [b""] * len(ports), [bytearray() for _ in ports]
    writers_done = threading.Event()
    failures = []

    def writer(i):
        rng, seq, out = random.Random(i), 0, bytearray()
        deadline = time.monotonic() + 3
        try:
            while time.monotonic() < deadline:
                chunk = b"".join(frame(i, seq + k, rng) for k in range(rng.randint(1, 6)))
                seq += len(chunk) // FRAME.size
                ports[i].write(chunk)
                out += chunk
        except Exception as exc:  # reported by the test thread
            failures.append(exc)
        sent[i] = bytes(out)

    def reader(i):
        deadline = None
        try:
            while True:
                received[i] += ports[i].read(4096)
                if writers_done.is_set():
                    deadline = deadline or time.monotonic() + 20
                    if len(received[i]) >= len(sent[i]) or time.monotonic() > deadline:
                        return
        except Exception as exc:
            failures.append(exc)

    writers = [threading.Thread(target=writer, args=(i,)) for i in range(len(ports))]
    readers = [threading.Thread(target=reader, args=(i,)) for i in range(len(ports))]
    for t in writers + readers:
        t.start()
    for t in writers:
        t.join(30)
    writers_done.set()
    for t in readers:
        t.join(40)
    for port in ports:
        port.close()
    assert not failures and not any(t.is_alive() for t in writers + readers)
    for i, port in enumerate(ports):
        adapter, channel = adapters[i // 4], i % 4 + 1
        assert len(sent[i]) > 20 * FRAME.size
        check_frames(i, sent[i])
        assert adapter.received(channel) == sent[i]
        assert bytes(received[i]) == sent[i]
    assert [a.malformed for a in adapters] == [0, 0]
    assert [a.dropped for a in adapters] == [0, 0]
    assert_released(sim)
