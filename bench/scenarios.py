"""The measurements of one benchmark round, run in a fresh interpreter.

Every function here plugs virtual adapters into the virtual USB bus, drives
them through ozu_qlix (and, for comparison, through bare pyusb on the same
device object and endpoints) and returns plain numbers. CPU is process CPU
time (all threads: the adapters' reader threads included); rates are wall
clock. Nothing here asserts speed: the driver (run.py) compares and reports.
"""

from __future__ import annotations

import array
import collections
import statistics
import threading
import time

import ozu_qlix_sim

# Imported by worker() after ozu_qlix_sim.use().
ozu_qlix = None

OUT_PAYLOAD = 62  # data bytes per OUT packet (one record, no terminator needed)
IN_PAYLOAD = 61  # data bytes per IN packet as the adapter packs them (room for the end marker)
EP_OUT, EP_IN = 0x01, 0x81
_serial_numbers = iter(range(1, 1_000_000))


def new_adapter(channels=4, endpoint="interrupt", pairing=False):
    return ozu_qlix_sim.add_adapter(
        "BENCH%04d" % next(_serial_numbers), channels=channels, endpoint=endpoint, pairing=pairing
    )


def open_port(adapter, channel, timeout=1.0):
    return ozu_qlix.Serial("QLIX%sS%d" % (adapter.serial, channel), 115200, timeout=timeout)


def device_of(port):
    """The _Device behind a Serial, and its pyusb device object."""
    device = port._Serial__handle._Channel__device
    return device, device._Device__dev


_cpu_tick = None
# Process clock steps one measurement spans (one in quick mode: its figures
# only show that it runs, and are never zero).
_span_ticks = 10


def cpu_span():
    """The least process CPU time one measurement spans: _span_ticks steps of
    the process clock, which steps in well under a microsecond on Linux but
    only at the scheduler tick (10 to 15.6 ms) on Windows."""
    global _cpu_tick
    if _cpu_tick is None:
        steps = []
        for _ in range(3):
            t0 = time.process_time()
            while (t1 := time.process_time()) == t0:
                pass
            steps.append(t1 - t0)
        _cpu_tick = min(steps)
    return _span_ticks * _cpu_tick


def cpu_per_op(fn, repeat, ops_per_call=1, before=None, rounds=1):
    """Process CPU microseconds per operation of `repeat` calls of fn, done
    `rounds` times and then again until the time spent covers cpu_span();
    `before`, if given, runs untimed ahead of each round."""
    spent, calls = 0.0, 0
    while calls < rounds * repeat or spent < cpu_span():
        if before is not None:
            before()
        t0 = time.process_time()
        for _ in range(repeat):
            fn()
        spent += time.process_time() - t0
        calls += repeat
    return spent / (calls * ops_per_call) * 1e6


def median_of_batches(pairs, batches):
    """Runs each (name, fn) in turn, `batches` times, and returns the median of each.

    Alternating the candidates batch by batch lets slow drift of the machine
    fall on all of them alike."""
    samples = {name: [] for name, _ in pairs}
    for _ in range(batches):
        for name, fn in pairs:
            samples[name].append(fn())
    return {name: statistics.median(values) for name, values in samples.items()}


class ReaderPause:
    """Holds an adapter's reader thread inside a control-reply handler.

    While held, the reader reads no packet, so the test can queue packets on
    the adapter and read them with bare pyusb, or let the reader loose on a
    known backlog. The handler is registered for a channel the caller does not
    otherwise use for replies."""

    def __init__(self, device, channel):
        self.device, self.channel = device, channel
        self.gate, self.held = threading.Event(), threading.Event()

    def _handler(self, package):
        self.held.set()
        self.gate.wait(30)

    def __enter__(self):
        self.gate.clear()
        self.held.clear()
        self.device.set_io_control_handler_for_channel(self._handler, self.channel)
        self.device.send_command_to_channel("Config?", self.channel)
        if not self.held.wait(10):
            raise RuntimeError("the reader thread did not pick up the pausing reply")
        return self

    def release(self):
        self.gate.set()

    def hold_again(self):
        """Lets the reader go on and holds it at the next reply: the reply is
        queued after everything already pending on the adapter, so on return
        the reader has dispatched all of that, and the caller never polled."""
        self.gate.set()
        self.gate.clear()
        self.held.clear()
        self.device.send_command_to_channel("Config?", self.channel)
        if not self.held.wait(30):
            raise RuntimeError("the reader thread did not come back to the pausing reply")

    def __exit__(self, *exc):
        self.gate.set()
        self.device.reset_io_control_handler_for_channel(self.channel)


