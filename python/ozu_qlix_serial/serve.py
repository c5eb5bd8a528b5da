"""Share QLIX channels with other programs and hosts: ``ozu-qlix-serve``.

One process owns the adapters and serves each channel

- over TCP (every platform), one port per channel in one of three modes: ``rfc2217`` (pyserial's
  ``rfc2217://host:port`` and other RFC 2217 clients; raw until a client sends a Telnet command),
  ``raw`` (every byte as it is, no Telnet) or ``telnet`` (Telnet without COM-PORT); optionally TLS;
- as a pseudo-terminal (POSIX) behind a stable symbolic link named after the channel, for
  minicom, screen, ``serial.Serial(path)`` or C's ``open`` and ``termios``.

Adapters plugged in while it runs are served within two seconds (the bus is scanned every
second); an unplugged adapter's clients are disconnected and its terminals hang up. Everything
runs on one asyncio loop: on POSIX it waits on each ``qlix://`` port's descriptor, on Windows the
port's event callback wakes the loop. The Telnet and RFC 2217 side is pyserial's own
``serial.rfc2217.PortManager``. Settings and their checks: ``_serve_config``.

    ozu-qlix-serve [CHANNEL ...] [--port-base P] [--mode raw|telnet|rfc2217] [--link-dir DIR]
                   [--bind ADDRESS --allow CIDR] [--tls-cert FILE [--tls-key FILE] [--tls-client-ca FILE]]
                   [--max-connections N | --takeover] [--keep-going] [--config FILE] [--list [--json]] [-v]
"""

from __future__ import annotations

import asyncio
import dataclasses
import ipaddress
import json
import logging
import os
import signal
import socket
import struct
import sys
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import serial
from serial import rfc2217

from . import _extension
from ._serve_process import EarlyStop, StderrLog, notify_ready
from ._serve_config import (DEFAULT_BAUDRATE, DEFAULT_PORT_BASE, SCAN_INTERVAL, ChannelSettings, ConfigError,
                            Options, Planner, is_loopback, load_options, tls_context)

if sys.platform != "win32":
    from ._terminal import LINUX, TERMINAL_CHECK, LinkDirectory, LinkDirectoryError, OpenWatch, Terminal
else:
    LINUX, TERMINAL_CHECK = False, 0.05

__all__ = ["Options", "ChannelSettings", "Entry", "Server", "StartError", "load_options", "plan", "main",
           "DEFAULT_BAUDRATE", "DEFAULT_PORT_BASE", "SCAN_INTERVAL"]

log = logging.getLogger("ozu_qlix_serial.serve")

READ_SIZE = 16384            # bytes read from a TCP client at once (keeps each callback short)
CLIENT_BUFFER_LIMIT = 262144  # bytes queued for a client that does not read; beyond, its data is dropped
MAX_SUBNEGOTIATION = 1024    # a longer Telnet subnegotiation ends the connection
KEEPALIVE = (30, 10, 3)      # idle seconds, seconds between probes, probes


# --- what is served -------------------------------------------------------------------------

@dataclasses.dataclass
class Entry:
    """One served channel: its name, URL, TCP port and terminal path (None without a terminal)."""
    name: str
    url: str
    serial_number: str
    channel: int
    tcp_port: int
    path: Optional[str]

    def as_dict(self) -> Dict[str, Any]:
        return {"name": self.name, "url": self.url, "tcp_port": self.tcp_port, "path": self.path}


