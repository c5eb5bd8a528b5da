"""Faults on virtual adapters, each with its error, its clean-up and nothing
left behind: no reader thread, no registry entry, no open device handle.
Unplugging while data flows both ways, close racing a read that waits without
a time limit, halted and time-out endpoints, an adapter that vanishes between
enumeration and opening, and malformed packets from the firmware."""

import random
import threading
import time

import pytest
import usb.core

import ozu_qlix
from conftest import assert_released, reader_threads, registry, wait_until


READ_FAILED = "USB 设备[QLIX%sS]读取数据失败，有可能是设备已拔出："


def closed_message(port_name):
    return "设备[%s]已关闭" % port_name


def lost_message(port_name):
    return "设备[%s]已断开" % port_name


def run(target, outcome, key):
    """Starts a daemon thread that stores target()'s result or exception under `key`."""

    def body():
        try:
            outcome[key] = target()
        except BaseException as exc:
            outcome[key] = exc

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    return thread


@pytest.mark.parametrize("endpoint", ["interrupt", "bulk"])
def test_unplug_cycles_while_data_flows_both_ways(sim, capsys, watchdog, endpoint):
    adapter = sim.add_adapter("CYCLE01", channels=2, endpoint=endpoint)
    for cycle in range(3):
        port = ozu_qlix.Serial("QLIXCYCLE01S1", timeout=0.05)
        idle = ozu_qlix.Serial("QLIXCYCLE01S2", timeout=0)  # its read waits without a time limit
        outcome, got = {}, bytearray()

        def write():
            n = 0
            while True:
                port.write(b"%08d" % n)
                n += 1

        def read():
            while True:
                got.extend(port.read(256))

        threads = [
            run(write, outcome, "write"),
            run(read, outcome, "read"),
            run(lambda: idle.read(10), outcome, "idle"),
        ]
        assert wait_until(lambda: len(got) > 800, 5)
        adapter.unplug()
        threads[0].join(5)
        assert isinstance(outcome.get("write"), usb.core.USBError)
        assert wait_until(lambda: not reader_threads(), 5), "the adapter's reader outlived the adapter"
        # Reads end with the loss once the queue is drained, the one waiting
        # without a time limit too.
        for thread, key, name in [(threads[1], "read", "QLIXCYCLE01S1"), (threads[2], "idle", "QLIXCYCLE01S2")]:
            thread.join(5)
            assert isinstance(outcome.get(key), OSError) and str(outcome[key]) == lost_message(name)
        # What arrived before the plug was pulled is a clean prefix of what was sent.
        assert bytes(got) == adapter.received(1)[: len(got)]
        idle.close()
        port.close()
        assert not port.is_open and not idle.is_open
        assert_released(sim)
        err = capsys.readouterr().err
        assert err.startswith(READ_FAILED % "CYCLE01") and err.count("USB 设备[") == 1
        adapter = adapter.replug()

    with ozu_qlix.Serial("QLIXCYCLE01S1", timeout=1) as port:
        port.write(b"still here\n")
        assert port.read_until() == b"still here\n"
    assert_released(sim)


@pytest.mark.parametrize("queued", [b"", b"abc"])
@pytest.mark.parametrize("call", ["read", "read_until"])
def test_close_ends_a_read_waiting_without_limit(sim, watchdog, call, queued):
    adapter = sim.add_adapter("RACE01")
    port = ozu_qlix.Serial("QLIXRACE01S3", timeout=0)
    outcome = {}
    reading = run(lambda: getattr(port, call)(10) if call == "read" else port.read_until(b"\n", 10), outcome, call)
    if queued:
        adapter.inject(3, queued)
        assert wait_until(lambda: port.in_waiting == 0, 5)  # taken by the waiting read
    time.sleep(0.05)
    assert reading.is_alive()
    started = time.monotonic()
    port.close()
    reading.join(5)
    assert not reading.is_alive() and time.monotonic() - started < 5
    result = outcome[call]
    if queued:
        assert result == queued  # bytes already taken are returned, not lost
    elif __debug__:
        assert isinstance(result, AssertionError) and str(result) == closed_message("QLIXRACE01S3")
    assert_released(sim)


@pytest.mark.parametrize("fault, error", [("stall_out", usb.core.USBError), ("out_timeout", usb.core.USBTimeoutError)])
def test_out_endpoint_fault_while_opening_releases_everything(sim, fault, error):
    adapter = sim.add_adapter("OUTF01")
    assert ozu_qlix.get_hid_device("OUTF01").channel_count == 4  # adapter open, count known
    setattr(adapter, fault, True)
    started = time.monotonic()
    with pytest.raises(error):
        ozu_qlix.Serial("QLIXOUTF01S1", 9600, timeout=1)
    assert time.monotonic() - started < 5
    # The failed channel was closed, and with it the adapter it was the only channel of.
    assert_released(sim)
    setattr(adapter, fault, False)
    with ozu_qlix.Serial("QLIXOUTF01S1", 9600, timeout=1) as port:
        port.write(b"ok\n")
        assert port.read_until() == b"ok\n"
    assert_released(sim)


