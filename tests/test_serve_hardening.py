"""ozu-qlix-serve left running and exposed: its settings' checks, the link directory, failing
at start instead of serving less, port modes, TLS, readiness, signals, log records and races."""

import asyncio
import os
import re
import shutil
import socket
import ssl
import subprocess
import threading
import types

import pytest
from serial import rfc2217

from ozu_qlix_serial import serve
from conftest import start_child, wait_until
from test_serve import POSIX, SERIAL, PAYLOAD, connect, receive, start  # noqa: F401  (start: a fixture)

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:serial.rfc2217")

NAME1, NAME2 = "QLIX%sS1" % SERIAL, "QLIX%sS2" % SERIAL
TLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tls")
posix_only = pytest.mark.skipif(not POSIX, reason="POSIX only")


def start_error(**settings):
    settings.setdefault("port_base", 0)
    with pytest.raises(serve.StartError) as info:
        asyncio.run(serve.Server(serve.Options(**settings)).run())
    return info.value


def _table(key, value):
    return '[tcp_ports]\n"%s" = %s\n' % (NAME1, value) if key == "port" else "%s = %s\n" % (key, value)


@pytest.mark.parametrize(
    "config, argv, message",
    [
        *[
            (_table("port", v), [], "tcp_ports.%s = %s: expected an integer from 1 to 65535" % (NAME1, shown))
            for v, shown in [("70000", "70000"), ("-5", "-5"), ('"ssh"', "'ssh'"), ("true", "True"), ("1.5", "1.5")]
        ],
        *[(_table("scan_interval", v), [], "scan_interval = %s: expected a finite" % v) for v in ["0", "-1", "inf"]],
        (_table("link_dir", '"/tmp/a\\u0000b"'), [], "link_dir = '/tmp/a\\x00b'"),
        ('[channels."qlix://%s/2"]\nmode = "ssh"\n' % SERIAL, [], "channels.qlix://%s/2.mode = 'ssh'" % SERIAL),
        (
            '[tcp_ports]\n"%s" = 7100\n[channels."%s"]\ntcp_port = 7100\n' % (NAME1, NAME2),
            [],
            "TCP port 7100 is given to both %s and %s" % (NAME1, NAME2),
        ),
        ("a = " + "[" * 3000 + "]" * 3000 + "\n", [], ": not a valid TOML file"),
        ("port_base = = 1\n", [], ": not a valid TOML file"),
        (None, ["--baudrate", "0"], "--baudrate 0: expected an integer above 0"),
        (None, ["--tls-cert", "/nonexistent/cert.pem"], "TLS certificate /nonexistent/cert.pem: "),
        (None, ["/dev/ttyUSB0"], "'/dev/ttyUSB0' is not a serial number"),
        (None, ["qlix://%s/9" % SERIAL], "adapter %s has 4 channels: no channel 9" % SERIAL),
        (None, ["--port-base", "65534"], "--port-base 65534: no TCP port left for %s" % "QLIX%sS3" % SERIAL),
    ],
    ids=lambda v: v[:24] if isinstance(v, str) else None,
)
def test_bad_setting_exits_2_naming_it(sim, tmp_path, capsys, caplog, config, argv, message):
    sim.add_adapter(SERIAL, channels=4)
    path = tmp_path / "serve.toml"
    if config is not None:
        path.write_text(config)
        argv = ["--config", str(path), *argv]
    assert serve.main([*argv, "--no-terminals"]) == 2
    output = capsys.readouterr().err + caplog.text
    assert message in output and (config is None or str(path) in output), output
    assert "serve started" not in caplog.text


@posix_only
@pytest.mark.parametrize("case", ["other-owner", "group-writable", "second-server", "missing"])
def test_link_directory_nobody_else_controls(sim, start, tmp_path, case):
    links = tmp_path / "links"
    if case != "missing":
        links.mkdir(mode=0o700)
    if case == "other-owner":
        if os.geteuid() != 0:
            pytest.skip("giving a directory away needs root")
        os.chown(links, 4321, -1)
        message = "belongs to user id 4321"
    elif case == "group-writable":
        os.chmod(links, 0o777)
        message = "may be written by group or others (mode 777)"
    elif case == "second-server":
        start(link_dir=str(links))
        message = "is in use by another ozu-qlix-serve (process %d)" % os.getpid()
    else:
        start(link_dir=str(links))
        assert os.stat(links).st_mode & 0o777 == 0o700
        return
    assert message in str(start_error(link_dir=str(links)))