class StartError(Exception):
    """Serving cannot start as asked; `status` is the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def _entry(planner: Planner, serial_number: str, channel: int) -> Entry:
    name = _extension.port_name(serial_number, channel)
    link_dir = planner.options.link_dir
    path = os.path.join(link_dir, name) if link_dir is not None and os.name != "nt" else None
    return Entry(name, _extension.url(serial_number, channel), serial_number, channel, planner.tcp_port(name), path)


def plan(options: Options, adapters: Sequence[Tuple[str, int]]) -> List[Entry]:
    """The channels a server with `options` serves on `adapters` (serial number, channel count)."""
    planner = Planner(options)
    return [_entry(planner, sn, ch) for sn, count in sorted(adapters) if planner.wants(sn)
            for ch in planner.channels(sn, count)]


def _attached() -> List[Tuple[str, int]]:
    from .list_ports import adapters
    return [(a["serial_number"], a["channels"]) for a in adapters()]


# --- RFC 2217 and Telnet --------------------------------------------------------------------

class _Settings:
    """What PortManager sees as the serial port: the channel's real settings. Changes the adapter
    cannot make are ignored, so PortManager answers with the setting the channel has."""

    def __init__(self, service: "ChannelService") -> None:
        self._service = service

    baudrate = property(lambda self: self._service.baudrate, lambda self, value: None)
    bytesize = property(lambda self: serial.EIGHTBITS, lambda self, value: None)
    parity = property(lambda self: serial.PARITY_NONE, lambda self, value: None)
    stopbits = property(lambda self: serial.STOPBITS_ONE, lambda self, value: None)
    xonxoff = property(lambda self: False, lambda self, value: None)
    rtscts = property(lambda self: False, lambda self, value: None)
    rts = property(lambda self: True, lambda self, value: None)
    dtr = property(lambda self: True, lambda self, value: None)
    break_condition = property(lambda self: False, lambda self, value: None)

    def _line(name: str) -> property:  # type: ignore[misc]
        return property(lambda self: self._service.line(name))

    cts, dsr, ri, cd = _line("cts"), _line("dsr"), _line("ri"), _line("cd")
    del _line

    def reset_input_buffer(self) -> None:
        self._service.request_purge()

    def reset_output_buffer(self) -> None:
        self._service.reset_output()


class _DebugLog:
    """PortManager's log, all at debug level: ``-v`` shows the negotiation."""

    def __init__(self, prefix: str) -> None:
        self._prefix = prefix

    def _log(self, message: str) -> None:
        log.debug("%s: %s", self._prefix, message)

    debug = info = warning = error = _log


class _PortManager(rfc2217.PortManager):
    """pyserial's RFC 2217 state machine; a baud rate goes to the adapter without blocking the
    loop and is answered once the adapter confirmed it, and flow control and break, which the
    adapter does not have, are answered with what the channel really does."""

    def __init__(self, client: "_Client", plain: bool = False) -> None:
        self.client = client
        self.plain = plain  # Telnet without the COM-PORT option
        super().__init__(_Settings(client.service), client, _DebugLog(client.label))  # type: ignore[arg-type]
        if plain:
            options = self._telnet_options  # type: ignore[has-type]
            self._telnet_options = [o for o in options if o.option != rfc2217.COM_PORT_OPTION]

    def telnet_send_option(self, action: bytes, option: bytes) -> None:
        if self.plain and option == rfc2217.COM_PORT_OPTION and action in (rfc2217.WILL, rfc2217.DO):
            return
        super().telnet_send_option(action, option)

    def _telnet_process_subnegotiation(self, suboption: bytes) -> None:
        if suboption[0:1] == rfc2217.COM_PORT_OPTION:
            if self.plain:
                return
            command, value = suboption[1:2], suboption[2:]
            if command == rfc2217.SET_BAUDRATE and len(value) == 4:
                (rate,) = struct.unpack("!I", value)
                if rate:
                    self.client.service.request_baudrate(rate, self.client)
                else:
                    self.answer_baudrate(self.client.service.baudrate)
                return
            if command == rfc2217.SET_CONTROL and value[:1] in _FLOW_REQUESTS:
                self.rfc2217_send_subnegotiation(rfc2217.SERVER_SET_CONTROL, rfc2217.SET_CONTROL_USE_NO_FLOW_CONTROL)
                return
            if command == rfc2217.SET_CONTROL and value[:1] in _BREAK_REQUESTS:
                self.rfc2217_send_subnegotiation(rfc2217.SERVER_SET_CONTROL, rfc2217.SET_CONTROL_BREAK_OFF)
                return
        super()._telnet_process_subnegotiation(suboption)  # type: ignore[misc]

    def answer_baudrate(self, rate: int) -> None:
        self.rfc2217_send_subnegotiation(rfc2217.SERVER_SET_BAUDRATE, struct.pack("!I", rate))


_FLOW_REQUESTS = (rfc2217.SET_CONTROL_REQ_FLOW_SETTING, rfc2217.SET_CONTROL_USE_NO_FLOW_CONTROL,
                  rfc2217.SET_CONTROL_USE_SW_FLOW_CONTROL, rfc2217.SET_CONTROL_USE_HW_FLOW_CONTROL)
_BREAK_REQUESTS = (rfc2217.SET_CONTROL_REQ_BREAK_STATE, rfc2217.SET_CONTROL_BREAK_ON,
                   rfc2217.SET_CONTROL_BREAK_OFF)


class _Hostile(Exception):
    """Input that ends the connection."""


