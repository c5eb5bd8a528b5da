"""ozu-qlix-serve end to end over virtual adapters: RFC 2217 and raw TCP clients, terminals,
hot-plug, connection limits, shutdown by signal and hostile input."""

import asyncio
import os
import select
import signal
import socket
import threading

import pytest
import serial
from hypothesis import given, settings, strategies as st
from serial import rfc2217

import ozu_qlix_serial  # noqa: F401  (registers qlix://)
from ozu_qlix_serial import serve
from ozu_qlix_serial.serve import client as serve_client, telnet

if os.name != "nt":
    from ozu_qlix_serial.serve import terminal as serve_terminal
from conftest import assert_released, start_child, wait_until

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:serial.rfc2217")

SERIAL = "0123456789AB"
POSIX = os.name != "nt"


class Running:
    """A server on its own loop in a thread of the test process."""

    def __init__(self, options, use_descriptors=None):
        self.server = serve.Server(options, use_descriptors)
        self.failure = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        assert wait_until(
            lambda: self.server.started is not None and self.server.started.is_set() or self.failure is not None, 10
        )
        assert self.failure is None, self.failure

    def _run(self):
        try:
            asyncio.run(self.server.run())
        except BaseException as exc:  # shown by the test that started it
            self.failure = exc

    def service(self, channel, serial_number=SERIAL):
        return self.server.services.get("QLIX%sS%d" % (serial_number, channel))

    def served(self, channel, serial_number=SERIAL):
        service = self.service(channel, serial_number)
        return service is not None and service.port is not None

    def tcp(self, channel, serial_number=SERIAL):
        assert wait_until(lambda: self.served(channel, serial_number), 10)
        return self.service(channel, serial_number).tcp_port

    def stop(self):
        if self.server.loop.is_closed():  # stopped already
            return
        self.server.loop.call_soon_threadsafe(self.server.stop)
        self.thread.join(10)
        assert not self.thread.is_alive()
        assert self.failure is None, self.failure


@pytest.fixture
def start(sim, tmp_path, watchdog):
    """Starts servers (port numbers chosen by the system, terminals under tmp_path) and stops them
    afterwards, checking that every adapter was released."""
    running = []

    def start_server(use_descriptors=None, **settings_):
        settings_.setdefault("port_base", 0)
        settings_.setdefault("scan_interval", 0.05)
        settings_.setdefault("link_dir", str(tmp_path / "links") if POSIX else None)
        server = Running(serve.Options(**settings_), use_descriptors)
        running.append(server)
        return server

    yield start_server
    for server in running:
        server.stop()
    assert_released(sim)


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    return sock


def receive(sock, size):
    """Exactly `size` bytes from `sock` (fewer only at end of file)."""
    data = b""
    while len(data) < size:
        part = sock.recv(size - len(data))
        if not part:
            break
        data += part
    return data


def rfc2217_port(tcp_port, **settings_):
    return serial.serial_for_url("rfc2217://127.0.0.1:%d" % tcp_port, timeout=5, **settings_)


PAYLOAD = bytes(range(256)) * 2  # IAC (255) included: doubled on the wire, single at both ends


@pytest.mark.parametrize("use_descriptors", [None, False], ids=["platform", "event-callback"])
def test_rfc2217_client_round_trip_and_baud_rate(sim, start, use_descriptors):
    adapter = sim.add_adapter(SERIAL, channels=2)
    server = start(use_descriptors)
    with rfc2217_port(server.tcp(1), baudrate=57600) as port:
        assert adapter.channel_rate(1) == 57600
        port.write(PAYLOAD)
        assert port.read(len(PAYLOAD)) == PAYLOAD
        port.baudrate = 19200
        assert adapter.channel_rate(1) == 19200
        assert not (port.cts or port.dsr or port.ri or port.cd)  # as the qlix:// port reports them
    assert adapter.channel_open(1)  # the client left; the channel stays open for the next one
    with rfc2217_port(server.tcp(1), baudrate=19200) as port:
        port.write(b"again")
        assert port.read(5) == b"again"


