"""The settings of ozu-qlix-serve: command line, configuration file, their checks, TLS contexts.

Every value is checked when the options load; a bad one is reported with where it came from (the
file and key, or the option), the value and what is wanted, and the command exits with status 2."""

from __future__ import annotations

import argparse
import dataclasses
import ipaddress
import math
import os
import re
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .. import _extension
from ..protocol_qlix import parse_url, port_url

DEFAULT_PORT_BASE = 7000
DEFAULT_BAUDRATE = 115200
SCAN_INTERVAL = 1.0  # seconds between bus scans: an adapter plugged in is served within 2 s
MIN_SCAN_INTERVAL = 0.1
MODES = ("raw", "telnet", "rfc2217")
_SERIAL_NUMBER = re.compile(r"[0-9A-Za-z_.-]+")


class ConfigError(ValueError):
    """A setting that cannot be used (exit status 2)."""


@dataclasses.dataclass
class ChannelSettings:
    """Settings of one channel from the configuration's ``[channels."<name or URL>"]``; None: the global one."""

    baudrate: Optional[int] = None
    mode: Optional[str] = None
    tcp_port: Optional[int] = None
    max_connections: Optional[int] = None
    tls_cert: Optional[str] = None
    tls_key: Optional[str] = None
    tls_client_ca: Optional[str] = None


@dataclasses.dataclass
class Options:
    """The server's settings (command line over configuration file over defaults)."""

    select: List[str] = dataclasses.field(default_factory=list)  # serial numbers, URLs, port names
    port_base: int = DEFAULT_PORT_BASE
    tcp_ports: Dict[str, int] = dataclasses.field(default_factory=dict)  # channel name: TCP port
    link_dir: Optional[str] = None
    baudrate: int = DEFAULT_BAUDRATE
    bind: str = "127.0.0.1"
    allow: List[str] = dataclasses.field(default_factory=list)
    max_connections: int = 1
    takeover: bool = False
    scan_interval: float = SCAN_INTERVAL
    verbose: bool = False
    mode: str = "rfc2217"
    keep_going: bool = False
    tls_cert: Optional[str] = None
    tls_key: Optional[str] = None
    tls_client_ca: Optional[str] = None
    channels: Dict[str, ChannelSettings] = dataclasses.field(default_factory=dict)  # channel name: settings

    def setting(self, name: str, key: str) -> Any:
        """Channel `name`'s value of `key`: its own, else the global one."""
        own = self.channels.get(name)
        value = getattr(own, key) if own is not None else None
        return getattr(self, key) if value is None else value

    def tls(self, name: str) -> Optional[Tuple[str, Optional[str], Optional[str]]]:
        """(certificate, key, client CA) of channel `name`, None without TLS."""
        own = self.channels.get(name)
        if own is not None and own.tls_cert is not None:
            return own.tls_cert, own.tls_key, own.tls_client_ca or self.tls_client_ca
        if self.tls_cert is None:
            return None
        return self.tls_cert, self.tls_key, self.tls_client_ca


def parse_choice(text: str) -> Tuple[str, Optional[int]]:
    """(serial number, channel or None for all) of a serial number, ``qlix://`` URL or port name."""
    if text.lower().startswith("qlix://"):
        serial_number, channel = parse_url(text)
    elif text.upper().startswith("QLIX"):
        serial_number, channel = parse_url(port_url(text))
    else:
        serial_number, channel = text.upper(), None
    if serial_number == "ANY" or not serial_number:
        raise ValueError("%r: name an adapter by its serial number, not ANY" % text)
    if not _SERIAL_NUMBER.fullmatch(serial_number):
        raise ValueError("%r is not a serial number, qlix:// URL or QLIX port name" % text)
    if channel is not None and channel < 1:
        raise ValueError("%r: channels are numbered from 1" % text)
    return serial_number, channel


def port_key(text: str) -> str:
    """The channel name a per-channel key (URL or port name) stands for."""
    serial_number, channel = parse_choice(text)
    if channel is None:
        raise ValueError("%r: a setting of one channel needs a URL or port name" % text)
    return _extension.port_name(serial_number, channel)


