"""Ctrl-C in child interpreters on virtual and fake adapters: a read waiting
without a time limit gives way to KeyboardInterrupt and the port keeps
working; and interruptions (Ctrl-C, or any exception a signal handler raises)
at many moments of each operation, after each of which the next operation of
that kind works, and no reader thread, registry entry, open USB handle, reply
handler or open channel is left behind."""

import json
import signal
import subprocess
import sys
import time

import pytest

import ozu_qlix_sim
from conftest import finish_child, require_virtual_bus, start_child

PRELUDE = r"""
import sys, threading, time
import ozu_qlix_sim
ozu_qlix_sim.use()
adapter = ozu_qlix_sim.add_adapter("CTRLC01", channels=2)
import ozu_qlix
port = ozu_qlix.Serial("QLIXCTRLC01S1", timeout=0)  # reads wait without a time limit
"""

INTERRUPTED_READ = (
    PRELUDE
    + r"""
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
)

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


def ctrl_c_child(code):
    """A child on the virtual bus that can be sent Ctrl-C (press_ctrl_c)."""
    require_virtual_bus()
    if sys.platform != "win32":
        return start_child(code)
    return start_child(WINDOWS_CTRL_C + code, stdin=subprocess.PIPE, creationflags=subprocess.CREATE_NEW_CONSOLE)


def press_ctrl_c(proc):
    if sys.platform == "win32":
        proc.stdin.write("\n")
        proc.stdin.flush()
    else:
        proc.send_signal(signal.SIGINT)


@pytest.mark.parametrize("call", ["read(5)", "read_until()", "read_until(b'!', 100)"])
def test_ctrl_c_interrupts_a_read_without_time_limit(call):
    proc = ctrl_c_child(INTERRUPTED_READ % call)
    try:
        assert proc.stdout.readline() == "ready\n"
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


# Windows has no timer signal, and its timers (15 ms) and lock waits (not
# interruptible: Ctrl-C lands once they return) cannot place an interruption
# inside operations that last a millisecond.
posix_timer = pytest.mark.skipif(sys.platform == "win32", reason="interruptions are placed with a POSIX timer signal")

HARNESS = r"""
import gc, inspect, json, math, os, random, signal, sys, threading, time
import usb
BACKEND = %(backend)r
SERIAL = "0123456789AB"
if BACKEND == "virtual":
    import ozu_qlix_sim
    ozu_qlix_sim.use()
    ozu_qlix_sim.set_paced(False)
    ozu_qlix_sim.add_adapter(SERIAL, channels=4)
    def handles():
        return ozu_qlix_sim.open_handles()
else:
    import usb.core
    from fake_usb import FakeAdapter
    adapter = FakeAdapter()
    adapter.idVendor, adapter.idProduct = 0x0483, 0x5750
    usb.core.find = lambda find_all=False, **criteria: iter([adapter]) if find_all else adapter
    # Replies and data come a moment after the command, as over USB: a late
    # reply can then meet the next exchange.
    import queue
    arriving = queue.SimpleQueue()
    def deliver():
        while True:
            due, raw = arriving.get()
            time.sleep(max(0.0, due - time.perf_counter()))
            FakeAdapter.inject(adapter, raw)
    threading.Thread(target=deliver, daemon=True).start()
    adapter.inject = lambda raw: arriving.put((time.perf_counter() + 3e-4, raw))
    def handles():
        return 0
import ozu_qlix
from helpers import reader_threads, registry as registered_adapters

NAME = "QLIX" + SERIAL + "S%%d"
registry = registered_adapters()

# The interruption: a timer signal whose handler raises KeyboardInterrupt
# while an attempt is armed.
#
# Some Python code cannot survive an exception between any two of its
# bytecodes: CPython's own threading primitives (a Condition's `with` block),
# finalizers (an exception ends them half done), and pyusb's handle
# bookkeeping (a handle opened but not yet recorded is never closed; a lock
# taken but not yet released blocks the reader). These are limitations of
# CPython and pyusb, not of the module: an interruption that would land there
# comes a moment later instead. The blocking waits of threading are written
# to be left by an exception (a Condition's wait, a Thread's wait for its end):
# interruptions land there.
def blocking_points():
    points = set()
    for function, call in ((threading.Condition.wait, "waiter.acquire("),
                           (getattr(threading.Thread, "_wait_for_tstate_lock", None), "lock.acquire(")):
        if function is None:
            continue
        lines, first = inspect.getsourcelines(function)
        inside = False
        for number, line in enumerate(lines, first):
            inside = inside or line.strip().startswith("try:")
            if inside and call in line and not line.strip().startswith("#"):
                points.add((function.__code__, number))
    return points

INTERRUPTIBLE = blocking_points()
USB = os.path.dirname(usb.__file__) + os.sep
FINALIZERS = ("weakref.py", "_objfinalizer.py")
BOOKKEEPING = ("_ResourceManager.", "synchronized.")

def fragile(frame):
    if (frame.f_code, frame.f_lineno) in INTERRUPTIBLE:
        return False
    if frame.f_code.co_filename.endswith("threading.py"):
        return True
    while frame is not None:
        code = frame.f_code
        if code.co_filename.endswith(FINALIZERS):
            return True
        if code.co_filename.startswith(USB) and (code.co_qualname.startswith(BOOKKEEPING) or
                                                 code.co_filename.startswith(USB + "backend")):
            return True
        frame = frame.f_back
    return False

armed = False
def on_signal(signum, frame):
    # A signal can come while this handler runs: it is about the frame the
    # outer call interrupted.
    while frame is not None and frame.f_code is on_signal.__code__:
        frame = frame.f_back
    if armed and frame is not None and fragile(frame):
        signal.setitimer(signal.ITIMER_REAL, 2e-5)
    elif armed:
        raise KeyboardInterrupt

signal.signal(signal.SIGALRM, on_signal)

def attempt(op, delay):
    global armed
    try:
        armed = True
        signal.setitimer(signal.ITIMER_REAL, delay)
        op()
        armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        return "completed"
    except BaseException as error:  # interrupted; pyusb may turn that into another error
        armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        return type(error).__name__

state = {}
def open_port(channel=1, name=NAME):
    # The port is made and kept by C code (dict.update over zip and map): no
    # interruption can come between the two.
    state.update(zip([channel], map(ozu_qlix.Serial, [name %% channel], [115200], [1.0])))

def is_open(channel):
    return channel in state and state[channel].is_open

def ensure_open(*channels):
    for channel in channels:
        if not is_open(channel):
            close_port(channel)
            open_port(channel)

def close_port(channel=1):
    port = state.get(channel)
    if port is not None and port.is_open:
        port.close()
    state.pop(channel, None)

def close_all():
    for channel in list(state):
        close_port(channel)

def round_trip(port):
    port.write(b"ping\n")
    assert port.read_until() == b"ping\n"

def device():
    return ozu_qlix.get_hid_device(SERIAL)

def leftovers():
    # What is left, and what the ports open in this script account for.
    gc.collect()  # pyusb devices made by a listing that an interruption left in a cycle
    open_channels = sorted(n for n in state if is_open(n))
    left = {"readers": len(reader_threads()), "registered": sorted(registry), "handles": handles(),
            "channels": [], "handlers": []}
    for registered in registry.values():
        left["channels"] += sorted(registered._Device__channels)
        left["handlers"] += sorted(registered._Device__io_control_handlers)
    expected = {"readers": 1 if open_channels else 0, "registered": [SERIAL] if open_channels else [],
                "handles": 1 if open_channels and BACKEND == "virtual" else 0, "channels": open_channels,
                "handlers": []}
    return left, expected

# kind: (state before it, interrupted operation, check that the next one works)
def check_open():
    ensure_open(1)
    round_trip(state[1])

def check_second():
    ensure_open(1, 2)
    round_trip(state[2])
    round_trip(state[1])

def check_baudrate():
    ensure_open(1)
    state[1].baudrate = 57600
    assert state[1].baudrate == 57600
    round_trip(state[1])

KINDS = {
    # Any adapter: its serial number is read (from the device) after it opened.
    "open": (close_all, lambda: open_port(1, "QLIXANYS%%d"), check_open),
    "close": (lambda: ensure_open(1), close_port, check_open),
    "second channel": (lambda: ensure_open(1, 2), lambda: (close_port(2), open_port(2)), check_second),
    "baudrate": (lambda: ensure_open(1), lambda: setattr(state[1], "baudrate", 9600), check_baudrate),
    "echo": (lambda: ensure_open(1), lambda: device().echo("hello"),
             lambda: device().echo("again") == "again" or 1 / 0),
    "list": (lambda: ensure_open(1), ozu_qlix.list_qlix_names,
             lambda: ozu_qlix.list_qlix_names() == [NAME %% n for n in range(1, 5)] or 1 / 0),
    "read and write": (lambda: ensure_open(1), lambda: round_trip(state[1]),
                       lambda: (state[1].reset_input_buffer(), round_trip(state[1]))),
}

def verify(moment):
    left, expected = leftovers()
    if left != expected:
        raise SystemExit("left behind %%s: %%r, expected %%r" %% (moment, left, expected))

kind = %(kind)r
prepare, op, check = KINDS[kind]
random.seed(%(seed)d)
# The operation's own length, to spread the interruptions over it: evenly on
# a log scale, so that the short steps before a long wait are hit as well.
timings = []
for _ in range(5):
    prepare()
    started = time.perf_counter()
    op()
    timings.append(time.perf_counter() - started)
    check()
span = sorted(timings)[2] * 1.2 + 1e-4
outcomes = {}
for i in range(%(attempts)d):
    prepare()
    outcome = attempt(op, math.exp(random.uniform(math.log(1e-6), math.log(span))))
    outcomes[outcome] = outcomes.get(outcome, 0) + 1
    verify("after attempt %%d (%%s)" %% (i, outcome))
    check()
    verify("after the check of attempt %%d" %% i)
close_all()
verify("at the end")
print(json.dumps(outcomes))
"""

BACKENDS = ["virtual", "fake"]
# Interruptions tried per kind and backend. An adapter's close joins its
# reader (up to one read time-out), and after an interrupted query the next
# one may wait for the late reply (up to the query's time-out): these kinds
# get fewer, and the children run side by side.
ATTEMPTS = {
    "open": 100,
    "close": 150,
    "second channel": 200,
    "baudrate": 200,
    "echo": 100,
    "list": 200,
    "read and write": 200,
}
KINDS = list(ATTEMPTS)


@pytest.fixture(scope="module")
def children():
    """One child per kind and backend, all started at once."""
    started = {}
    if ozu_qlix_sim.in_use():
        backends = BACKENDS
    else:
        backends = ["fake"]
    for backend in backends:
        for kind in KINDS:
            code = HARNESS % {"backend": backend, "kind": kind, "seed": 1, "attempts": ATTEMPTS[kind]}
            started[backend, kind] = start_child(code)
    yield started
    for child in started.values():
        if child.poll() is None:
            child.kill()
            child.communicate()


@pytest.mark.slow
@posix_timer
@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("kind", KINDS)
def test_interruptions_leave_nothing_stuck(children, backend, kind):
    if (backend, kind) not in children:
        require_virtual_bus()
    result = finish_child(children[backend, kind], timeout=240)
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes = json.loads(result.stdout.splitlines()[-1])
    assert outcomes.get("KeyboardInterrupt", 0) >= ATTEMPTS[kind] // 4, outcomes  # the moments hit the operation
