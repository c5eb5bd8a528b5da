"""The module's own errors carry a code (qlix_error) and the values their message shows, on the
conditions that raise them; the qlix:// layer goes by those, not by the text; close_if_idle."""

import pytest
import serial
import usb.core

import ozu_qlix
from ozu_qlix_serial import protocol_qlix
from conftest import registry, wait_until

SN = "CODE01"
NAME = "QLIX%sS1" % SN


class Starts(str):
    """Equal to any text that starts with it."""

    def __eq__(self, other):
        return isinstance(other, str) and other.startswith(self)

    __hash__ = str.__hash__


def opened(sim, ports, name=NAME, timeout=1):
    ports.append(ozu_qlix.Serial(name, timeout=timeout))
    return ports[-1]


def with_fault(sim, fault, scope):
    sim.add_adapter(SN).set_reply_fault(sim.ReplyFault[fault], sim.Scope[scope])
    return lambda ports: ozu_qlix.Serial(NAME, timeout=1)


def unplugged_read(sim):
    adapter = sim.add_adapter(SN)

    def run(ports):
        port = opened(sim, ports, timeout=30)
        adapter.unplug()
        port.read(5)

    return run


def closed_adapter(sim):
    adapter = sim.add_adapter(SN)

    def run(ports):
        device = ozu_qlix.get_hid_device(SN)
        adapter.unplug()
        assert wait_until(lambda: registry() == {}, 5)
        device.echo("x")

    return run


def device_call(call):
    def scenario(sim):
        sim.add_adapter(SN)
        return lambda ports: call(ozu_qlix.get_hid_device(SN))

    return scenario


def short_write(device):
    device._Device__write = lambda data: 10
    device.output_data(bytes(64))


def refused(fault):
    def scenario(sim):
        setattr(sim.add_adapter(SN), fault, True)
        return lambda ports: ozu_qlix.Serial("QLIXANYS1")

    return scenario


def denied_by_serial(sim):
    sim.add_adapter(SN).access_denied = True
    return lambda ports: ozu_qlix.Serial(NAME)


def adapter(sim):
    sim.add_adapter(SN)


# name: (scenario(sim) -> run(ports), exception type, code, values, needs assertions on)
CASES = {
    "no adapter": (
        lambda sim: lambda ports: ozu_qlix.Serial("QLIXANYS1"),
        AssertionError,
        "not_found",
        {"serial_number": "ANY", "reason": None},
        False,
    ),
    "serial number not attached": (
        lambda sim: adapter(sim) or (lambda ports: ozu_qlix.Serial("QLIXFEED01S1")),
        AssertionError,
        "not_found",
        {"serial_number": "FEED01", "reason": None},
        False,
    ),
    "serial number unreadable": (
        denied_by_serial,
        AssertionError,
        "not_found",
        {"serial_number": SN, "reason": Starts("access to the QLIX adapter")},
        False,
    ),
    "channel out of range": (
        lambda sim: adapter(sim) or (lambda ports: ozu_qlix.Serial("QLIXANYS5")),
        AssertionError,
        "channel_out_of_range",
        {"channel": 5, "channel_count": 4, "serial_number": SN},
        False,
    ),
    "channel open twice": (
        lambda sim: adapter(sim) or (lambda ports: [opened(sim, ports), opened(sim, ports)]),
        AssertionError,
        "channel_already_open",
        {"channel": 1, "serial_number": SN},
        False,
    ),
    "channel count silent": (
        lambda sim: with_fault(sim, "SILENT", "ADAPTER"),
        AssertionError,
        "channel_count_timeout",
        {"serial_number": SN},
        True,
    ),
    "channel count garbage": (
        lambda sim: with_fault(sim, "GARBAGE", "ADAPTER"),
        AssertionError,
        "channel_count_invalid",
        {"serial_number": SN},
        True,
    ),
    "baud rate silent": (
        lambda sim: with_fault(sim, "SILENT", "CHANNEL"),
        OSError,
        "baud_timeout",
        {"port_name": NAME, "baudrate": 9600},
        False,
    ),
    "baud rate wrong": (
        lambda sim: with_fault(sim, "WRONG_RATE", "CHANNEL"),
        OSError,
        "baud_refused",
        {"port_name": NAME, "baudrate": 9600, "current_baudrate": 19200},
        False,
    ),
    "closed port": (
        lambda sim: adapter(sim) or (lambda ports: opened(sim, ports).close() or ports[-1].read(1)),
        AssertionError,
        "channel_closed",
        {"port_name": NAME},
        False,
    ),
    "unplugged read": (unplugged_read, OSError, "disconnected", {"port_name": NAME}, False),
    "closed adapter": (closed_adapter, usb.core.USBError, "adapter_closed", {"serial_number": SN}, False),
    "command too long": (
        device_call(lambda d: d.send_command_to_channel("b" * 62, 1)),
        AssertionError,
        "command_too_long",
        {"command": "b" * 62, "max_bytes": 62, "serial_number": SN},
        True,
    ),
    "query without ?": (
        device_call(lambda d: d.io_control_master_query("Version", bytes)),
        AssertionError,
        "query_without_question_mark",
        {"command": "Version", "serial_number": SN},
        True,
    ),
    "packet size": (
        device_call(lambda d: d.output_data(bytes(3))),
        AssertionError,
        "packet_size",
        {"size": 3, "serial_number": SN},
        True,
    ),
    "short write": (device_call(short_write), AssertionError, "short_write", {"size": 10}, True),
    "name not QLIX": (
        lambda sim: lambda ports: ozu_qlix.Serial("COM1"),
        AssertionError,
        "port_name_unsupported",
        {"port_name": "COM1"},
        True,
    ),
    "name with two S": (
        lambda sim: lambda ports: ozu_qlix.Serial("qlixasbs1"),
        AssertionError,
        "port_name_invalid",
        {"port_name": "qlixasbs1"},
        True,
    ),
    "channel not a number": (
        lambda sim: lambda ports: ozu_qlix.Serial("QLIXANYSx"),
        ValueError,
        "port_name_invalid",
        {"port_name": "QLIXANYSx"},
        False,
    ),
    "no port": (lambda sim: lambda ports: ozu_qlix.create_serial_instance(), ValueError, "port_missing", {}, False),
    "access denied": (refused("access_denied"), usb.core.USBError, "access_denied", {}, False),
    "busy": (refused("claimed_elsewhere"), usb.core.USBError, "adapter_busy", {"serial_number": SN}, False),
    "no libusb driver": (refused("not_supported"), NotImplementedError, "driver_not_supported", {}, False),
}


