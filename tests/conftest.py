# The virtual USB library becomes this process's libusb before ozu_qlix is
# imported: pyusb keeps the first library it loads. Tests on fake devices
# patch usb.core.find and never reach it.
import os as _os
import sys as _sys

try:
    import ozu_qlix_sim
except ImportError:
    _sys.path.append(_os.path.join(_os.path.dirname(_os.path.abspath(__file__)), _os.pardir, "python"))
    import ozu_qlix_sim
# Inside the USB kernel rig (scripts/usb_rig.sh) the real libusb is used, and
# only the usb_rig tests run; elsewhere those skip.
IN_RIG = bool(_os.environ.get("OZU_QLIX_RIG"))
if not IN_RIG:
    try:
        ozu_qlix_sim.use()
    except ozu_qlix_sim.LibraryNotFound:
        pass  # not built here: the tests that need it skip

import signal as _signal

import pytest

# A shell starts background jobs with Ctrl-C ignored, and child processes
# inherit that; the Ctrl-C tests need it delivered, here and in children.
if _signal.getsignal(_signal.SIGINT) == _signal.SIG_IGN:
    _signal.signal(_signal.SIGINT, _signal.default_int_handler)
import usb.core

import ozu_qlix
from fake_usb import FakeAdapter
from helpers import close_registered, reader_threads, registry, wait_until


class FakeBus:
    """Fake adapters enumerated by a patched usb.core.find."""

    def __init__(self):
        self.adapters = []
        self.find_calls = []

    def add(self, serial_number="0123456789AB", channels=4, **options):
        adapter = FakeAdapter(serial_number, channels, **options)
        adapter.idVendor, adapter.idProduct = 0x0483, 0x5750
        self.adapters.append(adapter)
        return adapter

    def remove(self, adapter):
        self.adapters.remove(adapter)

    def find(self, find_all=False, backend=None, custom_match=None, **criteria):
        self.find_calls.append(dict(criteria, find_all=find_all, backend=backend))
        matches = [a for a in list(self.adapters) if all(getattr(a, k, None) == v for k, v in criteria.items())]
        if find_all:
            return iter(matches)
        return matches[0] if matches else None


@pytest.fixture
def bus(monkeypatch):
    fake = FakeBus()
    monkeypatch.setattr(usb.core, "find", fake.find)
    return fake


@pytest.fixture
def adapter():
    return FakeAdapter()


class Manager:
    """A stand-in for the registry: records close_device calls."""

    def __init__(self):
        self.closed = []

    def close_device(self, device):
        self.closed.append(device)


@pytest.fixture
def manager():
    return Manager()


@pytest.fixture
def make_device(manager):
    """Constructs _Device objects on fake adapters and closes them afterwards."""
    made = []

    def make(fake=None, **options):
        fake = fake if fake is not None else FakeAdapter(**options)
        device = ozu_qlix._Device(manager, fake)
        made.append(device)
        return device

    yield make
    for device in made:
        device.close()


@pytest.fixture(autouse=True)
def no_leaked_readers():
    """Fails a test that leaves an adapter's reader thread running."""
    before = set(reader_threads())
    yield
    registry = getattr(ozu_qlix._resource_manager, "_ResourceManager__devices", {})
    leaked_registry = list(registry)
    for device in list(registry.values()):
        device.close()
    registry.clear()
    leaked = [t for t in reader_threads() if t not in before]
    for t in leaked:
        t._target.__self__.close()
        t.join(5)
    assert not leaked, "reader threads left running: %r" % leaked
    assert not leaked_registry, "adapters left registered: %r" % leaked_registry


def start_child(code, *flags, **options):
    """Starts Python code in a child interpreter (given flags such as -O) that
    can import the test helpers as well; its output is text. `options` go to
    subprocess.Popen."""
    import os
    import subprocess
    import sys

    tests_dir = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (tests_dir, env.get("PYTHONPATH")) if p)
    # UTF-8 both ways: on Windows a child's standard streams otherwise use the ANSI code page.
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.Popen(
        [sys.executable, *flags, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        encoding="utf-8",
        env=env,
        **options,
    )


def finish_child(child, timeout=60):
    """Waits for a child from start_child; returns it as subprocess.run would."""
    import subprocess

    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        raise
    return subprocess.CompletedProcess(child.args, child.returncode, out, err)


def run_child(code, *flags, timeout=60):
    """Runs Python code in a child interpreter; see start_child."""
    return finish_child(start_child(code, *flags), timeout)


def require_virtual_bus():
    """Skips the calling test unless the virtual USB library is pyusb's backend in this session."""
    if not ozu_qlix_sim.in_use():
        pytest.skip("the virtual USB library is not pyusb's backend in this session")


@pytest.fixture
def vbus():
    """The virtual USB bus (ozu_qlix_sim), empty and paced at the start and emptied afterwards."""
    require_virtual_bus()
    ozu_qlix_sim.reset()
    yield ozu_qlix_sim
    ozu_qlix_sim.reset()


@pytest.fixture
def virtual_adapter(vbus):
    """A virtual adapter with 4 channels, serial number 0123456789AB."""
    return vbus.add_adapter("0123456789AB", channels=4)


@pytest.fixture
def open_port(virtual_adapter, request):
    """Opens qlix:// ports (channel 1 of the virtual adapter by default) and closes them after the test.
    Their timeout is the test module's PORT_TIMEOUT unless given."""
    import serial

    ports = []

    def open_(url="qlix://ANY/1", **settings):
        settings.setdefault("timeout", getattr(request.module, "PORT_TIMEOUT"))
        ports.append(serial.serial_for_url(url, **settings))
        return ports[-1]

    yield open_
    for port in ports:
        port.close()


@pytest.fixture
def sim(vbus):
    """The virtual USB bus, with every adapter the test left open closed afterwards."""
    yield vbus
    close_registered()


def assert_released(sim):
    """Nothing of the module is left: no registered adapter, reader thread or open USB handle."""
    assert registry() == {}
    assert wait_until(lambda: not reader_threads(), 5)
    assert wait_until(lambda: sim.open_handles() == 0, 5)


@pytest.fixture
def watchdog():
    """Ends the whole run with every thread's traceback if the test deadlocks,
    instead of letting CI hang."""
    import faulthandler

    faulthandler.dump_traceback_later(180, exit=True, file=_sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


def pytest_collection_modifyitems(config, items):
    if IN_RIG:
        skip = pytest.mark.skip(reason="runs on the stand-in, not in the USB kernel rig")
    else:
        skip = pytest.mark.skip(reason="runs only in the USB kernel rig (scripts/usb_rig.sh)")
    for item in items:
        if ("usb_rig" in item.keywords) != IN_RIG:
            item.add_marker(skip)
