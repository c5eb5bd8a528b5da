"""Serial, create_serial_instance and the discovery functions end to end, on
fake adapters attached to a patched USB bus."""

import threading
import time

import pytest

import ozu_qlix
from conftest import reader_threads, registry as registered

SN = "0123456789AB"
NOT_FOUND = "QLIX Device (VID=0x483, PID=0x5750) not found."


@pytest.fixture
def forget_adapters():
    """Closes adapters a test leaves open on purpose (discovery opens them)."""
    yield
    for device in list(registered().values()):
        device.close()
    registered().clear()


def exchange(port, adapter, channel):
    """Writes a line through the port and reads the adapter's echo back."""
    before = len(adapter.received[channel])
    assert port.write(b"AT\r\n") == 4
    assert adapter.received[channel][before:] == b"AT\r\n"
    assert port.read_until() == b"AT\r\n"
    assert port.write(b"xyz") == 3
    assert port.read(3) == b"xyz"


def assert_closed(adapter, channel):
    assert adapter.commands_for(channel)[-1] == "CloseChannel\n"
    assert not registered() and not reader_threads()
    assert adapter.disposed >= 1


@pytest.mark.parametrize(
    "name, channel",
    [
        ("QLIXANYS1", 1),
        ("qlixanys2", 2),
        ("QLIX%sS3" % SN.lower(), 3),
        ("QLIX%sS04" % SN, 4),
    ],
)
def test_serial_round_trip(bus, name, channel):
    adapter = bus.add(SN)
    with ozu_qlix.Serial(name, 19200, timeout=1) as port:
        assert port.port == "QLIX%sS%d" % (SN, channel)
        assert port.baudrate == 19200 and port.timeout == 1.0 and port.is_open
        assert adapter.commands_for(channel)[:2] == ["Config 19200\n", "Config?\n"]
        exchange(port, adapter, channel)
        assert port.in_waiting == 0
    assert_closed(adapter, channel)


@pytest.mark.parametrize(
    "args, kwargs, channel",
    [
        (("qlixanys1", 9600), {"timeout": 1}, 1),
        ((), {"port": "QLIXANYS2", "baudrate": 9600, "timeout": 1}, 2),
        (("dudaze:any:s3", 9600, 1), {}, 3),
        ((), {"port": "DUDAZE:%s:S4" % SN, "timeout": 1, "bytesize": 8}, 4),
    ],
)
def test_factory_round_trip(bus, args, kwargs, channel):
    adapter = bus.add(SN)
    caller_kwargs = dict(kwargs)
    port = ozu_qlix.create_serial_instance(*args, **caller_kwargs)
    assert type(port) is ozu_qlix.Serial and caller_kwargs == kwargs
    try:
        exchange(port, adapter, channel)
    finally:
        port.close()
    assert_closed(adapter, channel)


def test_any_and_serial_share_one_adapter(bus):
    adapter = bus.add(SN)
    first = ozu_qlix.Serial("QLIX%sS1" % SN, timeout=1)
    second = ozu_qlix.Serial("QLIXANYS2", timeout=1)
    device = first._Serial__handle._Channel__device
    assert second._Serial__handle._Channel__device is device
    assert adapter.calls.count(("get_active_configuration",)) == 1
    assert len(reader_threads()) == 1
    assert list(registered().items()) == [(SN, device)]
    exchange(second, adapter, 2)
    first.close()
    assert list(registered().items()) == [(SN, device)]  # channel 2 is still open
    exchange(second, adapter, 2)
    second.close()
    assert_closed(adapter, 2)
    third = ozu_qlix.Serial("QLIXANYS1", timeout=1)  # a new adapter object after the last close
    assert third._Serial__handle._Channel__device is not device
    third.close()
    assert not registered()