class _Client(asyncio.BufferedProtocol):
    """One TCP client of a channel. In raw mode all bytes are data both ways; in telnet mode its
    input goes through PortManager (without COM-PORT) and its output has IAC doubled from the
    start; in rfc2217 mode it is raw until it sends a Telnet command (IAC), then Telnet."""

    def __init__(self, service: "ChannelService") -> None:
        self.service = service
        self.transport: Optional[asyncio.Transport] = None
        self.label = service.entry.name
        self.raw = service.mode == "raw"
        self.manager: Optional[_PortManager] = None
        self.admitted = False
        self.closed = False
        self._buffer = bytearray(READ_SIZE)
        self._dropping = False

    # asyncio's side
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]
        peer = transport.get_extra_info("peername")
        self.peer = peer[0] if isinstance(peer, tuple) else str(peer)
        self.label = "%s client %s" % (self.service.entry.name,
                                       "%s:%s" % peer[:2] if isinstance(peer, tuple) else peer)
        self.service.admit(self)

    def get_buffer(self, sizehint: int) -> bytearray:
        return self._buffer

    def buffer_updated(self, nbytes: int) -> None:
        if not self.admitted:
            return
        try:
            self.receive(bytes(self._buffer[:nbytes]))
        except _Hostile as exc:
            log.warning("%s: %s; disconnecting", self.label, exc)
            self.close()

    def connection_lost(self, exc: Optional[BaseException]) -> None:
        self.closed = True
        if self.admitted:
            self.admitted = False
            self.service.remove(self)
            log.info("%s disconnected%s", self.label, ": %s" % exc if exc else "")

    def pause_writing(self) -> None:
        pass  # the send buffer's size is checked on every write

    def resume_writing(self) -> None:
        pass

    # the channel's side
    def write(self, data: bytes) -> None:
        """Telnet and RFC 2217 answers (PortManager's connection)."""
        if self.closed:
            return
        if self.transport.get_write_buffer_size() > CLIENT_BUFFER_LIMIT:  # type: ignore[union-attr]
            log.warning("%s does not read its answers; disconnecting", self.label)
            self.close()
            return
        self.transport.write(data)  # type: ignore[union-attr]

    def send(self, data: bytes, escaped: bytes) -> None:
        """Channel input for this client (`escaped`: with IAC doubled, for Telnet clients)."""
        if self.closed:
            return
        if self.transport.get_write_buffer_size() > CLIENT_BUFFER_LIMIT:  # type: ignore[union-attr]
            if not self._dropping:
                self._dropping = True
                log.warning("%s does not read; dropping channel input for it", self.label)
            return
        self._dropping = False
        self.transport.write(escaped if self.manager is not None else data)  # type: ignore[union-attr]

    def receive(self, data: bytes) -> None:
        manager = self.manager
        if manager is None:
            if self.raw:
                self.service.from_client(data)
                return
            start = data.find(rfc2217.IAC)
            if start < 0:
                self.service.from_client(data)
                return
            if start:
                self.service.from_client(data[:start])
            data = data[start:]
            manager = self.manager = _PortManager(self)
        out = bytearray()
        pos, end = 0, len(data)
        while pos < end:
            if manager.mode == rfc2217.M_NORMAL:
                stop = data.find(rfc2217.IAC, pos)
                stop = end if stop < 0 else stop
                if stop > pos:
                    if manager.suboption is None:
                        out += data[pos:stop]
                    else:
                        manager.suboption += data[pos:stop]
                    pos = stop
                    continue
            try:
                for byte in manager.filter(data[pos:pos + 1]):
                    out += byte
            except Exception as exc:  # a malformed command: PortManager's state back to data
                log.debug("%s: bad Telnet sequence ignored: %r", self.label, exc)
                manager.mode, manager.suboption = rfc2217.M_NORMAL, None
            pos += 1
            if manager.suboption is not None and len(manager.suboption) > MAX_SUBNEGOTIATION:
                raise _Hostile("Telnet subnegotiation longer than %d bytes" % MAX_SUBNEGOTIATION)
        if manager.suboption is not None and len(manager.suboption) > MAX_SUBNEGOTIATION:
            raise _Hostile("Telnet subnegotiation longer than %d bytes" % MAX_SUBNEGOTIATION)
        if out:
            self.service.from_client(bytes(out))

    def answer_rate(self, rate: int) -> None:
        if self.manager is not None and not self.closed:
            self.manager.answer_baudrate(rate)

    def reject(self, reason: str) -> None:
        """Sends a one-line reason and disconnects."""
        transport = self.transport
        if transport is not None and not self.closed:
            transport.write((reason + "\r\n").encode("utf-8", "replace"))
        self.close()

    def close(self) -> None:
        self.closed = True
        if self.transport is not None:
            self.transport.close()

    def pause(self, paused: bool) -> None:
        if self.transport is not None and not self.closed:
            (self.transport.pause_reading if paused else self.transport.resume_reading)()


