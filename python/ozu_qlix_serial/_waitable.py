"""What makes a ``qlix://`` port usable in an event loop: a descriptor that is
readable while the channel has input (``Readiness``) and an output queue drained
by a thread of its own (``OutputQueue``), so that writes need not wait for USB.
"""

from __future__ import annotations

import socket
import threading
import weakref
from typing import Any, Callable, Optional

from usb.core import USBTimeoutError as _usb_timeout  # type: ignore[import-untyped]

from . import _extension

# Bytes the output queue holds (those being sent included). A write with
# write_timeout = 0 takes what fits; the port is writable while some room is left.
OUTPUT_QUEUE_LIMIT = 65536
# Packets the writer thread hands the channel at once, so that
# reset_output_buffer() drops all but at most this many.
_SEND_PACKETS = 16


def _quietly(call: Callable[[Any], Any], arg: Any) -> Any:
    """call(arg) on a non-blocking socket; None when it would block (BlockingIOError) or the socket is closed."""
    try:
        return call(arg)
    except OSError:
        return None


def _drain(sock: socket.socket) -> None:
    """Reads `sock` until nothing is left (or its peer is gone)."""
    while _quietly(sock.recv, 4096):
        pass


class Readiness:
    """A descriptor that follows a channel: readable exactly while the channel has
    input queued, has lost its adapter or is closed; writable unless the port's
    output queue is full.

    It is one end (``fileno()``) of a connected socket pair. A byte from the other
    end makes it readable; filling its own small send buffer makes it not
    writable. (An eventfd cannot be unreadable and unwritable at once.) The
    channel's signal calls :meth:`on_event` on every wake-up; reads call
    :meth:`settle` when they may have emptied the queue.
    """

    def __init__(self, channel: Any) -> None:
        self._channel = channel
        self._signal = _extension.in_signal(channel)
        ours, peer = socket.socketpair()
        self._ours, self._peer = ours, peer
        for sock in (ours, peer):
            sock.setblocking(False)
        ours.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1)  # the least the system allows: a few KiB
        self._lock = threading.Lock()  # the readable level and its byte
        self._write_lock = threading.Lock()  # the writable level and its bytes
        self._readable = False
        self._writable = True
        self._signal.on_event = self.on_event
        self.on_event()

    def fileno(self) -> int:
        return self._ours.fileno()

    def _ready(self) -> bool:
        channel = self._channel
        return channel.in_waiting > 0 or self._signal.lost or not channel.is_open

    def on_event(self) -> None:
        """Makes the descriptor readable when the channel has something to report.
        Runs on the notifying thread (the adapter's reader, mostly), GIL held."""
        if not self._readable and self._ready():
            self._raise()

    def _raise(self) -> None:
        with self._lock:
            if self._readable:
                return
            self._readable = True
            _quietly(self._peer.send, b"\0")

    def settle(self) -> None:
        """After a read: lowers the level when nothing is left to read. Input that
        came while it was lowered raises it again, so no wake-up is lost."""
        if not self._readable or self._ready():
            return
        with self._lock:
            self._readable = False
            _drain(self._ours)
        if self._ready():
            self._raise()

    def set_writable(self, writable: bool) -> None:
        with self._write_lock:
            if writable == self._writable:
                return
            self._writable = writable
            if writable:
                _drain(self._peer)
                return
            filler = bytes(512)
            while _quietly(self._ours.send, filler):
                pass

    def close(self) -> None:
        """Stops following the channel and closes both ends. The peer goes first,
        so that a thread still watching the descriptor sees it readable."""
        if self._signal.on_event == self.on_event:
            self._signal.on_event = None
        self._peer.close()
        self._ours.close()


def _weakly(method: Callable[[], None]) -> Callable[[], None]:
    """A function that calls `method` (a bound method) while its object lives. The channel's signal
    and the port's sending thread hold this instead: the object may lead to the port (a callback
    that refers to it), and they must not keep a dropped port from being closed and collected."""
    ref = weakref.WeakMethod(method)

    def call() -> None:
        bound = ref()
        if bound is not None:
            bound()

    return call


