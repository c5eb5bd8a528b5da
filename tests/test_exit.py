"""Program exit while daemon threads are inside the module's blocking members:
the interpreter ends such threads where they wait for the GIL, and the process
must still exit cleanly, with its buffered output written."""

import signal

import pytest

from conftest import finish_child, require_virtual_bus, start_child

BACKENDS = {
    "virtual": """
import ozu_qlix_sim
ozu_qlix_sim.use()
ozu_qlix_sim.add_adapter("0123456789AB", channels=4)
""",
    "fake": """
import usb.core
from fake_usb import FakeAdapter
fake = FakeAdapter()
fake.idVendor, fake.idProduct = 0x0483, 0x5750
usb.core.find = lambda find_all=False, **criteria: iter([fake]) if find_all else fake
""",
}

PROGRAM = """
import signal, sys, threading, time
{backend}
import ozu_qlix
port = ozu_qlix.Serial("QLIX0123456789ABS1", 9600, timeout={timeout})
device = ozu_qlix.get_hid_device("0123456789AB")

def work(n):
    while True:
        {body}

for n in (2, 3):
    threading.Thread(target=work, args=(n,), daemon=True).start()
print("main thread done")  # buffered: must reach the pipe at exit
time.sleep(0.15)
{ending}
"""

BODIES = {
    "write": "port.write(b'x' * 300)",
    "read with timeout": "port.read(10)",
    "read without limit": "port.read(10)",
    "read_until": "port.read_until()",
    "baudrate": "port.baudrate = 9600",
    "echo": "device.echo('ping')",
    "firmware_version": "device.firmware_version",
    "open and close": "ozu_qlix.Serial('QLIX0123456789ABS%d' % n, 9600).close()",
    "list_qlix_names": "ozu_qlix.list_qlix_names()",
    "in_waiting and reset": "port.in_waiting; port.reset_input_buffer()",
}


def run_program(backend, body, ending="", runs=1):
    """Runs the program `runs` times at once; returns the finished processes."""
    if backend == "virtual":
        require_virtual_bus()
    timeout = 0.5 if body == "read with timeout" else 0
    code = PROGRAM.format(backend=BACKENDS[backend], timeout=timeout, body=BODIES[body], ending=ending)
    children = [start_child(code) for _ in range(runs)]
    return [finish_child(child, timeout=30) for child in children]


def test_program_ending_with_ports_open_exits():
    # No close: the adapter's reader thread must not keep the interpreter alive.
    require_virtual_bus()
    code = (
        BACKENDS["virtual"] + 'import ozu_qlix\nport = ozu_qlix.Serial("QLIX0123456789ABS1")\n'
        'port.write(b"bye")\nprint("done", flush=True)\n'
    )
    result = finish_child(start_child(code), timeout=30)
    assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr


@pytest.mark.parametrize("backend", sorted(BACKENDS))
@pytest.mark.parametrize("body", list(BODIES))
def test_exit_with_daemon_threads_inside_the_module(backend, body):
    for result in run_program(backend, body, runs=3):
        assert (result.returncode, result.stdout) == (0, "main thread done\n"), result.stderr[-2000:]


# pyusb releases its devices and the USB library at exit (atexit), while daemon
# threads still run: their failing calls wait to be ended instead of printing
# tracebacks during the exit (on Python 3.14 such a print can abort the exit).
# The exit clean-up is made slow, so that the threads reach the released devices.
SLOW_EXIT = "import atexit, time\natexit.register(time.sleep, 0.3)  # before pyusb's clean-up: runs after it\n"


@pytest.mark.parametrize("body", ["write", "in_waiting and reset", "open and close", "list_qlix_names"])
def test_daemon_threads_reaching_released_devices_at_exit_stay_quiet(body):
    require_virtual_bus()
    code = SLOW_EXIT + PROGRAM.format(backend=BACKENDS["virtual"], timeout=0, body=BODIES[body], ending="")
    result = finish_child(start_child(code), timeout=30)
    assert (result.returncode, result.stdout, result.stderr) == (0, "main thread done\n", "")


# Ctrl-C while daemon threads read: the program ends by the interrupt, not by a crash.
CTRL_C = """
threading.Timer(0.1, signal.raise_signal, (signal.SIGINT,)).start()
while True:
    time.sleep(0.02)  # the signal may land on another thread: the next wake-up raises
"""


@pytest.mark.parametrize("backend", sorted(BACKENDS))
def test_ctrl_c_with_daemon_threads_reading(backend):
    [result] = run_program(backend, "read without limit", CTRL_C)
    interrupted = (-signal.SIGINT, 128 + signal.SIGINT, 0xC000013A)  # POSIX signal, shell code, Windows status
    assert result.returncode in interrupted, result.stderr[-2000:]
    assert result.stdout == "main thread done\n"
    assert "KeyboardInterrupt" in result.stderr


# A reader told to stop, or a program ending with a channel open, is woken by a
# reply the module asks the adapter for: with reads that never time out, close
# and exit would otherwise hang. The wake-up never answers anybody's query.
WAKE = """
import threading, time
{backend}
if UNLIMITED:  # reads end only when a packet comes
    limited = fake.read
    fake.read = lambda endpoint, size_or_buffer, timeout=None: limited(endpoint, size_or_buffer, None)
import ozu_qlix
port = ozu_qlix.Serial("QLIX0123456789ABS1", 9600)
{ending}
print("done")
"""

ASK_AT_EXIT = """
# Echo replies come 50 ms late, so the wake-up's reply is still on its way
# when the query that follows it is sent.
import queue
answer, woken, late = fake._command, threading.Event(), queue.Queue()
def deliver():
    while True:
        time.sleep(0.05)
        answer(*late.get())
threading.Thread(target=deliver, daemon=True).start()
def command(channel, text):
    if text.startswith("Echo "):
        woken.set()
        late.put((channel, text))
    else:
        answer(channel, text)
fake._command = command
device = ozu_qlix.get_hid_device("0123456789AB")
def ask():
    woken.wait(10)
    assert device.echo("mine") == "mine"
threading.Thread(target=ask).start()
"""


@pytest.mark.parametrize(
    "unlimited, ending",
    [(True, "port.close()"), (True, ""), (False, ASK_AT_EXIT)],
    ids=["close", "return with a channel open", "queries while exiting"],
)
def test_reader_woken_at_close_and_exit(unlimited, ending):
    code = "UNLIMITED = %s\n" % unlimited + WAKE.format(backend=BACKENDS["fake"], ending=ending)
    result = finish_child(start_child(code), timeout=30)
    assert (result.returncode, result.stdout, result.stderr) == (0, "done\n", "")