def test_unsupported_setting_is_answered_with_the_real_one(sim, start):
    adapter = sim.add_adapter(SERIAL, channels=1)
    server = start()
    with rfc2217_port(server.tcp(1), baudrate=9600) as port:
        for setting, value in [
            ("parity", serial.PARITY_EVEN),
            ("bytesize", serial.SEVENBITS),
            ("stopbits", serial.STOPBITS_TWO),
            ("baudrate", 38400),
        ]:
            if setting == "baudrate":  # the adapter reports another rate than the one set
                adapter.set_reply_fault(sim.ReplyFault.WRONG_RATE, sim.Scope.CHANNEL)
            with pytest.raises(ValueError, match="remote rejected value"):
                setattr(port, setting, value)
            adapter.set_reply_fault(sim.ReplyFault.NONE)
            setattr(
                port,
                setting,
                {
                    "parity": serial.PARITY_NONE,
                    "bytesize": serial.EIGHTBITS,
                    "stopbits": serial.STOPBITS_ONE,
                    "baudrate": 9600,
                }[setting],
            )
            port.write(b"still served")
            assert port.read(12) == b"still served"
        assert adapter.channel_rate(1) == 9600


def test_raw_tcp_client_gets_data_only(sim, start):
    sim.add_adapter(SERIAL, channels=1)
    server = start()
    with connect(server.tcp(1)) as sock:
        sock.sendall(b"plain data\r\n")
        assert receive(sock, 12) == b"plain data\r\n"  # no Telnet negotiation in front


@pytest.mark.parametrize("use_descriptors", [None, False], ids=["platform", "event-callback"])
def test_stream_larger_than_the_queues_arrives_intact(sim, start, use_descriptors):
    # Channels 1 and 2 wired together: channel 1 gets no input, so only the room coming free in its
    # output queue wakes the server to send the rest.
    sim.set_paced(False)
    sim.add_adapter(SERIAL, channels=2, pairing=True)
    server = start(use_descriptors)
    data = bytes(i % 251 for i in range(1 << 19))  # no IAC: raw clients; 8 times the port's output queue
    with connect(server.tcp(1)) as sender, connect(server.tcp(2)) as receiver:
        assert wait_until(lambda: len(server.service(2).clients) == 1)
        thread = threading.Thread(target=sender.sendall, args=(data,))
        thread.start()
        try:
            assert receive(receiver, len(data)) == data
        finally:
            thread.join(30)


@pytest.mark.skipif(not POSIX, reason="pseudo-terminals are POSIX only")
@pytest.mark.parametrize("opener", ["pyserial", "termios"])
@pytest.mark.parametrize("checks", ["platform", "polled"])
def test_terminal_path(sim, start, caplog, monkeypatch, opener, checks):
    import termios

    caplog.set_level("INFO")
    adapter = sim.add_adapter(SERIAL, channels=2)
    if checks == "polled":  # as off Linux: no inotify, no EXTPROC; opens and termios changes are polled
        monkeypatch.setattr(serve_terminal, "LINUX", False)
        server = start(select=["QLIX%sS2" % SERIAL])  # (no other terminal waiting to keep the checks going)
    else:
        server = start()
    path = server.service(2).entry.path if wait_until(lambda: server.served(2)) else None
    assert os.path.islink(path) and path.endswith("QLIX%sS2" % SERIAL)
    if opener == "pyserial":
        with serial.Serial(path, 19200, timeout=5) as port:
            assert wait_until(lambda: adapter.channel_rate(2) == 19200)
            port.write(b"through the terminal\n")
            assert port.readline() == b"through the terminal\n"
            port.baudrate = 57600
            assert wait_until(lambda: adapter.channel_rate(2) == 57600)
        assert wait_until(lambda: "terminal %s closed" % path in caplog.text)
        assert "terminal %s opened" % path in caplog.text
        return
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        attrs = termios.tcgetattr(fd)
        attrs[4] = attrs[5] = termios.B38400
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        assert wait_until(lambda: adapter.channel_rate(2) == 38400)
        os.write(fd, b"termios")
        data = b""
        while len(data) < 7 and select.select([fd], [], [], 5)[0]:
            data += os.read(fd, 7 - len(data))
        assert data == b"termios"
    finally:
        os.close(fd)