@posix_only
def test_file_at_a_link_path_is_left_alone_and_nothing_leaks(sim, start, tmp_path, caplog):
    caplog.set_level("INFO")
    adapter = sim.add_adapter(SERIAL, channels=2)
    links = tmp_path / "links"
    links.mkdir(mode=0o700)
    (links / NAME1).write_text("not a link")
    server = start(link_dir=str(links))
    assert wait_until(lambda: server.served(2))
    fds = len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
    for _ in range(6):
        adapter.unplug()
        assert wait_until(lambda: not server.served(1))
        adapter = adapter.replug()
        assert wait_until(lambda: server.served(1) and server.served(2))
    assert wait_until(lambda: os.path.islink(links / NAME2))
    assert (links / NAME1).read_text() == "not a link"
    assert server.service(1).terminal is None and "is in the way" in caplog.text
    with connect(server.tcp(1)) as client:  # its TCP port serves all the same
        client.sendall(b"tcp")
        assert receive(client, 3) == b"tcp"
    if fds is not None:
        assert len(os.listdir("/proc/self/fd")) <= fds + 2  # not one pty per plug
    server.stop()
    assert (links / NAME1).read_text() == "not a link"


@pytest.mark.parametrize("keep_going", [False, True], ids=["exits", "keep-going"])
def test_port_that_cannot_be_bound_is_never_served(sim, start, caplog, keep_going):
    caplog.set_level("INFO")
    sim.add_adapter(SERIAL, channels=2)
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        settings = dict(tcp_ports={NAME1: port}, link_dir=None, scan_interval=0.05)
        reason = "%s not served: cannot listen on 127.0.0.1 port %d" % (NAME1, port)
        if not keep_going:
            error = start_error(**settings)
            assert reason in str(error) and error.status == 1
            return
        server = start(keep_going=True, **settings)
        assert server.served(2) and server.service(1) is None
    plugged = [m for m in caplog.messages if m.startswith("plugged")]
    assert reason in caplog.text and plugged == ["plugged %s: %s on %d" % (SERIAL, NAME2, server.tcp(2))]


def test_adapter_failing_while_plugged_leaves_the_scan_running(sim, start, caplog):
    caplog.set_level("INFO")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        server = start(select=[SERIAL, "0123456789CD"], tcp_ports={NAME1: port}, link_dir=None)
        assert "served when plugged in: 0123456789AB, 0123456789CD" in caplog.text
        sim.add_adapter(SERIAL, channels=2)
        assert wait_until(lambda: server.served(2))
        assert server.service(1) is None and "cannot listen on 127.0.0.1 port %d" % port in caplog.text
        other = sim.add_adapter("0123456789CD", channels=1)
        with connect(server.tcp(1, other.serial)) as client:
            client.sendall(b"later")
            assert receive(client, 5) == b"later"


def _telnet_data(sock, size):
    """`size` data bytes from a Telnet stream (negotiation dropped, IAC IAC single)."""
    data, negotiation = b"", b""
    while len(data) < size:
        part = sock.recv(65536)
        assert part, data
        data += part
        while True:  # negotiation the server sends first: IAC command option
            match = re.match(rb"(\xff[\xfb-\xfe].)", data, re.S)
            if not match:
                break
            negotiation += match.group(1)
            data = data[3:]
        size_now = data.replace(b"\xff\xff", b"\xff")
        if len(size_now) >= size:
            return size_now, negotiation
    return data.replace(b"\xff\xff", b"\xff"), negotiation


def test_modes_and_settings_per_channel(sim, start):
    adapter = sim.add_adapter(SERIAL, channels=2)
    server = start(
        mode="telnet", channels={NAME2: serve.ChannelSettings(mode="raw", baudrate=57600, max_connections=2)}
    )
    assert adapter.channel_rate(1) == serve.DEFAULT_BAUDRATE and adapter.channel_rate(2) == 57600
    with connect(server.tcp(2)) as raw, connect(server.tcp(2)) as second:  # raw: every byte both ways
        assert wait_until(lambda: len(server.service(2).clients) == 2)
        raw.sendall(b"\x01\xff\x02" + PAYLOAD)
        assert receive(raw, 3 + len(PAYLOAD)) == b"\x01\xff\x02" + PAYLOAD
        assert receive(second, 3 + len(PAYLOAD)) == b"\x01\xff\x02" + PAYLOAD
        assert adapter.received(2) == b"\x01\xff\x02" + PAYLOAD
    with connect(server.tcp(1)) as telnet:  # Telnet without COM-PORT: 0xFF doubled both ways
        option = rfc2217.COM_PORT_OPTION
        telnet.sendall(
            rfc2217.IAC
            + rfc2217.DO
            + option
            + rfc2217.IAC
            + rfc2217.WILL
            + option
            + PAYLOAD.replace(b"\xff", b"\xff\xff")
        )
        data, negotiation = _telnet_data(telnet, len(PAYLOAD))
        assert data == PAYLOAD and adapter.received(1) == PAYLOAD
        assert rfc2217.WILL + option not in negotiation and rfc2217.DO + option not in negotiation
        assert wait_until(lambda: adapter.channel_rate(1) == serve.DEFAULT_BAUDRATE)


