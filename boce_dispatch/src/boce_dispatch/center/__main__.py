"""boce-center --config FILE [--listen HOST:PORT] [--metrics-listen HOST:PORT]"""

import sys

from boce_dispatch import cli


def arguments(parser):
    parser.add_argument("--config", required=True, help="the center's TOML file")
    parser.add_argument("--listen", type=cli.listen_address, default=("0.0.0.0", 80),
                        help="HOST:PORT of the panels' HTTP front (default 0.0.0.0:80)")
    parser.add_argument("--metrics-listen", type=cli.listen_address,
                        help="HOST:PORT of /metrics, /healthz, /livez and /readyz, apart from the "
                        "panels' port (keep it private, e.g. 127.0.0.1:9464)")
    cli.common_arguments(parser)


def run(args):
    from boce_dispatch.center import config, service
    try:
        settings = config.load(args.config)
    except (config.ConfigError, OSError) as error:
        return cli.fail("boce-center", error, 2)
    ready = "center listening on %s:%d with %d nodes" % (args.listen + (len(settings.nodes),))
    if args.metrics_listen:
        ready += "; /metrics, /healthz, /livez, /readyz on %s:%d" % args.metrics_listen
    try:
        service.run(settings, args.listen, args.metrics_listen,
                    ready=lambda: print(ready, flush=True))
    except service.CannotListen as error:
        return cli.fail("boce-center", error)
    except OSError as error:  # a file it reads at start, named by the error
        return cli.fail("boce-center", "cannot start: %s" % error)
    return 0


def main(argv=None):
    return cli.command("boce-center", "the dispatch center", arguments, run, argv)


if __name__ == "__main__":
    sys.exit(main())
