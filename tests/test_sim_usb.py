"""The virtual USB library driven through bare pyusb: enumeration, descriptors,
kernel driver, firmware replies, packing of IN packets, malformed packets,
time-outs, faults, unplugging and pacing."""

import errno
import random
import signal
import sys
import threading
import time

import pytest
import usb.core
import usb.util

from conftest import finish_child, start_child, wait_until

VID, PID = 0x0483, 0x5750
EP_IN, EP_OUT = 0x81, 0x01


def command(text, channel=0):
    body = text.encode() + b"\n"
    packet = bytes([100 + channel, len(body)]) + body
    return packet + bytes(64 - len(packet))


def data_packet(channel, payload):
    return bytes([channel, len(payload)]) + payload + bytes(62 - len(payload))


def records(packet):
    """Walks an IN packet the way the module does; checks the layout rules on the way."""
    out, index = [], 0
    while index < 62 and packet[index] != 0:
        ident, count = packet[index], packet[index + 1]
        payload = bytes(packet[index + 2 : index + 2 + count])
        assert len(payload) == count, "record runs past the packet"
        out.append((ident, payload))
        if ident >= 100:
            break
        index += 2 + count
        assert index < len(packet), "a data record must leave room for the next identifier"
    return out


@pytest.fixture
def open_device(vbus):
    """Adds an adapter and returns (adapter, pyusb device) ready for transfers."""
    made = []

    def make(channels=4, endpoint="interrupt", opened=(), **options):
        adapter = vbus.add_adapter(channels=channels, endpoint=endpoint, **options)
        dev = usb.core.find(idVendor=VID, idProduct=PID, serial_number=adapter.serial)
        dev.detach_kernel_driver(0)
        made.append(dev)
        for channel in opened:
            dev.write(EP_OUT, command("OpenChannel", channel), 100)
        return adapter, dev

    yield make
    for dev in made:
        usb.util.dispose_resources(dev)


def read_records(dev, timeout=200):
    return records(dev.read(EP_IN, 64, timeout))


@pytest.mark.parametrize("endpoint, attributes, interval", [("interrupt", 3, 1), ("bulk", 2, 0)])
def test_enumeration_and_descriptors(vbus, endpoint, attributes, interval):
    first = vbus.add_adapter("FIRST01", channels=4, endpoint=endpoint)
    vbus.add_adapter(None, channels=2)
    gone = vbus.add_adapter("GONE")
    gone.unplug()
    devices = list(usb.core.find(find_all=True, idVendor=VID, idProduct=PID))
    assert [d.serial_number for d in devices] == ["FIRST01", None]
    dev = devices[0]
    assert (dev.bNumConfigurations, dev.bMaxPacketSize0) == (1, 64)
    eps = dev.get_active_configuration().interfaces()[0].endpoints()
    assert [e.bEndpointAddress for e in eps] == [EP_IN, EP_OUT]
    assert [(e.wMaxPacketSize, e.bmAttributes, e.bInterval) for e in eps] == [(64, attributes, interval)] * 2
    assert first.plugged and not gone.plugged
    for d in devices:
        usb.util.dispose_resources(d)
    assert vbus.open_handles() == 0


def test_kernel_driver_blocks_io_until_detached(vbus):
    adapter = vbus.add_adapter()
    dev = usb.core.find(idVendor=VID)
    assert dev.is_kernel_driver_active(0) and adapter.kernel_driver_active
    with pytest.raises(usb.core.USBError) as busy:
        dev.write(EP_OUT, command("Version?"), 100)
    assert busy.value.errno == errno.EBUSY
    dev.detach_kernel_driver(0)
    assert not dev.is_kernel_driver_active(0)
    with pytest.raises(usb.core.USBError):
        dev.detach_kernel_driver(0)  # nothing left to detach
    dev.write(EP_OUT, command("Version?"), 100)
    assert read_records(dev) == [(100, b"QLIX-SIM 1.0")]
    usb.util.dispose_resources(dev)


