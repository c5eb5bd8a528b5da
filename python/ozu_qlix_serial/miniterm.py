"""pyserial's miniterm on a QLIX channel.

    ozu-qlix-term URL_OR_PORT [BAUD] [miniterm options]

URL_OR_PORT is a ``qlix://`` URL ("qlix://ANY/1") or an ``ozu_qlix`` port name
("QLIXANYS1"); every miniterm option works as in ``python -m serial.tools.miniterm``.
"""

from __future__ import annotations

import sys
from typing import Any, Optional, Sequence

from . import port_url

_INTRO = """\
usage: ozu-qlix-term URL_OR_PORT [BAUD] [miniterm options]

pyserial's miniterm on a channel of a QLIX adapter. URL_OR_PORT is a URL
qlix://<serial number or ANY>/<channel> (qlix://ANY/1) or a port name
(QLIXANYS1, QLIX<serial number>S<channel>); `ozu-qlix-ports` lists them.
QLIX channels run 8N1 without flow control: --parity other than N, --rtscts
and --xonxoff are refused. Exit status: 0 after a normal exit, 1 when the port
cannot be opened, 2 for a usage error.

miniterm's own options follow.

"""


def _open_for_miniterm(serial_for_url: Any) -> Any:
    """serial_for_url that also takes QLIX port names, and reports settings the
    adapter refuses as miniterm reports ports that do not open."""
    import serial

    def open_url(url: Any, *args: Any, **kwargs: Any) -> Any:
        if isinstance(url, str) and "://" not in url and url.upper().startswith("QLIX"):
            url = port_url(url)
        try:
            return serial_for_url(url, *args, **kwargs)
        except ValueError as exc:
            raise serial.SerialException(str(exc)) from exc

    return open_url


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs miniterm with `argv` (default: the command line); returns the exit status."""
    import serial
    import serial.tools.miniterm as miniterm

    args = list(sys.argv[1:] if argv is None else argv)
    if "-h" in args or "--help" in args:
        sys.stdout.write(_INTRO)
        sys.stdout.flush()
    saved = sys.argv, serial.serial_for_url
    sys.argv = ["ozu-qlix-term"] + args
    serial.serial_for_url = _open_for_miniterm(serial.serial_for_url)
    try:
        miniterm.main()
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else (0 if exit_.code is None else 1)
    finally:
        sys.argv, serial.serial_for_url = saved
    return 0


if __name__ == "__main__":
    sys.exit(main())
