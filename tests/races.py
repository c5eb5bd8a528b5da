"""A workload that races everything that opens, uses and closes adapters.

Worker threads run random sequences of opening and closing ports, get_hid_device
(with echo and firmware_version), list_qlix_names, baud-rate changes, and writes
read back through the firmware's loopback, on the channels of two virtual
adapters, while another thread unplugs and replugs them. Used by
tests/test_lifecycle.py (seconds) and scripts/soak_races.py (minutes).

Errors that an unplug explains (the adapter was pulled while the operation ran)
are counted; an error with no unplug during the operation, a wrong echo, an
unexpected exception type or a hung thread is a failure. Once the run settles,
`settle_failures` checks that every channel opens and echoes, that the virtual
bus has as many open USB handles as there are registered adapters, that every
running reader belongs to a registered open adapter, and that every registered
adapter is open.
"""

import collections
import gc
import random
import threading
import time

import ozu_qlix
import ozu_qlix_sim
from helpers import reader_threads, registry, wait_until

SERIALS = ("RACE0A", "RACE0B")
CHANNELS = 2  # few channels: workers collide on them often
RATES = (9600, 19200, 57600, 115200)
# The error a worker may meet without any unplug: the channel is held by another worker.
HELD_ELSEWHERE = "channel_already_open"


class Bus:
    """The two adapters and their epochs: one more at each unplug and each replug,
    so an odd epoch means unplugged."""

    def __init__(self):
        self.lock = threading.Lock()
        self.adapters = {sn: ozu_qlix_sim.add_adapter(sn, channels=CHANNELS) for sn in SERIALS}
        self.epochs = dict.fromkeys(SERIALS, 0)
        self.unplugs = 0

    def epoch(self, sn):
        """The epoch of adapter `sn`, or of both adapters for None."""
        with self.lock:
            return tuple(self.epochs.values()) if sn is None else (self.epochs[sn],)

    def pull(self, sn):
        with self.lock:
            self.epochs[sn] += 1
            self.unplugs += 1
            self.adapters[sn].unplug()

    def plug(self, sn):
        with self.lock:
            self.adapters[sn] = self.adapters[sn].replug()
            self.epochs[sn] += 1


