"""The pseudo-terminals of ozu-qlix-serve (POSIX only; imported by the bridge and the server where there are any)."""

from __future__ import annotations

import sys

assert sys.platform != "win32"  # (also tells type checkers to skip the module there)

import asyncio  # noqa: E402
import errno  # noqa: E402
import fcntl  # noqa: E402
import logging  # noqa: E402
import os  # noqa: E402
import pty  # noqa: E402
import re  # noqa: E402
import select  # noqa: E402
import stat  # noqa: E402
import struct  # noqa: E402
import termios  # noqa: E402
from typing import Any, Callable, Dict, List, Optional  # noqa: E402

log = logging.getLogger("ozu_qlix_serial.serve")

TERMINAL_CHECK = 0.05  # seconds between checks for a program opening a terminal (without inotify)
READ_SIZE = 16384  # bytes read from a terminal at once

_SPEEDS = {getattr(termios, n): int(n[1:]) for n in dir(termios) if re.fullmatch(r"B\d+", n) and n != "B0"}
_SPEED_CODES = {rate: code for code, rate in _SPEEDS.items()}

LINUX = sys.platform.startswith("linux")
_EXTPROC = 0o200000  # Linux: termios changes on the terminal are reported to the master
_TIOCPKT_IOCTL = 0x40  # packet-mode status: the terminal's termios changed


class LinkDirectoryError(Exception):
    """The link directory cannot be used safely."""