def _tls_client(cert):
    context = ssl.create_default_context(cafile=os.path.join(TLS, "ca.pem"))
    if cert:
        context.load_cert_chain(os.path.join(TLS, "client.pem"), os.path.join(TLS, "client.key"))
    return context


@pytest.mark.parametrize(
    "client_ca, client_cert",
    [(False, False), (True, True), (True, False)],
    ids=["server-only", "client-cert", "client-cert-missing"],
)
def test_tls(sim, start, client_ca, client_cert):
    sim.add_adapter(SERIAL, channels=1)
    server = start(
        tls_cert=os.path.join(TLS, "server.pem"),
        tls_key=os.path.join(TLS, "server.key"),
        tls_client_ca=os.path.join(TLS, "ca.pem") if client_ca else None,
    )
    with connect(server.tcp(1)) as plain:
        with _tls_client(client_cert).wrap_socket(plain, server_hostname="localhost") as sock:
            if client_ca and not client_cert:
                try:  # (with TLS 1.3 the refusal comes after the handshake)
                    sock.sendall(b"x")
                    answer = sock.recv(10)
                except (ssl.SSLError, ConnectionError):
                    answer = b""
                assert answer == b"" and not server.service(1).clients
                return
            sock.sendall(PAYLOAD.replace(b"\xff", b""))
            assert receive(sock, 510) == PAYLOAD.replace(b"\xff", b"")


@pytest.mark.skipif(shutil.which("openssl") is None, reason="no openssl command")
def test_tls_raw_port_with_openssl_s_client(sim, start):
    sim.add_adapter(SERIAL, channels=1)
    server = start(mode="raw", tls_cert=os.path.join(TLS, "server.pem"), tls_key=os.path.join(TLS, "server.key"))
    client = subprocess.Popen(
        [
            "openssl",
            "s_client",
            "-connect",
            "127.0.0.1:%d" % server.tcp(1),
            "-quiet",
            "-CAfile",
            os.path.join(TLS, "ca.pem"),
            "-verify_return_error",
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
    )
    try:
        client.stdin.write(bytes(range(256)))
        client.stdin.flush()
        assert client.stdout.read(256) == bytes(range(256))
    finally:
        client.kill()
        client.communicate()


@pytest.mark.skipif(not hasattr(socket, "AF_UNIX") or not POSIX, reason="Unix datagram sockets")
def test_ready_is_notified_once_ports_are_bound(sim, start, tmp_path, monkeypatch):
    sim.add_adapter(SERIAL, channels=2)
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(str(tmp_path / "notify"))
        notify.settimeout(10)
        monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))
        server = start()
        assert notify.recv(100).split(b"\n")[0] == b"READY=1"
        for channel in (1, 2):
            connect(server.service(channel).tcp_port).close()


@pytest.mark.skipif(not POSIX, reason="signals and FIFOs")
def test_sigterm_while_starting_exits_cleanly(vbus, tmp_path):
    fifo = str(tmp_path / "serve.toml")
    os.mkfifo(fifo)
    child = start_child(
        "from ozu_qlix_serial.serve import main\nraise SystemExit(main(['--config', %r, '--no-terminals']))" % fifo
    )
    try:
        with open(fifo, "w") as config:  # returns once the child is reading its configuration
            child.terminate()
            config.write("port_base = 0\n")
        out, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err


