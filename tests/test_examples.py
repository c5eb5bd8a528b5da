"""The README's Python examples and the docstrings' examples run as written,
each in a fresh interpreter with a virtual adapter attached (unless the
example plugs in its own)."""

import ast
import pathlib
import re
import textwrap

import pytest

from conftest import run_child

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRELUDE = "import ozu_qlix_sim\nozu_qlix_sim.use()\nozu_qlix_sim.add_adapter('0123456789AB', channels=4)\n"


def readme_examples():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    for match in re.finditer(r"```python\n(.*?)```", text, re.S):
        yield "README.md:%d" % (text[: match.start()].count("\n") + 1), match.group(1)


def docstring_examples():
    """The literal blocks (after a line ending in "::") of every docstring in the Python packages."""
    for path in sorted((ROOT / "python").glob("ozu_qlix_*/*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if not isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)):
                continue
            doc = ast.get_docstring(node, clean=True) or ""
            for match in re.finditer(r"::\n\n((?:(?:    .*)?\n)+)", doc + "\n"):
                yield (
                    "%s:%s" % (path.relative_to(ROOT).as_posix(), getattr(node, "name", "module")),
                    textwrap.dedent(match.group(1)),
                )


EXAMPLES = list(readme_examples()) + list(docstring_examples())


def test_examples_are_found():
    assert {where.split(":")[0] for where, _ in EXAMPLES} >= {
        "README.md",
        "python/ozu_qlix_sim/__init__.py",
        "python/ozu_qlix_serial/__init__.py",
    }


@pytest.mark.parametrize("code", [code for _, code in EXAMPLES], ids=[where for where, _ in EXAMPLES])
def test_example_runs(code):
    out = run_child(code if "ozu_qlix_sim.use()" in code else PRELUDE + code)
    assert out.returncode == 0, out.stderr
