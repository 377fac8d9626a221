// One registry hive: a SQLite database file holding a tree of keys and their
// values. Private to the registry; the Windows-shaped calls in registry.cpp are
// built on it.
//
// A process holds one Hive per hive file. Every operation runs with the hive's
// mutex held and inside a SQLite transaction of its own, or inside the open
// transaction of the calling thread (RegBeginTransaction), so each call is
// atomic and a failed call changes nothing.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/types.h"

namespace platform::hive {

using KeyId = std::int64_t;
inline constexpr KeyId kRootKey = 1;  // the hive's root key, which cannot be deleted

// Thrown inside a hive operation to abandon it with a Windows result code.
struct HiveError {
  LONG code;
};

struct Value {
  std::u16string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct KeyInfo {
  DWORD subKeys = 0;
  DWORD maxSubKeyLen = 0;  // characters, terminator not counted
  DWORD values = 0;
  DWORD maxValueNameLen = 0;
  DWORD maxValueLen = 0;  // bytes
};

class Hive;

// The statements of one operation. Exists only while the hive's lock is held;
// each method throws HiveError when SQLite fails.
class Session {
 public:
  explicit Session(Hive& hive) : m_hive(hive) {}

  bool keyExists(KeyId id);
  std::optional<KeyId> findChild(KeyId parent, std::u16string_view name);
  // REQUIRES: no child of that name exists.
  KeyId createChild(KeyId parent, std::u16string_view name);
  // The index-th subkey in ASCII-case-insensitive name order.
  std::optional<std::u16string> childAt(KeyId parent, std::uint32_t index);
  bool hasChildren(KeyId id);
  // Removes the key, every key below it and all their values. With keepKey,
  // the key itself stays, emptied.
  void deleteTree(KeyId id, bool keepKey);

  std::optional<Value> value(KeyId key, std::u16string_view name);
  std::optional<Value> valueAt(KeyId key, std::uint32_t index);
  // Every subkey name, or every value, in the order childAt and valueAt number
  // them, read in one pass (by index, a listing would cost a scan per item).
  std::vector<std::u16string> children(KeyId parent);
  std::vector<Value> values(KeyId key);
  void setValue(KeyId key, std::u16string_view name, DWORD type, std::span<const BYTE> data);
  bool deleteValue(KeyId key, std::u16string_view name);
  KeyInfo info(KeyId key);

 private:
  Hive& m_hive;
};

class Hive : public std::enable_shared_from_this<Hive> {
 public:
  // The process's connection to the hive file, opened (and the file created,
  // mode 0600, with its folder) on first use. A file that was replaced or
  // removed since it was opened is opened afresh. Sets *error on failure.
  static std::shared_ptr<Hive> get(const std::filesystem::path& file, LONG* error);

  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  // Runs op in a read transaction (or the calling thread's open transaction).
  // op's result is returned; a HiveError thrown by op becomes the result.
  LONG read(const std::function<LONG(Session&)>& op);
  // As read, in a write transaction; anything op did is undone unless it
  // returns ERROR_SUCCESS.
  LONG write(const std::function<LONG(Session&)>& op);

  // The calling thread's transaction; see RegBeginTransaction in registry.h.
  // readOnly: RegBeginReadTransaction's snapshot, which takes no write lock.
  LONG beginTransaction(bool readOnly = false);
  LONG commitTransaction();
  LONG rollbackTransaction();

  // See RegQueryHiveChangeCount in registry.h.
  LONG changeCount(std::uint64_t* count);

  const std::filesystem::path& file() const { return m_file; }

 private:
  friend class Session;
  class Statement;

  Hive(std::filesystem::path file, sqlite3* db, dev_t dev, ino_t ino);
  static LONG open(const std::filesystem::path& file, std::shared_ptr<Hive>* out);

  // Waits until no other thread holds a transaction on this hive.
  std::unique_lock<std::mutex> acquire();
  bool ownsTransaction() const { return m_txOwner == std::this_thread::get_id(); }
  LONG run(bool write, const std::function<LONG(Session&)>& op);
  LONG exec(const char* sql);
  LONG execRetryingBusy(const char* sql);
  int schemaVersion();  // PRAGMA user_version; 0 for a new file
  // Cached prepared statement for a literal SQL text.
  sqlite3_stmt* prepare(const char* sql);
  void endTransactionLocked();

  const std::filesystem::path m_file;
  sqlite3* const m_db;
  const dev_t m_dev;  // identity of the file this connection opened
  const ino_t m_ino;
  const pid_t m_pid;  // a connection belongs to the process that opened it

  std::mutex m_mutex;  // guards m_db and everything below
  std::condition_variable m_txEnded;
  std::thread::id m_txOwner;  // default id: no transaction open
  std::vector<std::pair<const char*, sqlite3_stmt*>> m_statements;
  std::int64_t m_dataVersion = -1;  // PRAGMA data_version at the last changeCount
  // An inotify watch on the hive's folder, made at the first changeCount: while
  // it reports nothing for the hive's files, nothing committed, and the count
  // is answered without asking SQLite. -1 when none could be made.
  int m_watch = -1;
  bool m_watchTried = false;
  bool m_watchPrimed = false;  // changeCount has asked SQLite since the watch began
  std::string m_watchedName;   // the hive file's name, which its -wal and -shm names start with
  // Reads every waiting event of the watch: 0 none for this hive's files, 1 a
  // write, 2 a file of the hive created, deleted or moved (or events lost).
  int drainWatch();
};

// Maps a SQLite result code to the Windows result code a registry call returns.
LONG errorFromSqlite(int rc);

}  // namespace platform::hive