def _keepalive(transport: asyncio.BaseTransport) -> None:
    """Lets the system find dead connections."""
    sock = transport.get_extra_info("socket")
    if sock is None:
        return
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
        idle, interval, count = KEEPALIVE
        if hasattr(socket, "TCP_KEEPIDLE"):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE, idle)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPINTVL, interval)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPCNT, count)
        elif hasattr(socket, "SIO_KEEPALIVE_VALS"):
            sock.ioctl(socket.SIO_KEEPALIVE_VALS, (1, idle * 1000, interval * 1000))
    except (OSError, AttributeError, ValueError):
        pass


# --- one channel ------------------------------------------------------------------------------

class ChannelService:
    """One served channel: its listener (kept across replugs), its ``qlix://`` port while the
    adapter is attached, its TCP clients and its terminal."""

    def __init__(self, server: "Server", entry: Entry) -> None:
        self.server = server
        self.entry = entry
        self.tcp_port = entry.tcp_port
        self.port: Any = None
        self.baudrate: int = server.options.setting(entry.name, "baudrate")
        self.mode: str = server.options.setting(entry.name, "mode")
        self.max_connections: int = server.options.setting(entry.name, "max_connections")
        self.clients: List[_Client] = []
        self.terminal: Any = None  # a Terminal (POSIX)
        self.listener: Optional[asyncio.AbstractServer] = None
        self._loop = server.loop
        self._fd: Optional[int] = None
        self._pending = bytearray()
        self._paused = False
        self._waiting_room = False
        self._woken = False
        self._want_rate: Optional[int] = None
        self._rate_waiters: Dict[int, Any] = {}
        self._want_purge = False
        self._control: Optional[asyncio.Task] = None

    async def listen(self) -> None:
        # asyncio's default reuses the address on POSIX only (on Windows it would let another
        # program bind the same port).
        self.listener = await self._loop.create_server(lambda: _Client(self), self.server.options.bind,
                                                       self.entry.tcp_port, ssl=self.server.tls(self.entry.name))
        self.tcp_port = self.listener.sockets[0].getsockname()[1]

    # attaching and detaching the port
    def attach(self, port: Any) -> None:
        self.port = port
        self.baudrate = port.baudrate
        if self.server.use_descriptors:
            self._fd = port.fileno()
            self._loop.add_reader(self._fd, self.service_port)
        else:
            port.set_event_callback(self._wake_threadsafe)
        if sys.platform != "win32":  # (the path is None on Windows)
            if self.entry.path is not None:
                try:
                    self.terminal = Terminal(self, self.entry.path, self.baudrate)
                except Exception as exc:
                    log.error("%s: no terminal at %s: %s", self.entry.name, self.entry.path, exc)
                self.server.watch_terminals()
        self.service_port()

    def detach(self) -> Any:
        """Disconnects the clients, hangs up the terminal; returns the port, to be closed."""
        port, self.port = self.port, None
        if self._fd is not None:
            self._loop.remove_reader(self._fd)
            self._loop.remove_writer(self._fd)
            self._fd = None
        self._waiting_room = False
        for client in list(self.clients):
            client.close()
        self.clients.clear()
        if self.terminal is not None:
            self.terminal.close()
            self.terminal = None
        self._pending.clear()
        self._paused = False
        self._want_rate, self._want_purge, self._rate_waiters = None, False, {}  # for the port that went
        return port

    def _wake_threadsafe(self) -> None:
        # On the adapter's reader thread or the port's writer thread: one wake-up per loop turn.
        if not self._woken:
            self._woken = True
            try:
                self._loop.call_soon_threadsafe(self._wake)
            except RuntimeError:
                pass  # the loop is closed: the server is gone

    def _wake(self) -> None:
        self._woken = False
        self.service_port()
        if self._pending:
            self._flush()

    # channel input
    def service_port(self) -> None:
        port = self.port
        if port is None:
            return
        try:
            data = port.read(port.in_waiting or 1)
        except Exception as exc:
            self.server.lost(self.entry.serial_number, exc)
            return
        if not data:
            return
        if self.clients:
            escaped = data.replace(rfc2217.IAC, rfc2217.IAC + rfc2217.IAC) if rfc2217.IAC in data else data
            for client in self.clients:
                client.send(data, escaped)
        if self.terminal is not None:
            self.terminal.write(data)

    def line(self, name: str) -> bool:
        port = self.port
        try:
            return bool(getattr(port, name)) if port is not None else False
        except Exception:
            return False

    # channel output
    def from_client(self, data: bytes) -> None:
        if self.port is None or not data:
            return
        self._pending += data
        self._flush()

    def _flush(self) -> None:
        port = self.port
        if port is None:
            return
        try:
            taken = port.write(self._pending)
        except Exception as exc:
            log.debug("%s: write failed: %s", self.entry.name, exc)
            taken = len(self._pending)
        del self._pending[:taken]
        full = bool(self._pending)
        if full != self._paused:
            self._paused = full
            for client in self.clients:
                client.pause(full)
            if self.terminal is not None:
                self.terminal.pause(full)
        if self._fd is not None and full != self._waiting_room:
            self._waiting_room = full
            if full:
                self._loop.add_writer(self._fd, self._flush)
            else:
                self._loop.remove_writer(self._fd)

    def reset_output(self) -> None:
        self._pending.clear()
        if self.port is not None:
            try:
                self.port.reset_output_buffer()
            except Exception:
                pass
        self._flush()

    # connections
    def admit(self, client: _Client) -> None:
        transport = client.transport
        if not self.server.allowed(client.peer):
            log.warning("%s refused: address not allowed", client.label)
            client.close()
            return
        if self.port is None:
            client.reject("%s: adapter %s is not attached" % (self.entry.name, self.entry.serial_number))
            return
        limit = self.max_connections
        if len(self.clients) >= limit:
            if not self.server.options.takeover:
                log.info("%s refused: %s is in use", client.label, self.entry.name)
                client.reject("%s is in use by another client (at most %d); try again later"
                              % (self.entry.name, limit))
                return
            old = self.clients.pop(0)
            old.admitted = False
            log.info("%s taken over by %s", old.label, client.label)
            old.reject("%s was taken over by another client" % self.entry.name)
        assert transport is not None
        _keepalive(transport)
        client.admitted = True
        self.clients.append(client)
        if self._paused:
            client.pause(True)
        if self.mode == "telnet":
            client.manager = _PortManager(client, plain=True)
        log.info("%s connected", client.label)

    def remove(self, client: _Client) -> None:
        if client in self.clients:
            self.clients.remove(client)

    # settings
    def request_baudrate(self, rate: int, waiter: Any) -> None:
        """Applies `rate` to the channel off the loop; `waiter.answer_rate(real)` follows. Requests
        made meanwhile are merged: the last rate wins, each waiter is answered once."""
        self._want_rate = rate
        self._rate_waiters[id(waiter)] = waiter
        self._start_control()

    def request_purge(self) -> None:
        self._want_purge = True
        self._start_control()

    def _start_control(self) -> None:
        if self._control is None or self._control.done():
            self._control = self._loop.create_task(self._run_control())

    async def _run_control(self) -> None:
        while self.port is not None and (self._want_rate is not None or self._want_purge):
            port = self.port
            rate, self._want_rate = self._want_rate, None
            purge, self._want_purge = self._want_purge, False
            waiters, self._rate_waiters = self._rate_waiters, {}
            real = await self._loop.run_in_executor(None, self._apply, port, rate, purge)
            if self.port is not port:  # replugged meanwhile: go on with what the new port's clients asked
                continue
            self.baudrate = real
            for waiter in waiters.values():
                waiter.answer_rate(real)
            if self.terminal is not None and self.terminal not in waiters.values():
                self.terminal.answer_rate(real)

    def _apply(self, port: Any, rate: Optional[int], purge: bool) -> int:
        # On an executor thread: the adapter confirms a baud rate within 1 s.
        try:
            if purge:
                port.reset_input_buffer()
            if rate is not None and rate != port.baudrate:
                port.baudrate = rate
                log.debug("%s: baud rate %d", self.entry.name, port.baudrate)
        except Exception as exc:
            log.warning("%s: baud rate %s not set: %s", self.entry.name, rate, exc)
        try:
            return int(port.baudrate)
        except Exception:
            return self.baudrate


