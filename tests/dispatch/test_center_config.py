"""The center's configuration file: every bad value is named with its file and line."""

import pytest

from boce_dispatch.center import config
from tests.dispatch.helpers import CONFIG, secret


@pytest.mark.parametrize("text, message", [
    (CONFIG % "sh", None),
    *[(CONFIG % node_id, "line 17: a node's id is") for node_id in ("s h", "sh\\n", "sh.x")],
    (CONFIG % "bj", "line 17: the node id 'bj' is used twice"),
    (CONFIG.replace('name = "上海联通"\n', "") % "sh", "line 15: this node needs a name"),
    *[(CONFIG.replace("= 20", "= " + value) % "sh", "line 2: deadline_seconds must be a number "
       "above 0 and at most 55") for value in ("nan", "inf", "-inf", "0", "-5", "55.5", "90")],
    (CONFIG.replace('["abc"]', '"abc"') % "sh", "line 1: allowed_servers is a list"),
    (CONFIG.replace('user = "center"', 'usr = "center"') % "sh", "line 8: unknown key 'usr'"),
    (CONFIG.replace("nats://", "http://") % "sh", "line 7: servers is a list of nats://"),
    *[(CONFIG.replace("= 8", "= " + value) % "sh", "line 3: max_probes must be a whole number "
       "above 0 and at most 4096") for value in ("0", "-1", "4097", "8.0")],
    ("max_probs = 3\n" + CONFIG % "sh", "line 1: unknown key 'max_probs'"),
    (CONFIG.replace("= 20", "= ") % "sh", "line 2"),  # not TOML at all
])
def test_the_configuration_names_its_bad_line(tmp_path, text, message):
    secret(tmp_path / "center.password")
    (tmp_path / "center.toml").write_text(text, encoding="utf-8")
    if message is None:
        loaded = config.load(str(tmp_path / "center.toml"))
        assert [n.name for n in loaded.nodes] == ["北京电信", "上海联通"]
        assert loaded.nats.password == "p" * 32 and loaded.allowed_servers == {"abc"}
        return
    with pytest.raises(config.ConfigError, match=message):
        config.load(str(tmp_path / "center.toml"))


OPERATORS = CONFIG % "sh" + """
# 广州: the operator's note on the next node
[[nodes]]
name = "广州移动"  # since May
id = "gz"
"""


@pytest.mark.parametrize("node_id, left, message", [
    ("sh", ["bj", "gz"], None),
    ("gz", ["bj", "sh"], None),
    ("bj", ["sh", "gz"], None),
    ("xx", None, 'no \\[\\[nodes\\]\\] with id = "xx"'),
])
def test_a_node_is_removed_with_its_table_only(tmp_path, node_id, left, message):
    path = tmp_path / "center.toml"
    path.write_text(OPERATORS, encoding="utf-8")
    if message:
        with pytest.raises(config.ConfigError, match=message):
            config.without_node(str(path), node_id)
        return
    rest = config.without_node(str(path), node_id)
    path.write_text(rest, encoding="utf-8")
    assert [node.id for node in config.load_nodes(str(path))] == left
    # Every other line stays as the operator wrote it, its comments with it.
    removed = [line for line in OPERATORS.splitlines() if line not in rest.splitlines()]
    assert all(node_id in line or line.startswith("name = ") or line == "[[nodes]]"
               for line in removed), removed
    # A comment above a table is not taken with it: it may say more than that node.
    assert "# 广州: the operator's note on the next node" in rest


def test_the_last_node_is_not_removed(tmp_path):
    path = tmp_path / "center.toml"
    path.write_text(config.center_toml([("北京电信", "bj")], ["abc"], ["nats://127.0.0.1:4222"],
                                       "center.password"), encoding="utf-8")
    with pytest.raises(config.ConfigError, match="name at least one node"):
        config.without_node(str(path), "bj")
