"""NATS trouble as operators read it: said once with the servers, a refused agent stops in one line."""

import asyncio
import contextlib
import gc
import json
import logging
import os
import signal
import subprocess
import time
import urllib.error
import urllib.request

import pytest

from boce_dispatch import bus, contract
from boce_dispatch.nats_settings import NatsSettings
from tests.common import (
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
    wait_until,
)
from tests.dispatch.helpers import CONFIG, command, secret
from tools.lab.ports import free_port, wait_for_port


def test_nats_trouble_is_stated_once_and_a_refused_agent_stops(network, tmp_path):
    secret(tmp_path / "wrong.password", "w" * 32)
    agent_words = ["-m", "boce_dispatch", "agent", "--nats",
                   "nats://127.0.0.1:%d" % network.nats_port, "--password-file",
                   str(tmp_path / "wrong.password")]
    refused = command(*agent_words, "--node", "bj", "--user", "agent-bj")
    assert refused.returncode == 1 and refused.stderr.splitlines()[-1] == (
        "boce-agent: NATS refused user agent-bj at nats://127.0.0.1:%d: authorization "
        "violation" % network.nats_port)
    # Its own password, another node's subject.
    agent_words[-1] = "%s/agent-sh.password" % network.workdir
    forbidden = command(*agent_words, "--node", "bj", "--user", "agent-sh")
    assert forbidden.returncode == 1 and "subject " + contract.node_subject("bj") in forbidden.stderr
    assert "ready" not in forbidden.stdout

    secret(tmp_path / "center.password", "w" * 32)
    (tmp_path / "c.toml").write_text((CONFIG % "sh").replace(
        "nats://127.0.0.1:4222", "nats://127.0.0.1:%d" % network.nats_port), encoding="utf-8")
    port = free_port()
    with subprocess.Popen([SERVICE_PYTHON, "-m", "boce_dispatch", "center", "--config",
                           str(tmp_path / "c.toml"), "--listen", "127.0.0.1:%d" % port],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=SERVICE_ENV) as center:
        assert "listening" in center.stdout.readline()  # HTTP at once, NATS or not
        give_up = time.monotonic() + 10
        while True:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/readyz" % port, timeout=5)
            except urllib.error.HTTPError as error:
                reason = json.loads(error.read())["reason"]
                if "uthorization" in reason or time.monotonic() > give_up:
                    break
        assert "Authorization Violation" in reason
        assert ask_center(network.url, "s1", "http://x/")[0] == 200  # the test network is untouched
        center.terminate()
        _, log = center.communicate(timeout=30)
    assert center.returncode == 0
    assert len([line for line in log.splitlines() if "nats error" in line]) == 1


class _LostConnection:
    """A NATS link lost as the process stops: nats-py's close meets its transport's closing
    already cancelled."""

    is_connected = False

    async def close(self):
        raise asyncio.CancelledError


def test_a_link_lost_while_stopping_ends_in_one_line_and_a_real_cancel_still_cancels(caplog):
    log = logging.getLogger("boce.test")
    asyncio.run(bus.goodbye(_LostConnection(), log))
    assert [r.getMessage() for r in caplog.records] == [
        "stopped without a clean NATS goodbye: NATS is not connected"]

    async def cancelled_while_saying_goodbye():
        asyncio.current_task().cancel()  # delivered at the next wait, inside the goodbye
        await bus.goodbye(_LostConnection(), log)

    with pytest.raises(asyncio.CancelledError):
        asyncio.run(cancelled_while_saying_goodbye())


@contextlib.contextmanager
def plain_nats_server():
    """A nats-server of its own on the loopback, without users: its process and settings."""
    port = free_port()
    server = subprocess.Popen(["nats-server", "-a", "127.0.0.1", "-p", str(port)],
                              stderr=subprocess.DEVNULL, env=SERVICE_ENV)
    try:
        wait_for_port(port, server, "nats-server")
        yield server, NatsSettings(("nats://127.0.0.1:%d" % port,), None, None)
    finally:
        server.kill()
        server.wait()


def _stopped(pid):
    """Whether every thread of `pid` has stopped: a signal reaches threads running on other
    cores a moment after kill() returns."""
    states = []
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
            states.append(f.read().rsplit(")", 1)[1].split()[0])
    return set(states) == {"T"}


def test_a_nats_server_gone_silent_while_stopping_costs_one_line_and_leaves_nothing_behind(
        caplog, monkeypatch):
    """The server stops answering as the process says goodbye (its own stop under way, or its
    machine gone): the goodbye ends after GOODBYE_SECONDS with one line, and nothing it started is
    left for asyncio to report later."""
    monkeypatch.setattr(bus, "GOODBYE_SECONDS", 0.5)
    reported = []

    async def subscribed_then_goodbye(server, settings):
        asyncio.get_running_loop().set_exception_handler(
            lambda loop, context: reported.append(context["message"]))
        connection = await bus.connect(settings, "boce-test")
        async def taken(message):
            pass
        await connection.subscribe("boce.test", cb=taken)
        server.send_signal(signal.SIGSTOP)
        await asyncio.to_thread(wait_until, lambda: _stopped(server.pid), "nats-server stopped", 5)
        started = time.monotonic()
        await bus.goodbye(connection, logging.getLogger("boce.test"))
        waited = time.monotonic() - started
        gc.collect()
        return waited

    with plain_nats_server() as (server, settings):
        waited = asyncio.run(subscribed_then_goodbye(server, settings))
        gc.collect()
    assert reported == []
    assert [r.getMessage() for r in caplog.records] == [
        "stopped without a clean NATS goodbye: 'nats: flush timeout'"]
    assert 0.5 <= waited < 2