@pytest.mark.skipif(not POSIX, reason="pseudo-terminals are POSIX only")
def test_terminal_input_is_dropped_while_no_program_holds_it(sim, start):
    adapter = sim.add_adapter(SERIAL, channels=1)
    server = start(max_connections=2)
    with connect(server.tcp(1)) as witness:
        assert wait_until(lambda: len(server.service(1).clients) == 1)
        adapter.inject(1, b"nobody listens")
        assert receive(witness, 14) == b"nobody listens"  # the server has handled it
        with serial.Serial(server.service(1).entry.path, timeout=0.3) as port:
            assert port.read(100) == b""


def test_hot_plug(sim, start):
    adapter = sim.add_adapter(SERIAL, channels=2)
    server = start()
    tcp = server.tcp(1)
    path = server.service(1).entry.path
    client = connect(tcp)
    reader = os.open(path, os.O_RDWR | os.O_NOCTTY) if POSIX else None
    try:
        client.sendall(b"x")
        assert receive(client, 1) == b"x"
        adapter.unplug()
        assert client.recv(100) == b""  # disconnected
        if reader is not None:
            assert wait_until(lambda: not os.path.lexists(path))
            try:
                assert os.read(reader, 100) == b""  # hung up
            except OSError:
                pass  # EIO: hung up as well
    finally:
        client.close()
        if reader is not None:
            os.close(reader)
    assert wait_until(lambda: not server.served(1))
    with connect(tcp) as refused:  # the port stays ours while the adapter is away
        assert b"not attached" in refused.recv(200)
    adapter = adapter.replug()
    assert server.tcp(1) == tcp and server.service(1).entry.path == path
    with connect(tcp) as client:
        client.sendall(b"back")
        assert receive(client, 4) == b"back"
    if POSIX:
        assert os.path.islink(path)
    other = sim.add_adapter("0123456789CD", channels=1)  # plugged while the server runs
    assert server.tcp(1, other.serial) not in (0, tcp)


@pytest.mark.parametrize(
    "settings_, first_kept, second_kept",
    [
        ({}, True, False),
        ({"takeover": True}, False, True),
        ({"max_connections": 2}, True, True),
    ],
    ids=["refused", "takeover", "shared"],
)
def test_connection_limits(sim, start, settings_, first_kept, second_kept):
    adapter = sim.add_adapter(SERIAL, channels=1)
    server = start(**settings_)
    tcp = server.tcp(1)
    with connect(tcp) as first:
        first.sendall(b"1")
        assert receive(first, 1) == b"1"
        with connect(tcp) as second:
            if not second_kept:
                line = second.recv(200)
                assert line.endswith(b"\r\n") and b"in use" in line
                assert second.recv(200) == b""
            else:
                service = server.service(1)
                assert wait_until(
                    lambda: len(service.clients) == (2 if first_kept else 1) and service.clients[-1].admitted
                )
            if not first_kept:
                assert b"taken over" in first.recv(200)
                assert first.recv(200) == b""
            adapter.inject(1, b"to all")
            for sock, kept in ((first, first_kept), (second, second_kept)):
                if kept:
                    assert receive(sock, 6) == b"to all"


