"""Random inputs to the public API on a virtual adapter: port names (plain,
any case, DUDAZE forms), baud rates, time-outs, write data of every type, read
sizes and terminators, echo texts. Only the documented exceptions may come
out, nothing may crash or hang, and what does get written comes back intact
and in order. QLIX_FUZZ_EXAMPLES raises the number of examples for long runs."""

import array
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ozu_qlix
from conftest import close_registered, reader_threads, registry


EXAMPLES = int(os.environ.get("QLIX_FUZZ_EXAMPLES", "150"))
fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

SERIAL = "FZ0123"
CHANNELS = 4

# Port names: mostly near the grammar, so that the parser's every branch is hit.
tokens = st.sampled_from(["ANY", "any", SERIAL, SERIAL.lower(), "", "ABC", "S", "12345678901"])
numbers = st.one_of(
    st.integers(-3, CHANNELS + 2).map(str),
    st.sampled_from(["01", " 2", "3 ", "+1", "1_0", "x", "", "99999999999999999999", "٣"]),
)
names = st.one_of(
    st.builds(
        lambda p, t, s, n: p + t + s + n,
        st.sampled_from(["QLIX", "qlix", "Qlix", "QLI"]),
        tokens,
        st.sampled_from(["S", "s", "SS", ""]),
        numbers,
    ),
    st.text(max_size=20),
)
dudaze = st.builds(
    lambda head, fields: head + ":".join(fields),
    st.sampled_from(["DUDAZE:", "dudaze:", "DUDAZE"]),
    st.lists(st.one_of(tokens, st.builds("S{}".format, numbers), st.text(max_size=4)), max_size=4),
)
rates = st.one_of(
    st.sampled_from([9600, 115200, 300]),
    st.integers(-5, 2**40),
    st.floats(allow_nan=True),
    st.booleans(),
    st.none(),
    st.text(max_size=3),
)
timeouts = st.one_of(
    st.floats(-1, 0.05), st.just(math.nan), st.integers(-2, 0), st.none(), st.text(max_size=3), st.booleans()
)

OPEN_ERRORS = (TypeError, ValueError, AssertionError, OverflowError, OSError)


def leftovers():
    """Adapters a failed open may leave registered by design; closes them and
    reports reader threads that outlive them."""
    close_registered()
    return reader_threads()


@pytest.fixture
def adapter(sim):
    yield sim.add_adapter(SERIAL, channels=CHANNELS)
    close_registered()


@pytest.mark.slow
@fuzz
@given(port=names, baudrate=rates, timeout=timeouts)
def test_serial_constructor(adapter, port, baudrate, timeout):
    try:
        opened = ozu_qlix.Serial(port, baudrate, timeout=timeout)
    except OPEN_ERRORS:
        pass
    else:
        assert opened.is_open and opened.port.startswith("QLIX%sS" % SERIAL)
        opened.close()
    assert not leftovers()


@pytest.mark.parametrize(
    "call",
    [
        lambda: ozu_qlix.Serial("QLIXS0001", timeout=1),
        lambda: ozu_qlix.create_serial_instance("dudaze::s0012"),
        lambda: ozu_qlix.get_hid_device(""),
    ],
)
def test_empty_serial_number_names_no_adapter(adapter, call):
    if not __debug__:
        pytest.skip("assertions are off")
    with pytest.raises(AssertionError, match='with Serial Number "" not found.'):
        call()
    assert registry() == {} and not reader_threads()


class Recorder:
    """Stands in for pyserial's class: ordinary port names must not touch real devices."""

    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((args, kwargs))


@fuzz
@given(
    port=st.one_of(names, dudaze, st.none(), st.integers()),
    by_keyword=st.booleans(),
    rest=st.lists(st.integers(), max_size=2),
)
def test_factory(adapter, monkeypatch, port, by_keyword, rest):
    monkeypatch.setattr(ozu_qlix, "NormalSerial", Recorder)
    Recorder.calls.clear()
    args, kwargs = ((), {"port": port, "timeout": 0.1}) if by_keyword else ((port, 9600, 0.1), {})
    try:
        made = ozu_qlix.create_serial_instance(*args, **kwargs)
    except (AttributeError,) + OPEN_ERRORS as exc:
        assert not isinstance(port, str) or not isinstance(exc, AttributeError)
    else:
        upper = port.upper()
        if upper.startswith("QLIX") or upper.startswith("DUDAZE"):
            assert isinstance(made, ozu_qlix.Serial)
            made.close()
        else:
            assert isinstance(made, Recorder) and Recorder.calls == [(args, kwargs)]
    assert not leftovers()


