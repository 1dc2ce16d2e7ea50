"""The NATS server's certificate install makes: verified by a client of its CA under each name
agents dial, made once, and made anew only when it nears its end or the names change."""

import socket
import ssl
import threading

import pytest

from boce_dispatch import natstls

NAMES = ["dispatch.example.cn", "localhost", "127.0.0.1", "::1"]


def handshake(directory, server_name):
    """A TLS handshake on the loopback with the server's certificate, by a client that trusts
    only the CA of `directory` and checks `server_name`: the error, or None."""
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(directory / natstls.SERVER_CERT, directory / natstls.SERVER_KEY)
    client_context = ssl.create_default_context(cafile=str(directory / natstls.CA_FILE))
    with socket.create_server(("127.0.0.1", 0)) as listener:
        def serve():
            connection, _ = listener.accept()
            try:
                with server_context.wrap_socket(connection, server_side=True):
                    pass
            except (ssl.SSLError, OSError):
                pass
        server = threading.Thread(target=serve)
        server.start()
        try:
            with socket.create_connection(listener.getsockname(), timeout=10) as raw, \
                    client_context.wrap_socket(raw, server_hostname=server_name):
                return None
        except ssl.SSLError as error:
            return error
        finally:
            server.join(10)


def test_the_certificate_is_verified_under_every_name_and_no_other(tmp_path):
    assert natstls.ensure(str(tmp_path), NAMES) == [
        "made the NATS CA %s/%s" % (tmp_path, natstls.CA_FILE),
        "made the NATS server's certificate for %s (none yet)" % ", ".join(NAMES)]
    for name in NAMES:
        assert handshake(tmp_path, name) is None, name
    assert isinstance(handshake(tmp_path, "elsewhere.example.cn"), ssl.SSLCertVerificationError)
    assert oct((tmp_path / natstls.CA_KEY).stat().st_mode & 0o777) == "0o600"


@pytest.mark.parametrize("change, names, renew_days, said", [
    (None, NAMES, natstls.RENEW_DAYS, "kept the NATS server's certificate"),
    (None, NAMES + ["nats2.example.cn"], natstls.RENEW_DAYS, "does not name nats2.example.cn"),
    (None, NAMES, natstls.SERVER_DAYS + 1, "it ends within"),
    ("another CA", NAMES, natstls.RENEW_DAYS, "not signed by nats-ca.pem"),
    ("no key", NAMES, natstls.RENEW_DAYS, "none yet"),
])
def test_a_run_makes_it_anew_only_when_it_must(tmp_path, change, names, renew_days, said):
    natstls.ensure(str(tmp_path), NAMES)
    ca_before = (tmp_path / natstls.CA_FILE).read_bytes()
    if change == "another CA":
        other = tmp_path / "other"
        other.mkdir()
        natstls.ensure(str(other), NAMES)
        for name in (natstls.SERVER_CERT, natstls.SERVER_KEY):
            (tmp_path / name).write_bytes((other / name).read_bytes())
    elif change == "no key":
        (tmp_path / natstls.SERVER_KEY).unlink()
    certificate = (tmp_path / natstls.SERVER_CERT).read_bytes()
    lines = natstls.ensure(str(tmp_path), names, renew_days)
    assert len(lines) == 1 and said in lines[0], lines
    assert ((tmp_path / natstls.SERVER_CERT).read_bytes() == certificate) is said.startswith("kept")
    assert (tmp_path / natstls.CA_FILE).read_bytes() == ca_before  # the agents' CA stays
    assert handshake(tmp_path, names[-1]) is None


def test_a_ca_without_its_key_is_not_replaced(tmp_path):
    natstls.ensure(str(tmp_path), NAMES)
    (tmp_path / natstls.CA_KEY).unlink()
    with pytest.raises(natstls.TlsError, match="has no key nats-ca.key beside it"):
        natstls.ensure(str(tmp_path), NAMES + ["nats2.example.cn"])
