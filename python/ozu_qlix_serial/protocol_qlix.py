"""pyserial URL handler for QLIX channels: ``qlix://<serial number or ANY>/<channel>``.

pyserial finds this module through ``serial.protocol_handler_packages`` once
``ozu_qlix_serial`` is imported; ``serial.serial_for_url("qlix://ANY/1")`` then
returns a :class:`Serial` over channel 1 of the first attached adapter.

The port behaves as pyserial's own ports do (timeouts, ``inter_byte_timeout``,
``cancel_read``, ``readline`` and the other members of ``SerialBase``) while its
reads and writes call the channel of the ``ozu_qlix`` extension directly.
"""

from __future__ import annotations

import io
import operator
import os
import re
import threading
import weakref
from typing import Any, Callable, NoReturn, Optional, Tuple

from serial.serialutil import EIGHTBITS, LF, PARITY_NONE, STOPBITS_ONE, PortNotOpenError, SerialBase, SerialException
from serial.serialutil import Timeout
from serial.serialutil import to_bytes  # type: ignore[attr-defined]
from usb.core import USBTimeoutError  # type: ignore[import-untyped]

from . import _extension
from ._port_errors import describe, failure as _failure, open_failure as _open_failure, port_error as _port_error
from ._port_errors import raise_as as _raise_as, write_failure as _write_failure
from ._waitable import OUTPUT_QUEUE_LIMIT, Notifier, OutputQueue, Readiness

__all__ = ["Serial", "parse_url", "port_url", "describe", "OUTPUT_QUEUE_LIMIT"]

SCHEME = "qlix"
_URL = re.compile(r"qlix://([^/?#]+)/(\d+)/?", re.IGNORECASE)
_URL_FORM = "qlix://<serial number or ANY>/<channel>"

# A channel read time-out of 0 (or below) waits without limit, so "return what
# is there" is asked for with a time-out too small to add to the clock.
_NO_WAIT = 1e-9
_NO_LIMIT = 0.0


def parse_url(url: str) -> Tuple[str, int]:
    """The serial number (upper case, "ANY" for any adapter) and channel number of a ``qlix://`` URL.

    Raises ``SerialException`` for anything that is not ``qlix://<serial number or ANY>/<channel>``.
    The channel number is not checked here: the adapter's channel count decides (channel 0 never exists).
    """
    match = _URL.fullmatch(url) if isinstance(url, str) else None
    if match is None:
        raise SerialException("expected a URL of the form %s, not %r" % (_URL_FORM, url))
    return match.group(1).upper(), int(match.group(2))


def port_url(port_name: str) -> str:
    """The ``qlix://`` URL of an ``ozu_qlix`` port name ("QLIXANYS1" gives "qlix://ANY/1").

    Raises ``ValueError`` when the name is not "QLIX", a serial number or "ANY", "S" and a channel.
    """
    upper = port_name.upper()
    tokens = upper[4:].split("S")
    if not upper.startswith("QLIX") or len(tokens) != 2 or not tokens[0] or not tokens[1].isdigit():
        raise ValueError(
            '%r is not a QLIX port name ("QLIXANYS<channel>" or "QLIX<serial number>S<channel>")' % port_name
        )
    return _extension.url(tokens[0], int(tokens[1]))


def _channel_timeout(seconds: Optional[float]) -> float:
    """The channel read time-out giving pyserial's meaning of `seconds`:
    None waits without limit, 0 (or less) returns what is there."""
    if seconds is None:
        return _NO_LIMIT
    return float(seconds) if seconds > 0 else _NO_WAIT


def cancel_waiting_reads(channel: Any) -> None:
    """Makes every read waiting on `channel` (an ``ozu_qlix`` channel) return at once with what it has."""
    signal = _extension.in_signal(channel)
    if signal is not None:
        signal.cancel()


def _not_open() -> NoReturn:
    """For `port._channel or _not_open()`: the channel of an open port, PortNotOpenError for a closed one."""
    raise PortNotOpenError()