# --- the server -------------------------------------------------------------------------------

class Server:
    """Serves the channels chosen by `options` until :meth:`stop`. Run :meth:`run` on a loop."""

    def __init__(self, options: Options, use_descriptors: Optional[bool] = None) -> None:
        self.options = options
        self.planner = Planner(options)
        # POSIX waits on each port's descriptor; Windows (or use_descriptors=False) on callbacks.
        self.use_descriptors = os.name != "nt" if use_descriptors is None else use_descriptors
        self.services: Dict[str, ChannelService] = {}
        self.attached: Dict[str, List[ChannelService]] = {}
        self.loop: asyncio.AbstractEventLoop = None  # type: ignore[assignment]
        self.started: Optional[asyncio.Event] = None
        self._stopping: Optional[asyncio.Event] = None
        self._attaching: Set[str] = set()
        self._errors: Dict[str, str] = {}
        self._terminal_timer: Optional[asyncio.TimerHandle] = None
        self.open_watch: Any = None  # an OpenWatch (Linux)
        self._networks = [ipaddress.ip_network(n, strict=False) for n in options.allow]
        self._tls: Dict[Any, Any] = {}
        self._refused: Set[str] = set()  # adapters not served until they are unplugged
        self._stop_asked = False
        self.links: Any = None  # a LinkDirectory (POSIX)

    def mapping(self) -> List[Entry]:
        """What is served now, in ``--list`` order, with the listeners' real TCP ports."""
        return [dataclasses.replace(s.entry, tcp_port=s.tcp_port) for _, s in sorted(
            self.services.items(), key=lambda item: (item[1].entry.serial_number, item[1].entry.channel))]

    def allowed(self, address: str) -> bool:
        try:
            ip = ipaddress.ip_address(address.split("%")[0])
        except ValueError:
            return False
        mapped = getattr(ip, "ipv4_mapped", None)
        if mapped is not None:
            ip = mapped
        return ip.is_loopback or any(ip in network for network in self._networks)

    def tls(self, name: str) -> Any:
        """The TLS context of channel `name`'s listener (None: plain TCP); one per certificate set."""
        tls = self.options.tls(name)
        if tls is None:
            return None
        if tls not in self._tls:
            self._tls[tls] = tls_context(*tls)
        return self._tls[tls]

    def stop(self) -> None:
        """Ends :meth:`run` (call on the loop's thread; ``loop.call_soon_threadsafe(server.stop)``)."""
        self._stop_asked = True
        if self._stopping is not None:
            self._stopping.set()

    async def run(self) -> None:
        """Serves until :meth:`stop`. StartError when serving cannot start as asked: the link
        directory is refused, a port cannot be bound (unless ``keep_going``), a chosen channel does
        not exist on an attached adapter or the ports from ``port_base`` run out."""
        self.loop = asyncio.get_running_loop()
        self._stopping = asyncio.Event()
        if self._stop_asked:
            self._stopping.set()
        self.started = asyncio.Event()
        try:
            if sys.platform != "win32" and self.options.link_dir is not None:
                try:
                    self.links = LinkDirectory(self.options.link_dir)
                except LinkDirectoryError as exc:
                    raise StartError(str(exc)) from None
                if LINUX:
                    try:
                        self.open_watch = OpenWatch(self.loop, self._check_terminals)
                    except OSError as exc:
                        log.debug("no inotify (%s): terminals are checked every %g s", exc, TERMINAL_CHECK)
            if not self._stopping.is_set():
                await self.scan(strict=True)
            waiting = sorted(sn for sn in self.planner.choices if sn not in self.attached)
            log.info("ozu-qlix-serve started: listening on %s%s, %s%s", self.options.bind,
                     "" if not self.options.port_base else " from port %d" % self.options.port_base,
                     "terminals in %s" % self.options.link_dir if self.options.link_dir else "no terminals",
                     "; not attached, served when plugged in: %s" % ", ".join(waiting) if waiting else "")
            self.started.set()
            notify_ready()
            scanner = self.loop.create_task(self._scan_loop())
            try:
                await self._stopping.wait()
            finally:
                scanner.cancel()
        finally:
            await self._shutdown()

    async def _scan_loop(self) -> None:
        while True:
            await asyncio.sleep(self.options.scan_interval)
            try:
                await self.scan()
            except Exception as exc:  # the scan goes on at the next turn
                self._error("bus", "bus scan failed: %s: %s" % (type(exc).__name__, exc))

    async def scan(self, strict: bool = False) -> None:
        """Serves adapters that appeared, lets go of those that disappeared (`strict`: at start,
        StartError for what makes serving as asked impossible)."""
        import ozu_qlix
        try:
            present = await self.loop.run_in_executor(None, ozu_qlix.list_serial_numbers)
        except Exception as exc:
            self._error("bus", "bus scan failed: %s" % exc)
            return
        self._errors.pop("bus", None)
        for serial_number in list(self.attached):
            if serial_number not in present:
                await self._detach(serial_number, "unplugged")
        self._refused &= set(present)
        for serial_number in sorted(set(present)):
            if (serial_number and self.planner.wants(serial_number) and serial_number not in self.attached
                    and serial_number not in self._attaching and serial_number not in self._refused):
                await self._attach(serial_number, strict)

    def _error(self, key: str, message: str) -> None:
        # One line per new error; the same error again at the next scan is not repeated.
        if self._errors.get(key) != message:
            self._errors[key] = message
            log.error("%s", message)

    async def _attach(self, serial_number: str, strict: bool = False) -> None:
        self._attaching.add(serial_number)
        ports: List[Tuple[int, Any]] = []
        try:
            try:
                ports = await self.loop.run_in_executor(None, self._open_adapter, serial_number)
            except ConfigError as exc:
                if strict:
                    raise StartError(str(exc), 2) from None
                self._refused.add(serial_number)  # (until it is unplugged)
                self._error(serial_number, "adapter %s not served: %s" % (serial_number, exc))
                return
            except Exception as exc:
                self._error(serial_number, "adapter %s not served: %s" % (serial_number, exc))
                return
            self._errors.pop(serial_number, None)
            if self._stopping is None or self._stopping.is_set():
                return
            services = self.attached[serial_number] = []
            for channel, port in list(ports):
                service = await self._service(serial_number, channel, strict)
                if service is None:
                    continue  # (its port is closed below)
                try:
                    service.attach(port)
                except Exception:
                    service.detach()  # (the port stays in `ports`: closed below)
                    raise
                ports.remove((channel, port))
                services.append(service)
            if services:
                log.info("plugged %s: %s", serial_number, ", ".join(
                    "%s on %s%s" % (s.entry.name, s.tcp_port,
                                    " and %s" % s.entry.path if s.terminal is not None else "") for s in services))
            else:
                del self.attached[serial_number]
                self._refused.add(serial_number)
        except StartError:
            raise
        except Exception as exc:  # whatever it was, the other adapters and the scan go on
            log.exception("adapter %s not served: %s", serial_number, exc)
            for service in self.attached.pop(serial_number, []):
                ports.append((0, service.detach()))
        finally:
            await self._close_ports([port for _, port in ports if port is not None])
            self._attaching.discard(serial_number)

    async def _service(self, serial_number: str, channel: int, strict: bool) -> Optional[ChannelService]:
        """The channel's service, listening; None (its port closed and dropped from `ports`' head)
        when it cannot listen. At start that ends the server unless ``keep_going``."""
        name = _extension.port_name(serial_number, channel)
        service = self.services.get(name)
        if service is not None:
            return service
        try:
            entry = _entry(self.planner, serial_number, channel)
            service = ChannelService(self, entry)
            await service.listen()
        except (OSError, OverflowError, ConfigError) as exc:
            where = "%s port %s" % (self.options.bind, self.planner.assigned.get(name, "?"))
            message = "%s not served: cannot listen on %s: %s" % (name, where, exc)
            if strict and not self.options.keep_going:
                raise StartError(message, 2 if isinstance(exc, ConfigError) else 1) from None
            self._error(name, message)
            return None
        self.services[name] = service
        return service

    def _open_adapter(self, serial_number: str) -> List[Tuple[int, Any]]:
        # On an executor thread: opens the adapter's chosen channels as qlix:// ports.
        import ozu_qlix
        device = ozu_qlix.get_hid_device(serial_number)
        ports: List[Tuple[int, Any]] = []
        try:
            for channel in self.planner.channels(serial_number, device.channel_count):
                name = _extension.port_name(serial_number, channel)
                service = self.services.get(name)
                rate = service.baudrate if service else self.options.setting(name, "baudrate")
                ports.append((channel, serial.serial_for_url(
                    _extension.url(serial_number, channel), baudrate=rate, timeout=0, write_timeout=0)))
        except BaseException:
            self._close_now([port for _, port in ports])
            ports = []
            raise
        finally:
            if not ports:
                _release(device)
        return ports

    @staticmethod
    def _close_now(ports: Sequence[Any]) -> None:
        for port in ports:
            try:
                port.close()
            except Exception as exc:
                log.debug("closing %s: %s", getattr(port, "name", port), exc)

    async def _close_ports(self, ports: Sequence[Any]) -> None:
        if ports:
            await self.loop.run_in_executor(None, self._close_now, ports)

    def lost(self, serial_number: str, exc: BaseException) -> None:
        """A port of the adapter failed: the adapter is let go (served again when it is back)."""
        if serial_number in self.attached:
            self.loop.create_task(self._detach(serial_number, "lost: %s" % exc))

    async def _detach(self, serial_number: str, why: str) -> None:
        services = self.attached.pop(serial_number, None)
        if services is None:
            return
        ports = [service.detach() for service in services]
        log.info("unplugged %s (%s)", serial_number, why)
        self._attaching.add(serial_number)  # not served again before its old ports are closed
        try:
            await self._close_ports([port for port in ports if port is not None])
        finally:
            self._attaching.discard(serial_number)

    def watch_terminals(self) -> None:
        """Checks the terminals every 50 ms while one waits for a program (without inotify), or
        while a program has one open (off Linux, for its termios changes)."""
        if self.open_watch is not None:
            return
        if self._terminal_timer is None and self.loop is not None:
            self._terminal_timer = self.loop.call_later(TERMINAL_CHECK, self._check_terminals)

    def _check_terminals(self) -> None:
        self._terminal_timer = None
        waiting = False
        for service in list(self.services.values()):
            terminal = service.terminal
            if terminal is not None:
                try:
                    terminal.check()
                except OSError as exc:
                    log.debug("%s: terminal check: %s", service.entry.name, exc)
                waiting = waiting or not terminal.is_open or not LINUX
        if waiting and not (self._stopping is None or self._stopping.is_set()):
            self.watch_terminals()

    async def _shutdown(self) -> None:
        if self._terminal_timer is not None:
            self._terminal_timer.cancel()
            self._terminal_timer = None
        ports = []
        for serial_number in list(self.attached):
            ports += [service.detach() for service in self.attached.pop(serial_number)]
        for service in self.services.values():
            if service.listener is not None:
                service.listener.close()
        if self.open_watch is not None:
            self.open_watch.close()
            self.open_watch = None
        await self._close_ports([port for port in ports if port is not None])
        if self.links is not None:
            self.links.close()
            self.links = None
        log.info("ozu-qlix-serve stopped")