@pytest.mark.skipif(not POSIX, reason="signals")
@pytest.mark.parametrize(
    "signum, run",
    [
        (signal.SIGTERM, "from ozu_qlix_serial.serve import main; raise SystemExit(main(%r))"),
        (signal.SIGINT, "from ozu_qlix_serial.serve import main; raise SystemExit(main(%r))"),
        (
            signal.SIGTERM,
            "import runpy, sys; sys.argv[1:] = %r; runpy.run_module('ozu_qlix_serial.serve', run_name='__main__')",
        ),
    ],
    ids=["SIGTERM", "SIGINT", "python -m ozu_qlix_serial.serve"],
)
def test_signal_stops_cleanly(vbus, tmp_path, signum, run):
    child = start_child(
        "import ozu_qlix_sim; ozu_qlix_sim.use(); ozu_qlix_sim.add_adapter(%r, channels=4)\n" % SERIAL
        + run % ["--port-base", "0", "--link-dir", str(tmp_path)]
    )
    try:
        line = ""
        while "plugged" not in line:
            line = child.stderr.readline()
            assert line, "the server ended before serving"
        port = int(line.split(" on ")[1].split()[0])
        with connect(port) as client:
            client.sendall(b"ok")
            assert receive(client, 2) == b"ok"
            child.send_signal(signum)
            out, err = child.communicate(timeout=10)
            assert client.recv(10) == b""
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    assert "stopped" in err and os.listdir(tmp_path) == []


def _garbage(sock):
    sock.sendall(bytes((i * 7 + 255 * (i % 3 == 0)) & 0xFF for i in range(20000)))


def _cut_telnet(sock):
    sock.sendall(rfc2217.IAC + rfc2217.SB + rfc2217.COM_PORT_OPTION + rfc2217.SET_BAUDRATE + b"\x00")


def _malformed(sock):
    sock.sendall(
        rfc2217.IAC
        + rfc2217.SE
        + rfc2217.IAC
        + rfc2217.SB
        + rfc2217.COM_PORT_OPTION
        + rfc2217.SET_PARITY
        + b"\x09"
        + rfc2217.IAC
        + rfc2217.SE
        + rfc2217.IAC
        + rfc2217.SB
        + rfc2217.COM_PORT_OPTION
        + rfc2217.SET_MODEMSTATE_MASK
        + rfc2217.IAC
        + rfc2217.SE
        + b"data"
    )


def _huge_subnegotiation(sock):
    try:
        sock.sendall(rfc2217.IAC + rfc2217.SB + rfc2217.COM_PORT_OPTION + bytes(1 << 20))
        while sock.recv(4096):  # the server's Telnet requests, then the end
            pass
    except OSError:
        pass  # reset: disconnected as well


def _flood(sock):
    for _ in range(64):
        sock.sendall(bytes(16384))


def _baud_flood(sock):
    request = rfc2217.IAC + rfc2217.SB + rfc2217.COM_PORT_OPTION + rfc2217.SET_BAUDRATE
    sock.sendall(b"".join(request + (9600 + i).to_bytes(4, "big") + rfc2217.IAC + rfc2217.SE for i in range(2000)))


@pytest.mark.parametrize(
    "attack",
    [_garbage, _cut_telnet, _malformed, _huge_subnegotiation, _flood, _baud_flood],
    ids=lambda f: f.__name__.strip("_"),
)
def test_hostile_client_does_not_stall_another_channel(sim, start, attack):
    sim.set_paced(False)
    sim.add_adapter(SERIAL, channels=2)
    server = start()
    attacker = connect(server.tcp(1))
    attacker.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # and it never reads
    try:
        with connect(server.tcp(2)) as victim:
            attack(attacker)
            for i in range(20):
                victim.sendall(b"line %02d\n" % i)
                assert receive(victim, 8) == b"line %02d\n" % i
    finally:
        attacker.close()
    assert wait_until(lambda: not server.service(1).clients)
    with connect(server.tcp(1)) as client:  # the attacked channel serves the next client
        assert wait_until(lambda: len(server.service(1).clients) == 1)
        client.sendall(b"fine")
        data = b""
        while not data.endswith(b"fine"):  # after what is left of the attacker's loopback
            part = client.recv(65536)
            assert part, data[-100:]
            data += part


