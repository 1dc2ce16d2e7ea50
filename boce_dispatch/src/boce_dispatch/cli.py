"""What every command of the probe network shares: a mistake on its command line is answered in
one line on standard error, with exit status 2."""

import argparse
import logging
import sys

import boce_dispatch


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, "%s: %s (see --help)\n" % (self.prog, message))


def port(text):
    if not text.isdigit() or not 0 < int(text) < 65536:
        raise argparse.ArgumentTypeError("a port is a number from 1 to 65535, not %r" % text)
    return int(text)


def whole_number(lowest, highest):
    """An argument type: a whole number from `lowest` to `highest`."""
    def parse(text):
        if not text.isdigit() or not lowest <= int(text) <= highest:
            raise argparse.ArgumentTypeError("expected a whole number from %d to %d, not %r"
                                             % (lowest, highest, text))
        return int(text)
    return parse


def listen_address(text):
    """HOST:PORT (an IPv6 host in brackets) as (host, port)."""
    host, _, number = text.rpartition(":")
    if not host:
        raise argparse.ArgumentTypeError("expected HOST:PORT, got %r" % text)
    return host.strip("[]"), port(number)


def fail(prog, message, status=1):
    """Ends a command with one line on standard error."""
    print("%s: %s" % (prog, message), file=sys.stderr)
    return status


def common_arguments(parser):
    """--version and --log-level, which every command of the network takes."""
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + boce_dispatch.__version__)
    parser.add_argument("--log-level", default="INFO", type=str.upper,
                        choices=["DEBUG", "INFO", "WARNING", "ERROR"],
                        help="the least severe lines written to standard error, in any case "
                        "(default INFO)")


def run_command(prog, run, args):
    """Runs `run(args)` with the logging that `args` asks for; its exit status."""
    logging.basicConfig(level=args.log_level, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    logging.getLogger("aiohttp").setLevel(logging.WARNING)
    try:
        return run(args)
    except KeyboardInterrupt:  # before the event loop took the signal over: no traceback
        return fail(prog, "interrupted", 130)


def command(prog, description, arguments, run, argv):
    """A command of the network: its arguments parsed from `argv`, then run (run_command)."""
    parser = Parser(prog=prog, description=description)
    arguments(parser)
    return run_command(prog, run, parser.parse_args(argv))
