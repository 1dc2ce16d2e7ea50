"""How the center and the agents connect to the NATS servers."""

import ssl

import nats


def tls_context(ca_file):
    return ssl.create_default_context(cafile=ca_file) if ca_file else None


async def connect(settings, name, **callbacks):
    """A connection that keeps reconnecting, to any of the servers, for the process's life.
    Publishes made while it reconnects are buffered and sent once it is back."""
    return await nats.connect(
        servers=list(settings.servers), user=settings.user, password=settings.password,
        tls=tls_context(settings.ca_file), name=name, connect_timeout=5,
        max_reconnect_attempts=-1, reconnect_time_wait=0.25, **callbacks)