class Run:
    def __init__(self, seconds, seed, workers=4, unplug_every=0.4):
        self.seconds, self.seed, self.workers, self.unplug_every = seconds, seed, workers, unplug_every
        self.bus = Bus()
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.operations = 0
        self.explained = collections.Counter()  # errors explained by an unplug, by kind
        self.failures = []

    def fail(self, what):
        with self.lock:
            self.failures.append(what)

    # --- one operation ------------------------------------------------------------

    def attempt(self, sn, name, body, since=None):
        """Runs body(); an error is explained when `sn` was unplugged at some time
        since epoch `since` (by default: when the operation starts)."""
        before = self.bus.epoch(sn) if since is None else since
        try:
            body()
            return True
        except Exception as exc:
            if isinstance(exc, AssertionError) and getattr(exc, "qlix_error", None) == HELD_ELSEWHERE:
                kind = "held elsewhere"
            elif not isinstance(exc, (OSError, AssertionError, ValueError)):
                kind = None  # no error of this module or of pyusb
            elif self.bus.epoch(sn) != before or any(e % 2 for e in before):
                kind = type(exc).__name__ + " (unplugged)"
            else:
                kind = None  # nothing explains it
            if kind is None:
                self.fail("%s %s: %s: %s" % (name, sn or "", type(exc).__name__, exc))
            else:
                with self.lock:
                    self.explained[kind] += 1
            return False
        finally:
            with self.lock:
                self.operations += 1

    def worker(self, index):
        rng = random.Random(self.seed * 100 + index)
        ports = {}  # (sn, channel) -> the port this worker holds, and the epoch it was opened in
        while not self.stop.is_set():
            sn, channel = rng.choice(SERIALS), rng.randint(1, CHANNELS)
            key, op = (sn, channel), rng.random()
            port, since = ports.get(key, (None, None))
            if port is None and op < 0.45:
                epoch = self.bus.epoch(sn)

                def open_port():
                    ports[key] = ozu_qlix.Serial("QLIX%sS%d" % key, timeout=0.5), epoch

                self.attempt(sn, "open", open_port, epoch)
            elif port is not None and op < 0.25:
                del ports[key]
                self.attempt(sn, "close", port.close, since)
            elif port is not None and op < 0.45:
                rate = rng.choice(RATES)

                def change():
                    port.baudrate = rate
                    if port.baudrate != rate:
                        raise AssertionError("rate %r after setting %r" % (port.baudrate, rate))

                self.keep_or_drop(ports, key, self.attempt(sn, "baudrate", change, since))
            elif port is not None:
                token = b"%d-%d\n" % (index, rng.randrange(10**9))

                def exchange():
                    port.write(token)
                    got = port.read_until(b"\n")
                    if got != token:
                        raise OSError("echo %r for %r" % (got, token))

                self.keep_or_drop(ports, key, self.attempt(sn, "exchange", exchange, since))
            elif op < 0.75:

                def query():
                    device = ozu_qlix.get_hid_device(sn)
                    if rng.random() < 0.5:
                        device.firmware_version
                    else:
                        device.echo("e%d" % index)

                # The device handed out may close under the query (its last channel closed in
                # another thread): only the lookup itself must not fail without an unplug.
                self.attempt(sn, "get_hid_device", lambda: self.tolerate_closing(query))
            else:
                self.attempt(None, "list_qlix_names", self.listing)
        for (sn, _), (port, since) in ports.items():
            self.attempt(sn, "close", port.close, since)

    def keep_or_drop(self, ports, key, ok):
        """A port that failed (its adapter pulled) is closed and dropped."""
        if not ok:
            port, since = ports.pop(key)
            self.attempt(key[0], "close", port.close, since)

    @staticmethod
    def tolerate_closing(query):
        try:
            query()
        except OSError as exc:
            if getattr(exc, "qlix_error", None) != "adapter_closed":
                raise

    def listing(self):
        names = ozu_qlix.list_qlix_names()
        plugged = [sn for sn in SERIALS if self.bus.adapters[sn].plugged]
        expected = ["QLIX%sS%d" % (sn, c) for sn in SERIALS for c in range(1, CHANNELS + 1)]
        if len(plugged) == len(SERIALS) and sorted(names) != sorted(expected):
            raise OSError("listed %r" % names)

    def unplugger(self):
        rng = random.Random(self.seed)
        while not self.stop.wait(rng.uniform(0.5, 1.5) * self.unplug_every):
            sn = rng.choice(SERIALS)
            self.bus.pull(sn)
            if self.stop.wait(rng.uniform(0.02, 0.2)):
                break
            self.bus.plug(sn)

    # --- the run --------------------------------------------------------------------

    def run(self):
        threads = [threading.Thread(target=self.worker, args=(i,), daemon=True) for i in range(self.workers)]
        threads.append(threading.Thread(target=self.unplugger, daemon=True))
        for t in threads:
            t.start()
        time.sleep(self.seconds)
        self.stop.set()
        for t in threads:
            t.join(30)
            if t.is_alive():
                self.fail("a thread hung: %s" % t.name)
        for sn in SERIALS:
            if not self.bus.adapters[sn].plugged:
                self.bus.plug(sn)
        self.failures += settle_failures()
        return self


def settle_failures():
    """What is wrong once the run has settled (every adapter plugged back in)."""
    failures = []
    for sn in SERIALS:
        for channel in range(1, CHANNELS + 1):
            name = "QLIX%sS%d" % (sn, channel)
            try:
                with ozu_qlix.Serial(name, timeout=1) as port:
                    port.write(b"settled\n")
                    if port.read_until() != b"settled\n":
                        failures.append("%s does not echo" % name)
            except Exception as exc:
                failures.append("%s does not open: %s: %s" % (name, type(exc).__name__, exc))
        try:
            if ozu_qlix.get_hid_device(sn).echo("settled") != "settled":
                failures.append("%s: the adapter does not echo" % sn)
        except Exception as exc:
            failures.append("%s: echo failed: %s: %s" % (sn, type(exc).__name__, exc))

    def consistent():
        gc.collect()
        return (
            ozu_qlix_sim.open_handles() == len(registry())
            and all(t._target.__self__ in registry().values() for t in reader_threads())
            and len(reader_threads()) == len(registry())
        )

    wait_until(consistent)
    if ozu_qlix_sim.open_handles() != len(registry()):
        failures.append(
            "%d USB handles open for %d registered adapters" % (ozu_qlix_sim.open_handles(), len(registry()))
        )
    for t in reader_threads():
        device = t._target.__self__
        if device not in registry().values() or state(device) != "open":
            failures.append("a reader runs for a closed adapter (%s)" % state(device))
    for sn, device in registry().items():
        if state(device) != "open" or not device._Device__input_scanner.is_alive():
            failures.append("%s is registered but not open" % sn)
    return failures


def state(device):
    return device.__dict__.get("_Device__state", "open")
