#!/usr/bin/env python3
"""Unplugs and re-plugs a virtual adapter many times while data streams both ways.

Every cycle opens two ports of the adapter, streams numbered data out of one
(looped back by the virtual firmware) and reads it back on another thread,
while a read without a time limit waits on the second port; then the adapter
is pulled. Each cycle checks that the writer gets the USB error, the adapter's
reader thread ends with its one message, the data read before the pull is an
intact prefix of what was sent, the waiting read ends when its port is closed,
and after closing nothing is left: no reader thread, no registry entry, no open
device handle. Then the adapter is plugged back in for the next cycle, and
after the last one a port must still work.

    python scripts/soak_unplug.py              # 100 cycles
    python scripts/soak_unplug.py --cycles 500 --endpoint bulk

Run it with the extension and the virtual USB library importable (an installed
wheel, or PYTHONPATH naming a build tree and python/). Exit status 1 on the
first failed cycle.
"""

import argparse
import io
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(os.path.join(HERE, os.pardir, "python"))
sys.path.append(os.path.join(HERE, os.pardir, "tests"))

import ozu_qlix_sim  # noqa: E402

ozu_qlix_sim.use()
import ozu_qlix  # noqa: E402
import usb.core  # noqa: E402
from helpers import reader_threads, registry, wait_until  # noqa: E402

SERIAL = "CYC042"


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def cycle(adapter):
    port = ozu_qlix.Serial("QLIX%sS1" % SERIAL, timeout=0.05)
    idle = ozu_qlix.Serial("QLIX%sS2" % SERIAL, timeout=0)
    outcome, got, stop = {}, bytearray(), threading.Event()

    def write():
        n = 0
        try:
            while True:
                port.write(b"%08d" % n)
                n += 1
        except Exception as exc:
            outcome["write"] = exc

    def read():
        while not stop.is_set():
            got.extend(port.read(256))

    def wait_forever():
        try:
            outcome["idle"] = idle.read(10)
        except Exception as exc:
            outcome["idle"] = exc

    threads = [threading.Thread(target=f, daemon=True) for f in (write, read, wait_forever)]
    for t in threads:
        t.start()
    check(wait_until(lambda: len(got) > 800), "no data flowed")
    adapter.unplug()
    threads[0].join(5)
    check(
        isinstance(outcome.get("write"), usb.core.USBError), "writer did not get a USB error: %r" % outcome.get("write")
    )
    check(wait_until(lambda: not reader_threads()), "the adapter's reader thread outlived the adapter")
    stop.set()
    threads[1].join(5)
    check(bytes(got) == adapter.received(1)[: len(got)], "data read before the unplug is not a clean prefix")
    idle.close()
    threads[2].join(5)
    check(not threads[2].is_alive(), "a read without time limit survived its port's close")
    port.close()
    check(registry() == {}, "adapter left registered")
    check(wait_until(lambda: ozu_qlix_sim.open_handles() == 0), "device handle left open")
    check(not any(t.is_alive() for t in threads), "a test thread is stuck")
    return len(got)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cycles", type=int, default=100)
    parser.add_argument("--endpoint", choices=["interrupt", "bulk"], default="interrupt")
    args = parser.parse_args(argv)
    ozu_qlix_sim.reset()
    adapter = ozu_qlix_sim.add_adapter(SERIAL, channels=2, endpoint=args.endpoint)
    started, total = time.monotonic(), 0
    real_stderr = sys.stderr
    for n in range(args.cycles):
        sys.stderr = captured = io.StringIO()  # the reader's message, checked below
        try:
            total += cycle(adapter)
        except AssertionError as exc:
            sys.stderr = real_stderr
            print("cycle %d failed: %s" % (n + 1, exc))
            return 1
        finally:
            sys.stderr = real_stderr
        message = captured.getvalue()
        if not message.startswith("USB 设备[QLIX%sS]读取数据失败" % SERIAL) or message.count("USB 设备[") != 1:
            print("cycle %d: unexpected error output %r" % (n + 1, message))
            return 1
        adapter = adapter.replug()
    with ozu_qlix.Serial("QLIX%sS1" % SERIAL, timeout=1) as port:
        port.write(b"alive\n")
        if port.read_until() != b"alive\n":
            print("the port does not work after the last cycle")
            return 1
    print(
        "%d unplug/replug cycles on %s endpoints in %.1f s: %d bytes streamed, nothing leaked"
        % (args.cycles, args.endpoint, time.monotonic() - started, total)
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
