"""The benchmark still runs (quick mode, a few seconds) and its reporting is
sound: verdicts against targets, the baseline columns, and the stream check
that counts a lost or reordered chunk. No speed is asserted here."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import run  # noqa: E402
import scenarios  # noqa: E402


@pytest.mark.slow
def test_quick_run_writes_every_figure(tmp_path):
    import ozu_qlix_sim

    try:
        ozu_qlix_sim.library_path()
    except ozu_qlix_sim.LibraryNotFound:
        pytest.skip("the virtual USB library is not built here")
    out_file = tmp_path / "bench.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, str(BENCH / "run.py"), "--quick", "--json", str(out_file)],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert out.returncode == 0, out.stderr
    report = json.loads(out_file.read_text())
    figures = report["median"]["current"]
    wanted = {row[0] for row in run.ROWS if row[0] != "section"}
    if os.name == "nt":
        wanted = {key for key in wanted if not key.startswith("serve_")}  # the serve part is POSIX only
    assert wanted <= set(figures)
    for endpoint in ("interrupt", "bulk"):
        assert figures[endpoint + "_lost_bytes"] == 0
        assert figures[endpoint + "_corrupt_channels"] == 0
    assert figures["idle_reads_returned"] == 8
    assert "| Serial.write 62 B |" in out.stdout and report["table"]


@pytest.mark.parametrize(
    "row, figures, expected",
    [
        (("w", "", "us", ("added", "b", 15)), {"w": 11.0, "b": 10.0}, ("ok", 10.0)),
        (("w", "", "us", ("added", "b", 15)), {"w": 12.0, "b": 10.0}, ("MISS", 20.0)),
        (("p", "", "%", ("min", 99)), {"p": 98.9}, ("MISS", None)),
        (("p", "", "%", ("min", 99)), {"p": 99.0}, ("ok", None)),
        (("l", "", "B", ("max", 0)), {"l": 1}, ("MISS", None)),
        (("e", "", "us", ("ratio", "b", None)), {"e": 30.0, "b": 10.0}, ("", 3.0)),
        (("x", "", "us", None), {"x": 1.0}, ("", None)),
        (("h", "", "us", ("plus", "b", 2.0)), {"h": 12.5, "b": 10.0}, ("MISS", 2.5)),
        (("h", "", "us", ("plus", "b", None)), {"h": 10.5, "b": 10.0}, ("", 0.5)),
    ],
)
def test_verdicts(row, figures, expected):
    mark, derived = run.verdict(row, figures)
    assert mark == expected[0]
    assert derived == pytest.approx(expected[1]) if expected[1] is not None else derived is None


def test_table_with_baseline_shows_both_columns_and_ratio():
    current = {"write_62_us": 6.0, "write_bare_us": 5.0}
    lines = run.table(current, {"write_62_us": 8.0, "write_bare_us": 5.0})
    row = next(line for line in lines if line.startswith("| Serial.write 62 B"))
    cells = [c.strip() for c in row.strip("|").split("|")]
    assert cells[2:6] == ["6.00", "8.00", "0.75", "+20.0%"] and cells[-1] == "MISS"
    assert not any("4 KiB" in line for line in lines)  # figures not measured are left out


def test_medians_per_key():
    assert run.medians([{"a": 1, "b": 9}, {"a": 3, "b": 1}, {"a": 2, "b": 5}]) == {"a": 2, "b": 5}


class Pattern(scenarios.Stream):
    def __init__(self):  # only the pattern, no adapters
        self.chunk = 4
        self.pattern = bytes(range(40))


def written(chunks):
    p = Pattern()
    data, offset = b"", 0
    for _ in range(chunks):
        data += p.pattern[offset : offset + p.chunk]
        offset = (offset + p.chunk) % (len(p.pattern) - p.chunk)
    return data


@pytest.mark.parametrize(
    "mangle, ok",
    [
        (lambda d: d, True),
        (lambda d: d[:-3], True),  # not all arrived yet: counted as lost, not corrupt
        (lambda d: d[:8] + d[12:], False),  # a chunk lost in the middle
        (lambda d: d[4:8] + d[:4] + d[8:], False),  # two chunks swapped
        (lambda d: d[:5] + b"\xff" + d[6:], False),  # one byte changed
    ],
)
def test_stream_check_catches_lost_and_reordered_data(mangle, ok):
    assert Pattern()._matches(mangle(written(30))) is ok


def test_table_of_a_partial_run_lists_only_its_rows():
    figures = {"busy_share_module_pct": 86.0, "busy_share_bare_pct": 88.0, "busy_module_out_slots_pct": 15.0}
    lines = run.table(figures, dict(figures, busy_share_module_pct=80.0))
    rows = [line for line in lines[2:] if not line.startswith("| **")]
    assert len(rows) == 3
    assert rows[0].startswith("| busy thread, % of its solo speed (module) | % | 86.0 | 80.0 | 1.07 |")
    assert rows[0].endswith("| >= 80 | ok |")
    with pytest.raises(ValueError):
        scenarios.round_(True, ["unpaced", "everything"])
