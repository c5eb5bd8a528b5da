"""Helpers of the wheel scripts (build_wheels.sh, windows_wine.sh), run by the
host's Python (the tools venv).

    wheel.py requirements                   what a Windows interpreter needs from the package index
    wheel.py check-imports PYDLL FILE...    every DLL a built binary imports is a system DLL or PYDLL
    wheel.py pack STAGE OUT_DIR TAG         packs STAGE (what CMake installed) into a wheel
    wheel.py list FILE...                   each file's name, tags and size
"""

import base64
import csv
import hashlib
import io
import os
import shutil
import sys
import tempfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def pyproject():
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)


def requirements():
    project = pyproject()["project"]
    reqs = list(project.get("dependencies", []))
    reqs += project.get("optional-dependencies", {}).get("test", [])
    # pytest's own dependency on Windows: pip resolves markers for the host it runs on.
    reqs += ["colorama", "pip"]
    print("\n".join(reqs))


# What a binary built for python3XX.dll may import: the interpreter, the
# universal C runtime (as python3XX.dll itself does) and the system's own DLLs.
# A MinGW runtime (msvcrt.dll, libstdc++, libgcc, winpthread) would mean a
# second C runtime in the process.
SYSTEM_DLLS = {
    "kernel32.dll",
    "user32.dll",
    "advapi32.dll",
    "ws2_32.dll",
    "winmm.dll",
    "ntdll.dll",
    "bcrypt.dll",
    "synchronization.dll",
}


def check_imports(python_dll, files):
    import pefile

    bad = 0
    for name in files:
        pe = pefile.PE(name, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
        dlls = sorted(entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
        foreign = [d for d in dlls if not (d in SYSTEM_DLLS or d == python_dll.lower() or d.startswith("api-ms-win-"))]
        ucrt = any(d.startswith("api-ms-win-crt-") for d in dlls)
        print("%s imports %s" % (Path(name).name, ", ".join(dlls)))
        if foreign or not ucrt:
            bad += 1
            print("  not UCRT-only: %s" % (", ".join(foreign) or "no api-ms-win-crt import"))
    sys.exit(1 if bad else 0)


def record_line(path, arcname):
    data = path.read_bytes()
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [arcname, "sha256=" + digest, str(len(data))]


def pack(stage, out_dir, tag):
    """The wheel a native build makes: CMake's install tree, the Python
    packages listed for the wheel, and the metadata and entry points that
    the build backend generates from pyproject.toml."""
    from scikit_build_core.build import prepare_metadata_for_build_wheel

    stage, out_dir = Path(stage), Path(out_dir)
    config = pyproject()
    for package in config.get("tool", {}).get("scikit-build", {}).get("wheel", {}).get("packages", []):
        src = ROOT / package
        shutil.copytree(
            src, stage / src.name, dirs_exist_ok=True, ignore=shutil.ignore_patterns("__pycache__", "*.pyc")
        )
    with tempfile.TemporaryDirectory() as meta:
        dist_info = prepare_metadata_for_build_wheel(meta)  # reads pyproject.toml in the current directory
        shutil.copytree(Path(meta) / dist_info, stage / dist_info)
    # A compressed tag (platform "a.b") stands for one Tag line per expansion.
    wheel_file = stage / dist_info / "WHEEL"
    lines = [line for line in wheel_file.read_text().splitlines() if line.strip() and not line.startswith("Tag:")]
    interpreter, abi, platforms = tag.split("-")
    lines += ["Tag: %s-%s-%s" % (interpreter, abi, platform) for platform in platforms.split(".")]
    wheel_file.write_text("\n".join(lines) + "\n")

    name, version = dist_info[: -len(".dist-info")].rsplit("-", 1)
    out_dir.mkdir(parents=True, exist_ok=True)
    target = out_dir / ("%s-%s-%s.whl" % (name, version, tag))
    record_name = dist_info + "/RECORD"
    # The .dist-info directory last, as build backends write it.
    files = sorted(
        (p for p in stage.rglob("*") if p.is_file()),
        key=lambda p: (p.relative_to(stage).parts[0] == dist_info, p.relative_to(stage).as_posix()),
    )
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as whl:
        for path in files:
            arcname = path.relative_to(stage).as_posix()
            whl.write(path, arcname)
            writer.writerow(record_line(path, arcname))
        writer.writerow([record_name, "", ""])
        whl.writestr(record_name, record.getvalue())
    print(target)


def list_files(files):
    """One line per file: its tag (the wheel's, or "sdist") and size, then its name."""
    for name in files:
        path = Path(name)
        tag = "-".join(path.stem.split("-")[-3:]) if path.suffix == ".whl" else "sdist"
        print("%-46s %6.0f KiB  %s" % (tag, path.stat().st_size / 1024, path.name))


if __name__ == "__main__":
    command = sys.argv[1]
    args = [os.path.abspath(a) if os.path.exists(a) or os.sep in a else a for a in sys.argv[2:]]
    os.chdir(ROOT)
    if command == "requirements":
        requirements()
    elif command == "check-imports":
        check_imports(args[0], args[1:])
    elif command == "pack":
        pack(*args)
    elif command == "list":
        list_files(args)
    else:
        sys.exit(__doc__)
