-- The table of the database action in SQLite, with the default column names.
-- ReceivedAt: local time of reception, written by the ODBC driver as text
-- ('YYYY-MM-DD HH:MM:SS'); Facility, Priority: integers; FromHost, Message:
-- the sender and the message text, exactly as received.
CREATE TABLE IF NOT EXISTS Syslog (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  ReceivedAt TIMESTAMP NOT NULL,
  Facility INTEGER NOT NULL,
  Priority INTEGER NOT NULL,
  FromHost VARCHAR(255) NOT NULL,
  Message TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS Syslog_ReceivedAt ON Syslog(ReceivedAt);
