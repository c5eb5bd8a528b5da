"""The console tools, in child interpreters on virtual adapters: help without
hardware, exit codes, the port listing, the demo, and miniterm in a
pseudo-terminal."""

import importlib
import importlib.metadata
import json
import os
import pathlib
import re
import select
import subprocess
import sys
import time
import tomllib

import pytest

import ozu_qlix_serial
from conftest import assert_released, run_child, wait_until

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPTS = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
TOOLS = {
    "ozu-qlix-ports": "ozu_qlix_serial.list_ports",
    "ozu-qlix-term": "ozu_qlix_serial.miniterm",
    "ozu-qlix-selftest": "ozu_qlix_cli",
    "ozu-qlix-demo": "ozu_qlix_sim.demo",
    "ozu-qlix-serve": "ozu_qlix_serial.serve",
}

# Runs a tool's main() with the given arguments and a USB bus that fails when touched.
# pyserial's Windows port listing does not load under wine 8 (its cfgmgr32.dll
# lacks CM_MapCrToWin32Err), and miniterm imports it: there a stand-in that
# fails when called takes its place, so the options are still checked.
NO_BUS = r"""
import sys, types, usb.core
def find(*args, **kwargs):
    raise RuntimeError("the USB bus was touched")
usb.core.find = find
try:
    import serial.tools.list_ports
except AttributeError:
    sys.modules["serial.tools.list_ports"] = types.ModuleType("serial.tools.list_ports")
    sys.modules["serial.tools.list_ports"].comports = find
from %s import main
try:
    status = main(%r)
except SystemExit as exit_:
    status = exit_.code
print("status", status, "ozu_qlix imported:", "ozu_qlix" in sys.modules)
"""

ON_SIM = r"""
import sys, ozu_qlix_sim
ozu_qlix_sim.use()
for serial_number, channels in %r:
    ozu_qlix_sim.add_adapter(serial_number, channels=channels)
"""


def test_console_scripts_name_the_tools():
    assert {name: entry.split(":")[0] for name, entry in SCRIPTS.items()} == TOOLS
    for entry in SCRIPTS.values():
        module, function = entry.split(":")
        assert callable(getattr(importlib.import_module(module), function))


@pytest.mark.parametrize("tool", sorted(TOOLS))
@pytest.mark.parametrize("argv, status, text", [(["--help"], 0, "usage: "), (["--bogus"], 2, "unrecognized arguments")])
def test_help_and_unknown_options_touch_no_hardware(tool, argv, status, text):
    out = run_child(NO_BUS % (TOOLS[tool], argv))
    assert out.stdout.splitlines()[-1] == "status %d ozu_qlix imported: False" % status, out.stderr
    assert text in (out.stdout if status == 0 else out.stderr)
    assert tool in out.stdout + out.stderr


PORT_LINES = [
    "0123456789AB: 2 channels",
    "  QLIX0123456789ABS1     qlix://0123456789AB/1",
    "  QLIX0123456789ABS2     qlix://0123456789AB/2",
    "00000000CAFE: 1 channel",
    "  QLIX00000000CAFES1     qlix://00000000CAFE/1",
]


@pytest.mark.parametrize(
    "run",
    [
        "from ozu_qlix_serial.list_ports import main; sys.exit(main(%r))",
        "import runpy; sys.argv[1:] = %r; runpy.run_module('ozu_qlix_serial', run_name='__main__')",
    ],
    ids=["ozu-qlix-ports", "python -m ozu_qlix_serial"],
)
@pytest.mark.parametrize(
    "adapters, argv, status",
    [
        ([("0123456789AB", 2), ("00000000CAFE", 1)], [], 0),
        ([("0123456789AB", 2), ("00000000CAFE", 1)], ["-v", "--json"], 0),
        ([], [], 1),
    ],
    ids=["listing", "json", "no adapter"],
)
def test_port_listing(run, adapters, argv, status):
    out = run_child(ON_SIM % adapters + run % argv)
    assert out.returncode == status, out.stderr
    if not adapters:
        assert out.stdout == "" and out.stderr == "ozu-qlix-ports: no QLIX adapter is attached\n"
    elif "--json" in argv:
        listing = json.loads(out.stdout)
        assert [(a["serial_number"], a["channels"], a["firmware"]) for a in listing] == [
            ("0123456789AB", 2, "QLIX-SIM 1.0"),
            ("00000000CAFE", 1, "QLIX-SIM 1.0"),
        ]
        assert listing[0]["ports"][1] == {"channel": 2, "name": "QLIX0123456789ABS2", "url": "qlix://0123456789AB/2"}
    else:
        assert out.stdout.splitlines() == PORT_LINES