@pytest.mark.parametrize("fault, error", [("stall_out", usb.core.USBError), ("out_timeout", usb.core.USBTimeoutError)])
def test_out_endpoint_fault_on_an_open_port(sim, capsys, fault, error):
    adapter = sim.add_adapter("OUTF02")
    with ozu_qlix.Serial("QLIXOUTF02S1", timeout=1) as port:
        setattr(adapter, fault, True)
        with pytest.raises(error):
            port.write(b"lost")
        # Input still flows while the OUT endpoint is out of order.
        adapter.inject(1, b"in\n")
        assert port.read_until() == b"in\n"
        setattr(adapter, fault, False)
        port.write(b"out\n")
        assert port.read_until() == b"out\n"
        assert port.is_open and reader_threads()
    assert adapter.received(1) == b"out\n" and adapter.malformed == 0
    assert capsys.readouterr().err == ""
    assert_released(sim)


def test_in_endpoint_stall_ends_the_reader_and_close_still_releases(sim, capsys):
    adapter = sim.add_adapter("PIPE01")
    port = ozu_qlix.Serial("QLIXPIPE01S1", timeout=0.05)
    adapter.stall_in = True
    assert wait_until(lambda: not reader_threads(), 5)
    assert capsys.readouterr().err == READ_FAILED % "PIPE01" + "[Errno 32] Pipe error"
    # The adapter closed with its reader: released and unregistered, the port
    # touches USB no more (a write would open the device again behind it).
    assert wait_until(lambda: sim.open_handles() == 0, 5) and registry() == {}
    with pytest.raises(usb.core.USBError, match=r"^\[Errno 19\] USB 设备\[QLIXPIPE01S\]已关闭$"):
        port.write(b"x")
    assert sim.open_handles() == 0
    with pytest.raises(OSError) as lost:  # the reader failed: reads end at once
        port.read(1)
    assert str(lost.value) == lost_message("QLIXPIPE01S1")
    port.close()
    assert_released(sim)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ozu_qlix.Serial("QLIXANYS1", timeout=1), usb.core.USBError, "No such device"),
        (lambda: ozu_qlix.get_hid_device(), usb.core.USBError, "No such device"),
        (lambda: ozu_qlix.Serial("QLIXVAN01S1", timeout=1), AssertionError, 'Serial Number "VAN01" not found.'),
        (lambda: ozu_qlix.get_hid_device("VAN01"), AssertionError, 'Serial Number "VAN01" not found.'),
        (ozu_qlix.list_qlix_names, ValueError, "langid"),
    ],
)
def test_adapter_vanishing_between_enumeration_and_opening(sim, call, error, message):
    if error is AssertionError and not __debug__:
        pytest.skip("assertions are off")
    adapter = sim.add_adapter("VAN01")
    adapter.vanish_on_open = True
    with pytest.raises(error, match=message):
        call()
    assert registry() == {} and not reader_threads() and sim.open_handles() == 0
    adapter.replug()
    with ozu_qlix.Serial("QLIXVAN01S1", timeout=1) as port:
        port.write(b"back\n")
        assert port.read_until() == b"back\n"
    assert_released(sim)


def data_for(packet, channel):
    """The bytes a packet carries for `channel`: records walked from offset 0,
    identifier 0 or a control record ends the walk, no header at offset 62 or
    later, nothing read past the received bytes."""
    out, index, ident = bytearray(), 0, packet[0] if packet else 0
    while index < 62 and ident != 0:
        if index + 1 >= len(packet):
            break
        count = packet[index + 1]
        index += 2
        if ident >= 100:
            break
        if ident == channel:
            out += packet[index : index + count]
        index += count
        ident = packet[index] if index < len(packet) else 0
    return bytes(out)


def odd_packet(rng, open_channel):
    """A random packet: short or full, records of any identifier (data for
    closed channels, control replies nobody waits for, replies for channels
    without handler), counts running past the end, trailing junk."""
    size = rng.choice([0, 1, 2, 3, rng.randint(4, 63), 64, 64])
    raw = bytearray()
    while len(raw) < size:
        ident = rng.choice([0, open_channel, open_channel, 7, 99, 100, 101, 104, 200, 255])
        count = rng.choice([0, 1, rng.randint(0, 70), 255])
        raw += bytes([ident, count]) + rng.randbytes(count)
    return bytes(raw[:size])


