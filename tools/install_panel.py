"""Installs the stand-in host panel into a panel directory (by default /www/server/panel):
its class files, the data directory and the database made from the schema."""

import os
import shutil
import sqlite3
import sys

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "panel")


def install(panel_root="/www/server/panel"):
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
    finally:
        db.close()
    return panel_root


if __name__ == "__main__":
    print("stand-in panel installed in", install(*sys.argv[1:]))
