"""Installs the stand-in host panel into a panel directory (by default /www/server/panel):
its class files, the data directory and the database made from the schema. A database that is
already there keeps its rows and gains the columns the schema has added since it was made."""

import os
import shutil
import sqlite3
import sys

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "panel")
REAL_PANEL = "/www/server/panel"


def refuse_outside_sandbox(tool, path=REAL_PANEL):
    """Tools that write under /www run only inside tools/sandbox, where /www/server/panel is a
    fresh directory: a real panel on this machine is never touched."""
    if os.path.abspath(path).startswith("/www/") and os.environ.get("START_BOCE_SANDBOX") != "1":
        print("%s: refusing to write %s outside the sandbox; run it through tools/sandbox "
              "(make demo, make test)" % (tool, path), file=sys.stderr)
        raise SystemExit(2)


def install(panel_root=REAL_PANEL):
    refuse_outside_sandbox("install_panel", panel_root)
    class_dir = os.path.join(panel_root, "class")
    data_dir = os.path.join(panel_root, "data")
    os.makedirs(class_dir, exist_ok=True)
    os.makedirs(data_dir, exist_ok=True)
    for name in ("public.py", "send_mail.py"):
        shutil.copyfile(os.path.join(SOURCE, "class", name), os.path.join(class_dir, name))
    with open(os.path.join(SOURCE, "schema.sql"), encoding="utf-8") as f:
        schema = f.read()
    db = sqlite3.connect(os.path.join(data_dir, "default.db"))
    try:
        db.executescript(schema)
        add_missing_columns(db, schema)
    finally:
        db.close()
    return panel_root


def _columns(db, table):
    return db.execute("SELECT name, type, \"notnull\", dflt_value FROM pragma_table_info(?)",
                      (table,)).fetchall()


def add_missing_columns(db, schema):
    """CREATE TABLE IF NOT EXISTS leaves a table of an older schema as it was: each column the
    schema has and the table lacks is added, with its type and default (NOT NULL only where
    there is a default to fill the rows that are there)."""
    wanted = sqlite3.connect(":memory:")
    try:
        wanted.executescript(schema)
        tables = [row[0] for row in wanted.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")]
        with db:
            for table in tables:
                present = {row[0] for row in _columns(db, table)}
                for name, kind, not_null, default in _columns(wanted, table):
                    if name in present:
                        continue
                    db.execute("ALTER TABLE %s ADD COLUMN %s %s%s" % (
                        table, name, kind, "" if default is None else
                        "%s DEFAULT %s" % (" NOT NULL" if not_null else "", default)))
    finally:
        wanted.close()


def main(argv=None):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("panel_root", nargs="?", default=REAL_PANEL,
                        help="the panel directory (default %s, inside the sandbox only)"
                        % REAL_PANEL)
    print("stand-in panel installed in", install(parser.parse_args(argv).panel_root))


if __name__ == "__main__":
    main()
