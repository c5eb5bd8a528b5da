"""Console entry point: runs the ozu_qlix self-test.

The self-test runs when the extension module executes as the main program, so
this creates a fresh module object from the import spec, names it "__main__"
and executes it. The extension can be loaded only once per process, so this
must run before anything has imported ozu_qlix.
"""

import importlib.util
import sys


def main():
    if "ozu_qlix" in sys.modules:
        sys.stderr.write("ozu-qlix-selftest: ozu_qlix is already imported in this process\n")
        return 1
    spec = importlib.util.find_spec("ozu_qlix")
    if spec is None:
        sys.stderr.write("ozu-qlix-selftest: the ozu_qlix module is not installed\n")
        return 1
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
