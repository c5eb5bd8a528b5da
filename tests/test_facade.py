"""The Serial facade on a stand-in registry and channel: name grammar, type
checks and forwarding."""

import array
import contextlib

import pytest

import ozu_qlix
from conftest import run_child

FORMAT = 'Device name must be "QLIXANYSxx" or "QLIXHHHHHHHHHHHHSxx" format, where "xx" are decimal digit(s).'


class StubChannel:
    def __init__(self):
        self.calls = []
        self.baudrate = 9600
        self.timeout = 0.0
        self.name = "QLIX0123456789ABS1"
        self.is_open = True
        self.in_waiting = 0
        self.result = array.array("B", b"ok")
        self.written = 2

    def _record(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))

    def read(self, *args, **kwargs):
        self._record("read", *args, **kwargs)
        return self.result

    def read_until(self, *args, **kwargs):
        self._record("read_until", *args, **kwargs)
        return self.result

    def write(self, *args, **kwargs):
        self._record("write", *args, **kwargs)
        return self.written

    def close(self):
        self._record("close")

    def flush_input(self):
        self._record("flush_input")

    def reset_input_buffer(self):
        self._record("reset_input_buffer")


class StubRegistry:
    def __init__(self):
        self.requests = []
        self.channel = StubChannel()
        self.error = None

    def open_serial_channel(self, *args, **kwargs):
        assert not args, "all arguments go by keyword"
        self.requests.append(kwargs)
        if self.error:
            raise self.error
        return self.channel


@pytest.fixture
def registry(monkeypatch):
    stub = StubRegistry()
    monkeypatch.setattr(ozu_qlix, "_resource_manager", stub)
    return stub


@pytest.fixture
def port(registry):
    return ozu_qlix.Serial("QLIXANYS1", 9600, 1)


@pytest.mark.parametrize(
    "name, serial, channel",
    [
        ("QLIXANYS1", "ANY", 1),
        ("qlixanys02", "ANY", 2),
        ("QLIX0123456789ABS12", "0123456789AB", 12),
        ("qLiX0123456789abS3", "0123456789AB", 3),
        ("QLIXANYS 7 ", "ANY", 7),
        ("QLIXANYS+1_0", "ANY", 10),
        ("QLIXANYS-3", "ANY", -3),
        ("QLIXANYS000", "ANY", 0),
        ("qlixanys\u0663", "ANY", 3),  # a non-ASCII decimal digit, as int() takes it
    ],
)
def test_name_grammar(registry, name, serial, channel):
    s = ozu_qlix.Serial(name)
    assert registry.requests == [dict(serial_number=serial, channel=channel, baudrate=9600, timeout=0.0)]
    assert s._Serial__handle is registry.channel
    assert type(registry.requests[0]["timeout"]) is float


