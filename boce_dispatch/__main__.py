"""boce-center --config FILE [--listen HOST:PORT] [--metrics-listen HOST:PORT]
boce-agent --node ID --nats URL[,URL...] --user USER --password-file FILE [--ca-file FILE]
           [--allow-private] [--max-probes N] [--proxy URL] [--check-url URL ...]

Also `python -m boce_dispatch center ...` and `python -m boce_dispatch agent ...`."""

import argparse
import logging
import sys

import boce_dispatch
from boce_dispatch import cli, config, eventloop
from boce_dispatch.cli import listen_address


def _common(parser):
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + boce_dispatch.__version__)
    parser.add_argument("--log-level", default="INFO",
                        choices=["DEBUG", "INFO", "WARNING", "ERROR"])


def _setup_logging(level):
    logging.basicConfig(level=level, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    logging.getLogger("aiohttp").setLevel(logging.WARNING)


def run_center(args):
    from boce_dispatch import center
    try:
        settings = config.load(args.config)
    except (config.ConfigError, OSError) as error:
        return cli.fail("boce-center", error, 2)
    ready = "center listening on %s:%d with %d nodes" % (args.listen + (len(settings.nodes),))
    if args.metrics_listen:
        ready += "; /metrics, /healthz, /livez, /readyz on %s:%d" % args.metrics_listen
    try:
        center.run(settings, args.listen, args.metrics_listen,
                   ready=lambda: print(ready, flush=True))
    except OSError as error:  # a port that is taken or an address this machine does not have
        return cli.fail("boce-center", "cannot listen: %s" % (error.strerror or error))
    return 0


def run_agent(args):
    from boce_dispatch import agent
    try:
        password = config.read_secret(args.password_file)
    except (OSError, ValueError) as error:
        return cli.fail("boce-agent", error, 2)
    servers = tuple(s for s in args.nats.split(",") if s)
    settings = config.NatsSettings(servers, args.user, password, args.ca_file)
    try:
        eventloop.run(agent.serve(settings, args.node, args.allow_private, args.max_probes,
                                  args.proxy, ready=lambda text: print(text, flush=True),
                                  check_urls=args.check_url))
    except agent.Fatal as error:
        return cli.fail("boce-agent", error)
    return 0


def center_arguments(parser):
    parser.add_argument("--config", required=True, help="the center's TOML file")
    parser.add_argument("--listen", type=listen_address, default=("0.0.0.0", 80),
                        help="HOST:PORT of the panels' HTTP front (default 0.0.0.0:80)")
    parser.add_argument("--metrics-listen", type=listen_address,
                        help="HOST:PORT of /metrics, /healthz, /livez and /readyz, apart from the "
                        "panels' port (keep it private, e.g. 127.0.0.1:9464)")
    _common(parser)


def agent_arguments(parser):
    parser.add_argument("--node", required=True, help="the node id this agent serves")
    parser.add_argument("--nats", required=True, help="NATS server URLs, comma-separated")
    parser.add_argument("--user", required=True, help="this agent's NATS user")
    parser.add_argument("--password-file", required=True)
    parser.add_argument("--ca-file", help="CA certificate of the NATS servers (TLS)")
    parser.add_argument("--allow-private", action="store_true",
                        help="also probe loopback, private and other non-global addresses")
    parser.add_argument("--max-probes", type=cli.whole_number(1, config.AGENT_MAX_PROBES_LIMIT),
                        default=config.AGENT_MAX_PROBES,
                        help="fetches at once, 1 to %d (default %%(default)s)"
                        % config.AGENT_MAX_PROBES_LIMIT)
    parser.add_argument("--proxy", help="fetch through this proxy (the environment's proxy "
                        "variables are always ignored)")
    parser.add_argument("--check-url", type=check_url, action="append", default=[],
                        help="a site of another operator that this agent fetches when a probe "
                        "gets no HTTP answer; if none of them answers either, the agent is cut "
                        "off and says so instead of counting the failure against the site "
                        "(repeat it: two or three of different operators)")
    _common(parser)


def check_url(text):
    """A --check-url as the agent fetches it: http or https, in browser form."""
    from boce_dispatch import urls
    try:
        return urls.browser_url(text)
    except urls.BadUrl as error:
        raise argparse.ArgumentTypeError("%s: %s" % (text, error)) from None


def _command(prog, description, arguments, run, argv):
    parser = cli.Parser(prog=prog, description=description)
    arguments(parser)
    args = parser.parse_args(argv)
    _setup_logging(args.log_level)
    try:
        return run(args)
    except KeyboardInterrupt:  # before the event loop took the signal over: no traceback
        return cli.fail(prog, "interrupted", 130)


def center_main(argv=None):
    return _command("boce-center", "the dispatch center", center_arguments, run_center, argv)


def agent_main(argv=None):
    return _command("boce-agent", "a node agent", agent_arguments, run_agent, argv)


def main(argv=None):
    parser = cli.Parser(prog="python -m boce_dispatch", description=__doc__,
                        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + boce_dispatch.__version__)
    commands = parser.add_subparsers(dest="command", required=True)
    center_arguments(commands.add_parser("center", help="the dispatch center"))
    agent_arguments(commands.add_parser("agent", help="a node agent"))
    args = parser.parse_args(argv)
    _setup_logging(args.log_level)
    try:
        return run_center(args) if args.command == "center" else run_agent(args)
    except KeyboardInterrupt:  # before the event loop took the signal over: no traceback
        return cli.fail(parser.prog, "interrupted", 130)


if __name__ == "__main__":
    sys.exit(main())
