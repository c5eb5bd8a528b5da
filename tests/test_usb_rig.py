"""The module on the real USB stack: the adapter's firmware as a gadget on the kernel's dummy
host controller, driven through the real libusb and usbfs (scripts/usb_rig.sh). Figures are
printed (pytest -s or the rig's log), not asserted beyond loose bounds: the guest runs under TCG."""

import os
import re
import statistics
import subprocess
import sys
import threading
import time

import pytest

if sys.platform != "linux":
    pytest.skip("the kernel rig runs on Linux", allow_module_level=True)
# The rest is POSIX only (grp, the C library through ctypes).
import grp  # noqa: E402
import serial  # noqa: E402
import usb.core  # noqa: E402

import ozu_qlix  # noqa: E402
import ozu_qlix_serial  # noqa: E402,F401  (registers qlix://)
import usb_rig  # noqa: E402

pytestmark = pytest.mark.usb_rig
SERIAL = usb_rig.SERIAL
CHANNELS = range(1, usb_rig.CHANNELS + 1)


@pytest.fixture(scope="session")
def gadget():
    g = usb_rig.Gadget(os.environ.get("OZU_QLIX_RIG_GADGET", ""))
    yield g
    g.stop()


@pytest.fixture(params=["vendor", "hid"])
def attached(request, gadget):
    gadget.start(request.param)
    return gadget


@pytest.fixture
def vendor(gadget):
    gadget.start("vendor")
    return gadget


def open_port(api, channel, baudrate=115200, timeout=5.0, **options):
    if api == "url":
        return serial.serial_for_url("qlix://%s/%d" % (SERIAL, channel), baudrate=baudrate, timeout=timeout, **options)
    return ozu_qlix.Serial("QLIX%sS%d" % (SERIAL, channel), baudrate=baudrate, timeout=timeout)


def run_python(code, *, user=None, groups=(), timeout=60):
    """Runs `code` in a new interpreter on the real stack (optionally as another user)."""
    extra = {}
    if user is not None:
        extra = dict(user=user, group="nogroup", extra_groups=list(groups))
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ, PYTHONPATH=os.path.dirname(__file__)),
        **extra,
    )


def test_listing_queries_and_the_kernel_driver(attached):
    assert usb_rig.interface_driver() == ("usbhid" if attached.klass == "hid" else None)
    assert ozu_qlix.list_serial_numbers() == [SERIAL]
    assert ozu_qlix.list_qlix_names() == ["QLIX%sS%d" % (SERIAL, n) for n in CHANNELS]
    with ozu_qlix.Serial("QLIX%sS1" % SERIAL, baudrate=9600, timeout=1) as port:
        assert usb_rig.interface_driver() == "usbfs"  # usbhid detached, the interface claimed
        dev = ozu_qlix.get_hid_device(SERIAL)
        assert dev.channel_count == usb_rig.CHANNELS
        assert dev.echo("hello rig") == "hello rig" and dev.firmware_version
    assert usb_rig.interface_driver() is None
    with ozu_qlix.Serial("QLIX%sS1" % SERIAL, baudrate=9600, timeout=1) as port:  # usable after close
        port.write(b"again")
        assert port.read(5) == b"again"


@pytest.mark.parametrize("api", ["module", "url"])
def test_rates_confirmed_and_data_both_ways_on_every_channel(attached, api):
    rates = [9600, 19200, 57600, 115200]
    ports = [open_port(api, n, baudrate=rate) for n, rate in zip(CHANNELS, rates)]
    try:
        assert [p.baudrate for p in ports] == rates
        for n, p in zip(CHANNELS, ports):
            p.write(b"line %d\n" % n)
        assert [bytes(p.read_until(b"\n")) for p in ports] == [b"line %d\n" % n for n in CHANNELS]
    finally:
        for p in ports:
            p.close()