def _release(device: Any) -> None:
    """Closes an adapter that was opened only to be asked (it has no open channel)."""
    try:
        _extension.close_if_idle(device)
    except Exception as exc:
        log.debug("closing adapter: %s", exc)


# --- command line -----------------------------------------------------------------------------

def _print_list(entries: List[Entry], as_json: bool, bind: str) -> None:
    if as_json:
        print(json.dumps([e.as_dict() for e in entries], indent=2))
        return
    for e in entries:
        print("%-22s %-24s %s:%-5d %s" % (e.name, e.url, bind, e.tcp_port, e.path or "-"))


async def _serve(server: Server, early: EarlyStop) -> None:
    loop = asyncio.get_running_loop()
    server.loop = loop
    added = []
    for number in early.numbers:
        try:
            loop.add_signal_handler(number, server.stop)
            added.append(number)
        except (NotImplementedError, RuntimeError, ValueError):  # Windows: the early handler stays
            pass
    early.server = server
    if early.requested:
        server.stop()
    try:
        await server.run()
    finally:
        for number in added:
            loop.remove_signal_handler(number)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command with `argv` (default: the command line) and returns its exit status."""
    early = EarlyStop()
    try:
        return _main(argv, early)
    finally:
        early.restore()


def _main(argv: Optional[Sequence[str]], early: EarlyStop) -> int:
    try:
        options, args = load_options(argv)
    except (ValueError, OSError) as exc:
        sys.stderr.write("ozu-qlix-serve: %s\n" % exc)
        return 2
    logging.basicConfig(level=logging.DEBUG if options.verbose else logging.INFO,
                        format="%(asctime)s %(levelname)s %(message)s", stream=sys.stderr)
    if args.list:
        try:
            entries = plan(options, _attached())
        except ConfigError as exc:
            sys.stderr.write("ozu-qlix-serve: %s\n" % exc)
            return 2
        except Exception as exc:
            sys.stderr.write("ozu-qlix-serve: listing failed: %s: %s\n" % (type(exc).__name__, exc))
            return 1
        _print_list(entries, args.json, options.bind)
        return 0
    if early.requested:
        log.info("ozu-qlix-serve stopped before it started")
        return 0
    unencrypted = [name for name in ["", *options.channels] if options.tls(name) is None]
    if not is_loopback(options.bind) and unencrypted:
        log.warning("listening on %s for %s without TLS: RFC 2217 has neither authentication nor encryption; "
                    "anyone on those networks can use the channels", options.bind, ", ".join(options.allow))
    stderr, sys.stderr = sys.stderr, StderrLog(sys.stderr)  # type: ignore[assignment]
    try:
        asyncio.run(_serve(Server(options), early))
    except KeyboardInterrupt:
        pass
    except StartError as exc:
        log.error("ozu-qlix-serve not started: %s", exc)
        return exc.status
    finally:
        sys.stderr = stderr
    return 0


if __name__ == "__main__":
    sys.exit(main())