def command_packet(text, channel=0):
    body = text.encode() + b"\n"
    return array.array("B", bytes([100 + channel, len(body)]) + body + bytes(62 - len(body)))


# --- 1. module-added CPU, unpaced --------------------------------------------------


def unpaced_costs(scale):
    """Per-operation CPU of the module next to bare pyusb, on unpaced adapters."""
    ozu_qlix_sim.set_paced(False)
    batches = max(3, int(7 * scale))
    result = {}

    # Writes: channel 1 of a paired adapter whose channel 2 stays closed, so the
    # firmware drops the data and the reader thread stays idle.
    writer = new_adapter(pairing=True)
    port = open_port(writer, 1)
    device, dev = device_of(port)
    packet = array.array("B", [1, OUT_PAYLOAD] + [0x41] * OUT_PAYLOAD)
    one, big = b"w" * OUT_PAYLOAD, bytes(range(256)) * 16
    big_packets = -(-len(big) // OUT_PAYLOAD)
    n = max(200, int(4000 * scale))
    nb = max(5, int(60 * scale))
    for fn in (lambda: dev.write(EP_OUT, packet, 100), lambda: port.write(one), lambda: port.write(big)):
        fn()
    result.update(
        median_of_batches(
            [
                ("write_bare_us", lambda: cpu_per_op(lambda: dev.write(EP_OUT, packet, 100), n)),
                ("write_62_us", lambda: cpu_per_op(lambda: port.write(one), n)),
                ("write_4k_per_packet_us", lambda: cpu_per_op(lambda: port.write(big), nb, big_packets)),
            ],
            batches,
        )
    )

    # Adapter round trips, next to the same command and reply by bare pyusb
    # (with the reader held, so the reply is ours to read).
    rt = max(50, int(600 * scale))
    echo_packet, version_packet = command_packet("Echo hello?"), command_packet("Version?")

    def bare_round_trips(cmd):
        with ReaderPause(device, 3):
            return cpu_per_op(lambda: (dev.write(EP_OUT, cmd, 100), dev.read(EP_IN, 64, 50)), rt)

    result.update(
        median_of_batches(
            [
                ("echo_bare_us", lambda: bare_round_trips(echo_packet)),
                ("echo_us", lambda: cpu_per_op(lambda: device.echo("hello"), rt)),
                ("version_bare_us", lambda: bare_round_trips(version_packet)),
                ("version_us", lambda: cpu_per_op(lambda: device.firmware_version, rt)),
            ],
            batches,
        )
    )

    # Channel open and close (baud-rate exchange included), next to the same
    # commands sent by bare pyusb.
    cycles = max(5, int(25 * scale))
    bare_cycle = [command_packet(t, 3) for t in ("Config 115200", "Config?", "OpenChannel", "FlushInput")]
    close_packet = command_packet("CloseChannel", 3)

    def bare_open_close():
        for p in bare_cycle:
            dev.write(EP_OUT, p, 100)
        dev.read(EP_IN, 64, 50)
        dev.write(EP_OUT, close_packet, 100)

    def bare_cycles():
        with ReaderPause(device, 4):
            return cpu_per_op(bare_open_close, cycles)

    result.update(
        median_of_batches(
            [
                ("open_close_bare_us", bare_cycles),
                ("open_close_us", lambda: cpu_per_op(lambda: open_port(writer, 3).close(), cycles)),
            ],
            max(3, batches // 2),
        )
    )
    port.close()

    result.update(inbound_costs(scale, batches))
    return result


SINGLE_RECORD = bytes([1, IN_PAYLOAD]) + bytes(range(IN_PAYLOAD)) + b"\0"
MULTI_RECORD = b"".join(bytes([c, 13]) + bytes(range(c, c + 13)) for c in (1, 2, 3, 4)) + bytes(4)


def inbound_costs(scale, batches):
    """Reader dispatch plus `read` per packet, next to a bare pyusb read loop."""
    adapter = new_adapter()
    ports = [open_port(adapter, c, timeout=1.0) for c in (1, 2, 3, 4)]
    device, dev = device_of(ports[0])
    # Batches small enough that the queued chunks stay in the caches, as they
    # do for a host that keeps up with its input.
    batch, batches_per_sample = 250, max(2, int(12 * scale))
    result = {}

    def inject(packet):
        for _ in range(batch):
            adapter.inject_packet(packet)

    def bare(packet):
        with ReaderPause(device, 1):
            return cpu_per_op(
                lambda: dev.read(EP_IN, 64, 50), batch, before=lambda: inject(packet), rounds=batches_per_sample
            )

    def module(packet, reads):
        with ReaderPause(device, 1) as pause:

            def dispatch_and_read():
                pause.hold_again()  # the reader dispatches the batch meanwhile
                for _ in range(batch):
                    for index, size in reads:
                        ports[index].read(size)

            return cpu_per_op(dispatch_and_read, 1, batch, before=lambda: inject(packet), rounds=batches_per_sample)

    single_reads = [(0, IN_PAYLOAD)]
    multi_reads = [(i, 13) for i in range(4)]
    module(SINGLE_RECORD, single_reads)
    result.update(
        median_of_batches(
            [
                ("in_single_bare_us", lambda: bare(SINGLE_RECORD)),
                ("in_single_us", lambda: module(SINGLE_RECORD, single_reads)),
                ("in_multi_bare_us", lambda: bare(MULTI_RECORD)),
                ("in_multi_us", lambda: module(MULTI_RECORD, multi_reads)),
            ],
            batches,
        )
    )

    # read_until per line and in_waiting, on data already queued.
    line = b"0123456789abcde\n"
    lines = max(100, int(2000 * scale))
    target = ports[0]

    def queue(data):
        """Queues `data` on the target's channel (before each timed round: the reads consume it)."""

        def fill():
            adapter.inject(1, data)
            deadline = time.monotonic() + 10
            while target.in_waiting < len(data) and time.monotonic() < deadline:
                time.sleep(0.001)

        return fill

    # Also a 40-byte line by read_until, and read(62) from a queue that holds plenty.
    long_line = b"0123456789" * 3 + b"abcdefghi\n"
    full = bytes(range(62)) * lines

    result.update(
        median_of_batches(
            [
                ("read_until_line_us", lambda: cpu_per_op(target.read_until, lines, before=queue(line * lines))),
                ("read_until_40_us", lambda: cpu_per_op(target.read_until, lines, before=queue(long_line * lines))),
                ("read_62_queued_us", lambda: cpu_per_op(lambda: target.read(62), lines, before=queue(full))),
                ("in_waiting_us", lambda: cpu_per_op(lambda: ports[1].in_waiting, lines * 5)),
            ],
            batches,
        )
    )
    for p in ports:
        p.close()
    return result


# --- 1b. the qlix:// handler next to ozu_qlix.Serial ----------------------------------


def handler_costs(scale):
    """CPU per read and write through pyserial's qlix:// handler (ozu_qlix_serial)
    next to the same calls on ozu_qlix.Serial, on the same channel of an unpaced
    adapter.

    A write costs about 10 us, most of it pyusb and the virtual bus, and varies by
    more than the handler adds; so the two are measured in many small batches,
    alternating, and the handler's figure is the base figure plus the median of
    the per-pair differences."""
    import serial
    import ozu_qlix_serial  # noqa: F401  (registers qlix://)

    ozu_qlix_sim.set_paced(False)
    # Channel 1 of a paired adapter whose channel 2 stays closed: the firmware
    # drops what is written and the reader thread stays idle.
    adapter = new_adapter(pairing=True)
    handler = serial.serial_for_url("qlix://%s/1" % adapter.serial, baudrate=115200, timeout=1.0)
    channel = handler._channel
    # An ozu_qlix.Serial over the same channel (a plain class: its one
    # attribute is the channel it forwards to).
    module = ozu_qlix.Serial.__new__(ozu_qlix.Serial)
    module._Serial__handle = channel
    n = max(100, int(500 * scale))
    pairs = max(6, int(60 * scale))
    one = b"w" * OUT_PAYLOAD
    line = b"0123456789abcde\n"

    def queued_reads(chunk, call):
        # Queued as the reader thread queues them, one new array each, before
        # each timed round (the reads consume them: a read of an empty queue
        # would wait out the timeout).
        def fill():
            for _ in range(n):
                channel.input_data(array.array("B", chunk))

        return cpu_per_op(call, n, before=fill)

    measures = {
        "handler_write": (
            lambda: cpu_per_op(lambda: module.write(one), n),
            lambda: cpu_per_op(lambda: handler.write(one), n),
        ),
        "handler_read": (
            lambda: queued_reads(bytes(range(IN_PAYLOAD)), lambda: module.read(IN_PAYLOAD)),
            lambda: queued_reads(bytes(range(IN_PAYLOAD)), lambda: handler.read(IN_PAYLOAD)),
        ),
        # ozu_qlix.Serial has no readline: its read_until() reads the same line.
        "handler_readline": (
            lambda: queued_reads(line, module.read_until),
            lambda: queued_reads(line, handler.readline),
        ),
    }
    result = {}
    for key, (base_fn, handler_fn) in measures.items():
        base_fn(), handler_fn()
        bases, added = [], []
        for i in range(pairs):
            if i % 2:
                h, b = handler_fn(), base_fn()
            else:
                b, h = base_fn(), handler_fn()
            bases.append(b)
            added.append(h - b)
        result[key + "_base_us"] = statistics.median(bases)
        result[key + "_us"] = result[key + "_base_us"] + statistics.median(added)
    handler.close()
    return result


# --- 2. paced streaming ---------------------------------------------------------------


class Stream:
    """All channels of some adapters streaming both ways through ozu_qlix.

    A writer thread per channel writes a known byte pattern; a consumer
    thread per channel reads what loops back. Measured over the writing
    window: payload rates, USB packet slots used, process CPU."""

    def __init__(self, adapters, seconds, chunk_packets):
        self.adapters, self.seconds = adapters, seconds
        self.ports = [(a, c, open_port(a, c, timeout=0.05)) for a in adapters for c in range(1, a.channels + 1)]
        pattern = bytes((i * 7 + 3) % 251 for i in range(OUT_PAYLOAD * chunk_packets * 8))
        self.chunk = OUT_PAYLOAD * chunk_packets
        self.pattern = pattern
        self.written = [0] * len(self.ports)
        self.received = [[] for _ in self.ports]
        self.stop_writing = threading.Event()
        self.stop_reading = threading.Event()

    def _writer(self, i, port):
        offset, pattern, chunk = 0, self.pattern, self.chunk
        while not self.stop_writing.is_set():
            data = pattern[offset : offset + chunk]
            self.written[i] += port.write(data)
            offset = (offset + chunk) % (len(pattern) - chunk)

    def _consumer(self, i, port):
        got = self.received[i]
        while not self.stop_reading.is_set():
            data = port.read(4096)
            if data:
                got.append(data)

    def run(self, busy=None):
        threads = [threading.Thread(target=self._writer, args=(i, p)) for i, (_, _, p) in enumerate(self.ports)]
        threads += [threading.Thread(target=self._consumer, args=(i, p)) for i, (_, _, p) in enumerate(self.ports)]
        for t in threads:
            t.start()
        time.sleep(0.2)  # reach the steady state
        return self._measure(threads, busy)

    def _measure(self, threads, busy):
        c0 = [(a.packets_out, a.packets_in) for a in self.adapters]
        got0 = self._received_total()
        w0, t0, cpu0 = sum(self.written), time.perf_counter(), time.process_time()
        spins = busy(self.seconds) if busy else time.sleep(self.seconds)
        t1, cpu1, w1, got1 = time.perf_counter(), time.process_time(), sum(self.written), self._received_total()
        c1 = [(a.packets_out, a.packets_in) for a in self.adapters]
        self.stop_writing.set()
        for t in threads[: len(self.ports)]:
            t.join(10)
        self._drain()
        self.stop_reading.set()
        for t in threads[len(self.ports) :]:
            t.join(10)
        wall = t1 - t0
        slots = wall * 1000 * packets_per_frame(self.adapters)
        lost, corrupt = self._check()
        for _, _, p in self.ports:
            p.close()
        return {
            "out_payload_pct": 100 * (w1 - w0) / (slots * OUT_PAYLOAD),
            "in_payload_pct": 100 * (got1 - got0) / (slots * IN_PAYLOAD),
            "out_slots_pct": 100 * sum(b[0] - a[0] for a, b in zip(c0, c1)) / slots,
            "in_slots_pct": 100 * sum(b[1] - a[1] for a, b in zip(c0, c1)) / slots,
            "cpu_pct": 100 * (cpu1 - cpu0) / wall,
            "lost_bytes": lost,
            "corrupt_channels": corrupt,
            "busy_spins": spins,
        }

    def _received_total(self):
        return sum(sum(len(x) for x in list(r)) for r in self.received)

    def _drain(self, limit=15.0):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if all(sum(len(x) for x in list(r)) >= w for r, w in zip(self.received, self.written)):
                return
            time.sleep(0.02)

    def _check(self):
        lost, corrupt = 0, 0
        for (adapter, _, _), got, written in zip(self.ports, self.received, self.written):
            data = b"".join(bytes(x) for x in got)
            lost += max(0, written - len(data))
            if not self._matches(data):
                corrupt += 1
        lost += sum(a.dropped for a in self.adapters)
        return lost, corrupt

    def _matches(self, data):
        """True when `data` is the written stream: the pattern, cycling at chunk offsets."""
        pattern, chunk, offset, at = self.pattern, self.chunk, 0, 0
        while at < len(data):
            piece = data[at : at + chunk]
            if piece != pattern[offset : offset + len(piece)]:
                return False
            at += chunk
            offset = (offset + chunk) % (len(pattern) - chunk)
        return True


def packets_per_frame(adapters):
    """USB packet slots per 1 ms frame and direction, summed over the adapters."""
    return sum(19 if a.bulk else 1 for a in adapters)


def adapters_for(endpoint, count=2):
    ozu_qlix_sim.set_paced(True)
    return [new_adapter(endpoint=endpoint) for _ in range(count)]


def paced_stream(endpoint, seconds, busy=None):
    chunk_packets = 4 if endpoint == "interrupt" else 16
    return Stream(adapters_for(endpoint), seconds, chunk_packets).run(busy)


class BareStream:
    """The same traffic by bare pyusb: a writer thread per channel writing
    ready-made packets, one reader thread per adapter reading packets."""

    def __init__(self, adapters, seconds):
        self.adapters, self.seconds = adapters, seconds
        self.devices = []
        for a in adapters:
            # Open every channel through the module, then hold its reader so the
            # adapter's IN packets are ours; the module stays idle meanwhile.
            ports = [open_port(a, c) for c in range(1, a.channels + 1)]
            device, dev = device_of(ports[0])
            self.devices.append((a, ports, ReaderPause(device, a.channels), dev))
        self.stop = threading.Event()
        self.moved = [0, 0]

    def _writer(self, dev, channel):
        packet = array.array("B", [channel, OUT_PAYLOAD] + [channel] * OUT_PAYLOAD)
        while not self.stop.is_set():
            dev.write(EP_OUT, packet, 100)

    def _reader(self, dev):
        while not self.stop.is_set():
            try:
                dev.read(EP_IN, 64, 50)
            except Exception:
                pass

    def run(self, busy=None):
        for _, _, pause, _ in self.devices:
            pause.__enter__()
        threads = []
        for a, _, _, dev in self.devices:
            threads += [threading.Thread(target=self._writer, args=(dev, c)) for c in range(1, a.channels + 1)]
            threads.append(threading.Thread(target=self._reader, args=(dev,)))
        for t in threads:
            t.start()
        time.sleep(0.2)
        c0 = [(a.packets_out, a.packets_in) for a in self.adapters]
        t0, cpu0 = time.perf_counter(), time.process_time()
        spins = busy(self.seconds) if busy else time.sleep(self.seconds)
        t1, cpu1 = time.perf_counter(), time.process_time()
        c1 = [(a.packets_out, a.packets_in) for a in self.adapters]
        self.stop.set()
        for t in threads:
            t.join(10)
        for _, ports, pause, _ in self.devices:
            pause.__exit__()
            for p in ports:
                p.close()
        wall = t1 - t0
        slots = wall * 1000 * packets_per_frame(self.adapters)
        return {
            "out_slots_pct": 100 * sum(b[0] - a[0] for a, b in zip(c0, c1)) / slots,
            "in_slots_pct": 100 * sum(b[1] - a[1] for a, b in zip(c0, c1)) / slots,
            "cpu_pct": 100 * (cpu1 - cpu0) / wall,
            "busy_spins": spins,
        }


# --- 3. idle cost ------------------------------------------------------------------------


def cpu_pct(seconds):
    """Process CPU over `seconds` of sleep, % of one core."""
    time.sleep(0.2)
    t0, cpu0 = time.perf_counter(), time.process_time()
    time.sleep(seconds)
    return 100 * (time.process_time() - cpu0) / (time.perf_counter() - t0)


def idle_costs(seconds):
    # One adapter with one channel open, above the same adapter with none.
    ozu_qlix_sim.set_paced(True)
    single = new_adapter()
    nothing = cpu_pct(seconds)
    port = open_port(single, 1, timeout=0)
    one = cpu_pct(seconds)
    port.close()
    ozu_qlix_sim.set_paced(False)
    adapters = adapters_for("interrupt")
    ports = [open_port(a, c, timeout=0) for a in adapters for c in range(1, a.channels + 1)]
    time.sleep(0.2)
    t0, cpu0 = time.perf_counter(), time.process_time()
    time.sleep(seconds)
    open_only = 100 * (time.process_time() - cpu0) / (time.perf_counter() - t0)

    results = []
    readers = [threading.Thread(target=lambda p=p: results.append(p.read(1))) for p in ports]
    for t in readers:
        t.start()
    time.sleep(0.2)
    t0, cpu0 = time.perf_counter(), time.process_time()
    time.sleep(seconds)
    blocked = 100 * (time.process_time() - cpu0) / (time.perf_counter() - t0)
    for p in ports:
        p.write(b"!")  # looped back: every blocked read returns
    for t in readers:
        t.join(10)

    # The same waits without the module: pyusb's 50 ms reads on both adapters
    # (the module's readers held meanwhile), and plain 0.01 s polling threads.
    stop = threading.Event()

    def bare_reads(dev):
        while not stop.is_set():
            try:
                dev.read(EP_IN, 64, 50)
            except Exception:
                pass

    def bare_polls():
        queue = collections.deque()
        while not stop.is_set():
            if not queue:
                time.sleep(0.01)

    pauses = [ReaderPause(device_of(p)[0], 1) for p in (ports[0], ports[-1])]
    figures = {}
    for key, targets in (
        ("idle_bare_reads_pct", [(bare_reads, device_of(p)[1]) for p in (ports[0], ports[-1])]),
        ("idle_bare_polls_pct", [(bare_polls, None)] * len(ports)),
    ):
        stop.clear()
        threads = [threading.Thread(target=fn, args=(arg,) if arg is not None else ()) for fn, arg in targets]
        if key == "idle_bare_reads_pct":
            for pause in pauses:
                pause.__enter__()
        for t in threads:
            t.start()
        time.sleep(0.2)
        t0, cpu0 = time.perf_counter(), time.process_time()
        time.sleep(seconds)
        figures[key] = 100 * (time.process_time() - cpu0) / (time.perf_counter() - t0)
        stop.set()
        for t in threads:
            t.join(10)
        if key == "idle_bare_reads_pct":
            for pause in pauses:
                pause.__exit__()
    for p in ports:
        p.close()
    return dict(
        figures,
        idle_none_pct=nothing,
        idle_one_adapter_added_pct=one - nothing,
        idle_open_pct=open_only,
        idle_blocked_reads_pct=blocked,
        idle_blocked_added_pct=blocked - open_only,
        idle_reads_returned=len(results),
    )


# --- 3a'. lifecycle --------------------------------------------------------------------------

EXIT_PROGRAM = """
import ozu_qlix_sim
ozu_qlix_sim.use()
ozu_qlix_sim.set_paced(True)
ozu_qlix_sim.add_adapter("EXIT00000001", channels=4)
import ozu_qlix
if OPEN:
    port = ozu_qlix.Serial("QLIXEXIT00000001S1", 115200, timeout=1)
"""


def lifecycle(cycles, exits):
    """Wall time, paced interrupt endpoints, medians in milliseconds: opening a
    channel, closing one that is not the adapter's last, and closing the last
    (which stops the adapter's reader), through ozu_qlix.Serial and qlix://;
    and how much later a program that returns from its main module with a
    channel still open ends than one that opened nothing."""
    import os
    import subprocess
    import sys

    import serial

    import ozu_qlix_serial  # noqa: F401  registers qlix://

    ozu_qlix_sim.set_paced(True)
    adapter = new_adapter()
    opens, others, lasts, url_lasts = [], [], [], []
    for _ in range(cycles):
        t0 = time.perf_counter()
        first = open_port(adapter, 1)
        opens.append(time.perf_counter() - t0)
        second = open_port(adapter, 2)
        t0 = time.perf_counter()
        second.close()
        others.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        first.close()
        lasts.append(time.perf_counter() - t0)
        port = serial.serial_for_url("qlix://%s/1" % adapter.serial, baudrate=115200, timeout=1)
        t0 = time.perf_counter()
        port.close()
        url_lasts.append(time.perf_counter() - t0)

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    ends = {}
    for opened in (False, True):
        times = []
        for _ in range(exits):
            t0 = time.perf_counter()
            subprocess.run([sys.executable, "-c", "OPEN = %s\n" % opened + EXIT_PROGRAM], env=env, check=True)
            times.append(time.perf_counter() - t0)
        ends[opened] = statistics.median(times)
    ms = lambda values: 1e3 * statistics.median(values)  # noqa: E731
    return {
        "life_open_ms": ms(opens),
        "life_close_other_ms": ms(others),
        "life_close_last_ms": ms(lasts),
        "life_close_last_url_ms": ms(url_lasts),
        "life_exit_open_ms": 1e3 * ends[True],
        "life_exit_none_ms": 1e3 * ends[False],
        "life_exit_added_ms": 1e3 * (ends[True] - ends[False]),
    }


# --- 3b. latency ---------------------------------------------------------------------------


def latencies(round_trips):
    """Round trips through an adapter's loopback, paced like full-speed USB:
    one byte (write, then read(1)) and a 17-byte line (write, then
    read_until()), in milliseconds, on interrupt and on bulk endpoints."""
    ozu_qlix_sim.set_paced(True)
    line = b"0123456789abcdef\n"
    result = {}
    for endpoint in ("interrupt", "bulk"):
        port = open_port(new_adapter(endpoint=endpoint), 1, timeout=1.0)
        for key, data, read in (("byte", b"x", lambda: port.read(1)), ("line", line, port.read_until)):
            times = []
            for _ in range(round_trips):
                t0 = time.perf_counter()
                port.write(data)
                got = read()
                times.append((time.perf_counter() - t0) * 1e3)
                if got != data:
                    raise RuntimeError("loopback returned %r for %r" % (got, data))
            times.sort()
            result["latency_%s_%s_median_ms" % (endpoint, key)] = statistics.median(times)
            result["latency_%s_%s_p99_ms" % (endpoint, key)] = times[min(len(times) - 1, int(len(times) * 0.99))]
        port.close()
    return result


# --- 3c. event loop ------------------------------------------------------------------------


def event_loop(round_trips, idle_seconds, big=65536):
    """qlix:// ports under asyncio through pyserial-asyncio-fast, paced like
    full-speed USB on interrupt endpoints: a line's round trip through the
    loopback, how long a 64 KiB write holds the loop (the write call, and the
    worst lateness of a 1 ms ticker while it is sent and echoed), whether it
    arrives intact, and the CPU of five idle ports in a running loop above the
    same adapter with no port open, and above one channel open outside the loop
    (which runs the adapter's reader thread)."""
    import asyncio

    import serial_asyncio_fast

    import ozu_qlix_serial  # noqa: F401  registers qlix://

    ozu_qlix_sim.set_paced(True)
    adapter = new_adapter(channels=8)
    url = "qlix://%s/%%d" % adapter.serial

    async def idle_cpu():
        await asyncio.sleep(0.2)
        t0, cpu0 = time.perf_counter(), time.process_time()
        await asyncio.sleep(idle_seconds)
        return 100 * (time.process_time() - cpu0) / (time.perf_counter() - t0)

    async def measure():
        result = {"loop_idle_closed_pct": await idle_cpu()}
        reader, writer = await serial_asyncio_fast.open_serial_connection(url=url % 1, baudrate=115200)
        line, times = b"0123456789abcdef\n", []
        for _ in range(round_trips):
            t0 = time.perf_counter()
            writer.write(line)
            got = await reader.readline()
            times.append((time.perf_counter() - t0) * 1e3)
            if got != line:
                raise RuntimeError("loopback returned %r for %r" % (got, line))
        result["loop_line_median_ms"] = statistics.median(times)

        data = bytes(range(256)) * (big // 256)
        lateness = []

        async def ticker():
            while True:
                t0 = time.perf_counter()
                await asyncio.sleep(0.001)
                lateness.append((time.perf_counter() - t0) * 1e3 - 1.0)

        tick = asyncio.ensure_future(ticker())
        await asyncio.sleep(min(1.0, 2 * idle_seconds))  # the ticker alone first: the machine's own lateness
        result["loop_tick_alone_lag_ms"] = max(lateness)
        lateness.clear()
        t0 = time.perf_counter()
        writer.write(data)
        result["loop_write_64k_call_ms"] = (time.perf_counter() - t0) * 1e3
        echoed = await reader.readexactly(len(data))
        tick.cancel()
        result["loop_write_64k_lag_ms"] = max(lateness)
        result["loop_write_64k_corrupt"] = int(echoed != data)
        writer.close()
        await writer.wait_closed()

        reader_only = open_port(adapter, 8)
        result["loop_idle_reader_pct"] = await idle_cpu()
        ports = [await serial_asyncio_fast.open_serial_connection(url=url % c, baudrate=115200) for c in range(1, 6)]
        result["loop_idle_open_pct"] = await idle_cpu()
        for _, w in ports:
            w.close()
            await w.wait_closed()
        reader_only.close()
        result["loop_idle_added_pct"] = result["loop_idle_open_pct"] - result["loop_idle_closed_pct"]
        result["loop_idle_ports_pct"] = result["loop_idle_open_pct"] - result["loop_idle_reader_pct"]
        return result

    return asyncio.run(measure())


# --- 4. GIL pressure -----------------------------------------------------------------------


def busy_loop(seconds):
    """Pure-Python work on the calling thread for `seconds`; returns loop passes per second."""
    passes = 0
    t0 = time.perf_counter()
    end = t0 + seconds
    while True:
        for _ in range(1000):
            passes += 1
        if time.perf_counter() >= end:
            break
    return passes / (time.perf_counter() - t0)


def gil_pressure(seconds):
    def busy_thread(duration):
        out = []
        t = threading.Thread(target=lambda: out.append(busy_loop(duration)))
        t.start()
        t.join()
        return out[0]

    # The solo speed is taken right before and right after each streamed
    # measurement, and their mean is its reference: another process starting
    # or stopping on the machine then moves both alike.
    before = busy_thread(seconds / 2)
    module = paced_stream("bulk", seconds, busy=busy_thread)
    between = busy_thread(seconds / 2)
    bare = BareStream(adapters_for("bulk"), seconds).run(busy=busy_thread)
    after = busy_thread(seconds / 2)
    return {
        "busy_alone_per_s": statistics.median([before, between, after]),
        "busy_share_module_pct": 100 * module["busy_spins"] / ((before + between) / 2),
        "busy_share_bare_pct": 100 * bare["busy_spins"] / ((between + after) / 2),
        "busy_module_out_slots_pct": module["out_slots_pct"],
        "busy_module_lost_bytes": module["lost_bytes"],
    }


# --- one round ---------------------------------------------------------------------------------


PARTS = ("unpaced", "handler", "paced", "idle", "lifecycle", "latency", "loop", "serve", "gil")


def round_(quick, parts=None):
    """All measurements once (or only the named `parts`); `quick` shrinks
    every count and duration."""
    parts = set(parts or PARTS)
    unknown = parts - set(PARTS)
    if unknown:
        raise ValueError("unknown parts: %s" % ", ".join(sorted(unknown)))
    global ozu_qlix, _span_ticks
    _span_ticks = 1 if quick else 10
    ozu_qlix_sim.use()
    import ozu_qlix as module

    ozu_qlix = module
    scale = 0.05 if quick else 1.0
    seconds = 0.3 if quick else 1.0
    ozu_qlix_sim.reset()
    result = unpaced_costs(scale) if "unpaced" in parts else {}
    if "handler" in parts:
        ozu_qlix_sim.reset()
        result.update(handler_costs(scale))
    if "paced" in parts:
        for endpoint in ("interrupt", "bulk"):
            ozu_qlix_sim.reset()
            for key, value in paced_stream(endpoint, seconds).items():
                if key != "busy_spins":
                    result["%s_%s" % (endpoint, key)] = value
        ozu_qlix_sim.reset()
        for key, value in BareStream(adapters_for("bulk"), seconds).run().items():
            if key != "busy_spins":
                result["bare_bulk_%s" % key] = value
    ozu_qlix_sim.reset()
    if "idle" in parts:
        result.update(idle_costs(0.5 if quick else 1.5))
        ozu_qlix_sim.reset()
    if "lifecycle" in parts:
        result.update(lifecycle(3, 2) if quick else lifecycle(15, 10))
        ozu_qlix_sim.reset()
    if "latency" in parts:
        result.update(latencies(30 if quick else 300))
        ozu_qlix_sim.reset()
    if "loop" in parts:
        result.update(event_loop(10, 0.1, 4096) if quick else event_loop(300, 3.0))
        ozu_qlix_sim.reset()
    if "serve" in parts:
        import serve_scenarios

        result.update(serve_scenarios.serve_costs(quick))
        ozu_qlix_sim.reset()
    if "gil" in parts:
        result.update(gil_pressure(seconds))
        ozu_qlix_sim.reset()
    return result
