"""Types: the stub-only package covers the extension's public surface with
docstrings, and mypy resolves ozu_qlix and ozu_qlix_serial from the
installed wheel."""

import ast
import importlib.metadata
import importlib.util
import pathlib
import subprocess
import sys

import pytest

import ozu_qlix

STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "ozu_qlix-stubs" / "__init__.pyi"


def documented(body):
    """Names defined in a stub body, each with whether it carries a docstring
    (a setter's definition is the property's and is skipped)."""
    names = {}
    for i, node in enumerate(body):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            if any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in getattr(node, "decorator_list", [])):
                continue
            names[node.name] = ast.get_docstring(node) is not None
        elif isinstance(node, ast.AnnAssign):
            following = body[i + 1] if i + 1 < len(body) else None
            names[node.target.id] = isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
    return names


def test_stub_documents_every_public_member():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    stub = documented(tree.body)
    classes = {node.name: documented(node.body) for node in tree.body if isinstance(node, ast.ClassDef)}
    missing = []
    for name, value in vars(ozu_qlix).items():
        if not name.startswith("_") and callable(value) and getattr(value, "__module__", None) == "ozu_qlix":
            if not stub.get(name):
                missing.append(name)
    for cls in (ozu_qlix.Serial, ozu_qlix._Device, ozu_qlix._Channel, ozu_qlix._ResourceManager):
        members = classes[cls.__name__]
        for name in vars(cls):
            public = not name.startswith("_") or name in ("__init__", "__enter__", "__exit__")
            if public and not members.get(name):
                missing.append("%s.%s" % (cls.__name__, name))
    assert not missing, "undocumented or missing in the stub: %s" % ", ".join(missing)


USER_CODE = """
import serial
import ozu_qlix
import ozu_qlix_serial
import ozu_qlix_sim

def echo(port: ozu_qlix.Serial) -> bytes:
    port.timeout = 0.5
    port.write(b"x")
    return port.read(1) + port.read_until(b"\\\\n", 10)

names: list[str] = ozu_qlix.list_qlix_names()
version: str = ozu_qlix.get_hid_device("ANY").firmware_version
port = serial.serial_for_url("qlix://ANY/1", timeout=None)
line: bytes = port.readline()
qlix = ozu_qlix_serial.Serial("qlix://ANY/2", 115200, timeout=0)
sent: int = qlix.write(b"x")
url: str = ozu_qlix_serial.port_url("QLIXANYS1")
adapter: ozu_qlix_sim.Adapter = ozu_qlix_sim.add_adapter("0123456789AB")
"""


@pytest.fixture
def mypy(tmp_path):
    """Runs mypy on the installed packages' types: mypy(args, cwd) gives the completed process."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (the test extra)")
    try:
        files = importlib.metadata.files("ozu_qlix") or []
    except importlib.metadata.PackageNotFoundError:
        files = []
    if not any(f.parts[0] == "ozu_qlix-stubs" for f in files):
        pytest.skip("ozu_qlix is not installed from its wheel")
    return lambda args, cwd: subprocess.run(
        [sys.executable, "-m", "mypy", "--hide-error-codes", "--cache-dir", str(tmp_path / "cache"), *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.mark.slow
@pytest.mark.parametrize(
    "extra, errors",
    [
        ("", []),
        (
            'text: str = ozu_qlix.Serial("QLIXANYS1").read()\ncount: str = ozu_qlix_serial.Serial().in_waiting\n',
            [
                "user.py:+1: error: Incompatible types in assignment "
                '(expression has type "bytes", variable has type "str")',
                "user.py:+2: error: Incompatible types in assignment "
                '(expression has type "int", variable has type "str")',
            ],
        ),
    ],
    ids=["clean", "type errors found"],
)
def test_mypy_checks_user_code_against_the_installed_types(mypy, tmp_path, extra, errors):
    (tmp_path / "user.py").write_text(USER_CODE + extra)
    out = mypy(["--strict", "user.py"], tmp_path)
    # "+n" in an expected error is the n-th line of `extra`.
    lines = USER_CODE.count("\n")
    errors = [e.replace(":+1:", ":%d:" % (lines + 1)).replace(":+2:", ":%d:" % (lines + 2)) for e in errors]
    assert [line for line in out.stdout.splitlines() if ": error:" in line] == errors, out.stdout + out.stderr
    assert out.returncode == (1 if errors else 0)


@pytest.mark.slow
def test_packages_marked_typed_pass_mypy(mypy):
    out = mypy(["-p", "ozu_qlix_serial", "-p", "ozu_qlix_sim"], STUB.parent.parent)
    assert out.returncode == 0, out.stdout + out.stderr
