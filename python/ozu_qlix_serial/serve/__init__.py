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
``serial.rfc2217.PortManager``.

The modules: ``config`` (settings and their checks), ``plan`` (channels, TCP ports, paths),
``telnet`` (Telnet and RFC 2217), ``client`` (TCP clients), ``terminal`` (pseudo-terminals),
``bridge`` (one channel between its port, clients and terminal), ``server`` (life cycle and
hot-plug), ``process`` (signals, stderr, systemd) and ``cli`` (the command).

    ozu-qlix-serve [CHANNEL ...] [--port-base P] [--mode raw|telnet|rfc2217] [--link-dir DIR]
                   [--bind ADDRESS --allow CIDR] [--tls-cert FILE [--tls-key FILE] [--tls-client-ca FILE]]
                   [--max-connections N | --takeover] [--keep-going] [--config FILE] [--list [--json]] [-v]
"""

from __future__ import annotations

from .bridge import ChannelService as ChannelService
from .cli import main
from .config import (
    DEFAULT_BAUDRATE,
    DEFAULT_PORT_BASE,
    SCAN_INTERVAL,
    ChannelSettings,
    ConfigError as ConfigError,
    Options,
    load_options,
)
from .plan import Entry, plan
from .server import Server, StartError

__all__ = [
    "Options",
    "ChannelSettings",
    "Entry",
    "Server",
    "StartError",
    "load_options",
    "plan",
    "main",
    "DEFAULT_BAUDRATE",
    "DEFAULT_PORT_BASE",
    "SCAN_INTERVAL",
]