def healthz(network):
    """What the center's /healthz says of its NATS link."""
    try:
        with urllib.request.urlopen(network.url + "/healthz", timeout=5) as answer:
            return json.loads(answer.read())["nats"]
    except urllib.error.HTTPError as error:
        return json.loads(error.read())["nats"]


def test_a_frozen_nats_server_is_known_within_seconds_and_so_is_its_return(website):
    """A NATS server that stops answering without closing its connections (a frozen host,
    dropped packets): the center's pings find it and panels get the 503 of a lost link, until
    the server answers again."""
    from tests.dispatch.helpers import two_nodes
    with two_nodes() as network:
        nats_server = network.processes["nats"]
        nats_server.send_signal(signal.SIGSTOP)
        try:
            wait_until(lambda: healthz(network) == "disconnected", "the lost link to be seen",
                       seconds=3 * bus.PING_SECONDS * (bus.PINGS_UNANSWERED + 1))
            status, answer = ask_center(network.url, "s1", website + "/fast")
        finally:
            nats_server.send_signal(signal.SIGCONT)
        assert (status, answer["msg"]) == (503, "the probe network is not connected")
        wait_until(lambda: healthz(network) == "connected", "the link to come back")
        status, records = ask_center(network.url, "s1", website + "/fast")
        assert status == 200 and [r["http_code"] for r in records] == [200, 200]


def test_a_flood_of_wrong_nats_passwords_holds_up_no_probe(website):
    """Strangers connect to NATS as the center with wrong passwords, as fast as they can and
    without waiting for the refusals, while panels ask: every node answers each panel, as the
    server checks each password at the cost the operators' configuration (natsconf) gives it.
    At bcrypt's usual cost 11 the checks queued up and panels got no node at all."""
    from tests.dispatch.helpers import two_nodes

    async def knock(port, stop, sent):
        while not stop.is_set():
            try:
                reader, writer = await asyncio.open_connection("127.0.0.1", port)
                await reader.readline()  # INFO
                writer.write(b'CONNECT {"user":"center","pass":"wrong","verbose":false}\r\n')
                await asyncio.sleep(0.001)  # gone before its refusal comes
                writer.close()
                sent.append(1)
            except OSError:
                await asyncio.sleep(0.01)

    async def flood_while_panels_ask(network):
        stop, sent = asyncio.Event(), []
        knocks = [asyncio.ensure_future(knock(network.nats_port, stop, sent)) for _ in range(16)]
        while len(sent) < 200:  # enough to keep the server's checks busy for seconds at cost 11
            await asyncio.sleep(0.01)
        answers = []
        for _ in range(5):
            answers.append(await asyncio.to_thread(ask_center, network.url, "s1",
                                                   website + "/fast"))
        stop.set()
        await asyncio.gather(*knocks)
        return answers

    with two_nodes() as network:
        answers = asyncio.run(flood_while_panels_ask(network))
    assert [(status, [r["http_code"] for r in records]) for status, records in answers] == [
        (200, [200, 200])] * 5


@pytest.mark.parametrize("as_read", [True, False], ids=["as-read", "nats-py-tasks"])
def test_a_handled_subject_gets_each_message_in_order_with_its_status_and_outlives_its_errors(
        as_read, monkeypatch):
    """bus.Connection.handle, as the center takes answers and status: as read with the nats-py
    it was measured with, through nats-py's own tasks with any other."""
    assert bus.Connection.HANDLES_AS_READ, "the pinned nats-py is not read as expected"
    monkeypatch.setattr(bus.Connection, "HANDLES_AS_READ", as_read)
    seen, errors = [], []

    async def exchange(settings):
        every = asyncio.Event()

        def handler(subject, data, headers):
            if data == b"raise":
                raise ValueError("a handler's own fault")
            seen.append((subject, data, (headers or {}).get("Status")))
            if len(seen) == 301:
                every.set()

        async def failed(error):
            errors.append(str(error))
        connection = await bus.connect(settings, "boce-test", error_cb=failed)
        await connection.handle("boce.test.>", handler)
        for number in range(300):
            await connection.publish("boce.test.%d" % (number % 3), b"%d" % number)
        await connection.publish("boce.test.0", b"raise")
        await connection.publish("nobody.takes.this", b"?", reply="boce.test.reply")
        await asyncio.wait_for(every.wait(), 10)
        await connection.close()

    with plain_nats_server() as (_, settings):
        asyncio.run(exchange(settings))
    assert seen == [("boce.test.%d" % (n % 3), b"%d" % n, None) for n in range(300)] + [
        ("boce.test.reply", b"", "503")]
    assert errors == ["a handler's own fault"]
