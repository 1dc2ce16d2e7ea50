"""The link to NATS never hands a password to a server that does not speak TLS, when the process
was told to expect TLS (a CA of the servers, or a tls:// server)."""

import asyncio
import json

import pytest

from boce_dispatch import bus
from boce_dispatch.nats_settings import NatsSettings

PASSWORD = "a-password-of-the-agent"


async def plain_server(received):
    """A NATS server that offers no TLS: its INFO, then it keeps what a client sends."""
    async def serve(reader, writer):
        info = {"server_id": "plain", "version": "2.9.10", "auth_required": True,
                "max_payload": 65536, "proto": 1}
        writer.write(b"INFO %s\r\n" % json.dumps(info).encode())
        await writer.drain()
        line = await reader.readline()
        received.append(line)
        if line.startswith(b"CONNECT"):
            writer.write(b"PONG\r\n")  # the answer to the PING the client sends with it
            await writer.drain()
        await reader.read()
        writer.close()
    return await asyncio.start_server(serve, "127.0.0.1", 0)


@pytest.mark.parametrize("scheme, ca_file, password_sent", [
    ("nats", None, True),  # plain, as a trial on the loopback may be
    ("tls", None, False),
    ("nats", "ca.pem", False),
    ("tls", "ca.pem", False),
])
def test_the_password_goes_only_where_tls_was_expected(tmp_path, scheme, ca_file, password_sent):
    async def scenario():
        received = []
        server = await plain_server(received)
        port = server.sockets[0].getsockname()[1]
        settings = NatsSettings(("%s://127.0.0.1:%d" % (scheme, port),), "agent-bj", PASSWORD,
                                ca_file and str(tmp_path / ca_file))
        connection = bus.Connection(tls_only=bus.wants_tls(settings))
        errors = []

        async def note(error):
            errors.append(error)
        try:
            await connection.connect(servers=list(settings.servers), user=settings.user,
                                     password=settings.password, allow_reconnect=False,
                                     connect_timeout=5, error_cb=note)
        except Exception as error:  # noqa: BLE001 - what nats-py raises is the finding
            errors.append(error)
        finally:
            await connection.close()
            server.close()
            await server.wait_closed()
        return received, errors
    received, errors = asyncio.run(scenario())
    assert any(PASSWORD.encode() in line for line in received) is password_sent, received
    if not password_sent:
        assert any(isinstance(error, bus.NoTls) for error in errors), errors
