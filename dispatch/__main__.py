"""python -m dispatch center --listen HOST:PORT --config FILE [--script FILE] [--requests FILE]
python -m dispatch node --listen HOST:PORT --isp NAME --secret-file FILE [--allow-private]"""

import argparse
import json
import sys
import threading

from dispatch import center, config, node, signing


def listen_address(text):
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError("expected HOST:PORT, got %r" % text)
    return host.strip("[]"), int(port)


def run_center(args):
    try:
        settings = config.load(args.config)
    except (config.ConfigError, OSError) as error:
        print("dispatch center: %s" % error, file=sys.stderr)
        return 2
    script = None
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            script = json.load(f)
    the_center = center.DispatchCenter(script=script, request_log=args.requests, **settings)
    server = center.serve(the_center, *args.listen)
    print("dispatch center listening on %s:%d with %d nodes" % (
        args.listen + (len(settings["nodes"]),)), flush=True)
    return wait(server)


def run_node(args):
    try:
        secret = signing.read_secret(args.secret_file)
    except (OSError, ValueError) as error:
        print("node agent: %s" % error, file=sys.stderr)
        return 2
    server = node.serve(*args.listen, args.isp, secret, args.allow_private)
    print("node agent %s listening on %s:%d" % ((args.isp,) + args.listen), flush=True)
    return wait(server)


def wait(server):
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    server.shutdown()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m dispatch", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    center_args = commands.add_parser("center", help="the dispatch center")
    center_args.add_argument("--listen", type=listen_address, required=True)
    center_args.add_argument("--config", required=True)
    center_args.add_argument("--script", help="JSON file: a list of scripted answers (tests)")
    center_args.add_argument("--requests", help="file that receives each request as a JSON line")
    node_args = commands.add_parser("node", help="a node agent")
    node_args.add_argument("--listen", type=listen_address, required=True)
    node_args.add_argument("--isp", required=True)
    node_args.add_argument("--secret-file", required=True)
    node_args.add_argument("--allow-private", action="store_true",
                           help="also probe loopback, private and other non-public addresses")
    args = parser.parse_args(argv)
    return run_center(args) if args.command == "center" else run_node(args)


if __name__ == "__main__":
    sys.exit(main())
