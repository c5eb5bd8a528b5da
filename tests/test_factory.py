"""create_serial_instance: choosing Serial or NormalSerial, DUDAZE names."""

import pytest
import serial

import ozu_qlix


class Recorder:
    """Stands in for a port class and records how it was called."""

    def __init__(self, label):
        self.label = label
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return (self.label, args, kwargs)


@pytest.fixture
def classes(monkeypatch):
    qlix, normal = Recorder("qlix"), Recorder("normal")
    monkeypatch.setattr(ozu_qlix, "Serial", qlix)
    monkeypatch.setattr(ozu_qlix, "NormalSerial", normal)
    return qlix, normal


def unpack_error(text):
    """The host's own message for unpacking `text` split at ":" into three."""
    try:
        _, _, _ = text.split(":")
    except ValueError as e:
        return str(e)
    raise AssertionError("unpacks")


@pytest.mark.parametrize(
    "args, kwargs, label, passed_args, passed_kwargs",
    [
        (("qlixanys1",), {}, "qlix", ("qlixanys1",), {}),
        (("Qlix0123S2", 9600), {"timeout": 1}, "qlix", ("Qlix0123S2", 9600), {"timeout": 1}),
        (("QLIX",), {}, "qlix", ("QLIX",), {}),
        ((), {"port": "qlixanys3", "baudrate": 5}, "qlix", (), {"port": "qlixanys3", "baudrate": 5}),
        (("COM3", 115200), {"timeout": 0.5}, "normal", ("COM3", 115200), {"timeout": 0.5}),
        (("/dev/ttyUSB0",), {}, "normal", ("/dev/ttyUSB0",), {}),
        ((), {"port": "com4"}, "normal", (), {"port": "com4"}),
        # The positional name decides when both are given.
        (("COM1",), {"port": "QLIXANYS1"}, "normal", ("COM1",), {"port": "QLIXANYS1"}),
        # DUDAZE names are rewritten, upper-cased, in the place they came from.
        (("dudaze:any:s3", 9600, 0.5), {}, "qlix", ("QLIXANYS3", 9600, 0.5), {}),
        (("Dudaze:0123456789ab:S1",), {"timeout": 1}, "qlix", ("QLIX0123456789ABS1",), {"timeout": 1}),
        ((), {"port": "DUDAZE:ANY:S2", "timeout": 1}, "qlix", (), {"port": "QLIXANYS2", "timeout": 1}),
        (("dudaze:any:s1",), {"port": "x"}, "qlix", ("dudaze:any:s1",), {"port": "QLIXANYS1"}),
        (("DUDAZEX:ANY:S4",), {}, "qlix", ("QLIXANYS4",), {}),
        (("dudaze::",), {}, "qlix", ("QLIX",), {}),
        (("dudaze:ab:cd",), {}, "qlix", ("QLIXABCD",), {}),
    ],
)
def test_choice_and_arguments(classes, args, kwargs, label, passed_args, passed_kwargs):
    caller_kwargs = dict(kwargs)
    result = ozu_qlix.create_serial_instance(*args, **caller_kwargs)
    assert result == (label, passed_args, passed_kwargs)
    assert caller_kwargs == kwargs  # the caller's dictionary is never changed
    qlix, normal = classes
    assert len(qlix.calls) + len(normal.calls) == 1


@pytest.mark.parametrize("name", ["dudaze:any", "DUDAZE", "dudaze:a:b:c", "dudaze:a:b:c:d:e"])
def test_dudaze_unpacking_errors(classes, name):
    for call in ((name,), {}), ((), {"port": name}):
        with pytest.raises(ValueError) as info:
            ozu_qlix.create_serial_instance(*call[0], **call[1])
        assert str(info.value) == unpack_error(name.upper())
    assert classes[0].calls == classes[1].calls == []


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, ValueError, 'Argument "port" is missing.'),
        ((), {"baudrate": 9600}, ValueError, 'Argument "port" is missing.'),
        ((None,), {}, AttributeError, "'NoneType' object has no attribute 'upper'"),
        ((), {"port": 3}, AttributeError, "'int' object has no attribute 'upper'"),
        # Keywords pyserial's Serial does not take are refused, whichever class the name chooses.
        (
            ("QLIXANYS1",),
            {"timout": 0.5},
            TypeError,
            "create_serial_instance() got an unexpected keyword argument 'timout'",
        ),
        (
            ("COM3",),
            {"bytesize": 8, "bogus": 1},
            TypeError,
            "create_serial_instance() got an unexpected keyword argument 'bogus'",
        ),
    ],
)
def test_port_errors(classes, args, kwargs, error, message):
    with pytest.raises(error) as info:
        ozu_qlix.create_serial_instance(*args, **kwargs)
    assert str(info.value) == message
    assert classes[0].calls == classes[1].calls == []


def test_keywords_must_be_strings():
    with pytest.raises(TypeError) as info:
        ozu_qlix.create_serial_instance("COM1", **{1: 2})
    assert str(info.value) == "create_serial_instance() keywords must be strings"


def test_real_classes_errors_propagate(tmp_path):
    """Without stand-ins, the chosen class's own errors come through."""
    with pytest.raises(AssertionError, match='Device name "qlix" not supported.'):
        ozu_qlix.create_serial_instance("qlix")
    with pytest.raises(TypeError, match="Argument 'baudrate'"):
        ozu_qlix.create_serial_instance("dudaze:any:s1", baudrate=9600.0)
    with pytest.raises(serial.SerialException, match="could not open port"):
        ozu_qlix.create_serial_instance(str(tmp_path / "no-such-tty"), 9600, timeout=0)