class _FakeService:
    def __init__(self):
        self.entry = serve.Entry("QLIXFUZZS1", "qlix://FUZZ/1", "FUZZ", 1, 0, None)
        self.baudrate = 9600
        self.mode = "rfc2217"
        self.data = bytearray()
        self.rates = []

    def from_client(self, data):
        self.data += data

    def request_baudrate(self, rate, waiter):
        self.rates.append(rate)

    def request_purge(self):
        pass

    def reset_output(self):
        pass

    def line(self, name):
        return False


class _FakeTransport:
    def __init__(self):
        self.written = bytearray()
        self.closed = False

    def write(self, data):
        self.written += data

    def get_write_buffer_size(self):
        return 0

    def close(self):
        self.closed = True


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.binary(max_size=300)
        | st.sampled_from(
            [
                rfc2217.IAC,
                rfc2217.IAC + rfc2217.SB,
                rfc2217.IAC + rfc2217.SE,
                rfc2217.IAC + rfc2217.IAC,
                rfc2217.COM_PORT_OPTION,
                rfc2217.SET_BAUDRATE,
                rfc2217.SET_CONTROL,
                rfc2217.PURGE_DATA,
                rfc2217.IAC + rfc2217.DO,
                rfc2217.IAC + rfc2217.WILL,
            ]
        ),
        max_size=40,
    )
)
def test_fuzz_client_input(chunks):
    """Any input, cut anywhere: nothing escapes but the end of a hostile connection, and bytes
    outside Telnet commands pass through in order."""
    client = serve_client.Client(_FakeService())
    client.transport = _FakeTransport()
    client.admitted = True
    for chunk in chunks:
        try:
            client.receive(chunk)
        except telnet.Hostile:
            return
        manager = client.manager
        assert manager is None or manager.suboption is None or len(manager.suboption) <= telnet.MAX_SUBNEGOTIATION
    stream = b"".join(chunks)
    if rfc2217.IAC not in stream:
        assert client.service.data == stream


@pytest.mark.parametrize(
    "argv, expected",
    [
        ([], [("0123456789ABS1", 7100), ("0123456789ABS2", 7101), ("0123456789CDS1", 7102), ("0123456789CDS2", 7200)]),
        (
            ["QLIX0123456789CDS2", "0123456789AB", "--port-base", "8000", "--no-terminals"],
            [("0123456789ABS1", 8000), ("0123456789ABS2", 8001), ("0123456789CDS2", 7200)],
        ),
    ],
    ids=["config", "command-line"],
)
def test_list_json(sim, tmp_path, capsys, argv, expected):
    import json

    sim.add_adapter("0123456789CD", channels=2)
    sim.add_adapter(SERIAL, channels=2)
    links = tmp_path / "links"
    config = tmp_path / "serve.toml"
    config.write_text(
        'port_base = 7100\nlink_dir = %s\n[tcp_ports]\n"qlix://0123456789CD/2" = 7200\n' % json.dumps(str(links))
    )
    assert serve.main(["--config", str(config), "--list", "--json", *argv]) == 0
    terminals = POSIX and "--no-terminals" not in argv
    assert json.loads(capsys.readouterr().out) == [
        {
            "name": "QLIX" + name,
            "url": "qlix://%s/%s" % tuple(name.split("S")),
            "tcp_port": port,
            "path": str(links / ("QLIX" + name)) if terminals else None,
        }
        for name, port in expected
    ]


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--bind", "0.0.0.0"], "--allow"),
        (["qlix://ANY/1"], "ANY"),
        (["--max-connections", "0"], "at least 1"),
    ],
)
def test_usage_errors(capsys, argv, message):
    assert serve.main(argv) == 2
    assert message in capsys.readouterr().err
