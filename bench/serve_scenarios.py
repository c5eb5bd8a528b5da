"""The ``serve`` part of a benchmark round: ozu-qlix-serve in a child process on paced virtual
adapters, next to a direct ``qlix://`` port.

The server runs in its own interpreter (it owns the virtual adapters there); the clients run
here. Its CPU is read from /proc (the run time of all its threads, in nanoseconds), so the
figures that need it are Linux-only (None elsewhere).
"""

from __future__ import annotations

import json
import os
import selectors
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import ozu_qlix_sim

LINE = b"0123456789abcdef\n"
OUT_PAYLOAD = 62  # data bytes per 1 ms frame and adapter, each way (interrupt endpoints)

# Runs in the child: plugs the adapters, then either serves them or only opens their channels
# (the adapters' own reader threads, the baseline), and prints what it serves as one JSON line.
_CHILD = r"""
import asyncio, json, signal, sys
import ozu_qlix_sim
ozu_qlix_sim.use()
ozu_qlix_sim.set_paced(True)
mode, link_dir, serials = sys.argv[1], sys.argv[2], sys.argv[3:]
for serial_number in serials:
    ozu_qlix_sim.add_adapter(serial_number, channels=4)
import serial, ozu_qlix_serial
if mode == "direct":
    ports = [serial.serial_for_url("qlix://%s/%d" % (s, c), timeout=0) for s in serials for c in range(1, 5)]
    print(json.dumps([]), flush=True)
    signal.sigwait([signal.SIGTERM])
    raise SystemExit(0)
from ozu_qlix_serial import serve
server = serve.Server(serve.Options(port_base=0, link_dir=link_dir or None))

async def main():
    task = asyncio.ensure_future(server.run())
    while server.started is None or not server.started.is_set() or len(server.services) < 4 * len(serials):
        await asyncio.sleep(0.01)
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, server.stop)
    print(json.dumps([e.as_dict() for e in server.mapping()]), flush=True)
    await task

asyncio.run(main())
"""


class Child:
    """A child process serving (or only opening) adapters; its mapping, CPU, descriptors, threads."""

    def __init__(self, mode, serials, link_dir=""):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", _CHILD, mode, link_dir, *serials],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        line = self.proc.stdout.readline()
        if not line:
            self.proc.wait(10)
            raise RuntimeError("the %s child ended at start (exit %s)" % (mode, self.proc.returncode))
        self.mapping = json.loads(line)

    def cpu_ns(self):
        """Run time of all its threads so far (Linux), or None."""
        try:
            tasks = os.listdir("/proc/%d/task" % self.proc.pid)
        except OSError:
            return None
        total = 0
        for task in tasks:
            try:
                with open("/proc/%d/task/%s/schedstat" % (self.proc.pid, task)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass  # the thread ended meanwhile
        return total

    def resources(self):
        """(descriptors, threads, resident KiB) or None off Linux."""
        try:
            pid = self.proc.pid
            with open("/proc/%d/status" % pid) as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            return len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid)), rss
        except (OSError, StopIteration):
            return None

    def idle_pct(self, seconds):
        time.sleep(0.3)
        c0, t0 = self.cpu_ns(), time.perf_counter()
        time.sleep(seconds)
        c1, t1 = self.cpu_ns(), time.perf_counter()
        return None if c0 is None or c1 is None else 100 * (c1 - c0) / 1e9 / (t1 - t0)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def _median_round_trip(write, read, count):
    times = []
    for _ in range(count):
        t0 = time.perf_counter()
        write(LINE)
        got = read()
        times.append((time.perf_counter() - t0) * 1e3)
        if got != LINE:
            raise RuntimeError("round trip returned %r" % got)
    return statistics.median(times)


