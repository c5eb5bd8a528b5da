"""An adapter's life: closed ports touch USB no more, the registry never hands
out or keeps a closing or dead adapter, failed opens leave nothing, dropped
ports are finalized, baud-rate changes on one channel run one at a time; and a
race of all of it against unplugging (tests/races.py)."""

import gc
import threading
import time

import pytest
import serial
import usb.core

import ozu_qlix
import ozu_qlix_serial  # noqa: F401  (registers the qlix:// handler)
from conftest import assert_released, close_registered, reader_threads, registry, run_child, wait_until

SN = "0123456789AB"


def closed(name):
    return "^设备\\[%s\\]已关闭$" % name


@pytest.mark.skipif(not __debug__, reason="the closed-port checks of reads are assertions")
@pytest.mark.parametrize("other_open", [False, True])
@pytest.mark.parametrize("call", ["reset_input_buffer", "flushInput", "baudrate"])
def test_closed_port_touches_usb_no_more(bus, call, other_open):
    adapter = bus.add(SN)
    other = ozu_qlix.Serial("QLIX%sS2" % SN, timeout=1) if other_open else None
    port = ozu_qlix.Serial("QLIX%sS1" % SN, timeout=1)
    port.close()
    sent = len(adapter.written)
    with pytest.raises(AssertionError, match=closed("QLIX%sS1" % SN)):
        if call == "baudrate":
            port.baudrate = 19200
        else:
            getattr(port, call)()
    assert adapter.written[sent:] == []  # not even a flush while the adapter is open: channel 1 may be reopened
    if other:
        other.close()
    assert registry() == {} and not reader_threads()


# The checks that keep bytes off addresses that are not the caller's, made with assertions off
# too: each (code run on a 4-channel adapter, with channel 1 open and channel 2 closed) and its error.
GUARDS = {
    "channel 0": ("ozu_qlix.Serial('QLIX%sS0' % SN)", "AssertionError 通道号超出范围 (0, 4]:" + SN),
    "channel 5": ("ozu_qlix.Serial('QLIX%sS5' % SN)", "AssertionError 通道号超出范围 (0, 4]:" + SN),
    "open twice": ("ozu_qlix.Serial('QLIX%sS1' % SN)", "AssertionError 通道[1]已经打开:" + SN),
    "write closed": ("closed.write(b'x' * 70)", "AssertionError 设备[QLIX%sS2]已关闭" % SN),
    "read closed": ("closed.read(1)", "AssertionError 设备[QLIX%sS2]已关闭" % SN),
    "reset closed": ("closed.reset_input_buffer()", "AssertionError 设备[QLIX%sS2]已关闭" % SN),
    "not found": (
        "ozu_qlix.Serial('QLIXNOPES1')",
        'AssertionError QLIX Device (VID=0x483, PID=0x5750) with Serial Number "NOPE" not found.',
    ),
    "none attached": (
        "ozu_qlix._ResourceManager.find_device = staticmethod(lambda serial_number='': iter(()))\n"
        "    ozu_qlix._ResourceManager().get_device_by_serial_number('ANY')",
        "AssertionError QLIX Device (VID=0x483, PID=0x5750) not found.",
    ),
}

OPTIMISED = """
import ozu_qlix_sim
ozu_qlix_sim.use()
SN = %r
adapter = ozu_qlix_sim.add_adapter(SN, channels=4)
import ozu_qlix
port = ozu_qlix.Serial("QLIX%%sS1" %% SN, timeout=1)
closed = ozu_qlix.Serial("QLIX%%sS2" %% SN, timeout=1)
closed.close()
sent = [adapter.commands(n) for n in range(5)], adapter.received(2)
try:
    %s
except Exception as e:
    print(type(e).__name__, e)
print("nothing sent:", sent == ([adapter.commands(n) for n in range(5)], adapter.received(2)))
port.close()
"""


@pytest.mark.parametrize("guard", sorted(GUARDS))
def test_wire_checks_hold_without_assertions(guard):
    code, error = GUARDS[guard]
    out = run_child(OPTIMISED % (SN, code), "-O")
    assert out.stdout.splitlines() == [error, "nothing sent: True"], out.stderr


