"""Simulated nodes for make bench-scale, in a process of their own: each node an agent of the
probe network (boce_dispatch.agent.service.Agent, its code for requests, receipts, beats and
answers) whose fetch is a fixed record, many nodes to one NATS connection, as one NATS user that
may take every node's probes.

    python -m bench.simulated_nodes --nats URL[,URL...] --password-file FILE --nodes N
        [--first INDEX]

runs nodes sim<INDEX> to sim<INDEX + N - 1>, and 
prints "ready" once every node has subscribed and beaten, then reads commands on its standard
input, one per line, and answers each with one line of JSON:

    hold SECONDS   each fetch takes SECONDS from now on      -> {}
    stop N         the last N running nodes stop, as an agent stops -> {"running": count}
    stats          since the last stats: probe requests taken, and when the last answer was
                   written to its NATS connection (time.monotonic, the same clock in every
                   process of this machine)
                   -> {"probes": count, "last_answer": seconds}
"""

import argparse
import asyncio
import gc
import json
import sys
import time

import nats

from boce_dispatch import contract, eventloop
from boce_dispatch.agent import service
from boce_dispatch.agent.curl_loop import CurlLoop
from boce_dispatch.agent.metrics import AgentMetrics

# Nodes that share one NATS connection. Few enough that a connection's answers stay under what
# nats-server tracks cheaply: it keeps each reply it permits (allow_responses) for a minute, and
# beyond 4,096 of them on one connection it looks through them all at every message; one agent
# per connection, as in the field, never comes near.
NODES_PER_CONNECTION = 50
SIMULATED_GC_THRESHOLDS = (20_000, 50, 1000)  # Python's are (700, 10, 10)
SIMULATED_USER = "agent-*"  # the NATS user whose node id is "*": every node's subjects
FIXED_RECORD = {"primary_ip": "203.0.113.7", "http_code": 200, "total_time": 100,
                "namelookup_time": 5, "connect_time": 20, "appconnect_time": 0,
                "starttransfer_time": 90, "size_download": 1000, "speed_download": 10000,
                "reason": "", "http_version": "1.1", "ip_version": 4}


def node_id(index):
    return "sim%d" % index


class Tally:
    """What every node of this process shares: the hold, and what stats reports."""

    def __init__(self):
        self.hold = 0.0
        self.probes = 0
        self.last_answer = 0.0
        self.unwritten = set()  # the connections holding an answer their client has not written

    def count_writes(self, connection):
        """Notes when `connection` writes an answer out. nats-py buffers what is published and
        writes it when the process's loop comes to it: with thousands of nodes to a process, an
        answer may wait there for the other nodes' work, which an agent's own process, with one
        node, never does."""
        transport = connection._transport
        write = transport.writelines

        def writelines(payload):
            write(payload)
            if connection in self.unwritten:
                self.unwritten.discard(connection)
                self.last_answer = time.monotonic()
        transport.writelines = writelines


class SimulatedNode(service.Agent):
    """An agent whose fetch is FIXED_RECORD after the tally's hold."""

    def __init__(self, connection, index, tally, curl_loop, metrics):
        super().__init__(connection, node_id(index), curl_loop=curl_loop, metrics=metrics)
        self.tally = tally

    async def prepare_fetches(self):
        pass  # nothing is fetched

    async def on_request(self, message):
        self.tally.probes += 1
        await super().on_request(message)

    async def _fetch_in_time(self, url, entry):
        if self.tally.hold:
            await asyncio.sleep(self.tally.hold)
        return dict(FIXED_RECORD)

    async def _send_encoded(self, reply, payload):
        await super()._send_encoded(reply, payload)
        self.tally.unwritten.add(self.nc)


async def start_nodes(servers, password, count, first=0):
    """The nodes, each subscribed and beating; their starts spread over one beat, as agents
    that started at different moments beat at different moments."""
    tally, curl_loop = Tally(), CurlLoop(idle_handles=0)
    metrics = AgentMetrics("simulated")
    connections = []
    for number in range((count + NODES_PER_CONNECTION - 1) // NODES_PER_CONNECTION):
        dial = number % len(servers)  # the connections spread over the servers
        connections.append(await nats.connect(
            servers=servers[dial:] + servers[:dial], user=SIMULATED_USER, password=password,
            name="simulated-%d" % number, max_reconnect_attempts=-1,
            pending_size=64 * 1024 * 1024))
        tally.count_writes(connections[-1])
    nodes = [SimulatedNode(connections[index // NODES_PER_CONNECTION], first + index, tally,
                           curl_loop, metrics) for index in range(count)]
    pause = contract.BEAT_SECONDS / count
    for node in nodes:
        await node.take_probes()
        await asyncio.sleep(pause)
    for connection in connections:
        await connection.flush()
    return tally, nodes, connections


async def obey(tally, nodes):
    loop = asyncio.get_running_loop()
    running = list(nodes)
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            return
        command, _, argument = line.strip().partition(" ")
        if command == "hold":
            tally.hold = float(argument)
            answer = {}
        elif command == "stop":
            stopping, running = running[len(running) - int(argument):], \
                running[:len(running) - int(argument)]
            for node in stopping:
                await node.stop()
            answer = {"running": len(running)}
        else:
            answer = {"probes": tally.probes, "last_answer": tally.last_answer}
            tally.probes = 0
        print(json.dumps(answer), flush=True)


async def main(args):
    with open(args.password_file, encoding="utf-8") as f:
        password = f.read().strip()
    tally, nodes, connections = await start_nodes(args.nats.split(","), password, args.nodes,
                                                   args.first)
    # Thousands of agents in one process, where an agent's own holds one: left to the garbage
    # collector as it is, each full collection looked through all of them and the probes they
    # remember (0.15 to 0.25 s, during which the process sent no answer), about half of these
    # processes' CPU.
    gc.freeze()
    gc.set_threshold(*SIMULATED_GC_THRESHOLDS)
    print("ready", flush=True)
    try:
        await obey(tally, nodes)
    finally:
        for connection in connections:
            await connection.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(prog="python -m bench.simulated_nodes")
    parser.add_argument("--nats", required=True)
    parser.add_argument("--password-file", required=True)
    parser.add_argument("--nodes", type=int, required=True)
    parser.add_argument("--first", type=int, default=0)
    eventloop.run(main(parser.parse_args()))
