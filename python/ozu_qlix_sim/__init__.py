"""Virtual QLIX adapters on a virtual USB bus.

The package ships a shared library that implements the USB library's C
interface (the one pyusb's libusb1 backend binds) over virtual adapters, and
this ctypes wrapper around its control functions. pyusb loads one USB library
per process and keeps it, so the virtual one has to be chosen first::

    import ozu_qlix_sim
    ozu_qlix_sim.use()              # before anything imports ozu_qlix
    adapter = ozu_qlix_sim.add_adapter("0123456789AB", channels=4)
    import ozu_qlix
    with ozu_qlix.Serial("QLIX0123456789ABS1", timeout=1) as port:
        port.write(b"ping")
        assert port.read(4) == b"ping"  # the firmware loops data back

Programs that know nothing of this package run on virtual adapters when the
environment variable OZU_QLIX_VIRTUAL is set (see use_environment): importing
ozu_qlix or ozu_qlix_serial then plugs them in.

The library is looked up in this order: the file or directory named by the
environment variable OZU_QLIX_SIM_LIB, this package's directory (installed
wheel), then the directory that holds the ozu_qlix extension (a development
build tree), found without importing it.
"""

from __future__ import annotations

import ctypes
import enum
import importlib.util
import itertools
import os
import sys
from pathlib import Path

__all__ = [
    "Adapter",
    "ReplyFault",
    "Scope",
    "LibraryNotFound",
    "library_path",
    "use",
    "in_use",
    "add_adapter",
    "adapters",
    "reset",
    "set_paced",
    "paced",
    "set_kernel_driver_support",
    "open_handles",
    "VIRTUAL_VAR",
    "VIRTUAL_SYNTAX",
    "parse_virtual",
    "use_environment",
]

ENV_VAR = "OZU_QLIX_SIM_LIB"
_BASENAME = "qlix_sim_usb"
_SUFFIXES = {"win32": ".dll", "darwin": ".dylib"}


class LibraryNotFound(ImportError):
    """The virtual USB library is neither installed nor in a build tree."""


class ReplyFault(enum.IntEnum):
    """How an adapter answers queries."""

    NONE = 0  # normally
    SILENT = 1  # not at all
    WRONG_RATE = 2  # "Config?" reports twice the rate that was set
    GARBAGE = 3  # every reply is text that is neither a number nor UTF-8


class Scope(enum.IntFlag):
    """Which replies a reply fault affects."""

    ADAPTER = 1  # replies on the control channel (identifier 100)
    CHANNEL = 2  # replies on a channel's command address (100 + n)
    ALL = 3


_FAULT_STALL_IN, _FAULT_STALL_OUT, _FAULT_OUT_TIMEOUT, _FAULT_VANISH, _FAULT_KERNEL_DRIVER = 1, 2, 3, 4, 5
_FAULT_ACCESS_DENIED, _FAULT_CLAIMED_ELSEWHERE, _FAULT_NOT_SUPPORTED = 6, 7, 8
_COUNTER_DROPPED, _COUNTER_IN, _COUNTER_OUT, _COUNTER_PENDING, _COUNTER_HANDLES = 10, 11, 12, 13, 14
MALFORMED_REASONS = ("total", "wrong_size", "bad_count", "padding", "unknown_command", "bad_channel")

_lib = None
_serials = itertools.count(1)
AUTO = object()


def _file_name():
    return _BASENAME + _SUFFIXES.get(sys.platform, ".so")


def _candidates():
    env = os.environ.get(ENV_VAR)
    if env:
        path = Path(env)
        yield path / _file_name() if path.is_dir() else path
    yield Path(__file__).resolve().parent / _file_name()
    try:
        spec = importlib.util.find_spec("ozu_qlix")
    except (ImportError, ValueError):
        spec = None
    if spec is not None and spec.origin:
        yield Path(spec.origin).resolve().parent / _file_name()


