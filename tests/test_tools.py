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
from conftest import run_child, wait_until

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPTS = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
TOOLS = {"ozu-qlix-ports": "ozu_qlix_serial.list_ports", "ozu-qlix-term": "ozu_qlix_serial.miniterm",
         "ozu-qlix-selftest": "ozu_qlix_cli", "ozu-qlix-demo": "ozu_qlix_sim.demo",
         "ozu-qlix-serve": "ozu_qlix_serial.serve"}

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


PORT_LINES = ["0123456789AB: 2 channels", "  QLIX0123456789ABS1     qlix://0123456789AB/1",
              "  QLIX0123456789ABS2     qlix://0123456789AB/2", "00000000CAFE: 1 channel",
              "  QLIX00000000CAFES1     qlix://00000000CAFE/1"]


@pytest.mark.parametrize("run", [
    "from ozu_qlix_serial.list_ports import main; sys.exit(main(%r))",
    "import runpy; sys.argv[1:] = %r; runpy.run_module('ozu_qlix_serial', run_name='__main__')",
], ids=["ozu-qlix-ports", "python -m ozu_qlix_serial"])
@pytest.mark.parametrize("adapters, argv, status", [
    ([("0123456789AB", 2), ("00000000CAFE", 1)], [], 0),
    ([("0123456789AB", 2), ("00000000CAFE", 1)], ["-v", "--json"], 0),
    ([], [], 1),
], ids=["listing", "json", "no adapter"])
def test_port_listing(run, adapters, argv, status):
    out = run_child(ON_SIM % adapters + run % argv)
    assert out.returncode == status, out.stderr
    if not adapters:
        assert out.stdout == "" and out.stderr == "ozu-qlix-ports: no QLIX adapter is attached\n"
    elif "--json" in argv:
        listing = json.loads(out.stdout)
        assert [(a["serial_number"], a["channels"], a["firmware"]) for a in listing] == [
            ("0123456789AB", 2, "QLIX-SIM 1.0"), ("00000000CAFE", 1, "QLIX-SIM 1.0")]
        assert listing[0]["ports"][1] == {"channel": 2, "name": "QLIX0123456789ABS2", "url": "qlix://0123456789AB/2"}
    else:
        assert out.stdout.splitlines() == PORT_LINES


@pytest.mark.parametrize("argv, status, text", [
    ([], 0, "Hello, World!"),
    (["--channels", "3"], 2, "--channels must lie in 4..99"),
])
def test_demo(argv, status, text):
    out = run_child("import sys; from ozu_qlix_sim.demo import main; sys.exit(main(%r))" % argv, timeout=120)
    assert out.returncode == status, out.stderr
    assert text in out.stdout + out.stderr
    if status == 0:
        # Every listed adapter gives port names that open: 12 hex digits, no "S".
        assert "virtual adapters: DE0000000001, DE0000000002" in out.stdout


@pytest.mark.parametrize("name, url", [("qlixanys1", "qlix://ANY/1"), ("QLIX0123456789ABS12", "qlix://0123456789AB/12"),
                                       ("COM3", None), ("QLIXABSS1", None), ("QLIXANYS", None)])
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


TERM = ON_SIM % [("0123456789AB", 2)] + """
from ozu_qlix_serial.miniterm import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("port", ["qlix://ANY/1", "QLIX0123456789ABS1"])
def test_miniterm_in_a_pseudo_terminal_echoes_through_the_loopback(port):
    pty = pytest.importorskip("pty")
    termios = pytest.importorskip("termios")
    master, slave = pty.openpty()
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    child = subprocess.Popen([sys.executable, "-c", TERM, port, "115200"], stdin=slave, stdout=slave,
                             stderr=slave, env=env, start_new_session=True)
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
