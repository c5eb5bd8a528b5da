"""The adapter registry and the discovery functions, on fake devices.

`_Device` is replaced by a recording stand-in, so these tests see exactly what
the registry asks of the bus and of the adapters it opens.
"""

import signal
import threading

import pytest

import ozu_qlix
from conftest import run_child


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


@pytest.mark.parametrize("found", [None, "result"])
@pytest.mark.parametrize("handler", ["default", "own", "ignored"])
def test_ctrl_c_during_a_search_by_serial_number_is_not_swallowed(monkeypatch, found, handler):
    """pyusb reads serial numbers under a bare except: a SIGINT there must still reach its handler."""

    def find(**criteria):
        try:
            signal.raise_signal(signal.SIGINT)
        except BaseException:
            pass
        return found

    calls = []
    own = {"default": signal.default_int_handler, "own": lambda *a: calls.append(a), "ignored": signal.SIG_IGN}
    monkeypatch.setattr(ozu_qlix._usb_core, "find", find)
    previous = signal.signal(signal.SIGINT, own[handler])
    try:
        if handler == "default":
            with pytest.raises(KeyboardInterrupt):
                ozu_qlix._ResourceManager.find_device("X")
        else:
            assert ozu_qlix._ResourceManager.find_device("X") == found
        assert signal.getsignal(signal.SIGINT) is own[handler]
    finally:
        signal.signal(signal.SIGINT, previous)
    assert [(n, type(f).__name__) for n, f in calls] == ([(signal.SIGINT, "frame")] if handler == "own" else [])


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


def test_lookup_is_case_sensitive(registry, bus):
    bus.add("abc")
    with pytest.raises(AssertionError, match='"ABC"'):
        registry.open_serial_channel("abc", 1, 9600, 1)
    with pytest.raises(AssertionError, match='"any"'):
        ozu_qlix.get_hid_device("any")  # only the exact "ANY" means any adapter
    assert ozu_qlix.get_hid_device("abc").serial_number == "abc"
    assert not registry._ResourceManager__device_lock.locked()
    with pytest.raises(TypeError, match="Argument 'serial_number' has incorrect type"):
        ozu_qlix.get_hid_device(None)


@pytest.mark.parametrize("failing", ["missing", "search", "construct"])
def test_lock_released_when_opening_fails(registry, bus, monkeypatch, failing):
    bus.add("AAA")
    boom = RuntimeError("boom")
    if failing == "missing":
        bus.adapters.clear()
        boom = AssertionError
    elif failing == "search":

        def find(**kwargs):
            raise boom

        monkeypatch.setattr(ozu_qlix._usb_core, "find", find)
    else:

        def construct(manager, handle):
            raise boom

        monkeypatch.setattr(ozu_qlix, "_Device", construct)
    with pytest.raises(Exception) as info:
        registry.get_device_by_serial_number("AAA")
    assert info.value is boom or type(info.value) is boom
    assert not registry._ResourceManager__device_lock.locked()
    assert not table(registry)


@pytest.mark.parametrize(
    "args, name",
    [
        (("ANY", True, 9600, 1.0), "channel"),
        (("ANY", 1, 9600.0, 1.0), "baudrate"),
        ((None, 1, 9600, 1.0), "serial_number"),
        ((b"ANY", 1, 9600, 1.0), "serial_number"),
    ],
)
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
    threads = [
        threading.Thread(target=lambda: results.append(registry.get_device_by_serial_number("ANY"))) for _ in range(3)
    ]
    for t in threads:
        t.start()
    assert entered.wait(10)
    release.set()
    for t in threads:
        t.join(10)
    assert len(results) == 3 and results[0] is results[1] is results[2]
    assert len(StubDevice.constructed) == 1


# --- discovery functions ---------------------------------------------------------


def test_list_qlix_names_failure_keeps_opened(registry, bus):
    bus.add("AAA", channels=1), bus.add("BBB", channels="broken")
    with pytest.raises(TypeError):
        ozu_qlix.list_qlix_names()
    assert list(table(registry)) == ["AAA", "BBB"]


def test_optimised_registry_says_not_found():
    """Without assertions a missing adapter is still "not found", never a device built on None."""
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
        "    except Exception as e:\n"
        "        print(type(e).__name__, e)\n"
    )
    out = run_child(code, "-O")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "AssertionError QLIX Device (VID=0x483, PID=0x5750) not found.",
        'AssertionError QLIX Device (VID=0x483, PID=0x5750) with Serial Number "XYZ" not found.',
    ]
