#!/usr/bin/env python3
"""Fuzzes ozu-qlix-serve's input side for minutes with grammar-aware Telnet/RFC 2217 cases.

Runs the cases of tests/serve_fuzz.py against a server on a virtual adapter with three
channels, in rounds of its own seed, paced and unpaced in turn. After each case channel 1 must
have received exactly the case's data bytes, channel 3 and the control channel nothing, and a
round trip on channel 2 must work.

    python scripts/fuzz_serve.py                 # 3 minutes
    python scripts/fuzz_serve.py --minutes 20 --seed 7

Run it with the extension and the virtual USB library importable (an installed wheel, or
PYTHONPATH naming a build tree and python/). Prints cases per second and the failing cases
(with their seed); exit status 1 if there was any.
"""

import argparse
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(os.path.join(HERE, os.pardir, "python"))
sys.path.append(os.path.join(HERE, os.pardir, "tests"))

import ozu_qlix_sim  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=3.0)
    parser.add_argument("--seed", type=int, default=None, help="first round's seed (default: from the clock)")
    parser.add_argument("--round", type=int, default=500, help="cases per round")
    args = parser.parse_args()
    ozu_qlix_sim.use()
    import ozu_qlix_serial  # noqa: F401  (registers qlix://)
    import serve_fuzz
    from ozu_qlix_serial import serve
    from test_serve import Running

    adapter = ozu_qlix_sim.add_adapter("0123456789AB", channels=3)
    server = Running(serve.Options(port_base=0, link_dir=None, scan_interval=0.2))
    seed = args.seed if args.seed is not None else int(time.time())
    stop_at = time.monotonic() + args.minutes * 60
    total, failed, started = 0, 0, time.monotonic()
    try:
        while time.monotonic() < stop_at:
            ozu_qlix_sim.set_paced(seed % 2 == 0)
            ran, failures = serve_fuzz.run(
                adapter,
                server.tcp(1),
                server.tcp(2),
                lambda: not server.service(1).clients,
                random.Random(seed),
                args.round,
                stop_at,
            )
            total += ran
            for failure in failures:
                failed += 1
                print("seed %d: %s" % (seed, failure), flush=True)
            seed += 1
    finally:
        server.stop()
    elapsed = time.monotonic() - started
    print("%d cases in %.0f s (%.0f per second), %d failures" % (total, elapsed, total / elapsed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
