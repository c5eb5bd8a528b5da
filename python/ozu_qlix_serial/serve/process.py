"""What ozu-qlix-serve does as a process: signals from its first moment, the stderr texts of the
module as log records, systemd's readiness notification."""

from __future__ import annotations

import logging
import os
import signal
import socket
import threading
from typing import Any, Dict, List


class EarlyStop:
    """SIGTERM, SIGINT and SIGBREAK from the first moment of main(): before the loop runs they are
    remembered, then they stop the server."""

    NAMES = ("SIGTERM", "SIGINT", "SIGBREAK")

    def __init__(self) -> None:
        self.requested = False
        self.server: Any = None  # a serve.Server
        self._previous: Dict[int, Any] = {}
        for name in self.NAMES:
            number = getattr(signal, name, None)
            if number is not None:
                try:
                    self._previous[number] = signal.signal(number, self._handle)
                except (OSError, ValueError):  # not the main thread: the caller handles signals
                    pass

    def _handle(self, *_: Any) -> None:
        self.requested = True
        server = self.server
        if server is not None and server.loop is not None:
            try:
                server.loop.call_soon_threadsafe(server.stop)
            except RuntimeError:
                pass

    @property
    def numbers(self) -> List[int]:
        """The signals handled here."""
        return list(self._previous)

    def restore(self) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)


class StderrLog:
    """Stands for sys.stderr while the server runs: each text written (the module's reports carry
    no line end) becomes one log record, so a report never runs into the next log line."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self._inside = threading.local()
        self.encoding = getattr(stream, "encoding", "utf-8")

    def write(self, text: str) -> int:
        if getattr(self._inside, "active", False):  # logging's own trouble report: as it is
            return int(self._stream.write(text))
        message = str(text).rstrip("\r\n")
        if message:
            self._inside.active = True
            try:
                logging.getLogger("ozu_qlix").warning("%s", message)
            finally:
                self._inside.active = False
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    def fileno(self) -> int:
        return int(self._stream.fileno())


def notify_ready() -> None:
    """Tells systemd (Type=notify) that every port is bound."""
    address = os.environ.get("NOTIFY_SOCKET")
    if not address or not hasattr(socket, "AF_UNIX"):
        return
    if address.startswith("@"):
        address = "\0" + address[1:]
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
            sock.sendto(b"READY=1\nSTATUS=serving", address)
    except OSError as exc:
        logging.getLogger("ozu_qlix_serial.serve").warning(
            "cannot notify systemd at %s: %s", os.environ["NOTIFY_SOCKET"], exc
        )
