"""boce-agent --node ID --nats URL[,URL...] --user USER --password-file FILE [--ca-file FILE]
           [--probe-ca-file FILE] [--allow-private] [--max-probes N] [--proxy URL]
           [--check-url URL ...] [--metrics-listen HOST:PORT]"""

import argparse
import sys

from boce_dispatch import cli, urls
from boce_dispatch.agent.service import MAX_PROBES, MAX_PROBES_LIMIT


def arguments(parser):
    parser.add_argument("--node", required=True, help="the node id this agent serves")
    parser.add_argument("--nats", required=True, help="NATS server URLs, comma-separated")
    parser.add_argument("--user", required=True, help="this agent's NATS user")
    parser.add_argument("--password-file", required=True,
                        help="the file with this agent's NATS password, readable by its owner "
                        "only (natsconf writes it)")
    parser.add_argument("--ca-file", help="CA certificate of the NATS servers (TLS)")
    parser.add_argument("--probe-ca-file", type=ca_file,
                        help="the CA certificates (PEM) that the https sites this agent probes "
                        "are checked against, for sites of a private CA; the system's store "
                        "otherwise")
    parser.add_argument("--allow-private", action="store_true",
                        help="also probe loopback, private and other non-global addresses")
    parser.add_argument("--max-probes", type=cli.whole_number(1, MAX_PROBES_LIMIT),
                        default=MAX_PROBES,
                        help="fetches at once, 1 to %d (default %%(default)s)" % MAX_PROBES_LIMIT)
    parser.add_argument("--proxy", help="fetch through this proxy (the environment's proxy "
                        "variables are always ignored)")
    parser.add_argument("--check-url", type=check_url, action="append", default=[],
                        help="a site of another operator that this agent fetches when a probe "
                        "gets no HTTP answer; if none of them answers either, the agent is cut "
                        "off and says so instead of counting the failure against the site "
                        "(repeat it: two or three of different operators)")
    parser.add_argument("--metrics-listen", type=cli.listen_address,
                        help="HOST:PORT of the agent's /metrics (keep it private, e.g. "
                        "127.0.0.1:9465)")
    cli.common_arguments(parser)


def ca_file(text):
    """A --probe-ca-file as the agent takes it: one it can read, holding certificates."""
    from boce_dispatch.agent.probe_ca import BadCaFile, checked_certificates
    try:
        checked_certificates(text)
    except OSError as error:
        raise argparse.ArgumentTypeError("%s: %s" % (text, error.strerror)) from None
    except BadCaFile as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def check_url(text):
    """A --check-url as the agent fetches it: http or https, in browser form."""
    try:
        return urls.browser_url(text)
    except urls.BadUrl as error:
        raise argparse.ArgumentTypeError("%s: %s" % (text, error)) from None


def run(args):
    from boce_dispatch import eventloop, nats_settings
    from boce_dispatch.agent import service
    from boce_dispatch.agent.probe_ca import BadCaFile, ProbeCaFile
    try:
        password = nats_settings.read_secret(args.password_file)
    except (OSError, ValueError) as error:
        return cli.fail("boce-agent", error, 2)
    servers = tuple(s for s in args.nats.split(",") if s)
    settings = nats_settings.NatsSettings(servers, args.user, password, args.ca_file)
    probe_ca = None
    try:
        if args.probe_ca_file is not None:
            probe_ca = ProbeCaFile(args.probe_ca_file)
            probe_ca.take()  # as it is now, checked once more
        eventloop.run(service.serve(settings, args.node, args.allow_private, args.max_probes,
                                    args.proxy, ready=lambda text: print(text, flush=True),
                                    check_urls=args.check_url,
                                    metrics_listen=args.metrics_listen, probe_ca=probe_ca))
    except (OSError, BadCaFile) as error:
        return cli.fail("boce-agent", error, 2)
    except service.Fatal as error:
        return cli.fail("boce-agent", error)
    finally:
        if probe_ca is not None:
            probe_ca.close()
    return 0


def main(argv=None):
    return cli.command("boce-agent", "a node agent", arguments, run, argv)


if __name__ == "__main__":
    sys.exit(main())
