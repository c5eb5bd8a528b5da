#!/usr/bin/env python3
"""Memory and reference counts of ozu_qlix over many operations, on virtual adapters.

Each kind of operation (port open/close, write, read, read_until, echo,
list_qlix_names) runs `--count` times after a warm-up. Before and after, with
the garbage collector run, the script takes the interpreter's allocated block
count (sys.getallocatedblocks), the memory traced by tracemalloc, the process's
resident set size, and the reference counts of the objects every operation
touches (the port, its channel, the adapter object, the pyusb device, the data
and arguments passed in). A leak of one object or one reference per operation
shows up as growth proportional to the count; the limits below allow only a
small constant.

    python scripts/leak_check.py                  # 100000 of each kind
    python scripts/leak_check.py --count 2000 --kinds write,echo

Run it with the extension and the virtual USB library importable (an installed
wheel, or PYTHONPATH naming a build tree and python/). Exit status 1 when a
kind grows past its limits.
"""

import argparse
import gc
import os
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(os.path.join(HERE, os.pardir, "python"))

import ozu_qlix_sim  # noqa: E402

ozu_qlix_sim.use()
import ozu_qlix  # noqa: E402

SERIAL = "LEAK01"
KINDS = ("open_close", "write", "read", "read_until", "echo", "list_qlix_names")

# Growth allowed over a whole run, whatever its length: caches filling up,
# free lists, the odd interned string.
MAX_BLOCKS = 400
MAX_TRACED = 128 * 1024
MAX_RSS = 8 * 1024 * 1024


def rss():
    """Resident set size in bytes (0 where /proc is not available)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return 0


class Bench:
    """One adapter with a port kept open, so that opening and closing other
    ports does not open and close the adapter itself each time."""

    def __init__(self):
        ozu_qlix_sim.reset()
        ozu_qlix_sim.set_paced(False)
        # Reads and the baud-rate exchange poll every 10 ms through the module
        # global _sleep; a shorter poll runs the same code more often.
        self.sleep = ozu_qlix._sleep
        ozu_qlix._sleep = lambda seconds: time.sleep(seconds / 20)
        # Channels in pairs: data written to channel 1 goes to channel 2,
        # which stays closed, so writes leave nothing queued on the host.
        self.adapter = ozu_qlix_sim.add_adapter(SERIAL, channels=4, pairing=True)
        self.anchor = ozu_qlix.Serial("QLIX%sS3" % SERIAL, timeout=1)
        self.port = ozu_qlix.Serial("QLIX%sS1" % SERIAL, timeout=1)
        self.device = ozu_qlix.get_hid_device(SERIAL)
        self.data = b"0123456789"
        self.line = b"abcdefghi\n"
        self.terminator = b"\n"
        self.name = "QLIX%sS4" % SERIAL
        self.text = "hello"

    def close(self):
        self.port.close()
        self.anchor.close()
        ozu_qlix._sleep = self.sleep
        ozu_qlix_sim.set_paced(True)

    def forget(self):
        """Empties the virtual firmware's records of commands and data, which
        grow with every operation by design and would hide the module's RSS."""
        for channel in range(5):
            self.adapter.clear_received(channel)

    def watched(self):
        channel = self.port._Serial__handle
        return {
            "port": self.port,
            "channel": channel,
            "device": self.device,
            "usb device": self.device._Device__dev,
            "data": self.data,
            "line": self.line,
            "terminator": self.terminator,
            "name": self.name,
            "text": self.text,
        }

    def op(self, kind):
        if kind == "open_close":
            ozu_qlix.Serial(self.name, 9600, timeout=1).close()
        elif kind == "write":
            self.port.write(self.data)
        elif kind == "read":
            self.adapter.inject(1, self.data)
            if self.port.read(10) != self.data:
                raise AssertionError("read lost data")
        elif kind == "read_until":
            self.adapter.inject(1, self.line)
            if self.port.read_until(self.terminator) != self.line:
                raise AssertionError("read_until lost data")
        elif kind == "echo":
            if self.device.echo(self.text) != self.text:
                raise AssertionError("echo failed")
        elif kind == "list_qlix_names":
            if len(ozu_qlix.list_qlix_names()) != 4:
                raise AssertionError("names missing")
        else:
            raise ValueError(kind)


def snapshot(objects):
    gc.collect()
    return {
        "blocks": sys.getallocatedblocks(),
        "traced": tracemalloc.get_traced_memory()[0],
        "rss": rss(),
        "refs": {k: sys.getrefcount(v) for k, v in objects.items()},
    }


def measure(kind, count, bench=None):
    """Runs `count` operations of `kind`; returns the growth of each measure."""
    own = bench is None
    bench = bench or Bench()
    try:
        for _ in range(max(100, count // 10)):  # warm-up: caches and free lists settle
            bench.op(kind)
        objects = bench.watched()
        tracemalloc.start()
        before = snapshot(objects)
        started = time.monotonic()
        for n in range(count):
            bench.op(kind)
            if n % 1000 == 999:
                bench.forget()
        seconds = time.monotonic() - started
        after = snapshot(objects)
        tracemalloc.stop()
        refs = {k: after["refs"][k] - before["refs"][k] for k in objects if after["refs"][k] != before["refs"][k]}
        del objects
        return {
            "kind": kind,
            "count": count,
            "seconds": seconds,
            "blocks": after["blocks"] - before["blocks"],
            "traced": after["traced"] - before["traced"],
            "rss": after["rss"] - before["rss"],
            "refs": refs,
        }
    finally:
        if own:
            bench.close()


def problems(result):
    found = []
    if result["blocks"] > MAX_BLOCKS:
        found.append("%d more allocated blocks" % result["blocks"])
    if result["traced"] > MAX_TRACED:
        found.append("%d more bytes traced" % result["traced"])
    if result["rss"] > MAX_RSS:
        found.append("RSS grew by %d bytes" % result["rss"])
    if result["refs"]:
        found.append("reference counts changed: %r" % result["refs"])
    return found


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--kinds", default=",".join(KINDS))
    args = parser.parse_args(argv)
    failed = False
    bench = Bench()
    try:
        for kind in args.kinds.split(","):
            result = measure(kind, args.count, bench)
            bad = problems(result)
            failed |= bool(bad)
            print(
                "%-16s %7d ops %7.1f s  blocks %+6d  traced %+8d B  rss %+9d B  %s"
                % (
                    kind,
                    result["count"],
                    result["seconds"],
                    result["blocks"],
                    result["traced"],
                    result["rss"],
                    "; ".join(bad) or "flat",
                ),
                flush=True,
            )
    finally:
        bench.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