def test_kernel_driver_unsupported_raises_not_implemented(vbus):
    vbus.add_adapter()
    vbus.set_kernel_driver_support(False)
    dev = usb.core.find(idVendor=VID)
    with pytest.raises(NotImplementedError):
        dev.is_kernel_driver_active(0)
    usb.util.dispose_resources(dev)


@pytest.mark.parametrize(
    "sent, reply",
    [
        ([("ChannelCount?", 0)], (100, b"6")),
        ([("Echo Hello, World?", 0)], (100, b"Hello, World")),
        ([("Echo ?", 0)], (100, b"")),
        ([("Config 115200", 3), ("Config?", 3)], (103, b"115200")),
        ([("Config?", 6)], (106, b"9600")),
        ([("Config 0", 2), ("Config?", 2)], (102, b"9600")),
    ],
)
def test_firmware_answers_queries(open_device, sent, reply):
    adapter, dev = open_device(channels=6)
    for text, channel in sent:
        dev.write(EP_OUT, command(text, channel), 100)
    assert read_records(dev) == [reply]


@pytest.mark.parametrize(
    "pairing, expected", [(False, {1: b"to one", 2: b"to two"}), (True, {2: b"to one", 1: b"to two"})]
)
def test_loopback_and_pairing(open_device, pairing, expected):
    adapter, dev = open_device(opened=(1, 2), pairing=pairing)
    dev.write(EP_OUT, data_packet(1, b"to one"), 100)
    dev.write(EP_OUT, data_packet(2, b"to two"), 100)
    got = {}
    for ident, payload in read_records(dev):
        got[ident] = got.get(ident, b"") + payload
    assert got == expected
    assert (adapter.received(1), adapter.received(2)) == (b"to one", b"to two")


def test_several_records_share_one_packet(open_device):
    adapter, dev = open_device(opened=(1, 2))
    adapter.inject(1, b"abc")
    adapter.inject(2, b"x")
    dev.write(EP_OUT, command("Config?", 2), 100)
    packet = dev.read(EP_IN, 64, 200)
    assert bytes(packet[:14]) == b"\x01\x03abc\x02\x01x\x66\x049600"
    assert adapter.packets_in == 1


@pytest.mark.parametrize("seed", range(4))
def test_packing_keeps_streams_intact(open_device, seed):
    rng = random.Random(seed)
    adapter, dev = open_device(channels=3, opened=(1, 2, 3))
    expected = {1: b"", 2: b"", 3: b""}
    for _ in range(40):
        channel, data = rng.randint(1, 3), rng.randbytes(rng.randint(1, 130))
        assert adapter.inject(channel, data) == len(data)
        expected[channel] += data
    got = {1: b"", 2: b"", 3: b""}
    while adapter.pending:
        for ident, payload in read_records(dev):
            assert 1 <= len(payload) <= 61
            got[ident] += payload
    assert got == expected


def test_control_reply_waits_for_room_in_next_packet(open_device):
    adapter, dev = open_device(opened=(1,))
    adapter.inject(1, bytes(range(1, 41)))
    dev.write(EP_OUT, command("Echo " + "e" * 30 + "?"), 100)
    assert read_records(dev) == [(1, bytes(range(1, 41)))]
    assert read_records(dev) == [(100, b"e" * 30)]


@pytest.mark.parametrize(
    "packet, reason",
    [
        (command("Version?")[:63], "wrong_size"),
        (b"", "wrong_size"),
        (b"\x01\x3f" + bytes(62), "bad_count"),
        (data_packet(1, b"ab")[:-1] + b"\x01", "padding"),
        (command("Bogus?"), "unknown_command"),
        (command("Config fast", 1), "unknown_command"),
        (bytes([100, 8]) + b"Version?" + bytes(54), "unknown_command"),
        (data_packet(5, b"x"), "bad_channel"),
        (command("OpenChannel", 5), "bad_channel"),
        (bytes(64), "bad_channel"),
    ],
)
def test_malformed_packets_are_counted_and_ignored(open_device, packet, reason):
    adapter, dev = open_device(opened=(1,))
    dev.write(EP_OUT, packet, 100)
    counts = adapter.malformed_by_reason()
    assert counts["total"] == 1 and counts[reason] == 1
    assert adapter.pending == 0 and adapter.received(1) == b""


