"""Console entry point: runs the ozu_qlix self-test.

The self-test runs when the extension module executes as the main program, so
this creates a fresh module object from the import spec, names it "__main__"
and executes it. The extension can be loaded only once per process, so this
must run before anything has imported ozu_qlix.
"""

import argparse
import importlib.util
import sys

DESCRIPTION = """\
Self-test of the ozu_qlix module on real hardware: prints the serial numbers of
the attached QLIX adapters, separated by commas (an empty line when none is
attached), then writes "Hello, World!\\n" at 9600 baud to channels 1 to 4 of the
first adapter."""


def main(argv=None):
    """Runs the self-test; `argv` (default: the command line) takes only --help."""
    parser = argparse.ArgumentParser(
        prog="ozu-qlix-selftest",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Exit status: 0 when the self-test ran, 1 when it could not start, 2 for a usage error; "
        "an error of the self-test itself ends it with its traceback.",
    )
    parser.parse_args(sys.argv[1:] if argv is None else argv)
    if "ozu_qlix" in sys.modules:
        sys.stderr.write("ozu-qlix-selftest: ozu_qlix is already imported in this process\n")
        return 1
    spec = importlib.util.find_spec("ozu_qlix")
    if spec is None or spec.loader is None:
        sys.stderr.write("ozu-qlix-selftest: the ozu_qlix module is not installed\n")
        return 1
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
