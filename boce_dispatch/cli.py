"""What every command of the probe network shares: a mistake on its command line is answered in
one line on standard error, with exit status 2."""

import argparse
import sys


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
