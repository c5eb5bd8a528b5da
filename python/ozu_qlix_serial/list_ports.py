"""List the attached QLIX adapters and their channels' port names and URLs.

    ozu-qlix-ports [-v] [--json]
    ozu-qlix-ports --udev-rule

Works like ``python -m serial.tools.list_ports`` for QLIX channels: one line per
channel with its port name (for ``ozu_qlix.Serial``) and its URL (for
``serial.serial_for_url``). Exits 1, with a message on stderr, when no adapter
is attached. ``--udev-rule`` prints the udev rule that lets a user without root
open the adapters on Linux, touching no hardware.
"""

from __future__ import annotations

import argparse
import importlib.resources
import json
import sys
from typing import Any, Dict, List, Optional, Sequence

from . import _extension


def adapters(firmware: bool = False) -> List[Dict[str, Any]]:
    """Every attached adapter: serial number, channel count, firmware version (when asked) and ports.

    Each port is a dict with its channel number, port name and URL. Adapters opened here to ask
    them are closed again; adapters with open channels are left as they are.
    """
    import ozu_qlix

    already_open = set(_extension.registered_adapters())
    found = []
    try:
        for serial_number in ozu_qlix.list_serial_numbers():
            device = ozu_qlix.get_hid_device(serial_number)
            count = device.channel_count
            entry: Dict[str, Any] = {"serial_number": serial_number, "channels": count}
            if firmware:
                entry["firmware"] = device.firmware_version
            entry["ports"] = [
                {
                    "channel": ch,
                    "name": _extension.port_name(serial_number, ch),
                    "url": _extension.url(serial_number, ch),
                }
                for ch in range(1, count + 1)
            ]
            found.append(entry)
    finally:
        for serial_number, device in _extension.registered_adapters().items():
            if serial_number not in already_open:
                _extension.close_if_idle(device)
    return found


UDEV_RULE_FILE = "60-ozu-qlix.rules"


def udev_rule() -> str:
    """The udev rule file (Linux) that gives the logged-in user and the group plugdev access to the adapters."""
    return importlib.resources.files(__package__).joinpath(UDEV_RULE_FILE).read_text(encoding="utf-8")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ozu-qlix-ports",
        description="List the attached QLIX adapters and their channels' port names and URLs.",
        epilog="Exit status: 0 when an adapter is listed, 1 when none is attached or the listing fails, "
        "2 for a usage error.",
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="show each adapter's firmware version")
    parser.add_argument("--json", action="store_true", help="print the listing as JSON")
    parser.add_argument(
        "--udev-rule",
        action="store_true",
        help="print the udev rule that lets users without root open the adapters (Linux), "
        "for /etc/udev/rules.d/%s, and exit" % UDEV_RULE_FILE,
    )
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command with `argv` (default: the command line) and returns its exit status."""
    args = _parser().parse_args(argv)
    if args.udev_rule:
        sys.stdout.write(udev_rule())
        return 0
    try:
        found = adapters(firmware=args.verbose)
    except Exception as exc:
        sys.stderr.write("ozu-qlix-ports: listing failed: %s: %s\n" % (type(exc).__name__, exc))
        return 1
    if args.json:
        print(json.dumps(found, indent=2, ensure_ascii=False))
    else:
        for adapter in found:
            count = adapter["channels"]
            line = "%s: %d channel%s" % (adapter["serial_number"], count, "" if count == 1 else "s")
            if args.verbose:
                line += ", firmware %s" % adapter["firmware"]
            print(line)
            for port in adapter["ports"]:
                print("  %-22s %s" % (port["name"], port["url"]))
    if not found:
        sys.stderr.write("ozu-qlix-ports: no QLIX adapter is attached\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
