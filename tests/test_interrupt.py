"""Ctrl-C and process exit on virtual adapters, in child interpreters: a read
waiting without a time limit gives way to KeyboardInterrupt and the port keeps
working; a program that ends with ports left open still exits."""

import os
import pathlib
import signal
import subprocess
import sys

import pytest

import ozu_qlix_sim

PRELUDE = r"""
import sys, threading, time
import ozu_qlix_sim
ozu_qlix_sim.use()
adapter = ozu_qlix_sim.add_adapter("CTRLC01", channels=2)
import ozu_qlix
port = ozu_qlix.Serial("QLIXCTRLC01S1", timeout=0)  # reads wait without a time limit
"""

INTERRUPTED_READ = PRELUDE + r"""
print("ready", flush=True)
started = time.monotonic()
try:
    port.%s
    print("returned")
except KeyboardInterrupt:
    print("interrupted after %%.1f s" %% (time.monotonic() - started))
port.timeout = 2
port.write(b"still usable\n")
print(port.read_until())
port.close()
print("left", [t for t in threading.enumerate() if t is not threading.main_thread() and t.name != "ctrl-c"],
      ozu_qlix_sim.open_handles())
"""

# Ctrl-C on Windows is a console event, and a process can only send one to
# processes on its own console. The child gets a console of its own and, on
# the parent's cue (a line on its standard input), generates CTRL_C_EVENT on
# it: the system then runs the child's console handler, which raises SIGINT
# in the interpreter, in a thread of its own, as for a key press.
WINDOWS_CTRL_C = r"""
import ctypes, sys, threading
def _ctrl_c_on_cue():
    if sys.stdin.readline():
        ctypes.windll.kernel32.GenerateConsoleCtrlEvent(0, 0)  # CTRL_C_EVENT, this console
threading.Thread(target=_ctrl_c_on_cue, name="ctrl-c", daemon=True).start()
"""


def child(code, ctrl_c=False):
    if not ozu_qlix_sim.in_use():
        pytest.skip("the virtual USB library is not pyusb's backend in this session")
    env = dict(os.environ)
    paths = [str(pathlib.Path(ozu_qlix_sim.__file__).resolve().parent.parent), os.path.dirname(ozu_qlix_sim.library_path())]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    env["OZU_QLIX_SIM_LIB"] = ozu_qlix_sim.library_path()
    options = {}
    if ctrl_c and sys.platform == "win32":
        code = WINDOWS_CTRL_C + code
        options = {"stdin": subprocess.PIPE, "creationflags": subprocess.CREATE_NEW_CONSOLE}
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env, **options)


def press_ctrl_c(proc):
    if sys.platform == "win32":
        proc.stdin.write("\n")
        proc.stdin.flush()
    else:
        proc.send_signal(signal.SIGINT)


@pytest.mark.parametrize("call", ["read(5)", "read_until()", "read_until(b'!', 100)"])
def test_ctrl_c_interrupts_a_read_without_time_limit(call):
    proc = child(INTERRUPTED_READ % call, ctrl_c=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        import time
        time.sleep(0.3)  # the read is now waiting
        press_ctrl_c(proc)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    lines = out.splitlines()
    assert proc.returncode == 0, err
    assert lines[0].startswith("interrupted after")
    assert lines[1] == repr(b"still usable\n")
    assert lines[2] == "left [] 0"


def test_program_ending_with_ports_open_exits():
    # No close: the adapter's reader thread must not keep the interpreter alive.
    proc = child(PRELUDE + "port.write(b'bye')\nprint('done', flush=True)\n")
    try:
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0 and out == "done\n", err