def default_link_dir() -> Optional[str]:
    """``$XDG_RUNTIME_DIR/ozu-qlix``, ``/run/ozu-qlix`` as root, else ``/tmp/ozu-qlix-<uid>``, which
    the server creates with mode 0700 and refuses when another user owns it."""
    if sys.platform == "win32":
        return None
    if os.geteuid() == 0:
        return "/run/ozu-qlix"
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    return os.path.join(runtime, "ozu-qlix") if runtime else "/tmp/ozu-qlix-%d" % os.getuid()


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ozu-qlix-serve",
        description="Share QLIX channels over TCP (raw, Telnet or RFC 2217, optionally TLS) and (POSIX) as "
        "pseudo-terminals.",
        epilog="TCP ports: a channel given a port in the configuration ([tcp_ports] or its [channels] table) has "
        "its own; the others get consecutive ports from --port-base, adapters by serial number, then "
        'channels by number (see --list). Per channel, a configuration table [channels."<name or URL>"] '
        "may set baudrate, mode, tcp_port, max_connections, tls_cert, tls_key and tls_client_ca. Link "
        "directory: created with mode 0700; refused when another user owns it, when group or others may "
        "write it, or when another server uses it; only terminal links are replaced. Under systemd "
        "(Type=notify) READY=1 is sent once every port is bound. Exit status: 0 after SIGTERM or Ctrl-C, "
        "1 when serving cannot start (a port cannot be bound, the link directory is refused), 2 for a bad "
        "setting.",
    )
    parser.add_argument(
        "channels",
        nargs="*",
        metavar="CHANNEL",
        help="serial number (all its channels), qlix:// URL or port name; default: every channel",
    )
    parser.add_argument("--config", metavar="FILE", help="TOML configuration file")
    parser.add_argument(
        "--port-base",
        type=int,
        metavar="P",
        help="first TCP port (default %d; 0: ports chosen by the system)" % DEFAULT_PORT_BASE,
    )
    parser.add_argument(
        "--mode",
        choices=MODES,
        help="raw: 8-bit clean, no Telnet; telnet: Telnet without COM-PORT options; "
        "rfc2217 (default): RFC 2217, raw until the client sends 0xFF",
    )
    parser.add_argument(
        "--link-dir",
        metavar="DIR",
        help="directory of the terminals' links (default /run/ozu-qlix as root, else "
        "$XDG_RUNTIME_DIR/ozu-qlix, else /tmp/ozu-qlix-UID); POSIX only",
    )
    parser.add_argument("--no-terminals", action="store_true", help="serve over TCP only")
    parser.add_argument(
        "--baudrate", type=int, metavar="RATE", help="initial baud rate of each channel (default %d)" % DEFAULT_BAUDRATE
    )
    parser.add_argument("--bind", metavar="ADDRESS", help="listen on ADDRESS (default 127.0.0.1)")
    parser.add_argument(
        "--allow",
        action="append",
        metavar="CIDR",
        help="network whose clients may connect (with a non-loopback --bind; repeatable)",
    )
    parser.add_argument("--tls-cert", metavar="FILE", help="serve TLS with this certificate (PEM)")
    parser.add_argument("--tls-key", metavar="FILE", help="its private key (default: in the certificate file)")
    parser.add_argument("--tls-client-ca", metavar="FILE", help="require client certificates signed by these CAs (PEM)")
    parser.add_argument("--max-connections", type=int, metavar="N", help="clients that may share a channel (default 1)")
    parser.add_argument(
        "--takeover",
        action="store_true",
        default=None,
        help="a new client replaces the connected one instead of being refused",
    )
    parser.add_argument(
        "--keep-going",
        action="store_true",
        default=None,
        help="a channel whose port cannot be bound at start is skipped (logged) instead of ending the server",
    )
    parser.add_argument("--list", action="store_true", help="print what would be served, then exit")
    parser.add_argument("--json", action="store_true", help="with --list: print a JSON list")
    parser.add_argument("-v", "--verbose", action="store_true", help="log debug detail")
    return parser