def _stream(tcp_ports, seconds, window=16384):
    """Every channel's loopback streamed both ways through raw TCP clients, at most `window` bytes
    in flight per channel. Returns the bytes received per second over `seconds` of steady
    streaming, the bytes sent and never received, and how many channels got back something else
    than they sent."""
    sel = selectors.DefaultSelector()
    states = []
    for index, port in enumerate(tcp_ports):
        sock = socket.create_connection(("127.0.0.1", port))
        sock.setblocking(False)
        pattern = bytes((index * 31 + i) % 255 for i in range(4096)) * 2  # no IAC: raw clients
        state = {"sock": sock, "pattern": pattern, "sent": 0, "got": 0, "bad": False}
        states.append(state)
        sel.register(sock, selectors.EVENT_READ, state)
    time.sleep(0.2)  # admitted
    start = time.perf_counter()
    window_start, window_end = start + 0.5, start + 0.5 + seconds
    counted, counted_at_start = None, 0
    while True:
        now = time.perf_counter()
        if counted is None and now >= window_end:
            counted = sum(s["got"] for s in states) - counted_at_start
        if now < window_start:
            counted_at_start = sum(s["got"] for s in states)
        sending = now < window_end
        if not sending and (all(s["got"] >= s["sent"] for s in states) or now > window_end + 5.0):
            break
        for s in states:
            room = s["got"] + window - s["sent"] if sending else 0
            events = selectors.EVENT_READ | (selectors.EVENT_WRITE if room > 0 else 0)
            sel.modify(s["sock"], events, s)
        for key, events in sel.select(0.05):
            s = key.data
            if events & selectors.EVENT_WRITE:
                offset = s["sent"] % 4096
                room = min(4096, s["got"] + window - s["sent"])
                try:
                    s["sent"] += s["sock"].send(s["pattern"][offset : offset + room])
                except BlockingIOError:
                    pass
            if events & selectors.EVENT_READ:
                data = s["sock"].recv(65536)
                offset = s["got"] % 4096
                expected = (s["pattern"] * (1 + len(data) // 4096))[offset : offset + len(data)]
                s["bad"] = s["bad"] or data != expected
                s["got"] += len(data)
    for s in states:
        sel.unregister(s["sock"])
        s["sock"].close()
    return counted / seconds, sum(s["sent"] - s["got"] for s in states), sum(s["bad"] for s in states)


def _direct_stream(serial_number, seconds, window=16384):
    """The stream of _stream on the adapter's four channels as qlix:// ports in this process, driven
    the way the server drives them (write_timeout 0, waiting on fileno()). Bytes received per
    second over `seconds` of steady streaming."""
    import serial

    ports = [
        serial.serial_for_url("qlix://%s/%d" % (serial_number, c), timeout=0, write_timeout=0) for c in range(1, 5)
    ]
    sel = selectors.DefaultSelector()
    for index, port in enumerate(ports):
        sel.register(port.fileno(), selectors.EVENT_READ, index)
    sent, got, data = [0] * 4, [0] * 4, bytes(window)
    start = time.perf_counter()
    counted_at = None
    while True:
        now = time.perf_counter()
        if counted_at is None and now >= start + 0.5:
            counted_at, base = now, sum(got)
        if counted_at is not None and now >= counted_at + seconds:
            rate = (sum(got) - base) / (now - counted_at)
            break
        for index, port in enumerate(ports):
            room = got[index] + window - sent[index]
            if room > 0:
                sent[index] += port.write(data[:room])
        for key, _ in sel.select(0.01):
            port = ports[key.data]
            got[key.data] += len(port.read(port.in_waiting or 1))
    for port in ports:
        port.close()
    return rate


def serve_costs(quick):
    """The serve figures (POSIX: the server child is stopped by SIGTERM; none on Windows)."""
    if os.name == "nt":
        return {}
    import serial

    import ozu_qlix_serial  # noqa: F401  registers qlix://

    round_trips = 10 if quick else 300
    seconds = 0.3 if quick else 3.0
    cycles = 200 if quick else 10000
    result = {}

    # The direct ports, in this process.
    ozu_qlix_sim.set_paced(True)
    ozu_qlix_sim.add_adapter("DIRECT000001", channels=4)
    with serial.serial_for_url("qlix://DIRECT000001/1", timeout=1) as port:
        result["serve_direct_line_median_ms"] = _median_round_trip(port.write, port.readline, round_trips)
    result["serve_direct_stream_pct"] = 100 * _direct_stream("DIRECT000001", seconds) / (OUT_PAYLOAD * 1000)

    serials = ["SERVE0000001", "SERVE0000002"]
    direct = Child("direct", serials)
    try:
        idle_direct = direct.idle_pct(0.5 if quick else 5.0)
    finally:
        direct.stop()
    links = tempfile.mkdtemp(prefix="qlix-bench-") if os.name != "nt" else ""
    server = Child("serve", serials, links)
    try:
        tcp = [entry["tcp_port"] for entry in server.mapping]
        with serial.serial_for_url("rfc2217://127.0.0.1:%d" % tcp[0], timeout=1) as port:
            result["serve_rfc2217_line_median_ms"] = _median_round_trip(port.write, port.readline, round_trips)
        path = server.mapping[1]["path"]
        if path:
            with serial.Serial(path, timeout=1) as port:
                time.sleep(0.1)  # the server notices the terminal open
                result["serve_terminal_line_median_ms"] = _median_round_trip(port.write, port.readline, round_trips)
        rate, lost, corrupt = _stream(tcp[:4], seconds)  # the first adapter's four channels
        result["serve_stream_pct"] = 100 * rate / (OUT_PAYLOAD * 1000)
        result["serve_stream_lost_bytes"] = lost
        result["serve_stream_corrupt_channels"] = corrupt

        clients = [socket.create_connection(("127.0.0.1", port)) for port in tcp]
        idle_served = server.idle_pct(0.5 if quick else 5.0)
        for sock in clients:
            sock.close()
        if idle_served is not None and idle_direct is not None:
            result["serve_idle_pct"] = idle_served
            result["serve_idle_direct_pct"] = idle_direct
            result["serve_idle_added_pct"] = idle_served - idle_direct

        # A warm-up first, so that the allocator's high-water mark is reached before counting.
        for i in range(cycles // 10):
            socket.create_connection(("127.0.0.1", tcp[i % len(tcp)])).close()
        time.sleep(0.5)
        before = server.resources()
        for i in range(cycles):
            socket.create_connection(("127.0.0.1", tcp[i % len(tcp)])).close()
        time.sleep(0.5)
        after = server.resources()
        if before and after:
            result["serve_cycles"] = cycles
            result["serve_cycles_fds_added"] = after[0] - before[0]
            result["serve_cycles_threads_added"] = after[1] - before[1]
            result["serve_cycles_rss_added_kib"] = after[2] - before[2]
    finally:
        server.stop()
        if links:
            try:
                os.rmdir(links)
            except OSError:
                pass
    return result
