#include "eventlog_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

#include "platform/paths.h"

namespace platform::eventlog {

namespace {

constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    " record INTEGER PRIMARY KEY AUTOINCREMENT,"  // AUTOINCREMENT: numbers are never reused
    " time_generated INTEGER NOT NULL,"
    " time_written INTEGER NOT NULL,"
    " source TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " category INTEGER NOT NULL,"
    " event_id INTEGER NOT NULL,"
    " computer TEXT NOT NULL,"
    " string_count INTEGER NOT NULL,"
    " strings BLOB NOT NULL,"  // each insert string followed by a zero byte, as Windows keeps them
    " data BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_by_source ON events (source COLLATE NOCASE, record);";

LONG errnoToError(int e) {
  return (e == EACCES || e == EPERM || e == EROFS) ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
}

}  // namespace

Store* openStore(bool create, LONG& error) {
  static std::mutex mutex;
  // One per file, for the life of the process. Never destroyed, so that a
  // thread still logging while the process exits finds its connection.
  static auto& stores = *new std::map<std::filesystem::path, std::unique_ptr<Store>>;

  const std::filesystem::path root = machineRoot();
  const std::filesystem::path path = root / "eventlog.db";
  std::lock_guard lock(mutex);
  if (auto it = stores.find(path); it != stores.end()) return it->second.get();

  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (!create) {
      error = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    if (!ensureDirectory(root)) {
      error = ERROR_PATH_NOT_FOUND;
      return nullptr;
    }
    // Create the file ourselves so that it is owner-only from its first byte;
    // SQLite gives its WAL and shared-memory files the same permissions.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = errnoToError(errno);
      return nullptr;
    }
    close(fd);
  }

  auto store = std::make_unique<Store>();
  if (sqlite3_open_v2(path.c_str(), &store->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    error = access(path.c_str(), R_OK | W_OK) != 0 ? errnoToError(errno) : ERROR_CANTOPEN;
    sqlite3_close(store->db);
    return nullptr;
  }
  sqlite3_busy_timeout(store->db, kBusyTimeoutMs);
  if (sqlite3_exec(store->db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(store->db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = sqlite3_errcode(store->db) == SQLITE_READONLY ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
    sqlite3_close(store->db);
    return nullptr;
  }
  Store* result = store.get();
  stores.emplace(path, std::move(store));
  return result;
}

}  // namespace platform::eventlog