class LinkDirectory:
    """The directory of the terminals' links: made with mode 0700 when missing; refused when another
    user owns it or group or others may write it (they could replace a link with one to their own
    terminal). A lock file inside keeps a second server off it while this one runs."""

    LOCK = ".ozu-qlix-serve.lock"

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            os.makedirs(path, mode=0o700, exist_ok=True)
            info = os.stat(path)
        except (OSError, ValueError) as exc:
            raise LinkDirectoryError("link directory %s cannot be used: %s" % (path, exc)) from None
        if not stat.S_ISDIR(info.st_mode):
            raise LinkDirectoryError("link directory %s is not a directory" % path)
        if info.st_uid != os.geteuid():
            raise LinkDirectoryError(
                "link directory %s belongs to user id %d, not to this server's user (%d): "
                "refused" % (path, info.st_uid, os.geteuid())
            )
        if info.st_mode & 0o022:
            raise LinkDirectoryError(
                "link directory %s may be written by group or others (mode %03o): refused; "
                "chmod go-w it or choose another" % (path, stat.S_IMODE(info.st_mode))
            )
        self._lock_path = os.path.join(path, self.LOCK)
        self._fd = self._lock()

    def _lock(self) -> int:
        while True:
            fd = os.open(self._lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                owner = os.read(fd, 32).decode("ascii", "replace").strip() or "unknown"
                os.close(fd)
                raise LinkDirectoryError(
                    "link directory %s is in use by another ozu-qlix-serve (process %s)" % (self.path, owner)
                ) from None
            except BaseException:
                os.close(fd)
                raise
            try:
                same = os.stat(self._lock_path).st_ino == os.fstat(fd).st_ino
            except FileNotFoundError:
                same = False
            if same:  # (else the server before us removed it after we opened it: again)
                os.ftruncate(fd, 0)
                os.write(fd, b"%d\n" % os.getpid())
                return fd
            os.close(fd)

    def close(self) -> None:
        try:
            os.unlink(self._lock_path)
        except OSError:
            pass
        os.close(self._fd)


_PTY = re.compile(r"/dev/pts/\d+|/dev/ttys\d+|/dev/tty[p-za-e][0-9a-f]")  # Linux, macOS, BSD


def make_link(target: str, link: str) -> None:
    """Points `link` at the terminal `target`, replacing only an earlier terminal link."""
    if os.path.lexists(link) and not (os.path.islink(link) and _PTY.fullmatch(os.readlink(link))):
        raise OSError(errno.EEXIST, "%s is in the way (not a terminal link): left alone" % link)
    temporary = "%s.%d.tmp" % (link, os.getpid())
    if os.path.islink(temporary):
        os.unlink(temporary)
    os.symlink(target, temporary)
    os.replace(temporary, link)


class OpenWatch:
    """Linux: inotify on the terminals' device files, so that a program opening one wakes the loop
    (no timer while terminals wait for programs)."""

    _IN_OPEN = 0x20

    def __init__(self, loop: asyncio.AbstractEventLoop, on_open: Callable[[], None]) -> None:
        import ctypes

        self._libc = ctypes.CDLL(None, use_errno=True)
        fd = self._libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.fd, self._loop, self._on_open = fd, loop, on_open
        self._watches: Dict[str, int] = {}
        loop.add_reader(fd, self._read)

    def add(self, path: str) -> None:
        wd = self._libc.inotify_add_watch(self.fd, os.fsencode(path), self._IN_OPEN)
        if wd < 0:
            raise OSError("inotify_add_watch %s failed" % path)
        self._watches[path] = wd

    def remove(self, path: str) -> None:
        wd = self._watches.pop(path, None)
        if wd is not None:
            self._libc.inotify_rm_watch(self.fd, wd)

    def _read(self) -> None:
        try:
            while os.read(self.fd, 4096):
                pass
        except OSError:
            pass  # drained
        self._on_open()
        self._loop.call_later(TERMINAL_CHECK, self._on_open)  # in case the open was not complete yet

    def close(self) -> None:
        self._loop.remove_reader(self.fd)
        os.close(self.fd)


class Terminal:
    """The pseudo-terminal of a channel (POSIX) and its symbolic link.

    The server keeps only the master side. While no program has the terminal open the master
    reports a hang-up; channel input is then dropped. In packet mode, with EXTPROC set on the
    terminal (Linux), each termios change of the program is reported on the master, so a new
    baud rate reaches the channel at once; elsewhere the terminal is checked every 50 ms."""

    def __init__(self, service: Any, link: str, rate: int) -> None:
        self.service = service
        self.link = link
        self.is_open = False
        self.paused = False
        self.rate = rate
        master, slave = pty.openpty()
        try:
            self.tty = os.ttyname(slave)
            attrs = termios.tcgetattr(slave)
            attrs[0] &= ~(
                termios.IGNBRK
                | termios.BRKINT
                | termios.PARMRK
                | termios.ISTRIP
                | termios.INLCR
                | termios.IGNCR
                | termios.ICRNL
                | termios.IXON
            )
            attrs[1] &= ~termios.OPOST
            attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.PARENB)) | termios.CS8 | termios.CLOCAL | termios.CREAD
            attrs[3] &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
            if LINUX:
                attrs[3] |= _EXTPROC
            attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 1, 0
            if rate in _SPEED_CODES:
                attrs[4] = attrs[5] = _SPEED_CODES[rate]
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
            fcntl.ioctl(master, termios.TIOCPKT, struct.pack("i", 1))
        except BaseException:
            os.close(master)
            raise
        finally:
            os.close(slave)
        try:
            os.set_blocking(master, False)
            make_link(self.tty, link)
            watch = service.server.open_watch
            if watch is not None:
                watch.add(self.tty)
        except BaseException:
            os.close(master)
            raise
        self.master = master

    def hung_up(self) -> bool:
        poller = select.poll()
        poller.register(self.master, select.POLLIN)
        return any(event & select.POLLHUP for _, event in poller.poll(0))

    def check(self) -> None:
        """Notices a program opening the terminal (and, off Linux, its termios changes)."""
        if not self.is_open:
            if not self.hung_up():
                self.is_open = True
                self.watch_termios()
                if not self.paused:
                    asyncio.get_running_loop().add_reader(self.master, self.readable)
                log.info("%s: terminal %s opened", self.service.entry.name, self.link)
        elif not LINUX:
            self.watch_termios()

    def watch_termios(self) -> None:
        try:
            attrs = termios.tcgetattr(self.master)
            if LINUX and not attrs[3] & _EXTPROC:  # the program cleared it: set it again at once
                attrs[3] |= _EXTPROC
                termios.tcsetattr(self.master, termios.TCSANOW, attrs)
        except termios.error:
            return
        rate = _SPEEDS.get(attrs[4])
        if rate is not None and rate != self.rate:
            self.rate = rate
            self.service.request_baudrate(rate, self)

    def answer_rate(self, rate: int) -> None:
        """Shows the channel's rate on the terminal (also after a refused change), unless the
        program set another speed meanwhile: that one is then asked for instead."""
        code = _SPEED_CODES.get(rate)
        try:
            attrs = termios.tcgetattr(self.master)
            current = _SPEEDS.get(attrs[4])
            if current is not None and current != self.rate:
                self.rate = current
                self.service.request_baudrate(current, self)
                return
            self.rate = rate
            if code is not None and attrs[4] != code:
                attrs[4] = attrs[5] = code
                termios.tcsetattr(self.master, termios.TCSANOW, attrs)
        except termios.error:
            self.rate = rate

    def readable(self) -> None:
        try:
            data = os.read(self.master, READ_SIZE)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:  # EIO: the last program closed the terminal
            self.is_open = False
            asyncio.get_running_loop().remove_reader(self.master)
            log.info("%s: terminal %s closed", self.service.entry.name, self.link)
            self.service.server.watch_terminals()
            return
        if data[0] == 0:
            if len(data) > 1:
                self.service.from_client(data[1:])
        elif data[0] & _TIOCPKT_IOCTL:
            self.watch_termios()

    def write(self, data: bytes) -> None:
        """Channel input: dropped while no program has the terminal open or reads it."""
        if self.is_open:
            try:
                os.write(self.master, data)
            except OSError:
                pass

    def pause(self, paused: bool) -> None:
        self.paused = paused
        if self.is_open:
            loop = asyncio.get_running_loop()
            if paused:
                loop.remove_reader(self.master)
            else:
                loop.add_reader(self.master, self.readable)

    def close(self) -> None:
        """Hangs up: programs reading the terminal see end of file; the link goes."""
        watch = self.service.server.open_watch
        if watch is not None:
            watch.remove(self.tty)
        if self.is_open:
            asyncio.get_running_loop().remove_reader(self.master)
            self.is_open = False
        os.close(self.master)
        try:
            if os.readlink(self.link) == self.tty:
                os.unlink(self.link)
        except OSError:
            pass


