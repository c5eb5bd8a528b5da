"""The adapter registry and the discovery functions, on fake devices.

`_Device` is replaced by a recording stand-in, so these tests see exactly what
the registry asks of the bus and of the adapters it opens.
"""

import threading

import pytest

import ozu_qlix
from conftest import run_child

NOT_FOUND = "QLIX Device (VID=0x483, PID=0x5750) not found."


class StubDevice:
    """Records its construction and channel openings; checks the registry lock."""

    constructed = []

    def __init__(self, manager, handle):
        lock = manager._ResourceManager__device_lock
        self.lock_held = lock.locked()
        self.manager, self.handle = manager, handle
        self.opened = []
        StubDevice.constructed.append(self)

    @property
    def serial_number(self):
        return self.handle.serial_number

    @property
    def channel_count(self):
        return self.handle.channels

    def open_channel(self, *args, **kwargs):
        assert not args, "open_channel arguments must be keywords"
        assert not self.manager._ResourceManager__device_lock.locked()
        self.opened.append(kwargs)
        return ("channel", self, kwargs["channel"])


@pytest.fixture
def registry(monkeypatch):
    """A fresh registry installed as the module's own, over StubDevice."""
    StubDevice.constructed = []
    monkeypatch.setattr(ozu_qlix, "_Device", StubDevice)
    fresh = ozu_qlix._ResourceManager()
    monkeypatch.setattr(ozu_qlix, "_resource_manager", fresh)
    return fresh


def table(registry):
    return registry._ResourceManager__devices


def test_find_device_criteria(bus, monkeypatch):
    backend = object()
    monkeypatch.setattr(ozu_qlix, "_backend", backend)
    first, second = bus.add("AAA"), bus.add("BBB")
    found = ozu_qlix._ResourceManager.find_device()
    assert list(found) == [first, second]
    assert ozu_qlix._ResourceManager.find_device("BBB") is second
    assert ozu_qlix._ResourceManager.find_device("CCC") is None
    assert bus.find_calls == [
        dict(idVendor=0x0483, idProduct=0x5750, find_all=True, backend=backend),
        dict(idVendor=0x0483, idProduct=0x5750, serial_number="BBB", find_all=False, backend=backend),
        dict(idVendor=0x0483, idProduct=0x5750, serial_number="CCC", find_all=False, backend=backend),
    ]


def test_find_device_passes_exactly_the_criteria(monkeypatch):
    calls = []

    def find(*args, **kwargs):
        calls.append((args, kwargs))
        return "result"

    monkeypatch.setattr(ozu_qlix._usb_core, "find", find)
    monkeypatch.setattr(ozu_qlix, "_vid", 7)
    assert ozu_qlix._ResourceManager.find_device("X") == "result"
    assert ozu_qlix._ResourceManager.find_device("") == "result"
    backend = ozu_qlix._backend
    assert calls == [
        ((), {"idVendor": 7, "idProduct": 0x5750, "backend": backend, "serial_number": "X"}),
        ((), {"idVendor": 7, "idProduct": 0x5750, "backend": backend, "find_all": True}),
    ]


@pytest.mark.parametrize("bad", [None, b"AB", 1])
def test_find_device_rejects_non_text(bad):
    with pytest.raises(TypeError, match="Argument 'serial_number' has incorrect type"):
        ozu_qlix._ResourceManager.find_device(bad)


def test_open_once_and_reuse(registry, bus):
    bus.add("0123456789AB")
    a = registry.open_serial_channel("0123456789ab", 1, 9600, 1)
    b = registry.open_serial_channel("any", 2, 115200, 0.5)
    c = registry.get_device_by_serial_number("ANY")
    assert len(StubDevice.constructed) == 1
    device = StubDevice.constructed[0]
    assert a[1] is b[1] is c is device
    assert device.lock_held and device.manager is registry
    assert device.opened == [
        dict(channel=1, baudrate=9600, timeout=1.0),
        dict(channel=2, baudrate=115200, timeout=0.5),
    ]
    assert type(device.opened[0]["timeout"]) is float
    assert list(table(registry)) == ["0123456789AB"]
    assert len(bus.find_calls) == 1


def test_any_picks_earliest_registered_without_search(registry, bus):
    bus.add("AAA"), bus.add("BBB")
    second = registry.get_device_by_serial_number("BBB")
    first = registry.get_device_by_serial_number("AAA")
    calls = len(bus.find_calls)
    assert registry.get_device_by_serial_number("ANY") is second
    assert len(bus.find_calls) == calls
    assert list(table(registry)) == ["BBB", "AAA"] and first is not second


@pytest.mark.parametrize("serial, message", [
    ("ANY", NOT_FOUND),
    ("FEDCBA987654", 'QLIX Device (VID=0x483, PID=0x5750) with Serial Number "FEDCBA987654" not found.'),
])
def test_not_found(registry, bus, serial, message):
    bus.add("0123456789AB")
    if serial == "ANY":
        bus.adapters.clear()
    with pytest.raises(AssertionError) as info:
        registry.get_device_by_serial_number(serial)
    assert str(info.value) == message
    assert not table(registry) and not StubDevice.constructed
    assert not registry._ResourceManager__device_lock.locked()


def test_lookup_is_case_sensitive(registry, bus):
    bus.add("abc")
    with pytest.raises(AssertionError, match='"ABC"'):
        registry.open_serial_channel("abc", 1, 9600, 1)
    assert registry.get_device_by_serial_number("abc").serial_number == "abc"
    assert not registry._ResourceManager__device_lock.locked()


