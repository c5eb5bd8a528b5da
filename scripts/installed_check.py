"""Checks that this interpreter takes the package from its installed wheel:
the extension, the Python packages and the virtual USB library all come from
its site-packages, chosen as the test suite's conftest.py chooses them. Run
it as the suite is run (same working directory, `python -P`); exits non-zero
when anything comes from elsewhere, such as the source or build tree."""

import sys
import sysconfig
from pathlib import Path

import ozu_qlix_sim

ozu_qlix_sim.use()

import ozu_qlix  # noqa: E402  (after use(), as in the tests)
import ozu_qlix_cli  # noqa: E402
import ozu_qlix_serial  # noqa: E402

print("Python %s on %s" % (sys.version.split()[0], sys.platform))
site = {Path(sysconfig.get_path(key)).resolve() for key in ("purelib", "platlib")}
found = {module.__name__: module.__file__ for module in (ozu_qlix, ozu_qlix_cli, ozu_qlix_serial, ozu_qlix_sim)}
found["virtual USB library"] = ozu_qlix_sim.library_path()
bad = 0
for name, path in found.items():
    inside = any(Path(path).resolve().is_relative_to(s) for s in site)
    bad += not inside
    print("%-20s %s%s" % (name, path, "" if inside else "   NOT FROM SITE-PACKAGES"))
sys.exit(1 if bad else 0)
