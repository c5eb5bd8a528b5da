#!/usr/bin/env python3
"""Races opens, closes, lookups, listings, baud-rate changes and exchanges against unplugging, for minutes.

Runs the workload of tests/races.py (four worker threads on the channels of two
virtual adapters, one thread unplugging and replugging them) in rounds, paced
and unpaced in turn, each round with its own seed. After each round it checks
that every channel opens and echoes, that USB handles equal registered
adapters, that no reader runs for a closed adapter and that every registered
adapter is open; errors not explained by an unplug, unexpected exception types
and hung threads are failures too.

    python scripts/soak_races.py                  # 3 minutes
    python scripts/soak_races.py --minutes 10 --round 20

Run it with the extension and the virtual USB library importable (an installed
wheel, or PYTHONPATH naming a build tree and python/). Prints the operations
run, the unplugs and the failures found; exit status 1 if there was any.
"""

import argparse
import io
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(os.path.join(HERE, os.pardir, "python"))
sys.path.append(os.path.join(HERE, os.pardir, "tests"))

import ozu_qlix_sim  # noqa: E402

ozu_qlix_sim.use()
import races  # noqa: E402
from helpers import close_registered  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=3.0)
    parser.add_argument("--round", type=float, default=15.0, help="seconds per round")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    started, rounds, operations, unplugs, failures = time.monotonic(), 0, 0, 0, []
    explained = {}
    real_stderr = sys.stderr
    while time.monotonic() - started < args.minutes * 60:
        paced = rounds % 2 == 0
        ozu_qlix_sim.reset()
        ozu_qlix_sim.set_paced(paced)
        sys.stderr = io.StringIO()  # the readers' reports of each unplug
        try:
            run = races.Run(args.round, args.seed + rounds).run()
        finally:
            sys.stderr = real_stderr
            close_registered()
        rounds += 1
        operations += run.operations
        unplugs += run.bus.unplugs
        for kind, n in run.explained.items():
            explained[kind] = explained.get(kind, 0) + n
        for failure in run.failures:
            failures.append(
                "round %d (%s, seed %d): %s"
                % (rounds, "paced" if paced else "unpaced", args.seed + rounds - 1, failure)
            )
        print(
            "round %d (%s): %d operations, %d unplugs, %d failures"
            % (rounds, "paced" if paced else "unpaced", run.operations, run.bus.unplugs, len(run.failures)),
            flush=True,
        )
    for failure in failures:
        print(failure)
    print(
        "%d rounds in %.0f s: %d operations, %d unplugs, %d failures found; errors explained by an unplug "
        "or a channel held elsewhere: %s"
        % (rounds, time.monotonic() - started, operations, unplugs, len(failures), explained)
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