@pytest.mark.parametrize(
    "name, error, message",
    [
        ("COM3", AssertionError, 'Device name "COM3" not supported.'),
        ("QLIXANYS", AssertionError, 'Device name "QLIXANYS" not supported.'),
        ("qlixany1", AssertionError, 'Device name "qlixany1" not supported.'),
        (" QLIXANYS1", AssertionError, 'Device name " QLIXANYS1" not supported.'),
        ("QLIXABCSS1", AssertionError, FORMAT),
        ("QLIXANY12", AssertionError, FORMAT),
        ("QLIXANYS1S", AssertionError, FORMAT),
        ("qlix\u00dfanys1", AssertionError, FORMAT),  # sharp s upper-cases to "SS"
        ("QLIXANYSX", ValueError, FORMAT),
        ("QLIXANYS1.5", ValueError, FORMAT),
    ],
)
def test_bad_names(registry, name, error, message):
    with pytest.raises(error) as info:
        ozu_qlix.Serial(name)
    assert type(info.value) is error and str(info.value) == message
    assert not registry.requests


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("QLIXANYS1",), {"timeout": None}, "must be real number, not NoneType"),
        (("QLIXANYS1",), {"timeout": "1"}, "must be real number, not str"),
        (("QLIXANYS1", 9600.0), {}, "Argument 'baudrate' has incorrect type (expected int, got float)"),
        (("QLIXANYS1", True), {}, "Argument 'baudrate' has incorrect type (expected int, got bool)"),
        ((b"QLIXANYS1",), {}, "Argument 'port' has incorrect type (expected str, got bytes)"),
        ((None, True, None), {}, "must be real number, not NoneType"),  # timeout is converted first
        ((None, True), {}, "Argument 'port' has incorrect type (expected str, got NoneType)"),
        (("QLIXANYS1", 1, 2, 3), {}, "Serial.__init__() takes from 2 to 4 positional arguments but 5 were given"),
        # A keyword pyserial's Serial does not take, such as a misspelt timeout, is refused before anything else.
        (("QLIXANYS1",), {"timout": 0.5}, "Serial.__init__() got an unexpected keyword argument 'timout'"),
        ((None,), {"parity": "N", "bogus": 1}, "Serial.__init__() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_constructor_type_errors(registry, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ozu_qlix.Serial(*args, **kwargs)
    assert str(info.value) == message
    assert not registry.requests


def test_constructor_passes_on_and_ignores_extras(registry):
    ozu_qlix.Serial(
        port="qlixanys4",
        baudrate=115200,
        timeout=2,
        bytesize=8,
        parity="N",
        stopbits=1,
        xonxoff=False,
        rtscts=False,
        dsrdtr=False,
        write_timeout=1,
        inter_byte_timeout=None,
        exclusive=True,
    )
    assert registry.requests == [dict(serial_number="ANY", channel=4, baudrate=115200, timeout=2.0)]


def test_registry_error_propagates(registry):
    registry.error = OSError("adapter gone")
    with pytest.raises(OSError) as info:
        ozu_qlix.Serial("QLIXANYS1")
    assert info.value is registry.error


def test_reads(port, registry):
    ch = registry.channel
    first = port.read()
    assert first == b"ok" and type(first) is bytes
    assert port.read(5) == b"ok"
    assert port.read_until() == b"ok"
    assert port.read_until(b"\r", 7) == b"ok"
    ch.result = array.array("B")
    assert port.read(3) == b""
    assert ch.calls == [
        ("read", (1,), {}),
        ("read", (5,), {}),
        ("read_until", (b"\n", None), {}),
        ("read_until", (b"\r", 7), {}),
        ("read", (3,), {}),
    ]
    for bad in (None, 1.0, True):
        with pytest.raises(TypeError, match="Argument 'size' has incorrect type"):
            port.read(bad)


@pytest.mark.parametrize(
    "result, error",
    [
        (3, None),
        (None, None),
        ("3", "Expected int, got str"),
        (True, "Expected int, got bool"),
    ],
)
def test_write_result(port, registry, result, error):
    registry.channel.written = result
    data = object()
    if error:
        with pytest.raises(TypeError) as info:
            port.write(data)
        assert str(info.value) == error
    else:
        assert port.write(data) is result
    assert registry.channel.calls == [("write", (data,), {})]


@pytest.mark.parametrize(
    "member, channel_attr, value, error",
    [
        ("port", "name", "QLIXAAAS1", None),
        ("port", "name", None, None),
        ("port", "name", b"QLIX", "Expected str, got bytes"),
        ("in_waiting", "in_waiting", 5, None),
        ("in_waiting", "in_waiting", 5.0, "Expected int, got float"),
        ("is_open", "is_open", "anything", None),
        ("baudrate", "baudrate", 1.5, None),
        ("timeout", "timeout", "anything", None),
    ],
)
def test_getters(port, registry, member, channel_attr, value, error):
    setattr(registry.channel, channel_attr, value)
    if error:
        with pytest.raises(TypeError) as info:
            getattr(port, member)
        assert str(info.value) == error
    else:
        assert getattr(port, member) is value


def test_setters(port, registry):
    ch = registry.channel
    port.baudrate = 19200
    port.timeout = 2
    assert ch.baudrate == 19200 and ch.timeout == 2.0 and type(ch.timeout) is float
    with pytest.raises(TypeError, match="Argument 'value' has incorrect type"):
        port.baudrate = True
    with pytest.raises(TypeError, match="must be real number"):
        port.timeout = None
    assert ch.baudrate == 19200 and ch.timeout == 2.0
    for read_only in ("port", "is_open", "in_waiting"):
        with pytest.raises(AttributeError):
            setattr(port, read_only, 1)


def test_flushing(port, registry):
    assert port.flush() is None and port.flushOutput() is None
    assert registry.channel.calls == []
    assert port.flushInput() is None and port.reset_input_buffer() is None
    assert registry.channel.calls == [("flush_input", (), {}), ("reset_input_buffer", (), {})]


@pytest.mark.parametrize("raising", [False, True])
def test_context_manager(port, registry, raising):
    with pytest.raises(KeyError) if raising else contextlib.nullcontext():
        with port as entered:
            assert entered is port
            if raising:
                raise KeyError("body")
    assert registry.channel.calls == [("close", (), {})]
    assert port._Serial__handle is registry.channel


def test_exit_uses_subclass_close(registry):
    closed = []

    class Mine(ozu_qlix.Serial):
        def close(self):
            closed.append(self)

    with Mine("QLIXANYS1") as s:
        pass
    assert closed == [s] and registry.channel.calls == []


OPTIMISED = r"""
import ozu_qlix
class Registry:
    def open_serial_channel(self, **kw):
        return kw
ozu_qlix._resource_manager = Registry()
for name in ["XXXXANYS3", "QLIXABCS1S2", "QLIXANY12", "COM3", "QLIXABCSS1", "QLIXANYSX"]:
    try:
        s = ozu_qlix.Serial(name)
        print(name, sorted(s._Serial__handle.items()))
    except Exception as e:
        print(name, type(e).__name__, e)
"""


def test_optimised_name_checks():
    out = run_child(OPTIMISED, "-O")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "XXXXANYS3 [('baudrate', 9600), ('channel', 3), ('serial_number', 'ANY'), ('timeout', 0.0)]",
        "QLIXABCS1S2 [('baudrate', 9600), ('channel', 1), ('serial_number', 'ABC'), ('timeout', 0.0)]",
        "QLIXANY12 IndexError list index out of range",
        "COM3 IndexError list index out of range",
        "QLIXABCSS1 ValueError " + FORMAT,
        "QLIXANYSX ValueError " + FORMAT,
    ]