def test_stale_close_keeps_newer_adapter(bus):
    adapter = bus.add(SN)
    stale = ozu_qlix.Serial("QLIXANYS1", timeout=1)
    stale.close()
    live = ozu_qlix.Serial("QLIXANYS2", timeout=1)
    stale.close()  # the old adapter object reports itself closed again
    assert list(registered()) == [SN]
    assert registered()[SN] is live._Serial__handle._Channel__device
    exchange(live, adapter, 2)
    live.close()
    assert not registered()


def test_two_adapters_in_enumeration_order(bus, forget_adapters):
    second, first = bus.add("BBBBBBBBBBBB", channels=2), bus.add("AAAAAAAAAAAA", channels=3)
    assert ozu_qlix.list_serial_numbers() == ["BBBBBBBBBBBB", "AAAAAAAAAAAA"]
    assert not registered() and not reader_threads()
    assert ozu_qlix.list_qlix_names() == [
        "QLIXBBBBBBBBBBBBS1",
        "QLIXBBBBBBBBBBBBS2",
        "QLIXAAAAAAAAAAAAS1",
        "QLIXAAAAAAAAAAAAS2",
        "QLIXAAAAAAAAAAAAS3",
    ]
    assert list(registered()) == ["BBBBBBBBBBBB", "AAAAAAAAAAAA"]
    assert ozu_qlix.get_hid_device() is registered()["BBBBBBBBBBBB"]
    assert ozu_qlix.get_hid_device("AAAAAAAAAAAA").channel_count == 3
    # Ports reuse the adapters discovery opened.
    with ozu_qlix.Serial("QLIXAAAAAAAAAAAAS3", timeout=1) as port:
        exchange(port, first, 3)
    assert second.commands_for(0) == ["ChannelCount?\n"]
    assert first.commands_for(0) == ["ChannelCount?\n", "Echo ?\n"]  # the close woke its reader


def test_names_of_an_adapter_in_use(bus, forget_adapters):
    adapter = bus.add(SN, channels=2)
    with ozu_qlix.Serial("QLIXANYS2", timeout=1) as port:
        device = port._Serial__handle._Channel__device
        assert ozu_qlix.list_qlix_names() == ["QLIX%sS1" % SN, "QLIX%sS2" % SN]
        assert ozu_qlix.get_hid_device(SN) is device
        exchange(port, adapter, 2)
    assert_closed(adapter, 2)


MISSING = 'QLIX Device (VID=0x483, PID=0x5750) with Serial Number "FEDCBA987654" not found.'


@pytest.mark.parametrize(
    "name, attached, message",
    [
        ("QLIXANYS1", False, NOT_FOUND),
        ("qlixfedcba987654s1", False, MISSING),
        ("qlixfedcba987654s1", True, MISSING),
    ],
)
def test_not_found(bus, name, attached, message):
    if attached:
        bus.add(SN)
    for make in (ozu_qlix.Serial, ozu_qlix.create_serial_instance):
        with pytest.raises(AssertionError) as info:
            make(name)
        assert str(info.value) == message
    assert not registered() and not reader_threads()


def test_late_wake_reply_is_not_left_for_the_next_opening(bus, forget_adapters):
    fake = bus.add("0123456789AB", channels=2)
    answer, read, asked = fake._command, fake.read, threading.Event()

    def command(channel, text):
        if text == "Echo ?":  # the close's wake-up: input ends the reader first, the reply comes late
            fake.send((1, b"x"))
            threading.Timer(0.05, answer, (channel, text)).start()
        else:
            answer(channel, text)
            asked.set()

    fake._command = command
    ozu_qlix.Serial("QLIX0123456789ABS1", timeout=1).close()
    time.sleep(0.1)  # a reply the close left behind would be waiting now
    asked.clear()
    fake.read = lambda *args, **kwargs: asked.wait(5) and read(*args, **kwargs)  # the next reader reads late
    with ozu_qlix.Serial("QLIX0123456789ABS2", timeout=1) as port:  # its channel-count query gets its own reply
        assert port.is_open
