"""The self-test console command, run in child interpreters on a patched bus."""

import pathlib
import tomllib

import pytest

from conftest import run_child

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Patches usb.core.find with fake adapters (their serial numbers and channel
# counts in ADAPTERS) without importing ozu_qlix, then runs the command.
CHILD = r"""
import sys, threading
sys.path.insert(0, %(cli_dir)r)
import usb.core
from fake_usb import FakeAdapter

adapters = [FakeAdapter(sn, n) for sn, n in %(adapters)r]

def find(find_all=False, serial_number=None, **criteria):
    assert criteria["idVendor"] == 0x0483 and criteria["idProduct"] == 0x5750
    found = [a for a in adapters if serial_number in (None, a.serial_number)]
    return iter(found) if find_all else (found[0] if found else None)

usb.core.find = find
assert "ozu_qlix" not in sys.modules
import ozu_qlix_cli
try:
    status = ozu_qlix_cli.main()
finally:
    module = sys.modules["ozu_qlix"]
    print("name", module.__name__)
    print("registered", list(module._resource_manager._ResourceManager__devices))
    print("threads", sorted(t.name for t in threading.enumerate() if t is not threading.main_thread()))
    for a in adapters:
        print("received", a.serial_number, sorted((ch, bytes(d)) for ch, d in a.received.items()))
        print("configured", a.serial_number, [(ch, t) for ch, t in a.commands if t.startswith("Config ")])
print("status", status)
"""


def run_selftest(adapters):
    code = CHILD % {"cli_dir": str(ROOT / "python"), "adapters": adapters}
    return run_child(code, timeout=120)


def test_no_adapter_prints_empty_line():
    out = run_selftest([])
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["", "name __main__", "registered []", "threads []", "status 0"]


def test_greets_four_channels_of_the_first_adapter():
    out = run_selftest([("BBBBBBBBBBBB", 4), ("AAAAAAAAAAAA", 8)])
    assert out.returncode == 0, out.stderr
    hello = b"Hello, World!\n"
    assert out.stdout.splitlines() == [
        "BBBBBBBBBBBB, AAAAAAAAAAAA",
        "name __main__",
        "registered []",
        "threads []",
        "received BBBBBBBBBBBB %r" % [(ch, hello) for ch in (1, 2, 3, 4)],
        "configured BBBBBBBBBBBB %r" % [(100 + ch, "Config 9600\n") for ch in (1, 2, 3, 4)],
        "received AAAAAAAAAAAA []",
        "configured AAAAAAAAAAAA []",
        "status 0",
    ]


def test_first_failure_ends_the_selftest():
    """An adapter with two channels: channel 3 is refused and the command fails."""
    out = run_selftest([("CCCCCCCCCCCC", 2)])
    assert out.returncode != 0
    lines = out.stdout.splitlines()
    assert lines[0] == "CCCCCCCCCCCC"
    assert "received CCCCCCCCCCCC %r" % [(1, b"Hello, World!\n"), (2, b"Hello, World!\n")] in lines
    assert "status" not in out.stdout
    assert "Traceback" in out.stderr


def test_refuses_when_module_already_imported():
    code = (
        "import sys; sys.path.insert(0, %r)\n"
        "import ozu_qlix, ozu_qlix_cli\n"
        "print(ozu_qlix_cli.main(), ozu_qlix.__name__)\n"
    ) % str(ROOT / "python")
    out = run_child(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "1 ozu_qlix\n"
    assert "already imported" in out.stderr


def test_console_script_is_declared():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert project["scripts"]["ozu-qlix-selftest"] == "ozu_qlix_cli:main"
    assert "python/ozu_qlix_cli.py" in (ROOT / "CMakeLists.txt").read_text()


@pytest.mark.parametrize("flags", [(), ("-O",)])
def test_plain_import_runs_no_selftest(flags):
    code = (
        "import io, sys, usb.core\n"
        "usb.core.find = lambda **kw: (_ for _ in ()).throw(RuntimeError('bus searched'))\n"
        "import ozu_qlix\n"
        "print(hasattr(ozu_qlix, 'serials'), ozu_qlix.__name__)\n"
    )
    out = run_child(code, *flags)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "False ozu_qlix\n"