@pytest.mark.parametrize(
    "argv, status, text",
    [
        ([], 0, "Hello, World!"),
        (["--channels", "3"], 2, "--channels must lie in 4..99"),
    ],
)
def test_demo(argv, status, text):
    out = run_child("import sys; from ozu_qlix_sim.demo import main; sys.exit(main(%r))" % argv, timeout=120)
    assert out.returncode == status, out.stderr
    assert text in out.stdout + out.stderr
    if status == 0:
        # Every listed adapter gives port names that open: 12 hex digits, no "S".
        assert "virtual adapters: DE0000000001, DE0000000002" in out.stdout


@pytest.mark.parametrize(
    "name, url",
    [
        ("qlixanys1", "qlix://ANY/1"),
        ("QLIX0123456789ABS12", "qlix://0123456789AB/12"),
        ("COM3", None),
        ("QLIXABSS1", None),
        ("QLIXANYS", None),
    ],
)
def test_port_url_of_port_names(name, url):
    if url is None:
        with pytest.raises(ValueError, match="is not a QLIX port name"):
            ozu_qlix_serial.port_url(name)
    else:
        assert ozu_qlix_serial.port_url(name) == url
        assert ozu_qlix_serial.parse_url(url)[1] == int(url.rsplit("/", 1)[1])


def test_one_version():
    try:
        installed = importlib.metadata.version("ozu_qlix")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("not installed")
    assert ozu_qlix_serial.__version__ == installed


TERM = (
    ON_SIM % [("0123456789AB", 2)]
    + """
from ozu_qlix_serial.miniterm import main
sys.exit(main(sys.argv[1:]))
"""
)


@pytest.mark.parametrize("port", ["qlix://ANY/1", "QLIX0123456789ABS1"])
def test_miniterm_in_a_pseudo_terminal_echoes_through_the_loopback(port):
    pty = pytest.importorskip("pty")
    termios = pytest.importorskip("termios")
    master, slave = pty.openpty()
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    child = subprocess.Popen(
        [sys.executable, "-c", TERM, port, "115200"],
        stdin=slave,
        stdout=slave,
        stderr=slave,
        env=env,
        start_new_session=True,
    )
    seen = bytearray()

    def wait_for(pattern, timeout=30):
        deadline = time.monotonic() + timeout
        while not re.search(pattern, seen) and time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                try:
                    seen.extend(os.read(master, 4096))
                except OSError:
                    break
        return re.search(pattern, seen)

    try:
        assert wait_for(rb"--- Miniterm on QLIX0123456789ABS1  115200,8,N,1 ---"), seen
        # Type once miniterm has the terminal (no echo), so that only the loopback shows the line.
        assert wait_until(lambda: not termios.tcgetattr(slave)[3] & termios.ECHO, 30)
        os.write(master, "hello qlix ü\r".encode())  # miniterm does not echo: what shows came back
        assert wait_for("hello qlix ü\r+\n".encode()), seen  # the line end may come in a read of its own
        os.write(master, b"\x1d")  # Ctrl+]: quit
        assert child.wait(15) == 0
        assert wait_for(rb"--- exit ---", 5), seen
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        os.close(master)
        os.close(slave)


# --- virtual adapters for any program: OZU_QLIX_VIRTUAL -------------------------------

PAIRED = "0123456789AB:4,0123456789CD:8:paired"


