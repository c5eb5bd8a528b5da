"""Construction of an adapter object, its two USB transfers and close."""

import array

import pytest
import usb.core

import ozu_qlix
from conftest import reader_threads
from fake_usb import FakeAdapter, FakeInterface, FakeEndpoint


class RecordingAdapter(FakeAdapter):
    """Keeps the keyword arguments of every transfer."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.transfer_calls = []

    def read(self, endpoint, size_or_buffer, timeout=None):
        self.transfer_calls.append(("read", endpoint, size_or_buffer, timeout))
        return super().read(endpoint, size_or_buffer, timeout)

    def write(self, endpoint, data, timeout=None):
        self.transfer_calls.append(("write", endpoint, bytes(data), timeout))
        return super().write(endpoint, data, timeout)


@pytest.mark.parametrize("options, expected_calls", [
    ({"kernel_driver": True}, ["is_kernel_driver_active", "detach_kernel_driver", "get_active_configuration"]),
    ({"kernel_driver": False}, ["is_kernel_driver_active", "get_active_configuration"]),
    ({"kernel_unsupported": True}, ["is_kernel_driver_active", "get_active_configuration"]),
])
def test_construction_kernel_driver_and_reader(make_device, options, expected_calls):
    fake = FakeAdapter(**options)
    device = make_device(fake)
    assert [c[0] for c in fake.calls] == expected_calls
    thread = device._Device__input_scanner
    assert thread.is_alive() and thread in reader_threads()
    assert device._Device__stop_flag is False
    assert device._Device__channel_count is None
    assert device._Device__channels == {} and device._Device__io_control_handlers == {}


def test_kernel_driver_failure_other_than_unsupported_propagates(manager):
    fake = FakeAdapter()
    fake.is_kernel_driver_active = lambda interface: (_ for _ in ()).throw(usb.core.USBError("busy"))
    with pytest.raises(usb.core.USBError, match="busy"):
        ozu_qlix._Device(manager, fake)


def test_interface_with_one_endpoint_fails_before_reader_starts(manager):
    fake = FakeAdapter()
    fake._config._interfaces = [FakeInterface([FakeEndpoint(0x81)])]
    before = set(reader_threads())
    with pytest.raises(IndexError):
        ozu_qlix._Device(manager, fake)
    assert set(reader_threads()) == before


def test_transfers_use_keywords_and_endpoint_descriptors(make_device):
    fake = RecordingAdapter()
    device = make_device(fake)
    packet = array.array("B", bytes(64))
    assert device._Device__write(packet) == 64
    assert device._Device__write(data=packet, timeout=7) == 64
    writes = [c for c in fake.transfer_calls if c[0] == "write"]
    assert writes == [("write", 0x01, bytes(64), 100), ("write", 0x01, bytes(64), 7)]
    reads = [c for c in list(fake.transfer_calls) if c[0] == "read"]
    assert reads and all(c[1:] == (0x81, 64, 50) for c in reads)


def test_swapped_endpoints_are_used_as_listed(make_device):
    fake = RecordingAdapter(endpoints_swapped=True)
    device = make_device(fake)
    device._Device__write(bytes(64))
    calls = list(fake.transfer_calls)
    assert {c[1] for c in calls if c[0] == "write"} == {fake.IN_ADDRESS}
    assert {c[1] for c in calls if c[0] == "read"} <= {fake.OUT_ADDRESS}


@pytest.mark.parametrize("bad", [True, None, 50.0, "50"])
@pytest.mark.parametrize("method", ["_Device__read", "_Device__write"])
def test_transfer_timeout_must_be_exact_int(make_device, method, bad):
    device = make_device()
    args = () if method == "_Device__read" else (bytes(64),)
    with pytest.raises(TypeError) as info:
        getattr(device, method)(*args, timeout=bad)
    assert str(info.value) == ("Argument 'timeout' has incorrect type (expected int, got %s)"
                               % type(bad).__name__)


def test_close_stops_reader_and_releases_twice(manager):
    fake = FakeAdapter()
    device = ozu_qlix._Device(manager, fake)
    thread = device._Device__input_scanner
    assert device.close() is None
    assert not thread.is_alive() and fake.disposed == 1
    device.close()
    assert fake.disposed == 2 and device._Device__stop_flag is True


@pytest.mark.parametrize("value, ok", [("ABC", True), (None, True), (b"ABC", False), (12, False)])
def test_serial_number_is_read_from_device(make_device, value, ok):
    fake = FakeAdapter()
    device = make_device(fake)
    fake.serial_number = value
    if ok:
        assert device.serial_number == value
    else:
        with pytest.raises(TypeError, match="Expected str, got %s" % type(value).__name__):
            device.serial_number
