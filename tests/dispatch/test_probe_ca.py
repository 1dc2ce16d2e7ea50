"""The CA file an agent's operator names for the https sites it probes: taken only when it holds
certificates, at the start and at every reload, so that a broken file never turns every https
probe into an outage."""

import os

import pytest

from boce_dispatch.agent import probe_ca


@pytest.mark.parametrize("content, why", [
    (b"", "holds no certificate|no certificate can be read"),
    (b"not a certificate\n", "no certificate can be read"),
    (b"-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n", "no certificate can"),
    (b"\xff\xfe", "no certificate can be read"),
    (b"x" * (probe_ca.MAX_CA_BYTES + 1), "larger than"),
])
def test_a_file_that_holds_no_certificate_is_refused(tmp_path, content, why):
    path = tmp_path / "ca.pem"
    path.write_bytes(content)
    with pytest.raises(probe_ca.BadCaFile, match=why):
        probe_ca.checked_certificates(str(path))


def test_a_broken_reload_keeps_the_last_good_certificates(tmp_path, tls_sites):
    with open(tls_sites.ca_file, "rb") as f:
        good = f.read()
    operators = tmp_path / "ca.pem"
    operators.write_bytes(good)
    store = probe_ca.ProbeCaFile(str(operators))
    store.take()
    copy = store.copy
    for broken in (b"", good[:len(good) // 2]):  # emptied, or half written
        operators.write_bytes(broken)
        with pytest.raises(probe_ca.BadCaFile):
            store.take()
        with open(store.copy, "rb") as f:
            assert (store.copy, f.read()) == (copy, good)
    store.close()
    assert not os.path.exists(copy)
