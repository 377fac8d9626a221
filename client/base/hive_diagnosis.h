// What the client can tell about the machine hive when the registry cannot
// open the service's keys: where the file is, and what SQLite finds wrong with
// it. Only for the message that explains the failure; the client reads and
// writes the hive through the registry, never through SQLite.
#pragma once

#include <QString>

namespace HiveDiagnosis {

// The machine hive of the platform root in force: <root>/machine.hive.
QString machineHivePath();

// SQLite's own words about the database file at `path` ("file is not a
// database", "database disk image is malformed", "unable to open database
// file"), found by opening it read-only and running a quick check; empty when
// SQLite finds nothing wrong. The file is not changed.
QString sqliteError(const QString& path);

}  // namespace HiveDiagnosis