# The open ports of this process. A child made by fork() inherits them, but
# not their threads, and their channels are the parent's: there they are closed
# without a word to the adapter (the extension closes their channels).
_open_ports: "weakref.WeakSet[Serial]" = weakref.WeakSet()


def _close_inherited_ports() -> None:
    for port in list(_open_ports):
        port._channel = port._output = port._readiness = None  # their threads and locks stay the parent's
        port._output_lock = threading.Lock()
        port.is_open = False
    _open_ports.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_close_inherited_ports)


_SUPPORTED = "8 data bits, no parity, 1 stop bit and no flow control"


def _fixed_setting(name: str, supported: str) -> property:
    """A setting the adapter cannot change: values other than `supported` raise ValueError."""
    private = "_" + name

    def get(self: "Serial") -> Any:
        return getattr(self, private)

    def set_(self: "Serial", value: Any) -> None:
        _check_setting(name, value)
        if name == "dsrdtr" and value is None:
            value = self._rtscts  # None follows rtscts, as in pyserial
        setattr(self, private, value)

    return property(get, set_, doc="Only %s: QLIX channels use %s." % (supported, _SUPPORTED))


def _check_setting(name: str, value: Any) -> None:
    allowed, supported = _FIXED[name]
    if not allowed(value):
        raise ValueError(
            "%s=%r is not supported: QLIX adapters support only %s=%s; they run %s"
            % (name, value, name, supported, _SUPPORTED)
        )


