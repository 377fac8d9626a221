-- The table of the database action in PostgreSQL, with the default column
-- names. ReceivedAt is the local time of reception without a zone, as the
-- action sends it; the texts are text, so no message is ever too long.
CREATE TABLE IF NOT EXISTS Syslog (
  ID bigserial PRIMARY KEY,
  ReceivedAt timestamp(3) NOT NULL,
  Facility integer NOT NULL,
  Priority integer NOT NULL,
  FromHost text NOT NULL,
  Message text NOT NULL
);
CREATE INDEX IF NOT EXISTS Syslog_ReceivedAt ON Syslog(ReceivedAt);