def test_data_for_closed_channel_is_dropped(open_device):
    adapter, dev = open_device(opened=(1,))
    dev.write(EP_OUT, data_packet(2, b"lost"), 100)
    assert adapter.inject(3, b"also lost") == 0
    dev.write(EP_OUT, command("CloseChannel", 1), 100)
    dev.write(EP_OUT, data_packet(1, b"late"), 100)
    assert adapter.dropped == 17 and adapter.malformed == 0
    assert not adapter.channel_open(1) and adapter.received(1) == b""


def test_flush_drops_only_that_channels_pending_input(open_device):
    adapter, dev = open_device(opened=(1, 2))
    adapter.inject(1, b"old")
    adapter.inject(2, b"keep")
    dev.write(EP_OUT, command("FlushInput", 1), 100)
    assert read_records(dev) == [(2, b"keep")]
    assert adapter.commands(1) == ["OpenChannel", "FlushInput"]


def test_read_times_out_without_data(open_device):
    adapter, dev = open_device()
    started = time.monotonic()
    with pytest.raises(usb.core.USBTimeoutError):
        dev.read(EP_IN, 64, 50)
    assert time.monotonic() - started < 2


@pytest.mark.parametrize(
    "fault, endpoint, error",
    [
        ("stall_in", EP_IN, errno.EPIPE),
        ("stall_out", EP_OUT, errno.EPIPE),
        ("out_timeout", EP_OUT, errno.ETIMEDOUT),
    ],
)
def test_endpoint_faults(open_device, fault, endpoint, error):
    adapter, dev = open_device()
    setattr(adapter, fault, True)
    with pytest.raises(usb.core.USBError) as failed:
        if endpoint == EP_IN:
            dev.read(EP_IN, 64, 50)
        else:
            dev.write(EP_OUT, command("Version?"), 50)
    assert failed.value.errno == error
    if fault == "out_timeout":
        adapter.out_timeout = False
    else:
        dev.clear_halt(endpoint)
    dev.write(EP_OUT, command("Version?"), 100)
    assert read_records(dev) == [(100, b"QLIX-SIM 1.0")]


def test_unplug_fails_waiting_read_and_later_calls(open_device, vbus):
    adapter, dev = open_device()
    failures = []

    def reader():
        try:
            dev.read(EP_IN, 64, 0)  # no time-out: only the unplug ends it
        except usb.core.USBError as exc:
            failures.append(exc)

    thread = threading.Thread(target=reader)
    thread.start()
    time.sleep(0.05)
    adapter.unplug()
    thread.join(5)
    assert not thread.is_alive()
    assert [f.errno for f in failures] == [errno.ENODEV]
    with pytest.raises(usb.core.USBError) as later:
        dev.write(EP_OUT, command("Version?"), 100)
    assert later.value.errno == errno.ENODEV
    assert usb.core.find(idVendor=VID) is None
    usb.util.dispose_resources(dev)
    assert vbus.open_handles() == 0


def test_vanish_between_enumeration_and_open(vbus):
    adapter = vbus.add_adapter()
    adapter.vanish_on_open = True
    dev = usb.core.find(idVendor=VID)
    with pytest.raises(usb.core.USBError) as failed:
        dev.is_kernel_driver_active(0)
    assert failed.value.errno == errno.ENODEV and not adapter.plugged
    assert vbus.open_handles() == 0


def test_replug_comes_back_fresh(open_device, vbus):
    adapter, dev = open_device(opened=(1,))
    dev.write(EP_OUT, command("Config 57600", 1), 100)
    again = adapter.replug()
    assert again.serial == adapter.serial and again.id != adapter.id
    assert not adapter.plugged and again.kernel_driver_active
    assert again.channel_rate(1) == 9600 and not again.channel_open(1)
    assert adapter.channel_rate(1) == 57600


