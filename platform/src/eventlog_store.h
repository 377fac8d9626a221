// The Application log's SQLite store, private to the event log units.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <mutex>

#include "platform/eventlog.h"

namespace platform::eventlog {

// One open store file. The connection is shared by every thread of the
// process; mutex serialises its use.
struct Store {
  sqlite3* db = nullptr;
  std::mutex mutex;
};

// The store for the current machine root, opened (and created with owner-only
// permissions) on first use and kept for the life of the process. create false:
// a store that does not exist yet is not created, and null is returned with
// ERROR_FILE_NOT_FOUND. Null with the error otherwise when it cannot be opened.
Store* openStore(bool create, LONG& error);

}  // namespace platform::eventlog
