"""ozu_qlix benchmark: the module's cost next to bare pyusb and the USB limit.

    PYTHONPATH=build-perf:python .venv/bin/python bench/run.py [--quick] [--rounds N] [--parts LIST]
        [--baseline OTHER_BUILD_DIR] [--json PATH]

Each round runs every measurement in a fresh interpreter on the virtual USB
library (one per build when --baseline is given, alternating, so that the
machine's drift falls on both builds alike). The table quotes the median over
the rounds; the JSON file holds every round's numbers as well.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DEFAULT_JSON = HERE / "results" / "latest.json"

# (key, label, unit, target) in table order; `target` is (kind, limit) or None:
# "added" compares the module's figure with the bare figure named by `bare` in
# per cent, "plus" in the figure's own unit (no verdict when the limit is None).
ROWS = [
    ("section", "Module-added CPU per operation over bare pyusb (unpaced)"),
    ("write_62_us", "Serial.write 62 B", "us", ("added", "write_bare_us", 15)),
    ("write_4k_per_packet_us", "Serial.write 4 KiB, per packet", "us", ("added", "write_bare_us", 15)),
    ("write_bare_us", "  bare Device.write, 64 B packet", "us", None),
    ("in_single_us", "dispatch + read, 1 record/packet", "us", ("added", "in_single_bare_us", 25)),
    ("in_single_bare_us", "  bare Device.read, same packets", "us", None),
    ("in_multi_us", "dispatch + read, 4 records/packet", "us", ("added", "in_multi_bare_us", 25)),
    ("in_multi_bare_us", "  bare Device.read, same packets", "us", None),
    ("read_until_line_us", "read_until, 16-byte line", "us", None),
    ("read_until_40_us", "read_until, queued 40-byte line", "us", None),
    ("read_62_queued_us", "read(62), queue full", "us", None),
    ("in_waiting_us", "in_waiting", "us", None),
    ("echo_us", "echo round trip", "us", ("ratio", "echo_bare_us", None)),
    ("echo_bare_us", "  bare write + read of the same", "us", None),
    ("version_us", "firmware_version round trip", "us", ("ratio", "version_bare_us", None)),
    ("version_bare_us", "  bare write + read of the same", "us", None),
    ("open_close_us", "channel open + close", "us", ("ratio", "open_close_bare_us", None)),
    ("open_close_bare_us", "  bare: the same 5 commands + reply", "us", None),
    ("section", "pyserial's qlix:// handler (ozu_qlix_serial) next to ozu_qlix.Serial, CPU per call (unpaced)"),
    ("handler_write_us", "qlix:// write 62 B", "us", ("plus", "handler_write_base_us", 2.0)),
    ("handler_write_base_us", "  ozu_qlix.Serial.write 62 B", "us", None),
    ("handler_read_us", "qlix:// read 61 B, queued", "us", ("plus", "handler_read_base_us", 2.0)),
    ("handler_read_base_us", "  ozu_qlix.Serial.read 61 B, queued", "us", None),
    ("handler_readline_us", "qlix:// readline, 16-byte line, queued", "us", ("plus", "handler_readline_base_us", None)),
    ("handler_readline_base_us", "  ozu_qlix.Serial.read_until(), same", "us", None),
    ("section", "Paced at full speed, 2 adapters x 4 channels, both ways"),
    ("interrupt_out_payload_pct", "interrupt: OUT payload, % of 62 B x 1/frame", "%", ("min", 99)),
    ("interrupt_in_slots_pct", "interrupt: IN packets, % of 1/frame", "%", ("min", 99)),
    ("interrupt_in_payload_pct", "interrupt: IN payload, % of 61 B x 1/frame", "%", None),
    ("interrupt_cpu_pct", "interrupt: process CPU, % of one core", "%", None),
    ("interrupt_lost_bytes", "interrupt: bytes lost", "B", ("max", 0)),
    ("bulk_out_payload_pct", "bulk: OUT payload, % of 62 B x 19/frame", "%", ("min", 99)),
    ("bulk_in_slots_pct", "bulk: IN packets, % of 19/frame", "%", ("min", 99)),
    ("bulk_in_payload_pct", "bulk: IN payload, % of 61 B x 19/frame", "%", None),
    ("bulk_cpu_pct", "bulk: process CPU, % of one core", "%", ("max", 50)),
    ("bulk_lost_bytes", "bulk: bytes lost", "B", ("max", 0)),
    ("bare_bulk_out_slots_pct", "bare pyusb bulk: OUT packets, % of 19/frame", "%", None),
    ("bare_bulk_in_slots_pct", "bare pyusb bulk: IN packets, % of 19/frame", "%", None),
    ("bare_bulk_cpu_pct", "bare pyusb bulk: process CPU, % of one core", "%", None),
    ("section", "Idle, paced: one adapter, one channel open, above the adapter with none open"),
    ("idle_one_adapter_added_pct", "CPU, % of one core", "%", ("max", 0.05)),
    ("idle_none_pct", "  the adapter plugged, nothing open", "%", None),
    ("section", "Idle, 2 adapters x 4 channels open"),
    ("idle_open_pct", "nobody reading or writing: CPU, % of one core", "%", ("max", 1)),
    ("idle_blocked_reads_pct", "a read without time limit on every channel", "%", ("max", 1)),
    ("idle_blocked_added_pct", "  the same, above nobody reading", "%", ("max", 0.3)),
    ("idle_bare_reads_pct", "  bare pyusb: 50 ms reads on both adapters", "%", None),
    ("idle_bare_polls_pct", "  bare Python: 8 threads polling every 0.01 s", "%", None),
    ("section", "Open and close, paced (wall time, medians)"),
    ("life_open_ms", "open a channel", "ms", None),
    ("life_close_other_ms", "close a channel, not the adapter's last", "ms", None),
    ("life_close_last_ms", "close the adapter's last channel (ozu_qlix.Serial)", "ms", ("max", 5)),
    ("life_close_last_url_ms", "close the adapter's last channel (qlix://)", "ms", ("max", 5)),
    ("life_exit_added_ms", "program ending with a channel open, above one that opened none", "ms", ("max", 10)),
    ("life_exit_none_ms", "  the program that opened none, start to end", "ms", None),
    ("section", "Latency through the loopback, paced at full speed (1 ms frames)"),
    ("latency_interrupt_byte_median_ms", "interrupt: 1-byte round trip, median", "ms", ("max", 2.5)),
    ("latency_interrupt_byte_p99_ms", "interrupt: 1-byte round trip, p99", "ms", ("max", 4)),
    ("latency_interrupt_line_median_ms", "interrupt: 17-byte line round trip, median", "ms", ("max", 3)),
    ("latency_bulk_byte_median_ms", "bulk: 1-byte round trip, median", "ms", ("max", 2.5)),
    ("latency_bulk_byte_p99_ms", "bulk: 1-byte round trip, p99", "ms", ("max", 4)),
    ("latency_bulk_line_median_ms", "bulk: 17-byte line round trip, median", "ms", ("max", 3)),
    ("section", "qlix:// under asyncio (pyserial-asyncio-fast), paced interrupt endpoints"),
    ("loop_line_median_ms", "17-byte line round trip, median", "ms", ("max", 3)),
    ("loop_write_64k_call_ms", "64 KiB write: the loop held by the call", "ms", ("max", 2)),
    ("loop_write_64k_lag_ms", "  worst lateness of a 1 ms ticker meanwhile", "ms", None),
    ("loop_tick_alone_lag_ms", "  the same ticker's worst lateness, nothing sent, for 1 s", "ms", None),
    ("loop_write_64k_corrupt", "  64 KiB echoed back altered", "", ("max", 0)),
    ("loop_idle_open_pct", "5 ports idle in the loop: CPU, % of one core", "%", None),
    ("loop_idle_closed_pct", "  the loop, adapter plugged, no port open", "%", None),
    ("loop_idle_added_pct", "  the 5 ports, above no port open", "%", ("max", 0.3)),
    ("loop_idle_reader_pct", "  the loop, one channel open outside it (reader thread)", "%", None),
    ("loop_idle_ports_pct", "  the 5 ports, above that one channel", "%", None),
    ("section", "ozu-qlix-serve (own process), paced interrupt endpoints, next to a direct qlix:// port"),
    ("serve_direct_line_median_ms", "direct qlix:// port: 17-byte line round trip, median", "ms", None),
    ("serve_rfc2217_line_median_ms", "through rfc2217://, median", "ms", ("plus", "serve_direct_line_median_ms", 1.0)),
    (
        "serve_terminal_line_median_ms",
        "through the terminal (POSIX), median",
        "ms",
        ("plus", "serve_direct_line_median_ms", 1.0),
    ),
    ("serve_stream_pct", "4 channels both ways over TCP: % of 62 B x 1/frame", "%", ("min", 95)),
    ("serve_direct_stream_pct", "  the same on direct qlix:// ports (write_timeout 0, fileno)", "%", None),
    ("serve_stream_lost_bytes", "  bytes lost", "B", ("max", 0)),
    ("serve_stream_corrupt_channels", "  channels that got back other bytes", "", ("max", 0)),
    ("serve_idle_pct", "2 adapters x 4 channels served, a silent client on each: CPU, % of one core", "%", None),
    ("serve_idle_direct_pct", "  the same 8 channels open, no server (reader threads)", "%", None),
    ("serve_idle_added_pct", "  the server, above its adapters' reader threads", "%", ("max", 0.3)),
    ("serve_cycles", "client connect/disconnect cycles", "", None),
    ("serve_cycles_fds_added", "  server's descriptors afterwards, added", "", ("max", 0)),
    ("serve_cycles_threads_added", "  server's threads afterwards, added", "", ("max", 0)),
    ("serve_cycles_rss_added_kib", "  server's resident memory afterwards, added", "KiB", None),
    ("section", "GIL pressure: pure-Python thread while bulk streams"),
    ("busy_share_module_pct", "busy thread, % of its solo speed (module)", "%", ("min", 80)),
    ("busy_share_bare_pct", "busy thread, % of its solo speed (bare pyusb)", "%", None),
    ("busy_module_out_slots_pct", "module OUT packets meanwhile, % of 19/frame", "%", None),
]


def pythonpath_for(build):
    """PYTHONPATH for a worker: the build directory first, then the package sources."""
    parts = [str(build)] if build else []
    if os.environ.get("PYTHONPATH"):
        parts.append(os.environ["PYTHONPATH"])
    if importlib.util.find_spec("ozu_qlix_sim") is None:
        parts.append(str(ROOT / "python"))  # not installed: the sources beside the build
    return os.pathsep.join(parts)


def run_worker(build, quick, sim_library, parts=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = pythonpath_for(build)
    if sim_library:
        env["OZU_QLIX_SIM_LIB"] = sim_library
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker"] + (["--quick"] if quick else [])
    cmd += ["--parts", parts] if parts else []
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError("benchmark worker failed (%s):\n%s" % (build or "current", out.stderr[-4000:]))
    return json.loads(out.stdout.strip().splitlines()[-1])


def sim_library_of_current():
    """The virtual USB library every build is measured on (the current one's)."""
    code = "import ozu_qlix_sim; print(ozu_qlix_sim.library_path())"
    env = dict(os.environ, PYTHONPATH=pythonpath_for(None))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    return out.stdout.strip() if out.returncode == 0 else None


def medians(rounds):
    keys = rounds[0].keys()
    return {k: statistics.median(r[k] for r in rounds) for k in keys}


def verdict(row, figures):
    """'ok', 'MISS' or '' for a row's target, with the figure the target is judged on."""
    key, target = row[0], row[3]
    if not target or key not in figures:
        return "", None
    kind, *args = target
    value = figures[key]
    if kind == "added":
        bare = figures[args[0]]
        added = 100 * (value - bare) / bare
        return ("ok" if added <= args[1] else "MISS"), added
    if kind == "plus":
        added = value - figures[args[0]]
        return ("" if args[1] is None else "ok" if added <= args[1] else "MISS"), added
    if kind == "ratio":
        return "", value / figures[args[0]]
    if kind == "min":
        return ("ok" if value >= args[0] else "MISS"), None
    return ("ok" if value <= args[0] else "MISS"), None


def describe_target(target):
    if not target:
        return ""
    kind, *args = target
    return {
        "added": lambda: "added <= %d%%" % args[1],
        "ratio": lambda: "x bare",
        "plus": lambda: "" if args[1] is None else "added <= %g" % args[1],
        "min": lambda: ">= %g" % args[0],
        "max": lambda: "<= %g" % args[0],
    }[kind]()


def fmt(value):
    if value is None:
        return "-"
    if abs(value) >= 100:
        return "%.0f" % value
    return "%.2f" % value if abs(value) < 10 else "%.1f" % value


def table(current, baseline=None):
    """The report as Markdown lines; `baseline` adds the older build's column and the ratio."""
    head = ["measure", "unit", "current", "added/ratio", "target", ""]
    if baseline:
        head[3:3] = ["baseline", "current/baseline"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in ROWS:
        if row[0] == "section":
            lines.append("| **%s** |" % row[1] + " |" * (len(head) - 1))
            continue
        key, label, unit, target = row
        if key not in current:
            continue
        mark, derived = verdict(row, current)
        derived_text = ""
        if derived is not None:
            derived_text = {"added": "%+.1f%%", "plus": "%+.2f"}.get(target[0], "%.2fx") % derived
        cells = [label, unit, fmt(current[key]), derived_text, describe_target(target), mark]
        if baseline:
            base = baseline.get(key)
            ratio = current[key] / base if base else None
            cells[3:3] = [fmt(base), "-" if ratio is None else "%.2f" % ratio]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def machine():
    def first_lines(cmd, n):
        try:
            return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.splitlines()[:n]
        except OSError:
            return []

    return {
        "uname": " ".join(first_lines(["uname", "-a"], 1)),
        "lscpu": first_lines(["lscpu"], 10),
        "python": sys.version.replace("\n", " "),
        "platform": platform.platform(),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny counts and durations: only shows it runs")
    parser.add_argument("--rounds", type=int, help="rounds per build (default 3, quick 1)")
    parser.add_argument("--baseline", help="an older build directory measured alongside, round by round")
    parser.add_argument("--json", default=str(DEFAULT_JSON), help="where to write the results (default %(default)s)")
    parser.add_argument(
        "--parts", help="only these parts, comma-separated: unpaced, handler, paced, idle, latency, loop, serve, gil"
    )
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.worker:
        import scenarios

        parts = args.parts.split(",") if args.parts else None
        print(json.dumps(scenarios.round_(args.quick, parts)))
        return 0

    rounds = args.rounds or (1 if args.quick else 3)
    sim_library = sim_library_of_current()
    builds = [("current", None)] + ([("baseline", args.baseline)] if args.baseline else [])
    samples = {name: [] for name, _ in builds}
    started = time.monotonic()
    run_worker(None, True, sim_library) if not args.quick else None  # warm-up: caches, page faults
    for r in range(rounds):
        for name, build in builds if r % 2 == 0 else builds[::-1]:
            samples[name].append(run_worker(build, args.quick, sim_library, args.parts))
            print("round %d/%d %s done (%.0f s)" % (r + 1, rounds, name, time.monotonic() - started), file=sys.stderr)
    figures = {name: medians(values) for name, values in samples.items()}
    lines = table(figures["current"], figures.get("baseline"))
    print("\n".join(lines))
    info = machine()
    print("\n%s\n%s\nrounds: %d, %.0f s" % (info["uname"], info["python"], rounds, time.monotonic() - started))
    report = {
        "machine": info,
        "rounds": rounds,
        "quick": args.quick,
        "baseline": args.baseline,
        "median": figures,
        "samples": samples,
        "table": lines,
    }
    path = Path(args.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(report, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