def _is_int(value: Any) -> bool:
    return type(value) is int


def _is_number(value: Any) -> bool:
    return type(value) in (int, float)


def _is_path(value: Any) -> bool:
    return isinstance(value, str) and bool(value) and "\0" not in value


_CHECKS = {  # key: (test, what is wanted)
    "serve": (lambda v: isinstance(v, list) and all(isinstance(x, str) for x in v), "a list of strings"),
    "port_base": (lambda v: _is_int(v) and 0 <= v <= 65535, "a TCP port (0: chosen by the system)"),
    "tcp_port": (lambda v: _is_int(v) and 1 <= v <= 65535, "an integer from 1 to 65535"),
    "link_dir": (lambda v: _is_path(v) or isinstance(v, bool), "a directory path, true or false"),
    "baudrate": (lambda v: _is_int(v) and v > 0, "an integer above 0"),
    "bind": (lambda v: isinstance(v, str) and bool(v), "an address"),
    "allow": (lambda v: isinstance(v, list) and all(isinstance(x, str) for x in v), "a list of networks"),
    "max_connections": (lambda v: _is_int(v) and v >= 1, "an integer of at least 1"),
    "takeover": (lambda v: isinstance(v, bool), "true or false"),
    "keep_going": (lambda v: isinstance(v, bool), "true or false"),
    "scan_interval": (
        lambda v: _is_number(v) and math.isfinite(v) and v >= MIN_SCAN_INTERVAL,
        "a finite number of seconds, at least %g" % MIN_SCAN_INTERVAL,
    ),
    "mode": (lambda v: v in MODES, "one of %s" % ", ".join(MODES)),
    "tls_cert": (_is_path, "a file path"),
    "tls_key": (_is_path, "a file path"),
    "tls_client_ca": (_is_path, "a file path"),
}
_CHANNEL_KEYS = [field.name for field in dataclasses.fields(ChannelSettings)]
_GLOBAL_KEYS = set(_CHECKS) - {"tcp_port"} | {"tcp_ports", "channels"}


def _check(where: str, key: str, value: Any) -> None:
    test, wanted = _CHECKS[key]
    if not test(value):
        shown = ("%s %s" if where.startswith("--") else "%s = %r") % (where, value)
        raise ConfigError("%s: expected %s" % (shown, wanted))


def _read_config(path: str) -> Dict[str, Any]:
    import tomllib

    try:
        with open(path, "rb") as f:
            config = tomllib.load(f)
    except (tomllib.TOMLDecodeError, RecursionError, UnicodeDecodeError) as exc:
        raise ConfigError("%s: not a valid TOML file: %s" % (path, str(exc)[:200] or type(exc).__name__)) from None
    except OSError as exc:
        raise ConfigError("%s: %s" % (path, exc.strerror or exc)) from None
    for key, value in config.items():
        where = "%s: %s" % (path, key)
        if key not in _GLOBAL_KEYS:
            raise ConfigError("%s: unknown setting" % where)
        if key in ("tcp_ports", "channels"):
            if not isinstance(value, dict):
                raise ConfigError("%s: expected a table" % where)
            for name, item in value.items():
                _check_channel_key(where, name)
                if key == "tcp_ports":
                    _check("%s.%s" % (where, name), "tcp_port", item)
                elif not isinstance(item, dict):
                    raise ConfigError("%s.%s: expected a table" % (where, name))
                else:
                    for sub, subvalue in item.items():
                        if sub not in _CHANNEL_KEYS:
                            raise ConfigError("%s.%s: unknown setting %r" % (where, name, sub))
                        _check("%s.%s.%s" % (where, name, sub), sub, subvalue)
        else:
            _check(where, key, value)
    return config


def _check_channel_key(where: str, name: str) -> None:
    try:
        port_key(name)
    except ValueError as exc:
        raise ConfigError("%s: %s" % (where, exc)) from None


