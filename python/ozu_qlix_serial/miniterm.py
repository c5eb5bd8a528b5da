"""pyserial's miniterm on a QLIX channel.

    ozu-qlix-term URL_OR_PORT [BAUD] [miniterm options]

URL_OR_PORT is a ``qlix://`` URL ("qlix://ANY/1") or an ``ozu_qlix`` port name
("QLIXANYS1"); every miniterm option works as in ``python -m serial.tools.miniterm``.
Menu settings the adapter cannot take are refused with a message and the session
goes on; the port chooser lists the QLIX channels first.
"""

from __future__ import annotations

import sys
from typing import Any, List, Optional, Sequence, Tuple

from . import port_url

_INTRO = """\
usage: ozu-qlix-term URL_OR_PORT [BAUD] [miniterm options]

pyserial's miniterm on a channel of a QLIX adapter. URL_OR_PORT is a URL
qlix://<serial number or ANY>/<channel> (qlix://ANY/1) or a port name
(QLIXANYS1, QLIX<serial number>S<channel>); `ozu-qlix-ports` lists them.
QLIX channels run 8N1 without flow control: --parity other than N, --rtscts
and --xonxoff are refused, and so are such changes from the menu (the session
goes on). Exit status: 0 after a normal exit, 1 when the port cannot be opened,
standard input is not a terminal or the session ended with an error, 2 for a
usage error (also: no port given and standard input closed).

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


def port_choices(comports: Any) -> List[Tuple[str, str]]:
    """(port, description) for the port chooser: every QLIX channel (its URL, its port name), then
    the ports `comports()` lists. A listing that fails is left out, with a note on stderr."""
    from .list_ports import adapters

    choices: List[Tuple[str, str]] = []
    try:
        for adapter in adapters():
            choices += [(port["url"], port["name"]) for port in adapter["ports"]]
    except Exception as exc:
        sys.stderr.write("--- QLIX adapters could not be listed: %s\n" % exc)
    try:
        choices += [(info.device, info.description) for info in sorted(comports())]
    except Exception as exc:
        sys.stderr.write("--- serial ports could not be listed: %s\n" % exc)
    return choices


class _NoTerminal(Exception):
    """miniterm's console could not take standard input."""


def _session_class(base: Any) -> Any:
    """miniterm's Miniterm made to survive what a QLIX channel refuses, to end at the end of its input,
    and to keep the error that ended a session (``failure``)."""
    import serial

    class Session(base):  # type: ignore[misc, valid-type]
        failure: Optional[BaseException] = None

        def __init__(self, serial_instance: Any, *args: Any, **kwargs: Any) -> None:
            try:
                super().__init__(serial_instance, *args, **kwargs)
            except Exception as exc:  # the console: standard input closed or not a terminal
                serial_instance.close()
                raise _NoTerminal(str(exc) or type(exc).__name__) from exc
            getkey = self.console.getkey

            def getkey_until_end() -> str:
                try:
                    key = getkey()
                except EOFError:
                    key = ""
                return key or self.exit_character  # the end of input ends the session as Ctrl+] does

            self.console.getkey = getkey_until_end

        def handle_menu_key(self, c: str) -> None:
            try:
                super().handle_menu_key(c)
            except (ValueError, serial.SerialException) as exc:
                if c == "\x02":
                    sys.stderr.write("--- not supported: break (QLIX adapters cannot send one) ---\n")
                else:
                    sys.stderr.write("--- not supported: %s ---\n" % str(exc).replace(" is not supported:", ":", 1))
            except Exception as exc:  # miniterm's own failures (a port change gone wrong)
                sys.stderr.write("--- ERROR: %s ---\n" % exc)
            if self.alive and not self._reader_alive:
                self._start_reader()

        def _failed(self, exc: BaseException) -> None:
            self.failure = self.failure or exc
            self.alive = False
            sys.stderr.write("\n--- ERROR: %s ---\n" % exc)
            try:
                self.console.cancel()
            except Exception:
                pass  # the console's own input ends the writer then

        def reader(self) -> None:
            try:
                super().reader()
            except Exception as exc:
                self._failed(exc)

        def writer(self) -> None:
            try:
                super().writer()
            except Exception as exc:
                self._failed(exc)

    return Session


def _chooser(comports: Any) -> Any:
    """miniterm's ask_for_port, listing the QLIX channels first; a closed standard input ends the
    choice as Ctrl-C does."""

    def ask_for_port() -> str:
        sys.stderr.write("\n--- Available ports:\n")
        choices = port_choices(comports)
        for n, (port, description) in enumerate(choices, 1):
            sys.stderr.write("--- {:2}: {:20} {!r}\n".format(n, port, description))
        while True:
            try:
                answer = input("--- Enter port index or full name: ")
            except EOFError:
                sys.stderr.write("\n--- standard input is closed ---\n")
                raise KeyboardInterrupt from None
            if answer.strip().isdigit():
                index = int(answer) - 1
                if not 0 <= index < len(choices):
                    sys.stderr.write("--- Invalid index!\n")
                    continue
                return choices[index][0]
            return answer

    return ask_for_port


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs miniterm with `argv` (default: the command line); returns the exit status."""
    import serial
    import serial.tools.miniterm as miniterm

    args = list(sys.argv[1:] if argv is None else argv)
    if "-h" in args or "--help" in args:
        sys.stdout.write(_INTRO)
        sys.stdout.flush()
    sessions: List[Any] = []
    session_class = _session_class(miniterm.Miniterm)

    def session(*session_args: Any, **session_kwargs: Any) -> Any:
        made = session_class(*session_args, **session_kwargs)
        sessions.append(made)
        return made

    # miniterm's main looks these up when it runs: ours stand in for the session.
    patched = {"Miniterm": session, "ask_for_port": _chooser(lambda: getattr(miniterm, "comports")())}
    saved = sys.argv, serial.serial_for_url, {name: getattr(miniterm, name) for name in patched}
    sys.argv = ["ozu-qlix-term"] + args
    serial.serial_for_url = _open_for_miniterm(serial.serial_for_url)
    for name, value in patched.items():
        setattr(miniterm, name, value)
    try:
        miniterm.main()
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else (0 if exit_.code is None else 1)
    except _NoTerminal as exc:
        sys.stderr.write("ozu-qlix-term: standard input must be a terminal (%s)\n" % exc)
        return 1
    finally:
        sys.argv, serial.serial_for_url, originals = saved
        for name, value in originals.items():
            setattr(miniterm, name, value)
    return 1 if any(s.failure is not None for s in sessions) else 0


if __name__ == "__main__":
    sys.exit(main())
