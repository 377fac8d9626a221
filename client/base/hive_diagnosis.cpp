#include "hive_diagnosis.h"

#include <sqlite3.h>

#include "platform/paths.h"

namespace HiveDiagnosis {

QString machineHivePath() {
  return QString::fromStdString((platform::machineRoot() / "machine.hive").string());
}

QString sqliteError(const QString& path) {
  sqlite3* db = nullptr;
  const QByteArray file = path.toLocal8Bit();
  int rc = sqlite3_open_v2(file.constData(), &db, SQLITE_OPEN_READONLY, nullptr);
  QString error;
  if (rc == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &check, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(check);
    if (rc == SQLITE_ROW) {
      // One row "ok", or the first problem found.
      const auto* found = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
      const QString text = QString::fromUtf8(found != nullptr ? found : "");
      if (text != QLatin1String("ok")) error = text;
    } else if (rc != SQLITE_DONE) {
      error = QString::fromUtf8(sqlite3_errmsg(db));
    }
    sqlite3_finalize(check);
  } else {
    error = QString::fromUtf8(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  }
  sqlite3_close_v2(db);
  return error;
}

}  // namespace HiveDiagnosis