class Serial(SerialBase):
    """One channel of a QLIX adapter as a pyserial port, opened from a ``qlix://`` URL.

    ``port`` is the URL ``qlix://<serial number or ANY>/<channel>`` (any case) and ``name``, once
    open, the channel's port name ("QLIX<serial number>S<channel>"). Timeouts have pyserial's
    meaning: None waits without limit, 0 returns what is there, a value above 0 is seconds.

    The adapter's only setting is the baud rate, confirmed by the adapter when it changes. Data
    bits, parity, stop bits and flow control are fixed at 8N1 without flow control: any other value
    raises ValueError. RTS and DTR are accepted and have no effect; CTS, DSR, RI and CD read False;
    a break raises SerialException.

    With ``write_timeout = 0`` a write queues what fits in the output queue (``OUTPUT_QUEUE_LIMIT``
    bytes) and returns that count at once; a thread of the port sends the queue. ``out_waiting``
    counts what is not sent yet, ``flush`` waits for it, ``reset_output_buffer`` drops it, and an error
    while sending is raised by the next ``write`` or ``flush``. With any other ``write_timeout`` the
    data is sent before ``write`` returns (after what is still queued). An adapter whose buffer for
    the channel is full NAKs further packets (USB OUT time-outs of 100 ms): with ``write_timeout =
    None`` the write waits that out until every byte is taken; with ``write_timeout = x`` it raises
    SerialTimeoutException once x seconds have passed.

    On POSIX, ``fileno()`` gives a descriptor for ``select``, ``selectors`` and event loops: readable
    while input is queued or the channel failed or closed, writable while the output queue has room.
    """

    BYTESIZES = (EIGHTBITS,)  # type: ignore[assignment]
    PARITIES = (PARITY_NONE,)  # type: ignore[assignment]
    STOPBITS = (STOPBITS_ONE,)  # type: ignore[assignment]

    # SerialBase's settings, set by its constructor.
    _port: Optional[str]
    _baudrate: int
    _timeout: Optional[float]
    _inter_byte_timeout: Optional[float]
    _write_timeout: Optional[float]
    _rtscts: bool

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._channel: Any = None
        self._cancels = 0
        self._readiness: Optional[Readiness | Notifier] = None
        self._output: Optional[OutputQueue] = None
        self._output_lock = threading.Lock()  # one output queue, made by the first write_timeout = 0 write
        super().__init__(*args, **kwargs)

    # --- opening and closing -------------------------------------------------------

    def open(self) -> None:
        """Opens the channel named by ``port``; SerialException when it cannot be opened."""
        if self._port is None:
            raise SerialException("Port must be configured before it can be used.")
        if self.is_open:
            raise SerialException("Port is already open.")
        for name in _FIXED:
            _check_setting(name, getattr(self, "_" + name))
        serial_number, channel = parse_url(self._port)
        try:
            self._channel = _extension.open_channel(
                serial_number, channel, self._baudrate, _channel_timeout(self._timeout)
            )
        except Exception as exc:
            text, cause = _open_failure(exc, channel)
            raise SerialException("could not open port %s: %s" % (self._port, text)) from cause
        self.is_open = True
        self.name = self._channel.name
        _open_ports.add(self)

    def close(self) -> None:
        """Closes the channel; a read waiting in another thread ends, output not yet sent is dropped
        (``flush`` first to keep it). Closing a closed port does nothing."""
        channel, self._channel = self._channel, None
        with self._output_lock:  # after a first write making the queue, which then sees the port closed
            output, self._output = self._output, None
        readiness, self._readiness = self._readiness, None
        self.is_open = False
        _open_ports.discard(self)
        if output is not None:
            output.stop()
        try:
            if channel is not None:
                channel.close()
        except Exception as exc:
            raise _port_error(exc) from exc
        finally:
            if readiness is not None:
                readiness.close()

    def fileno(self) -> int:
        """A descriptor to wait on (POSIX): readable while input is queued, or once the adapter is
        lost or the port closed; writable while the output queue has room. Made at the first call,
        closed with the port. On Windows: io.UnsupportedOperation (poll ``in_waiting`` there)."""
        channel = self._channel or _not_open()
        if os.name == "nt":
            raise io.UnsupportedOperation("fileno: no descriptor on Windows; poll in_waiting")
        if isinstance(self._readiness, Notifier):
            raise io.UnsupportedOperation("fileno: the port calls its event callback instead")
        if self._readiness is None:
            self._readiness = Readiness(channel)
            if self._output is not None:
                self._output.follow(self._readiness)
        return self._readiness.fileno()

    def set_event_callback(self, callback: Optional[Callable[[], None]]) -> None:
        """Calls `callback()` whenever ``fileno()`` would change: input queued, the adapter lost, the
        port closed, room in the output queue. It runs on the adapter's reader thread or the port's
        writer thread and should only wake its event loop (``loop.call_soon_threadsafe``); read
        ``in_waiting`` and ``read`` from the loop. On every platform; on Windows, where there is no
        descriptor, the way to drive the port from an event loop. None stops the calls. A port uses
        either this or ``fileno()``."""
        channel = self._channel or _not_open()
        if isinstance(self._readiness, Readiness):
            raise SerialException("set_event_callback: the port already has a descriptor (fileno)")
        if self._readiness is not None:
            self._readiness.close()
            self._readiness = None
        if callback is not None:
            self._readiness = Notifier(channel, callback)
            if self._output is not None:
                self._output.follow(self._readiness)

    def _reconfigure_port(self) -> None:
        channel = self._channel or _not_open()  # closed meanwhile, in another thread: PortNotOpenError
        before = channel.baudrate
        if before != self._baudrate:
            try:
                channel.baudrate = self._baudrate
            except Exception as exc:
                # What the channel reports, not the refused rate; the rate before when it reports
                # none (no answer: the adapter unplugged, say), so that the port can open again.
                reported = channel.baudrate
                if reported is not None or before is not None:
                    self._baudrate = reported if reported is not None else before
                if not channel.is_open:
                    raise PortNotOpenError() from exc
                raise SerialException("could not set the baud rate of %s: %s" % (self.name, describe(exc))) from exc
        channel.timeout = _channel_timeout(self._timeout)

    # --- reading -------------------------------------------------------------------

    @property
    def in_waiting(self) -> int:
        """Bytes received and not yet read."""
        channel = self._channel or _not_open()
        return channel.in_waiting

    def read(self, size: int = 1) -> bytes:
        """Reads up to `size` bytes: all of them, or fewer when the timeout (or ``inter_byte_timeout``) ends."""
        channel = self._channel or _not_open()
        if size.__class__ is not int:
            size = operator.index(size)
        try:
            gap = self._inter_byte_timeout
            data = bytes(channel.read(size)) if gap is None else self._read_inter_byte(channel, size, gap)
            if self._readiness is not None:
                self._readiness.settle()
            return data
        except Exception as exc:
            _raise_as(_failure(channel, exc), exc)

    def _read_inter_byte(self, channel: Any, size: int, gap: float) -> bytes:
        # Each byte that arrives restarts the inter-byte wait; the overall
        # timeout bounds the whole read. Each wait passes its own time-out: the
        # channel's stays the port's, whatever another thread sets meanwhile.
        cancels = self._cancels
        deadline = Timeout(self._timeout)  # type: ignore[arg-type]  # None: no limit
        data = bytearray()
        while len(data) < size:
            wait = deadline.time_left() if self._timeout is not None else None
            if data:
                wait = gap if wait is None else min(wait, gap)
            timeout = _channel_timeout(wait)
            part = _extension.read(channel, 1, timeout)
            if not part or cancels != self._cancels:
                data += part
                break
            data += part
            ready = min(channel.in_waiting, size - len(data))
            if ready > 0:
                data += _extension.read(channel, ready, timeout)
        return bytes(data)

    def read_until(self, expected: bytes = LF, size: Optional[int] = None) -> bytes:
        """Reads up to and including `expected` (any length), at most `size` bytes, or until the timeout."""
        channel = self._channel or _not_open()
        if expected.__class__ is not bytes or not expected or self._inter_byte_timeout is not None:
            return super().read_until(expected, size)
        if size is not None and size.__class__ is not int:
            size = operator.index(size)
        try:
            if len(expected) == 1:
                line = bytes(channel.read_until(expected, size))
            else:
                line = self._read_until_sequence(channel, expected, size)
            if self._readiness is not None:
                self._readiness.settle()
            return line
        except Exception as exc:
            _raise_as(_failure(channel, exc), exc)

    def _read_until_sequence(self, channel: Any, expected: bytes, size: Optional[int]) -> bytes:
        # The channel reads up to the terminator's last byte; the loop goes on
        # until the line ends with the whole terminator.
        last, cancels, timeout = expected[-1:], self._cancels, Timeout(self._timeout)  # type: ignore[arg-type]
        line = bytearray()
        while True:
            part = channel.read_until(last, None if size is None else size - len(line))
            line += part
            if (
                not part
                or part[-1] != last[0]
                or line.endswith(expected)
                or cancels != self._cancels
                or (size is not None and len(line) >= size)
                or timeout.expired()
            ):
                return bytes(line)

    def readline(self, size: Optional[int] = -1) -> bytes:
        """Reads up to and including a line feed, at most `size` bytes (all when negative), or until the timeout."""
        return self.read_until(LF, None if size is None or size < 0 else size)

    def cancel_read(self) -> None:
        """Makes a read waiting in another thread return at once with what it has."""
        self._cancels += 1
        channel = self._channel
        if channel is not None:
            cancel_waiting_reads(channel)

    def reset_input_buffer(self) -> None:
        """Discards received data, in the adapter and in the port."""
        channel = self._channel or _not_open()
        try:
            channel.reset_input_buffer()
        except Exception as exc:
            _raise_as(_failure(channel, exc), exc)
        if self._readiness is not None:
            self._readiness.settle()

    # --- writing -------------------------------------------------------------------

    def write(self, data: Any) -> int:
        """Sends `data` (bytes-like) and returns its length once every packet is on the bus; with
        ``write_timeout = 0``, queues what fits and returns that count at once."""
        channel = self._channel or _not_open()
        if data.__class__ is not bytes and data.__class__ is not bytearray:
            data = to_bytes(data)
        output = self._output
        if self._write_timeout == 0:
            if output is None:
                output = self._output_queue(channel)
            return output.put(data)
        if output is not None and output.waiting:
            output.flush()  # queued bytes go first
        limit = self._write_timeout
        deadline = None if limit is None else Timeout(limit)
        piece = _extension.payload_size()
        size = len(data)
        start = 0
        # One packet per call: an OUT time-out means the adapter NAKed that packet (its buffer
        # for the channel is full) and did not take it, so it is sent again until the write
        # time-out, if any, is over.
        while start < size:
            end = start + piece
            try:
                channel.write(data if size <= piece else data[start:end])
            except USBTimeoutError as exc:
                if deadline is not None and deadline.expired():
                    _raise_as(_write_failure(channel, exc), exc)
                continue
            except Exception as exc:
                _raise_as(_write_failure(channel, exc), exc)
            start = end
        return size

    def _output_queue(self, channel: Any) -> OutputQueue:
        """The port's output queue, made once however many threads write first."""
        with self._output_lock:
            if self._channel is not channel:
                _not_open()  # closed meanwhile
            if self._output is None:
                # A function, not a method of the port: the sending thread must not keep the
                # port alive, so that a port dropped without close() is still closed.
                self._output = OutputQueue(channel, _write_failure)
                if self._readiness is not None:
                    self._output.follow(self._readiness)
            return self._output

    def cancel_write(self) -> None:
        """Nothing to cancel: a write ends when its data is taken or its write time-out is over."""

    def _queued_output(self):
        """The output queue of ``write_timeout = 0`` writes (None before the first); the port must be open."""
        self._channel or _not_open()
        return self._output

    @property
    def out_waiting(self) -> int:
        """Bytes written with ``write_timeout = 0`` and not sent yet."""
        output = self._queued_output()
        return 0 if output is None else output.waiting

    def flush(self) -> None:
        """Waits until the queued output is sent; raises the error that stopped it, if any."""
        output = self._queued_output()
        if output is not None:
            output.flush()

    def reset_output_buffer(self) -> None:
        """Drops the queued output not yet handed to the adapter."""
        output = self._queued_output()
        if output is not None:
            output.reset()

    # --- modem lines and break -----------------------------------------------------

    def _update_rts_state(self) -> None:
        """RTS has no effect on QLIX channels."""

    def _update_dtr_state(self) -> None:
        """DTR has no effect on QLIX channels."""

    def _line(self) -> bool:
        self._channel or _not_open()
        return False

    cts = property(_line, doc="Always False: QLIX channels have no modem lines.")
    dsr = property(_line, doc="Always False: QLIX channels have no modem lines.")
    ri = property(_line, doc="Always False: QLIX channels have no modem lines.")
    cd = property(_line, doc="Always False: QLIX channels have no modem lines.")

    @property
    def break_condition(self) -> bool:
        """Always False; setting it raises SerialException: QLIX channels cannot send a break."""
        return False

    @break_condition.setter
    def break_condition(self, value: bool) -> None:
        if value:
            raise SerialException("break: not supported by QLIX adapters")


# setting: (test of a value, what the adapter supports). Data bits, parity and
# stop bits take the one value of the port's BYTESIZES, PARITIES and STOPBITS.
_FIXED = {
    "bytesize": (lambda v: v in Serial.BYTESIZES, "8 (EIGHTBITS)"),
    "parity": (lambda v: v in Serial.PARITIES, "'N' (PARITY_NONE)"),
    "stopbits": (lambda v: v in Serial.STOPBITS, "1 (STOPBITS_ONE)"),
    "xonxoff": (lambda v: not v, "False"),
    "rtscts": (lambda v: not v, "False"),
    "dsrdtr": (lambda v: not v, "False or None"),
    "rs485_mode": (lambda v: v is None, "None"),
}


for _name, (_, _supported) in _FIXED.items():
    setattr(Serial, _name, _fixed_setting(_name, _supported))
del _name, _supported