def load_options(argv: Optional[Sequence[str]] = None) -> Tuple[Options, argparse.Namespace]:
    """Options from the command line and the configuration file it names. ConfigError for bad values."""
    args = parser().parse_args(argv)
    config = _read_config(args.config) if args.config else {}
    origin = args.config or "configuration"
    if not args.channels:
        for text in config.get("serve", []):
            try:
                parse_choice(text)
            except ValueError as exc:
                raise ConfigError("%s: serve: %s" % (origin, exc)) from None

    def pick(name: str, default: Any) -> Any:
        value = getattr(args, name, None)
        if value is not None:
            if name in _CHECKS and not isinstance(value, bool):
                _check("--" + name.replace("_", "-"), name, value)
            return value
        return config.get(name, default)

    link_dir = pick("link_dir", default_link_dir())
    if link_dir is True:
        link_dir = default_link_dir()
    if args.no_terminals or link_dir is False or os.name == "nt":
        link_dir = None
    channels: Dict[str, ChannelSettings] = {}
    for key, table in config.get("channels", {}).items():
        channels[port_key(key)] = ChannelSettings(**table)
    tcp_ports = {port_key(key): port for key, port in config.get("tcp_ports", {}).items()}
    for name, own in channels.items():
        if own.tcp_port is not None:
            tcp_ports[name] = own.tcp_port
    options = Options(
        select=list(args.channels) or list(config.get("serve", [])),
        port_base=pick("port_base", DEFAULT_PORT_BASE),
        tcp_ports=tcp_ports,
        link_dir=link_dir,
        baudrate=pick("baudrate", DEFAULT_BAUDRATE),
        bind=pick("bind", "127.0.0.1"),
        allow=args.allow or list(config.get("allow", [])),
        max_connections=pick("max_connections", 1),
        takeover=bool(pick("takeover", False)),
        keep_going=bool(pick("keep_going", False)),
        scan_interval=float(config.get("scan_interval", SCAN_INTERVAL)),
        verbose=args.verbose,
        mode=pick("mode", "rfc2217"),
        tls_cert=pick("tls_cert", None),
        tls_key=pick("tls_key", None),
        tls_client_ca=pick("tls_client_ca", None),
        channels=channels,
    )
    check(options, origin)
    return options, args


def check(options: Options, origin: str = "configuration") -> None:
    """The checks that need more than one value (ConfigError)."""
    for text in options.select:
        try:
            parse_choice(text)
        except ValueError as exc:
            raise ConfigError(str(exc)) from None
    owners: Dict[int, str] = {}
    for name, port in sorted(options.tcp_ports.items()):
        if port in owners:
            raise ConfigError("%s: TCP port %d is given to both %s and %s" % (origin, port, owners[port], name))
        owners[port] = name
    for network in options.allow:
        try:
            ipaddress.ip_network(network, strict=False)
        except ValueError as exc:
            raise ConfigError("--allow %s: %s" % (network, exc)) from None
    if options.tls_cert is None and options.tls_key is not None:
        raise ConfigError("--tls-key %s needs --tls-cert" % options.tls_key)
    for name, own in sorted(options.channels.items()):
        if own.tls_cert is None and options.tls_cert is None and (own.tls_key or own.tls_client_ca):
            raise ConfigError("%s: channels.%s: tls_key and tls_client_ca need tls_cert" % (origin, name))
    for name in ["", *sorted(options.channels)]:
        tls = options.tls(name)
        if tls is not None:
            try:
                tls_context(*tls)
            except (OSError, ValueError) as exc:
                raise ConfigError("%sTLS certificate %s: %s" % ("%s: " % name if name else "", tls[0], exc)) from None
    if not is_loopback(options.bind) and not options.allow:
        raise ConfigError(
            "--bind %s is not a loopback address: give the networks that may connect with --allow CIDR" % options.bind
        )


def tls_context(cert: str, key: Optional[str], client_ca: Optional[str]) -> Any:
    """A server TLS context; with `client_ca`, clients must show a certificate it signed."""
    import ssl

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    if client_ca is not None:
        context.load_verify_locations(client_ca)
        context.verify_mode = ssl.CERT_REQUIRED
    return context


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False