def sent_part(data):
    """The bytes `write(data)` hands to the adapter, and whether it fails: a
    bad value fails at the package that holds it, after the ones before it."""
    if isinstance(data, str):
        try:
            return data.encode("utf8"), False
        except UnicodeEncodeError:
            return b"", True
    if isinstance(data, (bytes, bytearray)) or (isinstance(data, array.array) and data.typecode == "B"):
        return bytes(data), False
    if isinstance(data, list):
        for i, v in enumerate(data):
            if not isinstance(v, int) or not 0 <= v <= 255:  # a bool is a byte value here
                return bytes(data[: i - i % 62]), True
        return bytes(data), False
    # Other arrays, numbers, None, generators: refused before anything is sent,
    # except an empty sized object, which sends nothing.
    return b"", not (hasattr(data, "__len__") and len(data) == 0)


write_data = st.one_of(
    st.binary(max_size=200),
    st.binary(max_size=70).map(bytearray),
    st.text(max_size=80),
    st.lists(st.integers(0, 255), max_size=150),
    st.lists(st.one_of(st.integers(-2, 300), st.booleans(), st.floats(0, 5), st.none()), max_size=150),
    st.binary(max_size=70).map(lambda b: array.array("B", b)),
    st.binary(max_size=8).map(lambda b: array.array("b")),
    st.integers(),
    st.none(),
    st.just(x for x in b"gen"),
)
ops = st.lists(
    st.one_of(
        st.tuples(st.just("write"), write_data),
        st.tuples(st.just("read"), st.one_of(st.integers(-3, 300), st.booleans(), st.none(), st.floats(0, 3))),
        st.tuples(
            st.just("read_until"),
            st.one_of(
                st.binary(max_size=2),
                st.text(max_size=2),
                st.integers(0, 255),
                st.none(),
                st.binary(max_size=2).map(bytearray),
            ),
            st.one_of(st.none(), st.integers(-2, 200), st.floats(0, 3)),
        ),
        st.tuples(st.just("timeout"), timeouts),
        st.tuples(st.just("in_waiting")),
    ),
    max_size=12,
)


@pytest.mark.slow
@fuzz
@given(steps=ops)
def test_channel_operations(adapter, steps):
    with ozu_qlix.Serial("QLIX%sS2" % SERIAL, 9600, timeout=0.01) as port:
        expected = bytearray()  # what went out and loops back, not yet read
        for op, *args in steps:
            if op == "write":
                part, fails = sent_part(args[0])
                try:
                    assert port.write(args[0]) == len(part) and not fails
                except (TypeError, ValueError, OverflowError):
                    assert fails
                expected += part
            elif op == "read":
                try:
                    got = port.read(args[0])
                except TypeError:
                    assert type(args[0]) is not int
                    continue
                assert type(got) is bytes and len(got) <= max(args[0], 0)
                assert got == expected[: len(got)]
                del expected[: len(got)]
            elif op == "read_until":
                try:
                    got = port.read_until(*args)
                except (TypeError, ValueError):
                    continue
                assert type(got) is bytes and got == expected[: len(got)]
                del expected[: len(got)]
            elif op == "timeout":
                try:
                    port.timeout = args[0]
                except TypeError:
                    assert args[0] is None or isinstance(args[0], str)
                else:
                    assert type(port.timeout) is float
                port.timeout = 0.01  # reads below must not wait without limit
            else:
                assert 0 <= port.in_waiting <= len(expected)
        # Nothing written is lost: the rest comes back in order.
        rest = bytearray()
        port.timeout = 1
        while len(rest) < len(expected):
            more = port.read(len(expected) - len(rest))
            if not more:
                break
            rest += more
        assert rest == expected
    assert adapter.malformed == 0 and not leftovers()


@fuzz
@given(content=st.text(max_size=70))
def test_echo(adapter, content):
    device = ozu_qlix.get_hid_device(SERIAL)
    try:
        encoded = ("Echo " + content + "?").encode()
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            device.echo(content)
        return
    if len(encoded) + 1 > 62:
        with pytest.raises(AssertionError, match="过长"):
            device.echo(content)
    else:
        assert device.echo(content) == content