@pytest.mark.parametrize("failing", ["search", "construct"])
def test_lock_released_when_opening_fails(registry, bus, monkeypatch, failing):
    bus.add("AAA")
    boom = RuntimeError("boom")
    if failing == "search":
        def find(**kwargs):
            raise boom
        monkeypatch.setattr(ozu_qlix._usb_core, "find", find)
    else:
        def construct(manager, handle):
            raise boom
        monkeypatch.setattr(ozu_qlix, "_Device", construct)
    with pytest.raises(RuntimeError) as info:
        registry.get_device_by_serial_number("AAA")
    assert info.value is boom
    assert not registry._ResourceManager__device_lock.locked()
    assert not table(registry)


@pytest.mark.parametrize("args, name", [
    (("ANY", True, 9600, 1.0), "channel"),
    (("ANY", 1, 9600.0, 1.0), "baudrate"),
    ((None, 1, 9600, 1.0), "serial_number"),
    ((b"ANY", 1, 9600, 1.0), "serial_number"),
])
def test_open_serial_channel_argument_types(registry, bus, args, name):
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % name):
        registry.open_serial_channel(*args)
    assert not bus.find_calls


def test_timeout_converted_before_other_checks(registry, bus):
    with pytest.raises(TypeError) as info:
        registry.open_serial_channel(None, True, None, None)
    assert str(info.value) == "must be real number, not NoneType"


def test_open_channel_failure_keeps_adapter(registry, bus, monkeypatch):
    bus.add("AAA")

    def refuse(self, **kwargs):
        raise ValueError("no such channel")
    monkeypatch.setattr(StubDevice, "open_channel", refuse)
    with pytest.raises(ValueError, match="no such channel"):
        registry.open_serial_channel("AAA", 9, 9600, 1)
    assert list(table(registry)) == ["AAA"]


def test_close_device_forgets_and_reopens(registry, bus):
    bus.add("AAA")
    device = registry.get_device_by_serial_number("AAA")
    registry.close_device(device)
    registry.close_device(device)  # a second close does nothing
    assert not table(registry)
    again = registry.get_device_by_serial_number("AAA")
    assert again is not device and len(StubDevice.constructed) == 2


def test_stale_close_keeps_newer_adapter(registry, bus):
    """Closing an old device a second time must not unregister a newer device
    that was opened under the same serial number in between."""
    bus.add("AAA")
    old = registry.get_device_by_serial_number("AAA")
    registry.close_device(old)
    new = registry.get_device_by_serial_number("AAA")
    registry.close_device(old)
    assert table(registry) == {"AAA": new}
    assert registry.get_device_by_serial_number("ANY") is new


def test_concurrent_lookups_share_one_device(registry, bus, monkeypatch):
    bus.add("AAA")
    entered = threading.Event()
    release = threading.Event()

    class SlowDevice(StubDevice):
        def __init__(self, manager, handle):
            entered.set()
            assert release.wait(10)
            super().__init__(manager, handle)

    monkeypatch.setattr(ozu_qlix, "_Device", SlowDevice)
    results = []
    threads = [threading.Thread(target=lambda: results.append(registry.get_device_by_serial_number("ANY")))
               for _ in range(3)]
    for t in threads:
        t.start()
    assert entered.wait(10)
    release.set()
    for t in threads:
        t.join(10)
    assert len(results) == 3 and results[0] is results[1] is results[2]
    assert len(StubDevice.constructed) == 1


# --- discovery functions ---------------------------------------------------------


def test_list_serial_numbers_opens_nothing(registry, bus):
    assert ozu_qlix.list_serial_numbers() == []
    bus.add("BBB"), bus.add("AAA")
    assert ozu_qlix.list_serial_numbers() == ["BBB", "AAA"]
    assert not StubDevice.constructed and not table(registry)


def test_list_qlix_names(registry, bus):
    assert ozu_qlix.list_qlix_names() == []
    bus.add("BBB", channels=2), bus.add("AAA", channels=3)
    already = registry.get_device_by_serial_number("AAA")
    assert ozu_qlix.list_qlix_names() == ["QLIXBBBS1", "QLIXBBBS2", "QLIXAAAS1", "QLIXAAAS2", "QLIXAAAS3"]
    assert len(StubDevice.constructed) == 2
    assert ozu_qlix.get_hid_device("AAA") is already
    assert list(table(registry)) == ["AAA", "BBB"]


def test_get_hid_device(registry, bus):
    with pytest.raises(AssertionError) as info:
        ozu_qlix.get_hid_device()
    assert str(info.value) == NOT_FOUND
    bus.add("abc")
    with pytest.raises(AssertionError, match='"ANYX"'):
        ozu_qlix.get_hid_device("ANYX")
    device = ozu_qlix.get_hid_device()
    assert device.serial_number == "abc" and ozu_qlix.get_hid_device("abc") is device
    with pytest.raises(TypeError, match="Argument 'serial_number' has incorrect type"):
        ozu_qlix.get_hid_device(None)


def test_list_qlix_names_failure_keeps_opened(registry, bus):
    bus.add("AAA", channels=1), bus.add("BBB", channels="broken")
    with pytest.raises(TypeError):
        ozu_qlix.list_qlix_names()
    assert list(table(registry)) == ["AAA", "BBB"]


def test_optimised_registry_passes_none_to_device():
    """Without assertions a missing adapter reaches the device constructor."""
    code = (
        "import ozu_qlix, usb.core\n"
        "usb.core.find = lambda **kw: iter(()) if kw.get('find_all') else None\n"
        "class D:\n"
        "    def __init__(self, m, h):\n"
        "        raise RuntimeError('handle=%r' % (h,))\n"
        "ozu_qlix._Device = D\n"
        "for sn in ('ANY', 'XYZ'):\n"
        "    try:\n"
        "        ozu_qlix.get_hid_device(sn)\n"
        "    except RuntimeError as e:\n"
        "        print(e)\n"
    )
    out = run_child(code, "-O")
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["handle=None", "handle=None"]