class Notifier:
    """Calls a function instead of moving a descriptor: for event loops that have
    no descriptor to wait on (Windows). It stands where a :class:`Readiness` would,
    so the channel's signal and the output queue drive it the same way.

    `callback` runs on the notifying thread (the adapter's reader or the port's
    writer) after input arrived, the adapter was lost, the port closed or room
    came free in the output queue; it must only hand the news to its loop (for
    example with ``loop.call_soon_threadsafe``).
    """

    def __init__(self, channel: Any, callback: Callable[[], None]) -> None:
        self._signal = _extension.in_signal(channel)
        self._callback = callback
        self._hook = _weakly(self.on_event)
        self._signal.on_event = self._hook

    def on_event(self) -> None:
        self._callback()

    def settle(self) -> None:
        """Nothing to lower: the callback is an edge, not a level."""

    def set_writable(self, writable: bool) -> None:
        if writable:
            self._callback()

    def close(self) -> None:
        if self._signal.on_event is self._hook:
            self._signal.on_event = None


class OutputQueue:
    """Bytes waiting to be sent on a channel, written by a thread of their own.

    At most ``OUTPUT_QUEUE_LIMIT`` bytes are held; :meth:`put` takes what fits.
    Packets go one per write: an OUT time-out means the adapter NAKed the packet
    (its buffer for the channel is full), so the same packet is sent again until
    it is taken or the queue stops. Any other error of the channel's write drops
    what is queued and is handed to the next :meth:`put` or :meth:`flush`,
    converted by `convert`.
    """

    def __init__(self, channel: Any, convert: Callable[[Any, Exception], Exception]) -> None:
        self._channel = channel
        self._convert = convert
        self._cond = threading.Condition(threading.Lock())
        self._data = bytearray()
        self._sending = 0
        self._error: Optional[Exception] = None
        self._stopped = False
        self._readiness: Optional[weakref.ref] = None  # to a Readiness or Notifier, held by the port
        self._thread = threading.Thread(target=self._run, name="qlix output %s" % channel.name, daemon=True)
        self._thread.start()

    @property
    def waiting(self) -> int:
        """Bytes taken and not yet sent."""
        return len(self._data) + self._sending

    def follow(self, readiness: Readiness | Notifier) -> None:
        """Keeps `readiness` writable exactly while there is room."""
        with self._cond:
            self._readiness = weakref.ref(readiness)
            readiness.set_writable(self.waiting < OUTPUT_QUEUE_LIMIT)

    def _set_writable(self, writable: bool) -> None:
        readiness = self._readiness() if self._readiness is not None else None
        if readiness is not None:
            readiness.set_writable(writable)

    def _raise_error(self) -> None:
        error, self._error = self._error, None
        if error is not None:
            converted = self._convert(self._channel, error)
            if converted is error:
                raise error
            raise converted from error

    def put(self, data: Any) -> int:
        """Queues as much of `data` as fits; returns that many bytes."""
        with self._cond:
            self._raise_error()
            room = OUTPUT_QUEUE_LIMIT - self.waiting
            taken = min(room, len(data))
            if taken:
                self._data += data if taken == len(data) else memoryview(data)[:taken]
                self._cond.notify_all()
            if taken == room:
                self._set_writable(False)
            return taken

    def flush(self) -> None:
        """Waits until every queued byte is sent (or sending failed: raised here)."""
        with self._cond:
            while self.waiting and not self._stopped and self._error is None:
                self._cond.wait()
            self._raise_error()

    def reset(self) -> None:
        """Drops the bytes not yet handed to the channel."""
        with self._cond:
            self._data.clear()
            self._set_writable(True)
            self._cond.notify_all()

    def stop(self) -> None:
        """Drops what is queued and ends the thread (after the chunk it is sending)."""
        with self._cond:
            self._stopped = True
            self._data.clear()
            self._cond.notify_all()
        if self._thread is not threading.current_thread():
            self._thread.join()

    def _run(self) -> None:
        chunk_size = _SEND_PACKETS * _extension.payload_size()
        while True:
            with self._cond:
                while not self._data and not self._stopped:
                    self._cond.wait()
                if self._stopped:
                    return
                chunk = bytes(self._data[:chunk_size])
                del self._data[:chunk_size]
                self._sending = len(chunk)
            error = self._send(chunk)
            with self._cond:
                self._sending = 0
                if error is not None:
                    self._error = error
                    self._data.clear()
                self._set_writable(True)
                self._cond.notify_all()

    def _send(self, chunk: bytes) -> Optional[Exception]:
        """Writes `chunk` packet by packet, sending a NAKed packet again; returns
        the error that stopped it, if any (None also when the queue stopped)."""
        piece = _extension.payload_size()
        start = 0
        while start < len(chunk):
            try:
                self._channel.write(chunk[start : start + piece])
            except _usb_timeout:
                if self._stopped:
                    return None
                continue
            except Exception as exc:
                return exc
            start += piece
            with self._cond:
                self._sending = len(chunk) - start
        return None
