"""The TCP front end of ozu-qlix-serve: one protocol object per connected client of a channel."""

from __future__ import annotations

import asyncio
import logging
import socket
from typing import TYPE_CHECKING, Optional

from .telnet import IAC, Hostile, PortManager

if TYPE_CHECKING:
    from .bridge import ChannelService

log = logging.getLogger("ozu_qlix_serial.serve")

READ_SIZE = 16384  # bytes read from a TCP client at once (keeps each callback short)
CLIENT_BUFFER_LIMIT = 262144  # bytes queued for a client that does not read; beyond, its data is dropped
KEEPALIVE = (30, 10, 3)  # idle seconds, seconds between probes, probes


class Client(asyncio.BufferedProtocol):
    """One TCP client of a channel. In raw mode all bytes are data both ways; in telnet mode its
    input goes through PortManager (without COM-PORT) and its output has IAC doubled from the
    start; in rfc2217 mode it is raw until it sends a Telnet command (IAC), then Telnet."""

    def __init__(self, service: "ChannelService") -> None:
        self.service = service
        self.transport: Optional[asyncio.Transport] = None
        self.label = service.entry.name
        self.raw = service.mode == "raw"
        self.manager: Optional[PortManager] = None
        self.admitted = False
        self.closed = False
        self._buffer = bytearray(READ_SIZE)
        self._dropping = False

    # asyncio's side
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]
        peer = transport.get_extra_info("peername")
        self.peer = peer[0] if isinstance(peer, tuple) else str(peer)
        self.label = "%s client %s" % (self.service.entry.name, "%s:%s" % peer[:2] if isinstance(peer, tuple) else peer)
        self.service.admit(self)

    def get_buffer(self, sizehint: int) -> bytearray:
        return self._buffer

    def buffer_updated(self, nbytes: int) -> None:
        if not self.admitted:
            return
        try:
            self.receive(bytes(self._buffer[:nbytes]))
        except Hostile as exc:
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
            start = data.find(IAC)
            if start < 0:
                self.service.from_client(data)
                return
            if start:
                self.service.from_client(data[:start])
            data = data[start:]
            manager = self.manager = PortManager(self)
        out = manager.data_of(data)
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


def keepalive(transport: asyncio.BaseTransport) -> None:
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
