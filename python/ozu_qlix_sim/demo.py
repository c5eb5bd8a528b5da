"""Console demo: runs the ozu_qlix self-test against virtual adapters.

Plugs virtual adapters into the virtual bus, runs the module's self-test (it
lists the serial numbers and writes "Hello, World!" to channels 1 to 4 of
one adapter), then shows what each adapter's firmware received.
"""

import argparse
import sys

import ozu_qlix_sim as sim


def _parse(argv):
    parser = argparse.ArgumentParser(prog="ozu-qlix-demo", description=__doc__.splitlines()[0])
    parser.add_argument("--adapters", type=int, default=2, help="number of virtual adapters (default 2)")
    parser.add_argument(
        "--channels",
        type=int,
        default=4,
        help="channels per adapter, 4 to 99 (default 4; the self-test writes to channels 1 to 4)",
    )
    parser.add_argument("--bulk", action="store_true", help="bulk endpoints instead of interrupt endpoints")
    parser.add_argument("--pairing", action="store_true", help="wire channels in pairs instead of loopback")
    parser.add_argument("--unpaced", action="store_true", help="do not pace transfers like full-speed USB")
    args = parser.parse_args(argv)
    if not 1 <= args.adapters <= 20:
        parser.error("--adapters must lie in 1..20")
    if not 4 <= args.channels <= 99:
        parser.error("--channels must lie in 4..99: the self-test writes to channels 1 to 4")
    return args


def report(adapters, out):
    """Writes, per adapter and channel, what the firmware received."""
    for adapter in adapters:
        out.write(
            "adapter %s: %d malformed packet(s), adapter commands %s\n"
            % (adapter.serial, adapter.malformed, adapter.commands(0))
        )
        for channel in range(1, adapter.channels + 1):
            data, commands = adapter.received(channel), adapter.commands(channel)
            if not data and not commands:
                continue
            state = "open" if adapter.channel_open(channel) else "closed"
            out.write(
                "  channel %d (%s, %d baud): received %r\n" % (channel, state, adapter.channel_rate(channel), data)
            )
            out.write("    commands: %s\n" % ", ".join(commands))


def main(argv=None):
    args = _parse(sys.argv[1:] if argv is None else argv)
    if "ozu_qlix" in sys.modules:
        sys.stderr.write("ozu-qlix-demo: ozu_qlix is already imported; run the demo in a fresh process\n")
        return 1
    try:
        sim.use()
    except (ImportError, RuntimeError) as exc:
        sys.stderr.write("ozu-qlix-demo: %s\n" % exc)
        return 1
    sim.set_paced(not args.unpaced)
    endpoint = "bulk" if args.bulk else "interrupt"
    adapters = [
        sim.add_adapter("DE%010X" % (i + 1), args.channels, endpoint, args.pairing) for i in range(args.adapters)
    ]
    print("virtual adapters: " + ", ".join(a.serial for a in adapters))

    print("--- ozu_qlix self-test ---")
    sys.stdout.flush()
    try:
        import ozu_qlix_cli
    except ImportError:
        sys.stderr.write("ozu-qlix-demo: ozu_qlix_cli is not installed\n")
        return 1
    try:
        status = ozu_qlix_cli.main([])
    except Exception as exc:  # the self-test's first failure ends it; show what got through
        sys.stderr.write("ozu-qlix-demo: the self-test failed: %s: %s\n" % (type(exc).__name__, exc))
        status = 1
    sys.stdout.flush()

    print("--- what the firmware received ---")
    report(adapters, sys.stdout)
    return status or 0


if __name__ == "__main__":
    sys.exit(main())