def library_path() -> str:
    """Path of the virtual USB library."""
    for path in _candidates():
        if path.is_file():
            return str(path)
    raise LibraryNotFound("the virtual USB library %s was not found (set %s to its path)" % (_file_name(), ENV_VAR))


def _bind(lib):
    c_int, c_ll, c_char_p, c_void_p = ctypes.c_int, ctypes.c_longlong, ctypes.c_char_p, ctypes.c_void_p
    signatures = {
        "qlixsim_add_adapter": (c_int, [c_char_p, c_int, c_int]),
        "qlixsim_unplug": (c_int, [c_int]),
        "qlixsim_reset": (c_int, []),
        "qlixsim_adapter_ids": (c_int, [ctypes.POINTER(c_int), c_int]),
        "qlixsim_is_plugged": (c_int, [c_int]),
        "qlixsim_serial": (c_int, [c_int, c_void_p, c_int]),
        "qlixsim_channel_count": (c_int, [c_int]),
        "qlixsim_is_bulk": (c_int, [c_int]),
        "qlixsim_pairing": (c_int, [c_int, c_int]),
        "qlixsim_uart_buffer": (c_int, [c_int, c_int]),
        "qlixsim_set_reply_fault": (c_int, [c_int, c_int, c_int]),
        "qlixsim_set_fault": (c_int, [c_int, c_int, c_int]),
        "qlixsim_get_fault": (c_int, [c_int, c_int]),
        "qlixsim_set_kernel_driver_support": (c_int, [c_int]),
        "qlixsim_set_paced": (c_int, [c_int]),
        "qlixsim_is_paced": (c_int, []),
        "qlixsim_counter": (c_ll, [c_int, c_int]),
        "qlixsim_open_handles": (c_int, []),
        "qlixsim_inject": (c_int, [c_int, c_int, c_char_p, c_int]),
        "qlixsim_inject_packet": (c_int, [c_int, c_char_p, c_int]),
        "qlixsim_received": (c_ll, [c_int, c_int, c_void_p, c_ll]),
        "qlixsim_clear_received": (c_int, [c_int, c_int]),
        "qlixsim_commands": (c_ll, [c_int, c_int, c_void_p, c_ll]),
        "qlixsim_channel_state": (c_int, [c_int, c_int, ctypes.POINTER(c_int), ctypes.POINTER(ctypes.c_uint)]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


def lib():
    """The loaded library (loaded on first use)."""
    global _lib
    if _lib is None:
        _lib = _bind(ctypes.CDLL(library_path()))
    return _lib


def _check(result, what):
    if result == -1:
        raise LookupError("%s: no such adapter" % what)
    if result < 0:
        raise ValueError("%s: invalid argument" % what)
    return result


def _read_growing(fn, *args):
    """Reads a byte result whose size may grow between calls."""
    size = _check(fn(*args, None, 0), fn.__name__)
    while True:
        buf = ctypes.create_string_buffer(max(size, 1))
        total = _check(fn(*args, buf, size), fn.__name__)
        if total <= size:
            return buf.raw[:total]
        size = total


def use() -> str:
    """Makes the virtual library this process's USB library and returns its path.

    Call it before ozu_qlix is imported: pyusb's libusb1 backend loads one
    library per process and keeps it. Afterwards libusb_package.find_library
    answers with the virtual library and the backend is already loaded from it.
    """
    path = library_path()
    import libusb_package  # type: ignore[import-untyped]
    import usb.backend.libusb1 as libusb1  # type: ignore[import-untyped]

    loaded = libusb1._lib
    if loaded is not None and os.path.realpath(getattr(loaded, "_name", "")) != os.path.realpath(path):
        raise RuntimeError(
            "pyusb has already loaded another USB library (%s); choose the virtual one "
            "before anything uses USB" % getattr(loaded, "_name", "?")
        )

    def find_library(candidate):
        return path

    libusb_package.find_library = find_library
    if libusb1.get_backend(find_library=find_library) is None:
        raise RuntimeError("pyusb could not load the virtual USB library " + path)
    lib()
    return path


def in_use() -> bool:
    """True when pyusb's libusb1 backend is loaded from the virtual library."""
    import usb.backend.libusb1 as libusb1  # type: ignore[import-untyped]

    loaded = libusb1._lib
    try:
        return loaded is not None and os.path.realpath(loaded._name) == os.path.realpath(library_path())
    except LibraryNotFound:
        return False


def _fault(which: int, doc: str) -> property:
    """A fault of an adapter as a property: on or off."""
    return property(
        lambda self: bool(self._call("qlixsim_get_fault", which)),
        lambda self, on: self._call("qlixsim_set_fault", which, int(on)),
        doc=doc,
    )


class Adapter:
    """One virtual adapter, plugged in or already unplugged."""

    def __init__(self, adapter_id: int):
        self.id = adapter_id

    def __repr__(self):
        return "<Adapter %d %r%s>" % (self.id, self.serial, "" if self.plugged else " unplugged")

    def __eq__(self, other):
        return isinstance(other, Adapter) and other.id == self.id

    def __hash__(self):
        return hash(self.id)

    def _call(self, name, *args):
        return _check(getattr(lib(), name)(self.id, *args), name)

    # identity
    @property
    def serial(self):
        """The serial-number string, or None when the adapter reports none."""
        size = lib().qlixsim_serial(self.id, None, 0)
        if size == -2:
            return None
        buf = ctypes.create_string_buffer(max(_check(size, "serial"), 1))
        lib().qlixsim_serial(self.id, buf, size)
        return buf.raw[:size].decode("latin-1")

    @property
    def channels(self) -> int:
        return self._call("qlixsim_channel_count")

    @property
    def bulk(self) -> bool:
        return bool(self._call("qlixsim_is_bulk"))

    # plugging
    @property
    def plugged(self) -> bool:
        return bool(self._call("qlixsim_is_plugged"))

    def unplug(self):
        """Pulls the adapter out: transfers in progress and later fail with 'no device'."""
        self._call("qlixsim_unplug")

    def replug(self) -> "Adapter":
        """Unplugs the adapter and plugs a fresh one with the same settings back in."""
        if self.plugged:
            self.unplug()
        return add_adapter(self.serial, self.channels, "bulk" if self.bulk else "interrupt", self.pairing)

    # firmware behaviour
    pairing = property(
        lambda self: bool(self._call("qlixsim_pairing", -1)),
        lambda self, on: self._call("qlixsim_pairing", int(bool(on))),
        doc="Channels wired in pairs (1-2, 3-4, ...) instead of each looping back to itself.",
    )

    uart_buffer = property(
        lambda self: self._call("qlixsim_uart_buffer", -1),
        lambda self, size: self._call("qlixsim_uart_buffer", int(size)),
        doc="Slow-UART mode: bytes each channel's transmit buffer holds (0: off). The buffer "
        "drains at the channel's baud rate; while the buffer of the channel an OUT packet "
        "is for is full, the adapter takes no OUT packet (writes time out).",
    )

    def set_reply_fault(self, fault=ReplyFault.NONE, scope=Scope.ALL):
        self._call("qlixsim_set_reply_fault", int(fault), int(scope))

    stall_in = _fault(_FAULT_STALL_IN, "IN endpoint halted: reads fail with a pipe error until cleared.")
    stall_out = _fault(_FAULT_STALL_OUT, "OUT endpoint halted: writes fail with a pipe error until cleared.")
    out_timeout = _fault(_FAULT_OUT_TIMEOUT, "OUT endpoint NAKs everything: writes time out.")
    vanish_on_open = _fault(_FAULT_VANISH, "The adapter disappears when the next handle is opened.")
    kernel_driver_active = _fault(_FAULT_KERNEL_DRIVER, "A kernel driver is bound to interface 0.")
    access_denied = _fault(
        _FAULT_ACCESS_DENIED, "Opening the device is refused as for a user without permission (LIBUSB_ERROR_ACCESS)."
    )
    claimed_elsewhere = _fault(
        _FAULT_CLAIMED_ELSEWHERE, "Interface 0 is held by another process: claiming it fails (LIBUSB_ERROR_BUSY)."
    )
    not_supported = _fault(
        _FAULT_NOT_SUPPORTED,
        "The device's driver is not one libusb can use, as on Windows "
        "without WinUSB: opening fails (LIBUSB_ERROR_NOT_SUPPORTED).",
    )

    # data
    def inject(self, channel: int, data) -> int:
        """Serial input arriving on a channel; returns the bytes accepted (0 while the channel is closed)."""
        data = bytes(data)
        return self._call("qlixsim_inject", channel, data, len(data))

    def inject_packet(self, packet):
        """Queues one raw IN packet (at most 64 bytes), sent as it is."""
        packet = bytes(packet)
        self._call("qlixsim_inject_packet", packet, len(packet))

    def received(self, channel: int) -> bytes:
        """Every data byte the host wrote to the channel while it was open."""
        return _read_growing(
            lambda i, c, buf, cap: _check(lib().qlixsim_received(i, c, buf, cap), "received"), self.id, channel
        )

    def commands(self, channel: int = 0) -> list:
        """Command texts received for a channel (0: for the adapter itself), oldest first."""
        raw = _read_growing(
            lambda i, c, buf, cap: _check(lib().qlixsim_commands(i, c, buf, cap), "commands"), self.id, channel
        )
        return raw.decode("utf-8", "replace").split("\n")[:-1]

    def clear_received(self, channel: int):
        """Forgets the data and commands recorded for a channel (0: the adapter's own commands)."""
        self._call("qlixsim_clear_received", channel)

    def _state(self, channel):
        is_open, rate = ctypes.c_int(), ctypes.c_uint()
        self._call("qlixsim_channel_state", channel, ctypes.byref(is_open), ctypes.byref(rate))
        return bool(is_open.value), rate.value

    def channel_open(self, channel: int) -> bool:
        return self._state(channel)[0]

    def channel_rate(self, channel: int) -> int:
        return self._state(channel)[1]

    # counters
    def _counter(self, which):
        return self._call("qlixsim_counter", which)

    @property
    def malformed(self) -> int:
        """OUT packets refused by the firmware."""
        return self._counter(0)

    def malformed_by_reason(self) -> dict:
        return {name: self._counter(i) for i, name in enumerate(MALFORMED_REASONS)}

    dropped = property(
        lambda self: self._counter(_COUNTER_DROPPED),
        doc="Data bytes dropped: written to or arriving for a closed channel, or overflow.",
    )
    packets_in = property(lambda self: self._counter(_COUNTER_IN), doc="IN packets sent to the host.")
    packets_out = property(lambda self: self._counter(_COUNTER_OUT), doc="OUT packets received from the host.")
    pending = property(lambda self: self._counter(_COUNTER_PENDING), doc="Inbound bytes not yet sent.")
    open_handles = property(lambda self: self._counter(_COUNTER_HANDLES), doc="Open device handles.")


def add_adapter(serial=AUTO, channels: int = 4, endpoint: str = "interrupt", pairing: bool = False) -> Adapter:
    """Plugs in a new adapter. By default its serial number is 12 hexadecimal digits, as real
    adapters report; `serial` None gives an adapter without serial number."""
    if endpoint not in ("interrupt", "bulk"):
        raise ValueError("endpoint must be 'interrupt' or 'bulk'")
    if serial is AUTO:
        serial = "5100%08X" % next(_serials)  # 12 hexadecimal digits, like a real adapter's
    encoded = None if serial is None else serial.encode("latin-1")
    adapter = Adapter(_check(lib().qlixsim_add_adapter(encoded, channels, endpoint == "bulk"), "add_adapter"))
    adapter.pairing = pairing
    return adapter


def adapters() -> list:
    """Every adapter plugged in since the last reset, unplugged ones included."""
    count = lib().qlixsim_adapter_ids(None, 0)
    ids = (ctypes.c_int * max(count, 1))()
    count = min(count, lib().qlixsim_adapter_ids(ids, count))
    return [Adapter(ids[i]) for i in range(count)]


def reset():
    """Unplugs and forgets every adapter; pacing and kernel-driver support back to their defaults."""
    lib().qlixsim_reset()


def set_paced(on: bool = True):
    """Transfers paced like full-speed USB (the default) or as fast as possible."""
    lib().qlixsim_set_paced(int(on))


def paced() -> bool:
    return bool(lib().qlixsim_is_paced())


def set_kernel_driver_support(on: bool = True):
    """Off: kernel-driver queries fail as unsupported, as on Windows."""
    lib().qlixsim_set_kernel_driver_support(int(on))


def open_handles() -> int:
    """Device handles currently open on the virtual bus."""
    return lib().qlixsim_open_handles()


# --- virtual adapters for any program ------------------------------------------------

VIRTUAL_VAR = "OZU_QLIX_VIRTUAL"
VIRTUAL_SYNTAX = (
    "OZU_QLIX_VIRTUAL=1 (one 4-channel adapter 0123456789AB), or a comma-separated list of "
    "SERIAL[:CHANNELS][:paired][:bulk], CHANNELS 1 to 99 (default 4), for example "
    "0123456789AB:4,0123456789CD:8:paired"
)
_DEFAULT_SERIAL = "0123456789AB"
_SERIAL_CHARS = frozenset("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_.")
_environment = None  # the adapters use_environment plugged in


def parse_virtual(value: str) -> list:
    """The adapters a value of OZU_QLIX_VIRTUAL describes, as (serial, channels, endpoint, pairing)
    tuples; an empty list for "" or "0". ValueError, showing the syntax, for anything else."""
    value = value.strip()
    if value.lower() in ("", "0", "no", "false", "off"):
        return []
    if value.lower() in ("1", "yes", "true", "on"):
        return [(_DEFAULT_SERIAL, 4, "interrupt", False)]
    found, seen = [], set()
    for item in value.split(","):
        fields = item.strip().split(":")
        serial, options = fields[0], fields[1:]
        channels, endpoint, pairing = 4, "interrupt", False
        problem = None
        if not serial or not set(serial) <= _SERIAL_CHARS:
            problem = "serial number %r" % serial
        elif serial.upper() in seen:
            problem = "serial number %s given twice" % serial
        elif serial != serial.upper() or "S" in serial:
            # Port names are upper-cased, and "S" ends the serial number in them.
            problem = "serial number %r: port names need it in upper case, without S" % serial
        if options and options[0].isdigit():
            channels = int(options.pop(0))
            if not 1 <= channels <= 99:
                problem = problem or "%d channels" % channels
        for option in options:
            if option == "paired" and not pairing:
                pairing = True
            elif option == "bulk" and endpoint == "interrupt":
                endpoint = "bulk"
            else:
                problem = problem or "option %r" % option
        if problem:
            raise ValueError(
                "%s=%r is invalid (%s in %r); use %s" % (VIRTUAL_VAR, value, problem, item, VIRTUAL_SYNTAX)
            )
        seen.add(serial.upper())
        found.append((serial, channels, endpoint, pairing))
    return found


def use_environment():
    """Plugs in the virtual adapters that the environment variable OZU_QLIX_VIRTUAL names, making the
    virtual library this process's USB library first (see use). Returns the adapters, or None when
    the variable is unset, empty or "0". ozu_qlix and ozu_qlix_serial call it when imported, so an
    unchanged program runs on virtual adapters; later calls return the same adapters again.

    An invalid value raises ValueError with the syntax.
    """
    global _environment
    if _environment is not None:
        return _environment
    wanted = parse_virtual(os.environ.get(VIRTUAL_VAR, ""))
    if not wanted:
        return None
    use()
    _environment = [add_adapter(*adapter) for adapter in wanted]
    return _environment