@pytest.mark.parametrize("case", list(CASES))
def test_errors_carry_their_code_and_values(sim, case):
    scenario, kind, code, values, asserted = CASES[case]
    if asserted and not __debug__:
        pytest.skip("assertions are off")
    run, ports = scenario(sim), []
    try:
        with pytest.raises(kind) as info:
            run(ports)
    finally:
        for port in ports:
            port.close()
    error = info.value
    assert type(error) is kind and error.qlix_error == code
    assert {name: getattr(error, name) for name in values} == values


@pytest.mark.parametrize(
    "error, text",
    [
        # The code and values decide, whatever the text says.
        (
            dict(qlix_error="disconnected", port_name="QLIXABS2"),
            "the adapter of QLIXABS2 is disconnected (unplugged, or its USB reads fail) (message)",
        ),
        (
            dict(qlix_error="channel_out_of_range", channel=7, channel_count=2, serial_number="AB"),
            "channel 7 is out of range: adapter AB has channels 1 to 2 (message)",
        ),
        (dict(qlix_error="not_found", serial_number="ANY", reason=None), Starts("no QLIX adapter is attached: ")),
        (dict(qlix_error="baud_timeout"), "setting the baud rate of None to None timed out (message)"),  # never fails
        # No code: the text as it is, even one the module would write.
        (dict(), "message"),
        (dict(qlix_error="channel_count_invalid", serial_number="AB"), "message"),
    ],
)
def test_qlix_urls_describe_errors_by_their_code(error, text):
    exc = OSError("message")
    vars(exc).update(error)
    assert protocol_qlix.describe(exc) == text


def test_close_if_idle_keeps_a_used_adapter_and_sends_nothing_once_closed(sim):
    adapter = sim.add_adapter(SN, channels=2)
    with serial.serial_for_url("qlix://%s/1" % SN, timeout=1) as port:
        device = ozu_qlix.get_hid_device(SN)
        assert device.close_if_idle() is False  # a channel is open: left as it is
        assert registry() == {SN: device} and port.write(b"still") == 5 and port.read(5) == b"still"
    device = ozu_qlix.get_hid_device(SN)  # opened afresh, only to be asked
    assert device.channel_count == 2
    assert device.close_if_idle() is True and registry() == {}
    assert wait_until(lambda: sim.open_handles() == 0, 5)
    sent = (adapter.packets_out, adapter.commands(0))
    registry()[SN] = device  # a closed adapter still registered (as after its reader failed) is forgotten
    assert device.close_if_idle() is True and registry() == {}
    assert (adapter.packets_out, adapter.commands(0)) == sent and sim.open_handles() == 0