@pytest.mark.parametrize(
    "value, code, printed",
    [
        # A plain program on ozu_qlix.
        (
            "1",
            "import ozu_qlix\nprint(ozu_qlix.list_qlix_names())\n"
            "with ozu_qlix.Serial('QLIXANYS4', timeout=1) as p:\n    p.write(b'hi'); print(p.read(2))",
            ["['QLIX0123456789ABS1', 'QLIX0123456789ABS2', 'QLIX0123456789ABS3', 'QLIX0123456789ABS4']", "b'hi'"],
        ),
        # A plain pyserial program: channels 1 and 2 of the paired adapter are wired together.
        (
            PAIRED,
            "import serial, ozu_qlix_serial\n"
            "with serial.serial_for_url('qlix://0123456789CD/1', timeout=1) as a, "
            "serial.serial_for_url('qlix://0123456789CD/2', timeout=1) as b:\n    a.write(b'x'); print(b.read(1))",
            ["b'x'"],
        ),
        # The port listing.
        (
            PAIRED,
            "import sys\nfrom ozu_qlix_serial.list_ports import main\nsys.exit(main([]))",
            ["0123456789AB: 4 channels"]
            + ["  QLIX0123456789ABS%d     qlix://0123456789AB/%d" % (i, i) for i in range(1, 5)]
            + ["0123456789CD: 8 channels"]
            + ["  QLIX0123456789CDS%d     qlix://0123456789CD/%d" % (i, i) for i in range(1, 9)],
        ),
    ],
    ids=["ozu_qlix", "pyserial", "ozu-qlix-ports"],
)
def test_virtual_adapters_for_an_unchanged_program(monkeypatch, value, code, printed):
    monkeypatch.setenv("OZU_QLIX_VIRTUAL", value)
    out = run_child(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == printed


@pytest.mark.parametrize("importing", ["ozu_qlix", "ozu_qlix_serial"])
def test_invalid_virtual_adapters_are_refused_with_the_syntax(monkeypatch, importing):
    monkeypatch.setenv("OZU_QLIX_VIRTUAL", "0123456789AB:100")
    out = run_child("import " + importing)
    assert out.returncode == 1
    assert out.stderr.splitlines()[-1] == (
        "ValueError: OZU_QLIX_VIRTUAL='0123456789AB:100' is invalid (100 channels in '0123456789AB:100'); use "
        "OZU_QLIX_VIRTUAL=1 (one 4-channel adapter 0123456789AB), or a comma-separated list of "
        "SERIAL[:CHANNELS][:paired][:bulk], CHANNELS 1 to 99 (default 4), for example "
        "0123456789AB:4,0123456789CD:8:paired"
    )


@pytest.mark.parametrize(
    "value, adapters",
    [
        ("", []),
        ("0", []),
        ("1", [("0123456789AB", 4, "interrupt", False)]),
        ("Yes", [("0123456789AB", 4, "interrupt", False)]),
        ("off", []),
        ("0123456789AS:4", "serial number '0123456789AS': port names need it in upper case, without S"),
        ("ab12", "serial number 'ab12': port names need it in upper case, without S"),
        (PAIRED, [("0123456789AB", 4, "interrupt", False), ("0123456789CD", 8, "interrupt", True)]),
        (" AB12:bulk:paired, CD ", [("AB12", 4, "bulk", True), ("CD", 4, "interrupt", False)]),
        ("AB:0", "0 channels"),
        ("AB,ab", "serial number ab given twice"),
        ("AB:4:4", "option '4'"),
        ("AB:paired:paired", "option 'paired'"),
        ("A B", "serial number 'A B'"),
        ("AB,", "serial number ''"),
        ("AB:", "option ''"),
    ],
)
def test_virtual_adapter_syntax(value, adapters):
    import ozu_qlix_sim

    if isinstance(adapters, list):
        assert ozu_qlix_sim.parse_virtual(value) == adapters
    else:
        with pytest.raises(ValueError, match=re.escape("(%s in " % adapters)):
            ozu_qlix_sim.parse_virtual(value)


def test_udev_rule_is_printed_without_touching_the_bus():
    out = run_child(NO_BUS % ("ozu_qlix_serial.list_ports", ["--udev-rule"]))
    assert out.stdout.splitlines()[-1] == "status 0 ozu_qlix imported: False", out.stderr
    rules = [line for line in out.stdout.splitlines() if line and not line.startswith(("#", "status"))]
    assert rules == [
        'SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="0483", '
        'ATTR{idProduct}=="5750", MODE="0660", GROUP="plugdev", TAG+="uaccess"'
    ]


# --- ozu-qlix-term driven programmatically: a console that types the given keys -------

MENU = "\x14"


@pytest.fixture
def term(monkeypatch, sim):
    """Runs ozu-qlix-term's main in this process on a console typing the keys given ("" ends the input;
    a callable is called when its turn comes), with `stdin` as the answers to its questions; gives
    main's exit status."""
    import io
    import queue
    import types

    try:
        import serial.tools.miniterm as miniterm
    except AttributeError:  # wine: pyserial's Windows port listing does not load (see NO_BUS)
        stand_in = types.ModuleType("serial.tools.list_ports")
        stand_in.comports = lambda: []
        monkeypatch.setitem(sys.modules, "serial.tools.list_ports", stand_in)
        import serial.tools.miniterm as miniterm
    from ozu_qlix_serial.miniterm import main

    keys = queue.Queue()

    class Console(miniterm.ConsoleBase):
        def getkey(self):
            key = keys.get(timeout=30)
            while callable(key):
                key()
                key = keys.get(timeout=30)
            return key

        def cancel(self):
            keys.put("")

        def write(self, text):
            pass

        def write_bytes(self, data):
            pass

    monkeypatch.setattr(miniterm, "Console", Console)

    def run(argv, typed=(), stdin=""):
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        for key in typed:
            keys.put(key)
        return main(argv)

    return run


@pytest.mark.parametrize(
    "typed, stdin, refused",
    [
        ([MENU, "7"], "", "--- not supported: bytesize=7: QLIX adapters support only bytesize=8 (EIGHTBITS)"),
        ([MENU, "e"], "", "--- not supported: parity='E': QLIX adapters support only parity='N' (PARITY_NONE)"),
        ([MENU, "2"], "", "--- not supported: stopbits=2: QLIX adapters support only stopbits=1 (STOPBITS_ONE)"),
        ([MENU, "X"], "", "--- not supported: xonxoff=True: QLIX adapters support only xonxoff=False"),
        ([MENU, "R"], "", "--- not supported: rtscts=True: QLIX adapters support only rtscts=False"),
        ([MENU, "\x02"], "", "--- not supported: break (QLIX adapters cannot send one) ---"),
        (
            [MENU, "b"],
            "0\n",
            "--- not supported: could not set the baud rate of QLIX0123456789ABS1: the adapter did "
            "not take the baud rate 0 for QLIX0123456789ABS1: it runs at 9600",
        ),
    ],
    ids=["7 data bits", "even parity", "2 stop bits", "xon/xoff", "rts/cts", "break", "baud 0"],
)
def test_term_refuses_a_setting_and_goes_on(term, sim, capsys, typed, stdin, refused):
    adapter = sim.add_adapter("0123456789AB", channels=2)
    status = term(["qlix://ANY/1"], typed + ["h", "i", ""], stdin)  # then types "hi" and its input ends
    err = capsys.readouterr().err
    assert status == 0, err
    assert refused in err and err.count("--- not supported: ") == 1
    assert adapter.received(1) == b"hi" and adapter.channel_rate(1) == 9600  # the old settings still hold
    assert "--- exit ---" in err and "Traceback" not in err
    assert_released(sim)


def test_term_ends_with_status_1_when_the_adapter_is_lost(term, sim, capsys):
    adapter = sim.add_adapter("0123456789AB", channels=2)
    status = term(["QLIXANYS2"], [adapter.unplug])  # the session runs: the adapter goes, no key comes
    err = capsys.readouterr().err
    assert status == 1
    assert "--- ERROR: the adapter of QLIX0123456789ABS2 is disconnected" in err and "Traceback" not in err


def test_term_chooser_lists_the_channels_and_closed_input_ends_it(term, sim, capsys):
    sim.add_adapter("0123456789AB", channels=2)
    status = term([], stdin="")  # no port given, and nothing to answer the chooser with
    err = capsys.readouterr().err
    assert status == 2
    assert "---  1: qlix://0123456789AB/1 'QLIX0123456789ABS1'" in err
    assert "---  2: qlix://0123456789AB/2 'QLIX0123456789ABS2'" in err
    assert "--- standard input is closed ---" in err and "Traceback" not in err
    assert_released(sim)


@pytest.mark.skipif(os.name == "nt", reason="miniterm's Windows console reads the console, not standard input")
def test_term_without_a_terminal_ends_cleanly():
    child = subprocess.run(
        [sys.executable, "-c", TERM, "qlix://ANY/1"],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.returncode == 1
    assert (
        child.stderr.startswith("ozu-qlix-term: standard input must be a terminal (")
        and "Traceback" not in child.stderr
    )
