"""Notification settings: which channels are configured and who receives mail."""

import json
import os

import pytest

from tests.common import DATA, write
from tests.doubles import Call

MAIL = os.path.join(DATA, "stmp_mail.json")
DINGDING = os.path.join(DATA, "dingding.json")


@pytest.mark.parametrize("content, result", [
    ("{}", False), ("[]", False), ('""', False),
    ('{"qq_mail": "ops@example.cn"}', {"qq_mail": "ops@example.cn"}),
    ('"configured"', "configured"), ("[0]", [0]),
])
def test_a_settings_file_is_false_when_empty_else_its_content(plugin, content, result):
    write(MAIL, content)
    write(DINGDING, content)
    assert plugin.get_user_mail() == result
    assert plugin.get_dingding() == result


@pytest.mark.parametrize("content, error", [
    ("3", TypeError), ("null", TypeError), ("true", TypeError), ("{bad", json.JSONDecodeError),
])
def test_a_settings_value_without_a_length_fails(plugin, content, error):
    write(MAIL, content)
    write(DINGDING, "{}")
    with pytest.raises(error):
        plugin.get_user_mail()
    with pytest.raises(error):
        plugin.get_settings()


def test_the_settings_record_in_its_order_from_four_reads(plugin, host):
    write(MAIL, '{"qq_mail": "ops@example.cn", "port": 25}')
    write(DINGDING, "[]")
    settings = plugin.get_settings()
    assert settings == {
        "user_mail": {"user_name": True, "mail_list": [],
                      "info": {"qq_mail": "ops@example.cn", "port": 25}},
        "dingding": {"dingding": False, "info": False},
    }
    assert list(settings) == ["user_mail", "dingding"]
    assert list(settings["user_mail"]) == ["user_name", "mail_list", "info"]
    assert list(settings["dingding"]) == ["dingding", "info"]
    assert settings["user_mail"]["mail_list"] is plugin._start_boce__mail_list
    assert host.log == [Call("ReadFile", (MAIL,)), Call("ReadFile", (DINGDING,)),
                        Call("ReadFile", (MAIL,)), Call("ReadFile", (DINGDING,))]


def test_a_missing_dingding_file_fails_even_with_mail_configured(plugin):
    write(MAIL, '{"qq_mail": "ops@example.cn"}')
    with pytest.raises(TypeError):  # ReadFile gives False, which is no JSON text
        plugin.get_dingding()
    with pytest.raises(TypeError):
        plugin.get_settings()
    assert plugin.get_user_mail() == {"qq_mail": "ops@example.cn"}


def test_an_absent_recipient_list_fails_after_both_files_are_read(plugin, host):
    write(MAIL, "{}")
    write(DINGDING, "{}")
    del plugin._start_boce__mail_list
    with pytest.raises(AttributeError):
        plugin.get_settings()
    assert host.log.names() == ["ReadFile", "ReadFile"]


def test_the_paths_come_from_the_class_constants(host):
    import start_boce

    class Elsewhere(start_boce.start_boce):
        _start_boce__mail_config = os.path.join(DATA, "other_mail.json")

    write(os.path.join(DATA, "other_mail.json"), '{"qq_mail": "x@example.cn"}')
    assert Elsewhere().get_user_mail() == {"qq_mail": "x@example.cn"}