def test_odd_packets_from_the_firmware(sim, capsys, watchdog):
    adapter = sim.add_adapter("ODD01")
    device = ozu_qlix.get_hid_device("ODD01")
    with ozu_qlix.Serial("QLIXODD01S1", timeout=0.2) as port:
        rng, expected = random.Random(1234), bytearray()
        for _ in range(2000):
            packet = odd_packet(rng, 1)
            adapter.inject_packet(packet)
            expected += data_for(packet, 1)
        adapter.inject_packet(b"\x01\x04done\x00")
        expected += b"done"
        got = bytearray()
        deadline = time.monotonic() + 20
        while len(got) < len(expected) and time.monotonic() < deadline:
            got += port.read(len(expected) - len(got))
        assert bytes(got) == bytes(expected)
        assert reader_threads(), "the reader died on a malformed packet"
        assert device.echo("after") == "after" and device.channel_count == 4
    assert capsys.readouterr().err == ""
    assert_released(sim)


def test_failed_selftest_exits_cleanly():
    """The self-test fails on a channel the adapter lacks, leaving the adapter
    and its reader open while the module's execution fails: the process must
    end with the error, not crash on the reader thread."""
    from test_selftest import run_selftest

    out = run_selftest([("CCCCCCCCCCCC", 2)])
    assert out.returncode == 1, out.stderr
    assert "AssertionError: 通道号超出范围 (0, 2]:CCCCCCCCCCCC" in out.stderr
    assert "Fatal" not in out.stderr


# The USB library's refusals a user meets first, each with the error that says what to do, the
# original chained: (fault, type of the module's error, its message starts, pyusb's original text).
REFUSALS = {
    "access_denied": (
        usb.core.USBError,
        "[Errno 13] access to the QLIX adapter (USB 0483:5750) was denied",
        "Access denied (insufficient permissions)",
        'the udev rule that "ozu-qlix-ports --udev-rule"',
    ),
    "claimed_elsewhere": (
        usb.core.USBError,
        "[Errno 16] the QLIX adapter DENY0001 is busy (Resource busy): another process holds it",
        "Resource busy",
        "Only one process at a time",
    ),
    "not_supported": (
        NotImplementedError,
        "the QLIX adapter (USB 0483:5750) cannot be opened: its driver",
        "Operation not supported or unimplemented on this platform",
        "bind the WinUSB driver",
    ),
}


@pytest.mark.parametrize("fault", sorted(REFUSALS))
@pytest.mark.parametrize("how", ["Serial", "list_serial_numbers", "qlix://ANY/1", "qlix://DENY0001/1", "by serial"])
def test_open_refusals_say_the_cause_and_the_fix(sim, fault, how):
    import serial
    import ozu_qlix_serial  # noqa: F401  (registers qlix://)

    kind, start, original, fix = REFUSALS[fault]
    adapter = sim.add_adapter("DENY0001", channels=2)
    setattr(adapter, fault, True)
    if how == "list_serial_numbers" and fault == "claimed_elsewhere":
        assert ozu_qlix.list_serial_numbers() == ["DENY0001"]  # reading its serial number needs no claim
        return
    if how == "by serial" and fault != "claimed_elsewhere":
        # pyusb's search by serial number passes over an adapter it may not read: "not found", and why.
        with pytest.raises(AssertionError) as info:
            ozu_qlix.Serial("QLIXDENY0001S1")
        assert str(info.value).startswith(
            'QLIX Device (VID=0x483, PID=0x5750) with Serial Number "DENY0001" not '
            "found. " + start[start.index("]") + 2 if start[0] == "[" else 0 :]
        )
        assert fix in str(info.value)
        return
    if how.startswith("qlix://"):
        # Found by serial number, an adapter that cannot be opened is "not found": the listing says why.
        with pytest.raises(serial.SerialException) as info:
            serial.serial_for_url(how)
        assert str(info.value).startswith("could not open port %s: %s" % (how, start))
        error = info.value.__cause__
    else:
        with pytest.raises(kind) as info:
            if how == "list_serial_numbers":
                ozu_qlix.list_serial_numbers()
            else:
                ozu_qlix.Serial("QLIXANYS1" if how == "Serial" else "QLIXDENY0001S1")
        error = info.value
    assert type(error) is kind and str(error).startswith(start) and fix in str(error)
    assert type(error.__cause__) is kind and original in str(error.__cause__)
    assert registry() == {} and wait_until(lambda: sim.open_handles() == 0, 5)
    setattr(adapter, fault, False)  # mended, the same adapter opens
    with ozu_qlix.Serial("QLIXANYS1", timeout=1) as port:
        port.write(b"ok")
        assert port.read(2) == b"ok"
    assert_released(sim)
