"""Loading rules and module globals."""

import array
import collections
import importlib
import sys
import sysconfig
import threading
import time
import typing

import libusb_package
import pytest
import serial
import usb.backend.libusb1
import usb.core
import usb.util

import ozu_qlix
from conftest import run_child

GLOBALS_IN_ORDER = [
    "_array",
    "_deque",
    "_libusb",
    "NormalSerial",
    "sys",
    "_Event",
    "_Lock",
    "_Thread",
    "_sleep",
    "_now",
    "_Dict",
    "_List",
    "Union",
    "_Callable",
    "_Optional",
    "_Iterable",
    "_usb_core",
    "_usb_back",
    "_close_usb_device",
    "_backend",
    "_USBDevice",
    "_vid",
    "_pid",
    "_Device",
    "_Channel",
    "_ResourceManager",
    "_resource_manager",
    "list_serial_numbers",
    "Serial",
    "create_serial_instance",
    "get_hid_device",
    "list_qlix_names",
]


def test_globals_are_defined_in_order():
    names = [n for n in vars(ozu_qlix) if not n.startswith("__")]
    assert names == GLOBALS_IN_ORDER


@pytest.mark.parametrize(
    "name, expected",
    [
        ("_array", array.array),
        ("_deque", collections.deque),
        ("_libusb", libusb_package),
        ("NormalSerial", serial.Serial),
        ("sys", sys),
        ("_Event", threading.Event),
        ("_Lock", threading.Lock),
        ("_Thread", threading.Thread),
        ("_sleep", time.sleep),
        ("_now", time.time),
        ("_Dict", typing.Dict),
        ("_List", typing.List),
        ("Union", typing.Union),
        ("_Callable", typing.Callable),
        ("_Optional", typing.Optional),
        ("_Iterable", typing.Iterable),
        ("_usb_core", usb.core),
        ("_usb_back", usb.backend.libusb1),
        ("_close_usb_device", usb.util.dispose_resources),
        ("_USBDevice", usb.core.Device),
    ],
)
def test_aliases(name, expected):
    assert getattr(ozu_qlix, name) is expected


def test_constants_and_registry():
    assert (ozu_qlix._vid, ozu_qlix._pid) == (0x0483, 0x5750)
    assert type(ozu_qlix._resource_manager) is ozu_qlix._ResourceManager
    for cls in (ozu_qlix._Device, ozu_qlix._Channel, ozu_qlix._ResourceManager, ozu_qlix.Serial):
        assert type(cls) is type and cls.__module__ == "ozu_qlix" and cls.__bases__ == (object,)


def test_backend_comes_from_libusb_package_at_import():
    code = """
import libusb_package, usb.backend.libusb1 as b
calls = []
def get_backend(**kw):
    calls.append(kw)
    return "whatever it returns"
b.get_backend = get_backend
import ozu_qlix
assert calls == [{"find_library": libusb_package.find_library}], calls
assert ozu_qlix._backend == "whatever it returns"
print("ok")
"""
    out = run_child(code)
    assert out.stdout.strip() == "ok", out.stderr


def test_second_import_and_reload_keep_the_module():
    registry = ozu_qlix._resource_manager
    assert importlib.import_module("ozu_qlix") is ozu_qlix
    assert importlib.reload(ozu_qlix) is ozu_qlix
    assert ozu_qlix._resource_manager is registry
    spec = importlib.util.find_spec("ozu_qlix")
    assert importlib.util.module_from_spec(spec) is ozu_qlix


def test_no_thread_started_at_import():
    out = run_child("import threading, ozu_qlix; print(threading.active_count())")
    assert out.stdout.strip() == "1", out.stderr


def test_failed_import_leaves_nothing_half_done():
    code = """
import sys
sys.modules["serial"] = None   # pyserial missing
try:
    import ozu_qlix
except ImportError as e:
    print("first:", isinstance(e, ImportError))
del sys.modules["serial"]
import ozu_qlix
print("second:", hasattr(ozu_qlix, "list_qlix_names"), "ozu_qlix" in sys.modules)
"""
    out = run_child(code)
    assert out.stdout.split("\n")[:2] == ["first: True", "second: True True"], out.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sub-interpreters with their own settings came in 3.12")
@pytest.mark.parametrize(
    "checked, expected",
    [
        # An interpreter that checks extensions refuses the module on its declared lack of support...
        (True, "ImportError: module ozu_qlix does not support loading in subinterpreters"),
        # ...one that does not is refused by the module itself.
        (
            False,
            "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per "
            "process.",
        ),
    ],
)
def test_one_interpreter_per_process(checked, expected):
    # Both sub-interpreters share the GIL: one with its own refuses every
    # extension that does not declare support for that.
    code = f"""
import ozu_qlix
code = '''
try:
    import ozu_qlix
    print("imported", flush=True)
except ImportError as e:
    print(type(e).__name__ + ":", e, flush=True)
'''
try:
    import _interpreters
except ImportError:
    try:
        import _testcapi
    except ImportError:
        raise SystemExit("no _testcapi")
    _testcapi.run_in_subinterp_with_config(code, use_main_obmalloc=True, allow_fork=True, allow_exec=True,
        allow_threads=True, allow_daemon_threads=True, check_multi_interp_extensions={checked}, gil=1)
else:
    config = _interpreters.new_config("legacy", check_multi_interp_extensions={checked})
    iid = _interpreters.create(config)
    _interpreters.run_string(iid, code)
    _interpreters.destroy(iid)
"""
    out = run_child(code)
    if out.stderr.strip() == "no _testcapi":
        pytest.skip("this 3.12 has no _testcapi")
    assert out.stdout.strip() == expected, out.stderr


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_import_enables_the_gil_on_a_free_threaded_build():
    out = run_child(
        "import sys; print(sys._is_gil_enabled()); import ozu_qlix; print(sys._is_gil_enabled())",
        "-W",
        "ignore::RuntimeWarning",
    )
    assert out.stdout.split() == ["False", "True"], out.stderr


@pytest.mark.parametrize("flags, expected", [((), "AssertionError"), (("-O",), "IndexError")])
def test_assertion_switch_follows_optimisation(flags, expected):
    # With assertions off the port-name checks are skipped and "COM3" fails on
    # its missing channel token instead.
    code = """
import ozu_qlix
try:
    ozu_qlix.Serial("COM3")
except Exception as e:
    print(type(e).__name__)
"""
    out = run_child(code, *flags)
    assert out.stdout.strip() == expected, out.stderr
