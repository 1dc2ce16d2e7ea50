"""The host panel's helper library (stand-in): files, shell, hashing, HTTP, status records, the
panel database and a few text formatters, as the panel's plug-ins use them."""

import contextlib
import hashlib
import os
import sqlite3
import subprocess
import tempfile
import time
import traceback
import urllib.parse
import urllib.request

PANEL_ROOT = "/www/server/panel"
DATABASE = os.path.join(PANEL_ROOT, "data", "default.db")


# ---- files -----------------------------------------------------------------------------------

def ReadFile(filename, mode="r"):
    """The whole text of a file, or False when it is missing or cannot be read."""
    try:
        with open(filename, mode) as f:
            return f.read()
    except (OSError, UnicodeDecodeError):
        return False


readFile = ReadFile


def writeFile(filename, content, mode="w"):
    """Writes the whole file at once: a temporary file beside it, renamed over it."""
    directory = os.path.dirname(os.path.abspath(filename))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".tmp-", dir=directory)
    except OSError:
        return False
    try:
        with os.fdopen(fd, mode) as f:
            f.write(content)
        os.replace(temporary, filename)
        return True
    except (OSError, TypeError, ValueError):
        try:
            os.unlink(temporary)
        except OSError:
            pass
        return False


# ---- shell and hashing -----------------------------------------------------------------------

def ExecShell(cmdstring, timeout=None, shell=True):
    """Runs a shell command line; (standard output, standard error) as texts."""
    result = subprocess.run(cmdstring, shell=shell, capture_output=True, timeout=timeout)
    return (result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace"))


def md5(strings):
    """MD5 digest of a text, 32 lower-case hexadecimal digits."""
    if not isinstance(strings, bytes):
        strings = str(strings).encode("utf-8")
    return hashlib.md5(strings).hexdigest()


# ---- records and texts -----------------------------------------------------------------------

def returnMsg(status, msg, args=()):
    """The panel's status record."""
    if args:
        msg = msg.format(*args)
    return {"status": status, "msg": msg}


def get_error_info():
    """The traceback of the error being handled."""
    return traceback.format_exc()


def format_date(format="%Y-%m-%d %H:%M:%S", times=None):
    if times is None:
        times = time.time()
    return time.strftime(format, time.localtime(times))


def to_size(size):
    """A byte count as a readable size: 512 b, 1.50 KB, 2.00 MB, ..."""
    if not size:
        return "0 b"
    units = ["b", "KB", "MB", "GB", "TB"]
    size = float(size)
    unit = 0
    while abs(size) >= 1024 and unit < len(units) - 1:
        size /= 1024
        unit += 1
    if unit == 0:
        return "%d b" % size
    return "%.2f %s" % (size, units[unit])


# ---- HTTP ------------------------------------------------------------------------------------

def httpPost(url, data, timeout=6, headers=None):
    """POSTs `data` form-encoded; the response body as text. Errors are raised to the caller."""
    body = urllib.parse.urlencode(data).encode("utf-8")
    request = urllib.request.Request(url, data=body, headers=headers or {}, method="POST")
    request.add_header("Content-Type", "application/x-www-form-urlencoded")
    with urllib.request.urlopen(request, timeout=timeout) as response:
        charset = response.headers.get_content_charset() or "utf-8"
        return response.read().decode(charset)


# ---- database --------------------------------------------------------------------------------

class M:
    """A query on one table of the panel database. Values are always bound, never pasted in;
    table and field names are checked against the schema."""

    def __init__(self, table, database=None):
        self._database = database or DATABASE
        self._table = table
        self._columns = self._table_columns()
        self._where = ""
        self._params = ()
        self._order = ""
        self._limit = ""
        self._field = "*"

    @contextlib.contextmanager
    def _connect(self):
        """One connection per statement: committed on success, closed in every case."""
        db = sqlite3.connect(self._database)
        try:
            with db:
                yield db
        finally:
            db.close()

    def _table_columns(self):
        with self._connect() as db:
            rows = db.execute("SELECT name FROM pragma_table_info(?)", (self._table,)).fetchall()
        if not rows:
            raise ValueError("no such table: %s" % self._table)
        return [row[0] for row in rows]

    def _checked(self, names):
        for name in names:
            if name not in self._columns:
                raise ValueError("no such column in %s: %s" % (self._table, name))
        return names

    def where(self, condition, params=()):
        if not isinstance(params, (tuple, list)):
            params = (params,)
        self._where = " WHERE " + condition
        self._params = tuple(params)
        return self

    def order(self, field, descending=False):
        self._checked([field])
        self._order = " ORDER BY %s%s" % (field, " DESC" if descending else "")
        return self

    def limit(self, count):
        self._limit = " LIMIT %d" % int(count)
        return self

    def field(self, names):
        self._field = ",".join(self._checked([n.strip() for n in names.split(",")]))
        return self

    def _select(self, field, limit=""):
        sql = "SELECT %s FROM %s%s%s%s" % (field, self._table, self._where, self._order, limit)
        with self._connect() as db:
            db.row_factory = sqlite3.Row
            return db.execute(sql, self._params).fetchall()

    def select(self):
        return [dict(row) for row in self._select(self._field, self._limit)]

    def find(self):
        rows = self._select(self._field, " LIMIT 1")
        return dict(rows[0]) if rows else False

    def getField(self, name):
        """The field of the first matching row, or False when no row matches."""
        self._checked([name])
        rows = self._select(name, " LIMIT 1")
        return rows[0][0] if rows else False

    def count(self):
        return self._select("COUNT(*)")[0][0]

    def insert(self, record):
        names = self._checked(list(record))
        sql = "INSERT INTO %s (%s) VALUES (%s)" % (
            self._table, ",".join(names), ",".join("?" * len(names)))
        with self._connect() as db:
            return db.execute(sql, [record[name] for name in names]).lastrowid

    def delete(self):
        with self._connect() as db:
            return db.execute("DELETE FROM %s%s" % (self._table, self._where), self._params).rowcount
