"""What the tests, the race workload (races.py) and the soak scripts look at in
the module: its reader threads and its registry of open adapters, and a poll
that waits for either to settle.

Import it after ozu_qlix_sim.use() (conftest.py and the scripts do): it imports
ozu_qlix, and pyusb keeps the first libusb it loads.
"""

import threading
import time

import ozu_qlix


def wait_until(predicate, timeout=5.0, interval=0.005):
    """Polls `predicate` until it is true or `timeout` seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def reader_threads():
    """Alive threads running some adapter's reader loop."""
    return [
        t
        for t in threading.enumerate()
        if getattr(getattr(t, "_target", None), "__name__", None) == "input_scanner_function" and t.is_alive()
    ]


def registry():
    """The registry's table of open adapters: serial number to _Device."""
    return ozu_qlix._resource_manager._ResourceManager__devices


def close_registered():
    """Closes adapters that the module leaves open by design (no channel, failed channel count)."""
    for key, device in list(registry().items()):
        device.close()
        del registry()[key]
