"""The password file each process of the network reads: only its own user's private regular
file of a sane size is taken, and nothing in its place makes the process wait."""

import os

import pytest

from boce_dispatch.nats_settings import MAX_SECRET_BYTES, read_secret
from tests.dispatch.helpers import secret


def fifo(path):
    os.mkfifo(path, 0o600)  # a read would wait for a writer that never comes


def huge(path):
    secret(path)
    os.truncate(path, 200 * 1024 * 1024)  # sparse: 200 MiB that cost no disk


def another_owner(path, monkeypatch):
    secret(path)
    real = os.geteuid()  # the process reading it becomes another user, as no test may chown
    monkeypatch.setattr(os, "geteuid", lambda: real + 4242)


def not_text(path):
    secret(path, "p" * 20)
    with open(path, "ab") as f:
        f.write(b"\xff")


@pytest.mark.parametrize("make, reason", [
    (fifo, "must be a regular file"), (huge, "holds at most %d bytes" % MAX_SECRET_BYTES),
    (another_owner, "must belong to the user that reads it"),
    (lambda path: secret(path, mode=0o604), r"readable by its owner only \(mode 604"),
    (lambda path: secret(path, "p" * 15), "at least 16 characters"),
    (not_text, "must be UTF-8 text"),
])
def test_a_password_file_that_is_not_the_processs_own_secret_is_refused(tmp_path, monkeypatch,
                                                                         make, reason):
    path = str(tmp_path / "center.password")
    if make is another_owner:
        make(path, monkeypatch)
    else:
        make(path)
    with pytest.raises(ValueError, match=reason):
        read_secret(path)


def test_a_password_is_taken_without_its_surrounding_white_space(tmp_path):
    secret(tmp_path / "center.password", "  %s\n" % ("s" * MAX_SECRET_BYTES)[:MAX_SECRET_BYTES - 3])
    assert read_secret(str(tmp_path / "center.password")) == "s" * (MAX_SECRET_BYTES - 3)