class Terminals:
    """The server's side of its terminals: the link directory, and when the terminals are checked.
    On Linux inotify wakes the loop when a program opens one; without inotify they are checked every
    50 ms while one waits for a program, and off Linux also while a program has one open (for its
    termios changes). LinkDirectoryError when the directory is refused."""

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop,
        link_dir: str,
        terminals: Callable[[], List[Terminal]],
        running: Callable[[], bool],
    ) -> None:
        self.links = LinkDirectory(link_dir)
        self._loop, self._terminals, self._running = loop, terminals, running
        self._timer: Optional[asyncio.TimerHandle] = None
        self.open_watch: Optional[OpenWatch] = None
        if LINUX:
            try:
                self.open_watch = OpenWatch(loop, self.check)
            except OSError as exc:
                log.debug("no inotify (%s): terminals are checked every %g s", exc, TERMINAL_CHECK)
            except BaseException:
                self.links.close()
                raise

    def watch(self) -> None:
        """Checks the terminals in 50 ms (unless inotify watches them or a check is due)."""
        if self.open_watch is None and self._timer is None:
            self._timer = self._loop.call_later(TERMINAL_CHECK, self.check)

    def check(self) -> None:
        self._timer = None
        waiting = False
        for terminal in self._terminals():
            try:
                terminal.check()
            except OSError as exc:
                log.debug("%s: terminal check: %s", terminal.service.entry.name, exc)
            waiting = waiting or not terminal.is_open or not LINUX
        if waiting and self._running():
            self.watch()

    def stop_checks(self) -> None:
        """No more checks (the terminals are closed)."""
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        if self.open_watch is not None:
            self.open_watch.close()
            self.open_watch = None

    def close(self) -> None:
        """Lets go of the link directory."""
        self.stop_checks()
        self.links.close()
