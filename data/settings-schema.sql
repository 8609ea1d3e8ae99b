-- Schema of settings.db, the agent's settings database (SQLCipher, key "tuvask").
-- Used by tools/settings-db (create-settings-db); the agent never creates it.
-- One setting per key; "group" is quoted because GROUP is an SQL keyword.
CREATE TABLE tbl_settings (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    key TEXT,
    value TEXT,
    "group" TEXT
);