@pytest.mark.skipif(not POSIX, reason="signals")
def test_module_report_is_one_log_record(vbus, tmp_path):
    # Each line from stdin unplugs or replugs the adapter; whether the module reports the lost
    # adapter depends on which side notices first, so this unplugs until it has (at most 5 times).
    child = start_child(
        "import sys, ozu_qlix_sim; ozu_qlix_sim.use(); adapter = [ozu_qlix_sim.add_adapter(%r, channels=1)]\n"
        "import threading; from ozu_qlix_serial.serve import main\n"
        "def plug():\n"
        "    for _ in sys.stdin:\n"
        "        adapter[0] = adapter[0].replug() if not adapter[0].plugged else adapter[0].unplug() or adapter[0]\n"
        "threading.Thread(target=plug, daemon=True).start()\n"
        "raise SystemExit(main(['--port-base', '0', '--link-dir', %r]))" % (SERIAL, str(tmp_path / "links")),
        stdin=subprocess.PIPE,
    )
    lines = [""]

    def until(word):
        while word not in lines[-1]:
            lines.append(child.stderr.readline())
            assert lines[-1], lines

    def reported():
        return any("WARNING" in line and "QLIX%sS" % SERIAL in line for line in lines)

    try:
        until(" INFO plugged")
        for _ in range(5):
            child.stdin.write("unplug\n")
            child.stdin.flush()
            until(" INFO unplugged")
            if reported():
                break
            child.stdin.write("replug\n")
            child.stdin.flush()
            until(" INFO plugged")
        child.terminate()
        out, err = child.communicate(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    lines += err.splitlines(True)
    stamped = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d+ [A-Z]+ ")
    assert all(stamped.match(line) for line in lines if line.strip()), lines
    assert reported(), lines


class _Port:
    """A qlix:// port whose baud-rate change waits for `gate`."""

    def __init__(self, gate=None):
        self.rate, self.gate, self.in_waiting = 9600, gate, 0

    @property
    def baudrate(self):
        return self.rate

    @baudrate.setter
    def baudrate(self, rate):
        if self.gate is not None:
            assert self.gate.wait(10)
        self.rate = rate

    def read(self, size):
        return b""

    def set_event_callback(self, callback):
        pass


class _Waiter:
    def __init__(self):
        self.rates = []

    def answer_rate(self, rate):
        self.rates.append(rate)


def test_baud_rate_asked_after_a_replug_is_applied():
    async def scenario():
        server = serve.Server(serve.Options(link_dir=None), use_descriptors=False)
        server.loop = asyncio.get_running_loop()
        service = serve.ChannelService(server, serve.Entry(NAME1, "qlix://%s/1" % SERIAL, SERIAL, 1, 0, None))
        gate, old, new, waiter = threading.Event(), None, _Port(), _Waiter()
        old = _Port(gate)
        service.attach(old)
        service.request_baudrate(19200, _Waiter())  # under way on the old port when it is unplugged
        await asyncio.sleep(0.05)
        service.detach()
        service.attach(new)
        service.request_baudrate(38400, waiter)
        gate.set()
        for _ in range(500):
            if waiter.rates:
                break
            await asyncio.sleep(0.01)
        return new.rate, waiter.rates

    assert asyncio.run(scenario()) == (38400, [38400])


@posix_only
def test_terminal_speed_set_while_an_answer_is_due_wins(tmp_path):
    import termios
    from ozu_qlix_serial.serve.terminal import Terminal

    asked = []
    service = types.SimpleNamespace(
        server=types.SimpleNamespace(open_watch=None), request_baudrate=lambda rate, waiter: asked.append(rate)
    )
    terminal = Terminal(service, str(tmp_path / NAME1), 9600)
    fd = os.open(tmp_path / NAME1, os.O_RDWR | os.O_NOCTTY)
    try:

        def set_speed(code):
            attrs = termios.tcgetattr(fd)
            attrs[4] = attrs[5] = code
            termios.tcsetattr(fd, termios.TCSANOW, attrs)

        set_speed(termios.B19200)
        terminal.watch_termios()
        set_speed(termios.B38400)  # before the adapter confirmed 19200
        terminal.answer_rate(19200)
        assert termios.tcgetattr(fd)[4] == termios.B38400 and asked == [19200, 38400]
    finally:
        os.close(fd)
        terminal.close()
    assert not os.path.lexists(tmp_path / NAME1)


def test_fuzz_input_side(sim, start):
    import random
    import serve_fuzz

    sim.set_paced(False)
    adapter = sim.add_adapter(SERIAL, channels=3)
    server = start(link_dir=None)
    ran, failures = serve_fuzz.run(
        adapter, server.tcp(1), server.tcp(2), lambda: not server.service(1).clients, random.Random(29), 150
    )
    assert ran == 150 and not failures, failures
