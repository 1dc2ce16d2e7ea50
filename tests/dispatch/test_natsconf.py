"""The NATS configuration: each password with its owner and only hashes in the server's file; only
the center publishes probes and each delivery is answered once."""

import asyncio
import json
import re
import stat
import subprocess
import urllib.request

import nats
import pytest

from boce_dispatch import contract, natsconf
from tests.common import (
    accepts,
    wait_until,
)
from tests.dispatch.helpers import command
from tools.lab.ports import free_port


async def _connect(net, user):
    errors = []

    async def note(error):
        errors.append(str(error))
    connection = await nats.connect("nats://127.0.0.1:%d" % net.nats_port, user=user,
                                    password=net.password(user),
                                    error_cb=note, allow_reconnect=False)
    return connection, errors


def test_only_the_center_publishes_probes_and_each_delivery_is_answered_once(limited_network, website):
    async def scenario():
        center, _ = await _connect(limited_network, "center")
        intruder, intruder_errors = await _connect(limited_network, "agent-sh")
        await intruder.publish(contract.node_subject("bj"), b'{"id": "x"}', reply="_INBOX.stolen")
        await intruder.subscribe(contract.node_subject("bj"))
        await intruder.flush()
        for _ in range(500):  # until both refusals have come back (asserted below)
            if len(intruder_errors) >= 2:
                break
            await asyncio.sleep(0.01)
        request = contract.probe_request("once", website + "/fast", 5)
        answers = []
        for _ in range(2):  # the same request twice: one fetch, two answers
            answers.append(await center.request(contract.node_subject("bj"), request, timeout=5))
        stale = contract.probe_request("stale", website + "/fast", 0)
        with pytest.raises(nats.errors.TimeoutError):  # a spent budget gets no answer
            await center.request(contract.node_subject("bj"), stale, timeout=1)
        await center.close()
        await intruder.close()
        return [json.loads(a.data) for a in answers], intruder_errors

    answers, errors = asyncio.run(scenario())
    assert answers[0] == answers[1] and answers[0]["http_code"] == 200
    assert errors == ['nats: permissions violation for %s to "%s"' % (action, contract.node_subject(
        "bj")) for action in ("publish", "subscription")]


@pytest.mark.processes
def test_natsconf_gives_each_password_to_its_owner_and_the_server_only_hashes(tmp_path):
    out = tmp_path / "nats-server.conf"
    out.write_text("old")
    out.chmod(0o644)
    monitoring = free_port()
    words = ["-m", "boce_dispatch.natsconf", "--dir", str(tmp_path), "--node", "bj", "--listen",
             "127.0.0.1:%d" % free_port(), "--monitoring", "127.0.0.1:%d" % monitoring, "--out",
             str(out)]
    made = command(*words)
    assert made.returncode == 0
    # It says what it wrote, and where.
    assert made.stderr.splitlines() == [
        "wrote %s" % (tmp_path / "center.password"), "wrote %s" % (tmp_path / "agent-bj.password"),
        "nats-server configuration for bj: %s (monitoring on 127.0.0.1:%d)" % (out, monitoring)]
    again = command("-m", "boce_dispatch.natsconf", "--dir", str(tmp_path), "--node", "bj")
    assert again.stderr.splitlines()[0] == "kept %s" % (tmp_path / "center.password")
    text = out.read_text()
    passwords = {user: (tmp_path / (user + ".password")).read_text().strip()
                 for user in ("center", "agent-bj")}
    assert all(stat.S_IMODE(path.stat().st_mode) == 0o600 for path in tmp_path.iterdir())
    assert not any(password in text for password in passwords.values())
    # The cost that holds a stranger's flood of wrong passwords (test_bus).
    assert len(re.findall(r'password: "\$2a\$04\$', text)) == 2
    # Written again, the file is the same (NATS is not reloaded for nothing); a password made
    # anew changes its own hash only.
    assert command(*words).returncode == 0 and out.read_text() == text
    hashes = natsconf.previous_hashes(text)
    (tmp_path / "agent-bj.password").unlink()
    assert command(*words).returncode == 0
    rotated = natsconf.previous_hashes(out.read_text())
    assert rotated["center"] == hashes["center"] and rotated["agent-bj"] != hashes["agent-bj"]
    passwords["agent-bj"] = (tmp_path / "agent-bj.password").read_text().strip()
    text = out.read_text()
    port = int(re.search(r"listen: 127\.0\.0\.1:(\d+)", text)[1])
    with subprocess.Popen(["nats-server", "--config", str(out)], stderr=subprocess.PIPE,
                          text=True) as server:
        try:
            wait_until(lambda: accepts(port), "nats-server to listen", 10)

            async def each_connects():
                for user, password in passwords.items():
                    connection = await nats.connect("nats://127.0.0.1:%d" % port, user=user,
                                                    password=password, allow_reconnect=False)
                    await connection.close()
            asyncio.run(each_connects())
            # NATS's own monitoring answers on the loopback port natsconf gave it.
            with urllib.request.urlopen("http://127.0.0.1:%d/varz" % monitoring,
                                        timeout=5) as varz:
                assert json.load(varz)["port"] == port
        finally:
            server.terminate()
            warnings = server.communicate(timeout=10)[1]
    assert "Plaintext passwords detected" not in warnings