@pytest.mark.parametrize("endpoint, packets, per_frame", [("interrupt", 100, 1), ("bulk", 380, 19)])
def test_paced_writes_respect_frame_budget(open_device, vbus, endpoint, packets, per_frame):
    adapter, dev = open_device(endpoint=endpoint, opened=(1,))
    payload = data_packet(1, b"p" * 62) * packets
    started = time.perf_counter()  # monotonic() steps every 15.6 ms on Windows
    assert dev.write(EP_OUT, payload, 10000) == len(payload)
    elapsed = time.perf_counter() - started
    # At most `per_frame` packets per 1 ms frame, and frames are the clock's
    # 1 ms steps: the first is partly over when the write starts, so n frames'
    # worth take more than n - 2 ms (a hard bound; timer slack usually adds ~1 ms).
    assert elapsed >= (packets // per_frame - 2) / 1000
    assert elapsed < 10
    assert len(adapter.received(1)) == 62 * packets


def test_paced_write_longer_than_its_time_limit_times_out(open_device):
    adapter, dev = open_device(opened=(1,))
    written = dev.write(EP_OUT, data_packet(1, b"t" * 62) * 200, 30)  # pyusb: a partial write is no error
    assert 0 < written < 64 * 200 and len(adapter.received(1)) == written // 64 * 62


STALLED_WRITERS = """
import sys, threading, usb.core, ozu_qlix_sim
ozu_qlix_sim.use()
adapter = ozu_qlix_sim.add_adapter(channels=4)
dev = usb.core.find(idVendor=0x0483, idProduct=0x5750)
dev.detach_kernel_driver(0)
timeouts = []

def writer(channel):
    dev.write(0x01, bytes([100 + channel, 12]) + b"OpenChannel\\n" + bytes(50), 100)
    for _ in range(300):
        try:
            dev.write(0x01, bytes([channel, 62]) + bytes(62), 100)
        except usb.core.USBTimeoutError as exc:
            timeouts.append(exc)

threads = [threading.Thread(target=writer, args=(c,)) for c in range(1, 5)]
print("writing", flush=True)
for t in threads: t.start()
for t in threads: t.join()
print("timeouts", len(timeouts), [len(adapter.received(c)) for c in range(1, 5)])
"""


@pytest.mark.skipif(sys.platform == "win32", reason="stops the process with SIGSTOP")
def test_writes_queued_behind_a_stalled_process_do_not_time_out(vbus):
    # A stopped virtual machine or a long page fault stalls every thread at
    # once; real USB keeps moving the queued packets meanwhile.
    child = start_child(STALLED_WRITERS)
    assert child.stdout.readline() == "writing\n"
    for _ in range(3):
        time.sleep(0.1)
        child.send_signal(signal.SIGSTOP)
        time.sleep(0.3)
        child.send_signal(signal.SIGCONT)
    done = finish_child(child)
    assert done.stdout.strip() == "timeouts 0 [18600, 18600, 18600, 18600]", done.stderr


def test_unpaced_writes_are_fast(open_device, vbus):
    vbus.set_paced(False)
    adapter, dev = open_device(opened=(1,))
    started = time.monotonic()
    dev.write(EP_OUT, data_packet(1, b"u" * 62) * 2000, 10000)
    assert time.monotonic() - started < 5
    assert wait_until(lambda: adapter.packets_out == 2001)


@pytest.mark.parametrize(
    "call",
    [
        lambda sim: sim.add_adapter(channels=0),
        lambda sim: sim.add_adapter(channels=100),
        lambda sim: sim.add_adapter(endpoint="iso"),
        lambda sim: sim.add_adapter().inject(5, b"x"),
        lambda sim: sim.add_adapter().inject_packet(bytes(65)),
    ],
)
def test_control_functions_refuse_bad_arguments(vbus, call):
    with pytest.raises(ValueError):
        call(vbus)


def test_forgotten_adapter_is_unknown(vbus):
    adapter = vbus.add_adapter()
    vbus.reset()
    with pytest.raises(LookupError):
        adapter.received(1)
    assert vbus.adapters() == []
