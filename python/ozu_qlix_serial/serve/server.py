"""The life cycle of ozu-qlix-serve: start (link directory, first scan, readiness), the bus scan
that serves adapters plugged in and lets go of those unplugged, shutdown."""

from __future__ import annotations

import asyncio
import dataclasses
import ipaddress
import logging
import os
import sys
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import serial

from .. import _extension
from .bridge import ChannelService
from .config import ConfigError, Options, tls_context
from .plan import Entry, Planner, entry_for
from .process import notify_ready

if sys.platform != "win32":
    from .terminal import LinkDirectoryError, Terminals

log = logging.getLogger("ozu_qlix_serial.serve")


class StartError(Exception):
    """Serving cannot start as asked; `status` is the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


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
        self._networks = [ipaddress.ip_network(n, strict=False) for n in options.allow]
        self._tls: Dict[Any, Any] = {}
        self._refused: Set[str] = set()  # adapters not served until they are unplugged
        self._stop_asked = False
        self.terminals: Any = None  # a Terminals (POSIX, with a link directory)

    def mapping(self) -> List[Entry]:
        """What is served now, in ``--list`` order, with the listeners' real TCP ports."""
        return [
            dataclasses.replace(s.entry, tcp_port=s.tcp_port)
            for _, s in sorted(
                self.services.items(), key=lambda item: (item[1].entry.serial_number, item[1].entry.channel)
            )
        ]

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
                    self.terminals = Terminals(self.loop, self.options.link_dir, self._terminals, self._running)
                except LinkDirectoryError as exc:
                    raise StartError(str(exc)) from None
            if not self._stopping.is_set():
                await self.scan(strict=True)
            waiting = sorted(sn for sn in self.planner.choices if sn not in self.attached)
            log.info(
                "ozu-qlix-serve started: listening on %s%s, %s%s",
                self.options.bind,
                "" if not self.options.port_base else " from port %d" % self.options.port_base,
                "terminals in %s" % self.options.link_dir if self.options.link_dir else "no terminals",
                "; not attached, served when plugged in: %s" % ", ".join(waiting) if waiting else "",
            )
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
            if (
                serial_number
                and self.planner.wants(serial_number)
                and serial_number not in self.attached
                and serial_number not in self._attaching
                and serial_number not in self._refused
            ):
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
                log.info(
                    "plugged %s: %s",
                    serial_number,
                    ", ".join(
                        "%s on %s%s"
                        % (s.entry.name, s.tcp_port, " and %s" % s.entry.path if s.terminal is not None else "")
                        for s in services
                    ),
                )
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
            entry = entry_for(self.planner, serial_number, channel)
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
                ports.append(
                    (
                        channel,
                        serial.serial_for_url(
                            _extension.url(serial_number, channel), baudrate=rate, timeout=0, write_timeout=0
                        ),
                    )
                )
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

    @property
    def open_watch(self) -> Any:
        """The inotify watch of the terminals' devices (Linux), else None."""
        return self.terminals.open_watch if self.terminals is not None else None

    def watch_terminals(self) -> None:
        """A terminal waits for a program, or (off Linux) a program has one open: see Terminals.watch."""
        if self.terminals is not None:
            self.terminals.watch()

    def _terminals(self) -> List[Any]:
        return [service.terminal for service in list(self.services.values()) if service.terminal is not None]

    def _running(self) -> bool:
        return not (self._stopping is None or self._stopping.is_set())

    async def _shutdown(self) -> None:
        ports = []
        for serial_number in list(self.attached):
            ports += [service.detach() for service in self.attached.pop(serial_number)]
        for service in self.services.values():
            if service.listener is not None:
                service.listener.close()
        if self.terminals is not None:
            self.terminals.stop_checks()
        await self._close_ports([port for port in ports if port is not None])
        if self.terminals is not None:
            self.terminals.close()
            self.terminals = None
        log.info("ozu-qlix-serve stopped")


def _release(device: Any) -> None:
    """Closes an adapter that was opened only to be asked (it has no open channel)."""
    try:
        _extension.close_if_idle(device)
    except Exception as exc:
        log.debug("closing adapter: %s", exc)