@pytest.mark.parametrize("api", ["module", "url"])
def test_64_kib_per_channel_intact_and_figures(vendor, api):
    payloads = {n: bytes((n * 7 + i) & 0xFF for i in range(65536)) for n in CHANNELS}
    ports = {n: open_port(api, n, baudrate=921600, timeout=150) for n in CHANNELS}  # TCG on a loaded host is slow
    got = {}
    try:
        trips = []
        for _ in range(20):
            began = time.perf_counter()
            ports[1].write(b"ping\n")
            assert bytes(ports[1].read_until(b"\n")) == b"ping\n"
            trips.append(time.perf_counter() - began)

        def stream(n):
            reader = threading.Thread(target=lambda: got.__setitem__(n, bytes(ports[n].read(65536))))
            reader.start()
            ports[n].write(payloads[n])
            reader.join(200)

        began = time.perf_counter()
        writers = [threading.Thread(target=stream, args=(n,)) for n in CHANNELS]
        for t in writers:
            t.start()
        for t in writers:
            t.join(250)
        took = time.perf_counter() - began
    finally:
        for p in ports.values():
            p.close()
    lost = {
        n: (
            len(got.get(n, b"")),
            next((i for i, (a, b) in enumerate(zip(got.get(n, b""), payloads[n])) if a != b), None),
        )
        for n in CHANNELS
        if got.get(n) != payloads[n]
    }
    assert not lost, "channel: (bytes received, first wrong offset) %r after %.1f s" % (lost, took)
    print(
        "\nrig figures (%s): 5-byte round trip median %.2f ms; 4 x 64 KiB both ways in %.2f s = %.1f KiB/s "
        "per direction" % (api, statistics.median(trips) * 1e3, took, 4 * 64 / took)
    )


def test_unplug_fails_waiting_reads_then_replug_opens_again(vendor):
    ports = [open_port("module", n, timeout=0) for n in (1, 2, 3)]  # reads wait without limit
    outcomes = []

    def wait_read(p):
        try:
            p.read(1)
            outcomes.append(("returned", None))
        except Exception as exc:
            outcomes.append((time.monotonic(), exc))

    readers = [threading.Thread(target=wait_read, args=(p,), daemon=True) for p in ports]
    for t in readers:
        t.start()
    time.sleep(0.3)
    pulled = time.monotonic()
    vendor.unplug()
    for t in readers:
        t.join(10)
    assert not any(t.is_alive() for t in readers), "a read stayed stuck after the unplug"
    assert len(outcomes) == 3 and all(isinstance(exc, OSError) for _, exc in outcomes), outcomes
    print(
        "\nunplug: reads failed %.2f s after the pull-up dropped: %s"
        % (max(t for t, _ in outcomes) - pulled, outcomes[0][1])
    )
    for p in ports:
        p.close()
    vendor.replug()
    with open_port("url", 1) as port:
        port.write(b"back")
        assert port.read(4) == b"back"


def test_a_second_process_gets_the_busy_error_and_the_first_is_unaffected(vendor):
    with open_port("url", 1) as port:
        result = run_python("import ozu_qlix\nozu_qlix.Serial('QLIX%sS2', baudrate=9600, timeout=1)" % SERIAL)
        assert result.returncode == 1
        assert "is busy (Resource busy): another process holds it" in result.stderr
        assert "open every channel from one process" in result.stderr
        port.write(b"still mine")
        assert port.read(10) == b"still mine"


def test_access_error_names_the_udev_rule_and_the_rule_grants_access(vendor):
    probe = (
        "import ozu_qlix\nwith ozu_qlix.Serial('QLIXANYS1', baudrate=9600, timeout=1) as p:\n"
        "    p.write(b'ok'); print(bytes(p.read(2)))"
    )
    denied = run_python(probe, user="nobody", groups=["plugdev"])
    assert (
        denied.returncode == 1 and 'install the udev rule that "ozu-qlix-ports --udev-rule" prints' in denied.stderr
    ), denied.stderr
    rule = os.path.join(os.path.dirname(ozu_qlix_serial.__file__), "60-ozu-qlix.rules")
    os.makedirs("/run/udev/rules.d", exist_ok=True)
    with open(rule) as src, open("/run/udev/rules.d/60-ozu-qlix.rules", "w") as dst:
        dst.write(src.read())
    # udevadm test runs the rules on the device as udevd would; what they set for the node is then
    # applied as udevd applies it.
    tested = subprocess.run(
        ["udevadm", "test", "--action=add", usb_rig.sysfs_device()], capture_output=True, text=True, timeout=60
    )
    found = dict(re.findall(r"60-ozu-qlix\.rules:\d+ (MODE|GROUP) (\S+)", tested.stdout + tested.stderr))
    plugdev = grp.getgrnam("plugdev").gr_gid
    assert found == {"MODE": "0660", "GROUP": str(plugdev)}, (tested.stdout + tested.stderr)[-3000:]
    node = usb_rig.device_node()
    os.chown(node, -1, plugdev)
    os.chmod(node, int(found["MODE"], 8))
    granted = run_python(probe, user="nobody", groups=["plugdev"])
    assert granted.returncode == 0 and "b'ok'" in granted.stdout, granted.stderr
    nobody_alone = run_python(probe, user="nobody")  # not in plugdev: still refused
    assert nobody_alone.returncode == 1


