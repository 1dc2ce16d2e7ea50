"""Server identity: MAC address, CPU name, host name and the `serverid` in the account file."""

import hashlib
import json
import os
import socket
import sys
import types
import uuid

import pytest

import start_boce
from tests.common import DATA, load_panel_module, read_bytes, write
from tests.doubles import Call

ACCOUNT = os.path.join(DATA, "userInfo.json")
CPU_COMMAND = "cat /proc/cpuinfo|grep 'model name'|cut -d : -f2"
LOGIN_FIRST = {"status": False, "msg": "请先登陆Dovrin官网用户"}


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


@pytest.mark.parametrize("node_id, text", [
    (0x02AB0C3D4E5F, "02:ab:0c:3d:4e:5f"),
    (0x1A, "00:00:00:00:00:1a"),
    (0, "00:00:00:00:00:00"),
    ((1 << 100) | 0xFFFFFFFFFFFF, "ff:ff:ff:ff:ff:ff"),
])
def test_mac_address_text(plugin, monkeypatch, node_id, text):
    monkeypatch.setattr(uuid, "getnode", lambda: node_id)
    assert plugin.get_mac_address() == text


def test_mac_address_reads_the_node_id_of_the_runtime_uuid_module_at_call_time(plugin, monkeypatch):
    monkeypatch.setitem(sys.modules, "uuid", types.SimpleNamespace(getnode=lambda: 0xABCDEF))
    assert plugin.get_mac_address() == "00:00:00:ab:cd:ef"
    for bad, error in ((-1, ValueError), (1 << 128, ValueError), (1.5, TypeError)):
        monkeypatch.setitem(sys.modules, "uuid", types.SimpleNamespace(getnode=lambda b=bad: b))
        with pytest.raises(error):
            plugin.get_mac_address()


@pytest.mark.parametrize("output, name", [
    (" Intel(R) Xeon(R) Gold 6148\n", "Intel(R) Xeon(R) Gold 6148"),
    (" M\n M\n", "M\n M"),
    ("", ""),
    ("\t\r\n M \x0b\n", "M"),
])
def test_cpu_name_runs_the_exact_command_and_strips_only_the_ends(plugin, host, output, name):
    host.public.shell_output = output
    assert plugin.get_cpuname() == name
    assert host.log == [Call("ExecShell", (CPU_COMMAND,))]


def test_cpu_name_through_the_real_shell_command(plugin, monkeypatch):
    monkeypatch.setattr(start_boce, "public", load_panel_module("public"))
    with open("/proc/cpuinfo") as f:
        names = [line.split(":")[1] for line in f if "model name" in line]
    assert plugin.get_cpuname() == "\n".join(n.rstrip("\n") for n in names).strip()


def test_host_name_is_the_fqdn_of_the_host_name(plugin, monkeypatch):
    asked = []
    monkeypatch.setattr(socket, "gethostname", lambda: "node1")
    monkeypatch.setattr(socket, "getfqdn", lambda name: asked.append(name) or name + ".example.cn")
    assert plugin.get_hostname() == "node1.example.cn"
    assert asked == ["node1"]


class FixedMachine(start_boce.start_boce):
    """The three machine properties, answered by the object itself, in the order asked."""

    asked = []

    def get_mac_address(self):
        self.asked.append("mac")
        return "02:ab:0c:3d:4e:5f"

    def get_hostname(self):
        self.asked.append("host")
        return "node1"

    def get_cpuname(self):
        self.asked.append("cpu")
        return "M\n M"


@pytest.fixture
def machine(host):
    obj = FixedMachine()
    FixedMachine.asked = []
    host.log.clear()
    return obj


def test_new_identity_is_made_stored_and_returned(machine, host):
    write(ACCOUNT, '{"username": "张三", "uid": 7, "emoji": "😀"}')
    record = machine.create_serverid(None)

    serverid = md5("02:ab:0c:3d:4e:5fnode1") + md5("M\n M")
    assert serverid != md5("02:ab:0c:3d:4e:5fnode1M\n M")
    assert record == {"username": "张三", "uid": 7, "emoji": "😀", "serverid": serverid}
    assert list(record) == ["username", "uid", "emoji", "serverid"]
    assert FixedMachine.asked == ["mac", "host", "cpu"]
    text = ('{"username": "\\u5f20\\u4e09", "uid": 7, "emoji": "\\ud83d\\ude00", '
            '"serverid": "%s"}' % serverid)
    assert read_bytes(ACCOUNT) == text.encode()
    assert host.log == [Call("readFile", (ACCOUNT,)), Call("md5", ("02:ab:0c:3d:4e:5fnode1",)),
                        Call("md5", ("M\n M",)), Call("writeFile", (ACCOUNT, text))]


def test_identity_through_the_real_machine_services(plugin, monkeypatch):
    monkeypatch.setattr(uuid, "getnode", lambda: 0x02AB0C3D4E5F)
    write(ACCOUNT, '{"uid": 1}')
    serverid = plugin.create_serverid("ignored")["serverid"]
    s1 = "02:ab:0c:3d:4e:5f" + socket.getfqdn(socket.gethostname())
    assert serverid == md5(s1) + md5(plugin.get_cpuname())


def test_no_account_file_asks_for_a_login_and_queries_nothing(machine, host):
    assert machine.create_serverid(None) == LOGIN_FIRST
    assert not os.path.exists(ACCOUNT)
    assert FixedMachine.asked == [] and host.log.names() == ["returnMsg"]


@pytest.mark.parametrize("content, result", [
    ("{}", LOGIN_FIRST), ("[]", LOGIN_FIRST), ("null", LOGIN_FIRST), ("false", LOGIN_FIRST),
    ("0", LOGIN_FIRST), ('""', LOGIN_FIRST),
    ('{"serverid": "", "uid": "中"}', {"serverid": "", "uid": "中"}),
    ('{"uid": 1, "serverid": "abc"}', {"uid": 1, "serverid": "abc"}),
])
def test_nothing_is_written_for_an_empty_account_or_a_kept_identity(machine, host, content, result):
    write(ACCOUNT, content)
    os.utime(ACCOUNT, (1_000_000_000, 1_000_000_000))
    assert machine.create_serverid(None) == result
    assert read_bytes(ACCOUNT) == content.encode()
    assert os.stat(ACCOUNT).st_mtime == 1_000_000_000
    assert FixedMachine.asked == [] and "writeFile" not in host.log.names()


@pytest.mark.parametrize("content, error", [
    ("not json", json.JSONDecodeError), ("", json.JSONDecodeError),
    ('["x"]', TypeError), ("3", TypeError),
])
def test_an_unusable_account_file_fails_and_stays_unchanged(machine, content, error):
    write(ACCOUNT, content)
    with pytest.raises(error):
        machine.create_serverid(None)
    assert read_bytes(ACCOUNT) == content.encode()
