"""The channel bridge of ozu-qlix-serve: one served channel's ``qlix://`` port, its TCP clients
and its terminal; channel input goes to every client and the terminal, their output to the port;
baud rate changes and purges run off the loop."""

from __future__ import annotations

import asyncio
import logging
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from .client import Client, keepalive
from .plan import Entry
from .telnet import IAC, PortManager

if sys.platform != "win32":
    from .terminal import Terminal
if TYPE_CHECKING:
    from .server import Server

log = logging.getLogger("ozu_qlix_serial.serve")


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
        self.clients: List[Client] = []
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
        self.listener = await self._loop.create_server(
            lambda: Client(self), self.server.options.bind, self.entry.tcp_port, ssl=self.server.tls(self.entry.name)
        )
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
            escaped = data.replace(IAC, IAC + IAC) if IAC in data else data
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
    def admit(self, client: Client) -> None:
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
                client.reject("%s is in use by another client (at most %d); try again later" % (self.entry.name, limit))
                return
            old = self.clients.pop(0)
            old.admitted = False
            log.info("%s taken over by %s", old.label, client.label)
            old.reject("%s was taken over by another client" % self.entry.name)
        assert transport is not None
        keepalive(transport)
        client.admitted = True
        self.clients.append(client)
        if self._paused:
            client.pause(True)
        if self.mode == "telnet":
            client.manager = PortManager(client, plain=True)
        log.info("%s connected", client.label)

    def remove(self, client: Client) -> None:
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
