"""python -m boce_dispatch center ...   the dispatch center (boce-center)
python -m boce_dispatch agent ...    a node agent (boce-agent)"""

import argparse
import sys

import boce_dispatch
from boce_dispatch import cli
from boce_dispatch.agent import __main__ as agent_command
from boce_dispatch.center import __main__ as center_command


def main(argv=None):
    parser = cli.Parser(prog="python -m boce_dispatch", description=__doc__,
                        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + boce_dispatch.__version__)
    commands = parser.add_subparsers(dest="command", required=True)
    center_command.arguments(commands.add_parser("center", help="the dispatch center"))
    agent_command.arguments(commands.add_parser("agent", help="a node agent"))
    args = parser.parse_args(argv)
    run = center_command.run if args.command == "center" else agent_command.run
    return cli.run_command(parser.prog, run, args)


if __name__ == "__main__":
    sys.exit(main())
