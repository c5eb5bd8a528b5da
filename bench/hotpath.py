"""Runs one hot path of ozu_qlix in a loop, for a profiler to watch.

    PYTHONPATH=build:python python bench/hotpath.py write|in1|in4 [seconds]

`write` repeats Serial.write of 62 bytes; `in1` / `in4` inject packets of one or
four records and read them back through Serial.read (the reader thread
dispatches them meanwhile). Prints the operations per second.
"""

from __future__ import annotations

import sys
import time

import scenarios
import ozu_qlix_sim


def main(argv):
    path = argv[1] if len(argv) > 1 else "write"
    seconds = float(argv[2]) if len(argv) > 2 else 3.0
    ozu_qlix_sim.use()
    import ozu_qlix

    scenarios.ozu_qlix = ozu_qlix
    ozu_qlix_sim.set_paced(False)
    ops, t0 = 0, time.monotonic()
    if path == "write":
        adapter = scenarios.new_adapter(pairing=True)
        port = scenarios.open_port(adapter, 1)
        data = b"w" * scenarios.OUT_PAYLOAD
        while time.monotonic() - t0 < seconds:
            for _ in range(1000):
                port.write(data)
            ops += 1000
        port.close()
    else:
        multi = path == "in4"
        adapter = scenarios.new_adapter()
        ports = [scenarios.open_port(adapter, c) for c in (1, 2, 3, 4)]
        device, _ = scenarios.device_of(ports[0])
        packet = scenarios.MULTI_RECORD if multi else scenarios.SINGLE_RECORD
        reads = [(i, 13) for i in range(4)] if multi else [(0, scenarios.IN_PAYLOAD)]
        with scenarios.ReaderPause(device, 1) as pause:
            while time.monotonic() - t0 < seconds:
                for _ in range(250):
                    adapter.inject_packet(packet)
                pause.hold_again()
                for _ in range(250):
                    for index, size in reads:
                        ports[index].read(size)
                ops += 250
        for p in ports:
            p.close()
    print("%s: %.0f ops/s" % (path, ops / (time.monotonic() - t0)))


if __name__ == "__main__":
    main(sys.argv)
