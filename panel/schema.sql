-- The host panel's tables that the probe-task plug-in reads and writes.
CREATE TABLE IF NOT EXISTS boce_task (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL DEFAULT '',
    url TEXT NOT NULL DEFAULT '',
    cycle INTEGER NOT NULL DEFAULT 5,
    status INTEGER NOT NULL DEFAULT 1,
    addtime INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS boce_list (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    pid INTEGER NOT NULL,
    status INTEGER NOT NULL,
    data TEXT NOT NULL,
    addtime INTEGER NOT NULL
);
