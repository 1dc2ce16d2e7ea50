"""The stand-in host panel against a real SQLite file, real files and a real HTTP server."""

import http.server
import os
import sqlite3
import threading
import urllib.parse

import pytest

from tests.common import json_post_recorder, read_bytes
from tools.lab import install_panel


def test_query_binds_the_id_and_never_pastes_it(public):
    task = public.M("boce_task")
    first = task.insert({"name": "web", "url": "http://a.example/"})
    task.insert({"name": "shop", "url": "http://b.example/"})
    assert public.M("boce_task").where("id=?", first).getField("url") == "http://a.example/"
    assert public.M("boce_task").where("id=?", str(first)).getField("name") == "web"
    assert public.M("boce_task").where("id=?", "1 OR 1=1").getField("url") is False
    assert public.M("boce_task").where("id=?", 999).getField("url") is False
    with pytest.raises(ValueError):
        public.M("boce_task").getField("url; DROP TABLE boce_task")
    with pytest.raises(ValueError):
        public.M("boce_task").insert({"name) VALUES ('x'); --": 1})


@pytest.mark.parametrize("old_table, kept", [
    # A run table from before addtime: its rows stay, the column comes with no value.
    ("CREATE TABLE boce_list (id INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL, "
     "status INTEGER NOT NULL, data TEXT NOT NULL)", {"pid": 7, "addtime": None}),
    # A task table from before cycle and status: they come with their defaults.
    ("CREATE TABLE boce_task (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, url TEXT)",
     {"name": "web", "cycle": 5, "status": 1}),
])
def test_an_older_database_gains_the_new_columns_and_keeps_its_rows(tmp_path, old_table, kept):
    table = old_table.split()[2]
    (tmp_path / "data").mkdir()
    db = sqlite3.connect(str(tmp_path / "data" / "default.db"))
    with db:
        db.execute(old_table)
        db.execute("INSERT INTO %s (%s) VALUES (%s)" % (
            table, *(("pid, status, data", "7, 1, '[]'") if table == "boce_list" else
                     ("name, url", "'web', 'http://a.example/'"))))
    db.close()
    install_panel.install(str(tmp_path))
    install_panel.install(str(tmp_path))  # a second install changes nothing more
    db = sqlite3.connect(str(tmp_path / "data" / "default.db"))
    db.row_factory = sqlite3.Row
    [row] = [dict(r) for r in db.execute("SELECT * FROM %s" % table)]
    db.close()
    assert {name: row[name] for name in kept} == kept


def test_insert_keeps_every_column_of_a_run(public):
    public.M("boce_list").insert({"status": 0, "data": "[{\"isp\": \"\\u5317\"}]", "pid": 7,
                                  "addtime": 1700000000})
    rows = public.M("boce_list").where("pid=?", 7).select()
    assert rows == [{"id": 1, "pid": 7, "status": 0, "data": "[{\"isp\": \"\\u5317\"}]",
                     "addtime": 1700000000}]


def test_files_are_read_whole_and_written_atomically(public, panel_dir):
    data = os.path.join(panel_dir, "data")
    path = os.path.join(data, "settings.json")
    assert public.ReadFile(path) is False and public.readFile(path) is False
    assert public.writeFile(path, "中文 text") is True
    assert read_bytes(path) == "中文 text".encode()
    assert public.ReadFile(path) == "中文 text"
    assert [n for n in os.listdir(data) if n.startswith(".tmp-")] == []
    # A write that cannot happen leaves the old content whole.
    assert public.writeFile(path, 12345) is False
    assert read_bytes(path) == "中文 text".encode()
    assert public.writeFile(os.path.join(data, "no", "such", "dir", "file"), "x") is False


def test_small_helpers(public):
    assert public.md5("abc") == "900150983cd24fb0d6963f7d28e17f72"
    assert public.returnMsg(False, "指定任务不存在!") == {"status": False, "msg": "指定任务不存在!"}
    assert public.ExecShell("printf ' a\\nb'")[0] == " a\nb"
    assert public.to_size(0) == "0 b" and public.to_size(512) == "512 b"
    assert public.to_size(1536) == "1.50 KB" and public.to_size(3 * 1024 ** 2) == "3.00 MB"
    assert len(public.format_date()) == 19
    try:
        raise ValueError("boom")
    except ValueError:
        info = public.get_error_info()
    assert "Traceback" in info and "ValueError: boom" in info


FormEcho = json_post_recorder('{"ok": "已收到"}'.encode(), lambda handler, body: (
    handler.path, handler.headers["Content-Type"], body.decode()))


def test_http_post_sends_a_form_and_returns_the_body_text(public):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), FormEcho)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        url = "http://127.0.0.1:%d/api/local/boce" % server.server_address[1]
        answer = public.httpPost(url, {"serverid": "ab", "url": "http://x/?q=1&r=中"}, 5)
    finally:
        server.shutdown()
        server.server_close()
    assert answer == '{"ok": "已收到"}'
    path, content_type, body = FormEcho.received[-1]
    assert path == "/api/local/boce" and content_type == "application/x-www-form-urlencoded"
    assert urllib.parse.parse_qs(body) == {"serverid": ["ab"], "url": ["http://x/?q=1&r=中"]}
    with pytest.raises(OSError):
        public.httpPost(url, {}, 5)  # nobody listens any more