EXIT_WITH_DAEMON_READS = (
    """
import threading, ozu_qlix
ports = [ozu_qlix.Serial('QLIX%sS%%d' %% n, baudrate=9600, timeout=0) for n in (1, 2)]
for p in ports:
    threading.Thread(target=p.read, args=(1,), daemon=True).start()
import time; time.sleep(0.3); print('leaving', flush=True)
"""
    % SERIAL
)

CTRL_C_IN_OPEN = """
import os, signal, threading, ozu_qlix
threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    while True:
        ozu_qlix.Serial('QLIX%sS1', baudrate=9600, timeout=1).close()
except KeyboardInterrupt:
    print('interrupted', flush=True)
with ozu_qlix.Serial('QLIX%sS1', baudrate=9600, timeout=1) as p:
    p.write(b'z'); print(bytes(p.read(1)))
""" % (SERIAL, SERIAL)


def test_process_exit_with_daemon_threads_inside_reads(vendor):
    result = run_python(EXIT_WITH_DAEMON_READS, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == "leaving", result.stderr


def test_slow_uart_module_write_passes_the_out_time_out_through(vendor):
    with open_port("module", 1, baudrate=9600) as port:
        with pytest.raises(usb.core.USBTimeoutError):
            port.write(bytes(4096))


def test_slow_uart_url_write_waits_until_every_byte_is_taken(vendor):
    data = bytes(i & 0xFF for i in range(4096))
    with open_port("url", 1, baudrate=9600, timeout=15, write_timeout=None) as port:
        began = time.monotonic()
        assert port.write(data) == 4096
        port.flush()
        took = time.monotonic() - began
        assert bytes(port.read(4096)) == data
    assert took > 2.5  # (4096 - 256 buffered) bytes at 960 bytes/s


def test_slow_uart_url_write_timeout_raises_after_about_that_time(vendor):
    with open_port("url", 1, baudrate=9600, write_timeout=0.5) as port:
        began = time.monotonic()
        with pytest.raises(serial.SerialTimeoutException):
            port.write(bytes(4096))
        took = time.monotonic() - began
    assert 0.4 < took < 5, took


def test_server_serves_the_adapter_again_after_a_replug_on_the_same_port_and_path(vendor, tmp_path):
    links = str(tmp_path / "links")
    path = os.path.join(links, "QLIX%sS1" % SERIAL)
    server = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "ozu_qlix_serial.serve",
            "--port-base",
            "7300",
            "--link-dir",
            links,
            "--baudrate",
            "115200",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )

    def echo_through(url):
        deadline = time.monotonic() + 30
        while True:
            try:
                port = serial.serial_for_url(url, timeout=5)
                break
            except OSError:  # not served yet: refused with a one-line reason, or no link yet
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        with port:
            port.write(b"served")
            return port.read(6)

    try:
        for _ in range(2):
            assert echo_through("rfc2217://127.0.0.1:7300") == b"served"
            assert echo_through(path) == b"served"
            vendor.unplug()
            usb_rig._wait(lambda: not os.path.exists(path), "the server drops the terminal's link", 10)
            vendor.replug()
    finally:
        server.terminate()
        _, err = server.communicate(timeout=30)
    assert server.returncode == 0, err


# Last: an interrupt may land while pyusb's search by serial number reads a device's serial number
# (a few control transfers here); that search reads under a bare except, so the module holds SIGINT's
# handler back until the search has ended.
def test_ctrl_c_during_opens_then_the_next_open_works(vendor):
    try:
        result = run_python(CTRL_C_IN_OPEN, timeout=60)
        assert result.returncode == 0 and result.stdout.strip() == "interrupted\nb'z'", result.stderr
    finally:
        vendor.stop()  # a fresh firmware for anything after