@pytest.mark.parametrize(
    "call",
    [
        lambda port: setattr(port, "baudrate", 19200),
        lambda port: port.reset_input_buffer(),
        lambda port: port.flushInput(),
    ],
)
def test_qlix_port_with_its_channel_closed(bus, call):
    bus.add(SN)
    port = serial.serial_for_url("qlix://%s/1" % SN, timeout=1)
    port._channel.close()  # closed under the port
    with pytest.raises(serial.PortNotOpenError):
        call(port)
    port.close()


@pytest.mark.parametrize("delay", [0, 0.002, 0.01, 0.03])
def test_open_racing_the_close_of_the_last_channel(sim, delay):
    sim.add_adapter("RACE02")
    first = ozu_qlix.Serial("QLIXRACE02S1", timeout=1)
    closer = threading.Thread(target=first.close)
    closer.start()
    time.sleep(delay)
    with ozu_qlix.Serial("QLIXRACE02S2", timeout=1) as second:  # the old adapter or a fresh one
        second.write(b"ok\n")
        assert second.read_until() == b"ok\n"
    closer.join()
    assert_released(sim)


def test_two_threads_churning_one_channel(sim, watchdog):
    sim.add_adapter("RACE03")
    stop, errors = time.monotonic() + 1, []

    def churn():
        while time.monotonic() < stop:
            try:
                ozu_qlix.Serial("QLIXRACE03S1", timeout=1).close()
            except AssertionError as exc:
                if "已经打开" not in str(exc):  # the other thread holds it: expected
                    errors.append(exc)
            except Exception as exc:
                errors.append(exc)

    threads = [threading.Thread(target=churn) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == []
    assert_released(sim)
    with ozu_qlix.Serial("QLIXRACE03S3", timeout=1) as port:
        port.write(b"ok\n")
        assert port.read_until() == b"ok\n"
    assert_released(sim)


def test_replug_after_get_hid_device(sim, capsys):
    adapter = sim.add_adapter("PLUG02")
    stale = ozu_qlix.get_hid_device("PLUG02")
    assert stale.firmware_version
    adapter.unplug()
    # The reader ends on the unplug, and the adapter with it: released and unregistered.
    assert wait_until(lambda: not reader_threads() and registry() == {} and sim.open_handles() == 0, 5)
    with pytest.raises(usb.core.USBError, match=r"^\[Errno 19\] USB 设备\[QLIXPLUG02S\]已关闭$"):
        stale.echo("x")
    assert sim.open_handles() == 0  # refused without opening the device again
    adapter.replug()
    assert ozu_qlix.list_qlix_names() == ["QLIXPLUG02S%d" % c for c in range(1, 5)]
    assert ozu_qlix.get_hid_device("PLUG02").echo("back") == "back"
    with ozu_qlix.Serial("QLIXPLUG02S1", timeout=1) as port:
        port.write(b"ok\n")
        assert port.read_until() == b"ok\n"
    assert_released(sim)
    assert capsys.readouterr().err.count("读取数据失败") == 1


@pytest.mark.skipif(not __debug__, reason="the failures are assertions")
@pytest.mark.parametrize(
    "reply, channel, message",
    [
        ("silent", 1, "查询设备通道数量超时:" + SN),
        ("abc", 1, "通道数量查询结果异常:" + SN),
        (None, 5, "通道号超出范围 (0, 4]:" + SN),
    ],
)
def test_failed_open_leaves_nothing(bus, reply, channel, message):
    adapter = bus.add(SN)
    adapter.channel_count_reply = reply
    with pytest.raises(AssertionError) as failed:
        ozu_qlix.Serial("QLIX%sS%d" % (SN, channel), timeout=1)
    assert str(failed.value) == message
    assert registry() == {} and not reader_threads() and adapter.disposed >= 1


@pytest.mark.parametrize("write_timeout", [0, None])
def test_dropped_qlix_port_is_finalized(sim, write_timeout):
    sim.add_adapter("DROP01")
    port = serial.serial_for_url("qlix://DROP01/1", timeout=1, write_timeout=write_timeout)
    port.write(b"queued\n")
    port.flush()
    del port
    gc.collect()
    assert not [t for t in threading.enumerate() if t.name.startswith("qlix output")]
    assert_released(sim)
    with serial.serial_for_url("qlix://DROP01/1", timeout=1) as again:  # not "already open"
        again.write(b"ok\n")
        assert again.readline() == b"ok\n"
    assert_released(sim)


def test_concurrent_baud_rate_changes_get_their_own_replies(bus):
    adapter = bus.add(SN)
    errors = []
    with ozu_qlix.Serial("QLIX%sS1" % SN, timeout=1) as port:

        def change(rate):
            for _ in range(25):
                try:
                    port.baudrate = rate
                except Exception as exc:
                    errors.append(exc)

        threads = [threading.Thread(target=change, args=(rate,)) for rate in (9600, 19200, 38400, 115200)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert errors == []
        assert port.baudrate == adapter.baud[1]


@pytest.mark.parametrize("reply, reported, kept", [(4800, 4800, 4800), ("silent", None, 9600)])
def test_qlix_port_reports_the_channels_rate_after_a_refused_change(bus, reply, reported, kept):
    adapter = bus.add(SN)
    with serial.serial_for_url("qlix://%s/1" % SN, baudrate=9600, timeout=1) as port:
        adapter.config_reply = reply
        with pytest.raises(serial.SerialException, match="could not set the baud rate"):
            port.baudrate = 19200
        # No answer (unplugged, say): the rate before, so that the port opens again.
        assert (port.baudrate, port._channel.baudrate) == (kept, reported)
        port.close()
        adapter.config_reply = "echo"
        port.open()
        assert port._channel.baudrate == kept


@pytest.mark.parametrize("paced", [True, False])
def test_race_of_everything_against_unplugging(sim, capsys, watchdog, paced):
    import races

    sim.set_paced(paced)
    try:
        run = races.Run(seconds=2.5, seed=20, unplug_every=0.3).run()
    finally:
        close_registered()
    assert run.failures == []
    assert_released(sim)


FORK = """
import atexit, gc, os, threading, time
import ozu_qlix_sim
ozu_qlix_sim.use()
adapter = ozu_qlix_sim.add_adapter("FORK01", channels=4)
import serial, usb.core, ozu_qlix, ozu_qlix_serial
port = serial.serial_for_url("qlix://FORK01/1", timeout=1, write_timeout=0)
plain = ozu_qlix.Serial("QLIXFORK01S2", timeout=1)
inherited = plain._Serial__handle._Channel__device._Device__dev
port.write(b"x" * 20000)  # its sending thread and the reader busy at the fork
pid = os.fork()
if pid == 0:
    touched = []  # what reaches pyusb in the child
    usb.core.Device.write = lambda *a, **k: touched.append("write")
    usb.core.Device.read = lambda *a, **k: touched.append("read")
    ozu_qlix._close_usb_device = lambda dev: touched.append("release " + ("inherited" if dev is inherited else "new"))
    atexit.register(lambda: print("touched", touched, flush=True))
    for call in [lambda: port.read(1), lambda: port.write(b"x"), lambda: plain.read(1), plain.reset_input_buffer,
                 lambda: ozu_qlix.Serial("QLIXFORK01S3", timeout=1)]:
        try:
            call()
        except Exception as e:
            print(type(e).__name__, str(e)[:60])
    plain.close()
    print("threads", [t.name for t in threading.enumerate()])
    del port
    gc.collect()
else:
    deadline = time.monotonic() + 30
    while not os.waitpid(pid, os.WNOHANG)[0]:
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            raise SystemExit("the child hangs")
        time.sleep(0.05)
    port.write(b"ok")
    print("parent", port.read(20002)[-2:], flush=True)
    port.close()
    plain.close()
"""


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="no fork() here")
def test_forked_child_closes_inherited_ports_without_usb_traffic():
    out = run_child(FORK, "-W", "ignore::DeprecationWarning")
    closed = "AssertionError 设备[QLIXFORK01S2]已关闭"
    assert out.stdout.splitlines() == [
        "PortNotOpenError Attempting to use a port that is not open",
        "PortNotOpenError Attempting to use a port that is not open",
        closed,
        closed,
        "USBError [Errno 16] the QLIX adapter FORK01 is busy (Resource busy): ",  # opened afresh: the parent holds it
        "threads ['MainThread']",
        "touched ['release new']",
        "parent b'ok'",
    ], out.stderr
