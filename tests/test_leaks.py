"""Memory and reference counts stay flat over repeated operations of every
kind (a short run of scripts/leak_check.py, which runs 10^5 of each)."""

import importlib.util
import os
import pathlib

import pytest


pytestmark = [
    # Under the sanitizer run Python allocates with malloc: no block count, and
    # the sanitizer's own bookkeeping makes RSS meaningless.
    pytest.mark.skipif(os.environ.get("PYTHONMALLOC", "").startswith("malloc"), reason="needs Python's allocator"),
]

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "leak_check.py"


@pytest.fixture(scope="module")
def leak_check():
    spec = importlib.util.spec_from_file_location("leak_check", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def bench(vbus, leak_check):
    made = leak_check.Bench()
    yield made
    made.close()


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["open_close", "write", "read", "read_until", "echo", "list_qlix_names"])
def test_flat_over_repeated_operations(leak_check, bench, kind):
    result = leak_check.measure(kind, 2000, bench)
    assert leak_check.problems(result) == [], result


@pytest.mark.parametrize("leak", ["object", "reference"])
def test_a_leak_of_one_per_operation_is_caught(leak_check, bench, monkeypatch, leak):
    kept = []
    op = bench.op

    def leaky(kind):
        op(kind)
        kept.append(object() if leak == "object" else bench.data)

    monkeypatch.setattr(bench, "op", leaky)
    found = leak_check.problems(leak_check.measure("echo", 2000, bench))
    assert found and ("blocks" in found[0] if leak == "object" else "'data': 2000" in found[0])
