"""The command line of ozu-qlix-serve: options, ``--list``, logging, signals, exit status."""

from __future__ import annotations

import asyncio
import json
import logging
import sys
from typing import List, Optional, Sequence, Tuple

from .config import ConfigError, is_loopback, load_options
from .plan import Entry, plan
from .process import EarlyStop, StderrLog
from .server import Server, StartError

log = logging.getLogger("ozu_qlix_serial.serve")


def _attached() -> List[Tuple[str, int]]:
    from ..list_ports import adapters

    return [(a["serial_number"], a["channels"]) for a in adapters()]


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
    logging.basicConfig(
        level=logging.DEBUG if options.verbose else logging.INFO,
        format="%(asctime)s %(levelname)s %(message)s",
        stream=sys.stderr,
    )
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
        log.warning(
            "listening on %s for %s without TLS: RFC 2217 has neither authentication nor encryption; "
            "anyone on those networks can use the channels",
            options.bind,
            ", ".join(options.allow),
        )
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
