#include "hive.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <new>
#include <thread>

#include "platform/paths.h"
#include "platform/text.h"

namespace platform::hive {

namespace {

constexpr int kBusyTimeoutMs = 10000;  // the daemon and the client share a hive
constexpr mode_t kHiveMode = 0600;     // hives hold the database password

// Names are kept as UTF-16LE bytes so that any wide text, lone surrogates
// included, survives. The comparison form is ASCII-folded and big-endian, so
// that SQLite's byte order of blobs is the order of the UTF-16 code units.
std::vector<BYTE> nameBytes(std::u16string_view name) { return platform::toUtf16leBytes(name); }

std::vector<BYTE> foldBytes(std::u16string_view name) {
  std::vector<BYTE> out;
  out.reserve(name.size() * 2);
  for (char16_t c : foldAsciiCase(name)) {
    out.push_back(static_cast<BYTE>(c >> 8));
    out.push_back(static_cast<BYTE>(c & 0xFF));
  }
  return out;
}

std::u16string nameFromBytes(std::span<const BYTE> bytes) {
  return platform::fromUtf16leBytes(bytes.data(), bytes.size());
}

LONG errorFromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    default:
      return ERROR_CANTOPEN;
  }
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle stays stale
    "  parent INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  name_fold BLOB NOT NULL,"
    "  UNIQUE(parent, name_fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  name_fold BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name_fold)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name, name_fold) VALUES(1, 0, x'', x'');"
    "PRAGMA user_version = 1;";
constexpr int kSchemaVersion = 1;

// Transactions the calling thread has open; a thread that ends without
// committing rolls them back, so other threads are not left waiting forever.
struct OpenTransactions {
  std::vector<std::weak_ptr<Hive>> hives;
  ~OpenTransactions() {
    const auto open = hives;
    for (const auto& weak : open)
      if (auto hive = weak.lock()) hive->rollbackTransaction();
  }
};
thread_local OpenTransactions t_openTransactions;

// Counts the changes this process has seen in any hive: its own commits, other
// connections' commits noticed by changeCount, and hives opened afresh (a
// replaced file starts a new connection whose data_version means nothing to
// the old one's).
std::atomic<std::uint64_t> g_changesSeen{0};

void forgetTransaction(const Hive* hive) {
  auto& v = t_openTransactions.hives;
  std::erase_if(v, [&](const std::weak_ptr<Hive>& w) {
    auto h = w.lock();
    return !h || h.get() == hive;
  });
}

}  // namespace

LONG errorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_REGISTRY_CORRUPT;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// A cached statement, reset when the scope ends.
class Hive::Statement {
 public:
  Statement(Hive& hive, const char* sql) : m_stmt(hive.prepare(sql)) {}
  ~Statement() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int i, std::int64_t v) {
    check(sqlite3_bind_int64(m_stmt, i, v));
    return *this;
  }
  Statement& bind(int i, std::span<const BYTE> bytes) {
    // A null pointer would bind SQL NULL; an empty name or value is a zero-length blob.
    check(bytes.empty() ? sqlite3_bind_zeroblob(m_stmt, i, 0)
                        : sqlite3_bind_blob64(m_stmt, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    return *this;
  }
  bool step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    check(rc);
    return false;
  }
  std::int64_t integer(int col) { return sqlite3_column_int64(m_stmt, col); }
  std::vector<BYTE> bytes(int col) {
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(m_stmt, col));
    const int n = sqlite3_column_bytes(m_stmt, col);
    return p == nullptr ? std::vector<BYTE>{} : std::vector<BYTE>(p, p + n);
  }

 private:
  static void check(int rc) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) throw HiveError{errorFromSqlite(rc)};
  }
  sqlite3_stmt* m_stmt;
};

// ---- Session ----

bool Session::keyExists(KeyId id) {
  Hive::Statement st(m_hive, "SELECT 1 FROM keys WHERE id = ?1");
  return st.bind(1, id).step();
}

std::optional<KeyId> Session::findChild(KeyId parent, std::u16string_view name) {
  Hive::Statement st(m_hive, "SELECT id FROM keys WHERE parent = ?1 AND name_fold = ?2");
  st.bind(1, parent).bind(2, foldBytes(name));
  if (!st.step()) return std::nullopt;
  return st.integer(0);
}

KeyId Session::createChild(KeyId parent, std::u16string_view name) {
  Hive::Statement st(m_hive, "INSERT INTO keys(parent, name, name_fold) VALUES(?1, ?2, ?3)");
  st.bind(1, parent).bind(2, nameBytes(name)).bind(3, foldBytes(name)).step();
  return sqlite3_last_insert_rowid(m_hive.m_db);
}

std::optional<std::u16string> Session::childAt(KeyId parent, std::uint32_t index) {
  Hive::Statement st(m_hive, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name_fold LIMIT 1 OFFSET ?2");
  st.bind(1, parent).bind(2, static_cast<std::int64_t>(index));
  if (!st.step()) return std::nullopt;
  return nameFromBytes(st.bytes(0));
}

bool Session::hasChildren(KeyId id) {
  Hive::Statement st(m_hive, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
  return st.bind(1, id).step();
}

void Session::deleteTree(KeyId id, bool keepKey) {
  {
    Hive::Statement st(m_hive,
                       "DELETE FROM vals WHERE key IN (WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL "
                       "SELECT k.id FROM keys k JOIN t ON k.parent = t.id) SELECT id FROM t)");
    st.bind(1, id).step();
  }
  {
    Hive::Statement st(m_hive,
                       "DELETE FROM keys WHERE id IN (WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE "
                       "parent = ?1 UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent = t.id) "
                       "SELECT id FROM t)");
    st.bind(1, id).step();
  }
  if (!keepKey && id != kRootKey) {
    Hive::Statement st(m_hive, "DELETE FROM keys WHERE id = ?1");
    st.bind(1, id).step();
  }
}

std::optional<Value> Session::value(KeyId key, std::u16string_view name) {
  Hive::Statement st(m_hive, "SELECT name, type, data FROM vals WHERE key = ?1 AND name_fold = ?2");
  st.bind(1, key).bind(2, foldBytes(name));
  if (!st.step()) return std::nullopt;
  return Value{nameFromBytes(st.bytes(0)), static_cast<DWORD>(st.integer(1)), st.bytes(2)};
}

std::optional<Value> Session::valueAt(KeyId key, std::uint32_t index) {
  Hive::Statement st(m_hive,
                     "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY name_fold LIMIT 1 OFFSET ?2");
  st.bind(1, key).bind(2, static_cast<std::int64_t>(index));
  if (!st.step()) return std::nullopt;
  return Value{nameFromBytes(st.bytes(0)), static_cast<DWORD>(st.integer(1)), st.bytes(2)};
}

std::vector<std::u16string> Session::children(KeyId parent) {
  Hive::Statement st(m_hive, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name_fold");
  st.bind(1, parent);
  std::vector<std::u16string> names;
  while (st.step()) names.push_back(nameFromBytes(st.bytes(0)));
  return names;
}

std::vector<Value> Session::values(KeyId key) {
  Hive::Statement st(m_hive, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY name_fold");
  st.bind(1, key);
  std::vector<Value> out;
  while (st.step())
    out.push_back(Value{nameFromBytes(st.bytes(0)), static_cast<DWORD>(st.integer(1)), st.bytes(2)});
  return out;
}

void Session::setValue(KeyId key, std::u16string_view name, DWORD type, std::span<const BYTE> data) {
  // An existing value keeps the case of its name, as on Windows.
  Hive::Statement st(m_hive,
                     "INSERT INTO vals(key, name, name_fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                     "ON CONFLICT(key, name_fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  st.bind(1, key).bind(2, nameBytes(name)).bind(3, foldBytes(name)).bind(4, static_cast<std::int64_t>(type));
  st.bind(5, data).step();
}

bool Session::deleteValue(KeyId key, std::u16string_view name) {
  Hive::Statement st(m_hive, "DELETE FROM vals WHERE key = ?1 AND name_fold = ?2");
  st.bind(1, key).bind(2, foldBytes(name)).step();
  return sqlite3_changes(m_hive.m_db) > 0;
}

KeyInfo Session::info(KeyId key) {
  KeyInfo info;
  {
    Hive::Statement st(m_hive, "SELECT count(*), coalesce(max(length(name)), 0) FROM keys WHERE parent = ?1");
    st.bind(1, key).step();
    info.subKeys = static_cast<DWORD>(st.integer(0));
    info.maxSubKeyLen = static_cast<DWORD>(st.integer(1) / 2);
  }
  {
    Hive::Statement st(m_hive,
                       "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) "
                       "FROM vals WHERE key = ?1");
    st.bind(1, key).step();
    info.values = static_cast<DWORD>(st.integer(0));
    info.maxValueNameLen = static_cast<DWORD>(st.integer(1) / 2);
    info.maxValueLen = static_cast<DWORD>(st.integer(2));
  }
  return info;
}

// ---- Hive ----

Hive::Hive(std::filesystem::path file, sqlite3* db, dev_t dev, ino_t ino)
    : m_file(std::move(file)), m_db(db), m_dev(dev), m_ino(ino), m_pid(getpid()) {}

Hive::~Hive() {
  for (auto& [sql, stmt] : m_statements) sqlite3_finalize(stmt);
  sqlite3_close_v2(m_db);
  if (m_watch >= 0) ::close(m_watch);
}

std::shared_ptr<Hive> Hive::get(const std::filesystem::path& file, LONG* error) {
  // Never destroyed: a hive may still be in use by a thread that outlives main().
  static auto* cacheMutex = new std::mutex;
  static auto* cache = new std::map<std::string, std::shared_ptr<Hive>>;

  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(file, ec).lexically_normal();
  const std::string key = path.string();
  std::lock_guard lock(*cacheMutex);

  // A connection whose file is gone or replaced (a test's root removed and made
  // again) is no longer this hive; one inherited through fork() is the parent's
  // and must be neither used nor closed here.
  auto stale = [](const std::shared_ptr<Hive>& h) {
    struct stat st {};
    return h->m_pid != getpid() || ::stat(h->m_file.c_str(), &st) != 0 || st.st_dev != h->m_dev ||
           st.st_ino != h->m_ino;
  };
  auto drop = [&](std::map<std::string, std::shared_ptr<Hive>>::iterator it) {
    if (it->second->m_pid != getpid()) new std::shared_ptr<Hive>(std::move(it->second));  // leak on purpose
    return cache->erase(it);
  };

  if (auto it = cache->find(key); it != cache->end()) {
    if (!stale(it->second)) return it->second;
    drop(it);
  }
  for (auto it = cache->begin(); it != cache->end();)
    it = (it->second.use_count() == 1 && stale(it->second)) ? drop(it) : std::next(it);

  std::shared_ptr<Hive> hive;
  const LONG rc = open(path, &hive);
  if (rc != ERROR_SUCCESS) {
    if (error != nullptr) *error = rc;
    return nullptr;
  }
  (*cache)[key] = hive;
  return hive;
}

LONG Hive::open(const std::filesystem::path& file, std::shared_ptr<Hive>* out) {
  if (!ensureDirectory(file.parent_path())) return errorFromErrno(errno);

  // Create the file ourselves so that its mode does not depend on the umask.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kHiveMode);
  if (fd >= 0) {
    fchmod(fd, kHiveMode);
    ::close(fd);
  } else if (errno != EEXIST) {
    return errorFromErrno(errno);
  }

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const int sysErr = db != nullptr ? sqlite3_system_errno(db) : 0;
    sqlite3_close_v2(db);
    return (rc == SQLITE_CANTOPEN && sysErr != 0) ? errorFromErrno(sysErr) : errorFromSqlite(rc);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);

  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    sqlite3_close_v2(db);
    return errorFromErrno(errno);
  }
  std::shared_ptr<Hive> hive(new Hive(file, db, st.st_dev, st.st_ino));

  // WAL lets the daemon read while the client writes; FULL makes a committed
  // change survive a power failure, which matters more than write speed here.
  for (const char* sql : {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = FULL"})
    if (LONG e = hive->execRetryingBusy(sql); e != ERROR_SUCCESS) return e;
  // Only a new hive needs the write lock, which another process may hold for
  // the length of its transaction.
  if (hive->schemaVersion() < kSchemaVersion) {
    if (LONG e = hive->exec("BEGIN IMMEDIATE"); e != ERROR_SUCCESS) return e;
    if (LONG e = hive->exec(kSchema); e != ERROR_SUCCESS) {
      hive->exec("ROLLBACK");
      return e;
    }
    if (LONG e = hive->exec("COMMIT"); e != ERROR_SUCCESS) {
      hive->exec("ROLLBACK");
      return e;
    }
  }

  // SQLite gives its -wal and -shm files the mode of the database; make sure
  // of it, whatever the umask was when they were made.
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string side = file.string() + suffix;
    struct stat sst {};
    if (::stat(side.c_str(), &sst) == 0 && (sst.st_mode & 0777) != (st.st_mode & 0777))
      ::chmod(side.c_str(), st.st_mode & 0777);
  }
  *out = std::move(hive);
  return ERROR_SUCCESS;
}

LONG Hive::execRetryingBusy(const char* sql) {
  // Two processes turning a new hive to WAL at once: the loser gets SQLITE_BUSY
  // at once, without the busy handler, because it holds a lock the winner needs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  while (true) {
    const LONG e = exec(sql);
    if (e != ERROR_BUSY || std::chrono::steady_clock::now() > deadline) return e;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int Hive::schemaVersion() {
  sqlite3_stmt* stmt = nullptr;
  int version = 0;
  if (sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    version = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  return version;
}

LONG Hive::exec(const char* sql) {
  return errorFromSqlite(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr));
}

sqlite3_stmt* Hive::prepare(const char* sql) {
  // The statements are string literals, so their address identifies them.
  for (auto& [text, stmt] : m_statements)
    if (text == sql) return stmt;
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) throw HiveError{errorFromSqlite(rc)};
  m_statements.emplace_back(sql, stmt);
  return stmt;
}

std::unique_lock<std::mutex> Hive::acquire() {
  std::unique_lock lock(m_mutex);
  m_txEnded.wait(lock, [&] { return m_txOwner == std::thread::id() || ownsTransaction(); });
  return lock;
}

LONG Hive::read(const std::function<LONG(Session&)>& op) { return run(false, op); }
LONG Hive::write(const std::function<LONG(Session&)>& op) { return run(true, op); }

LONG Hive::run(bool write, const std::function<LONG(Session&)>& op) {
  auto lock = acquire();
  const bool inTransaction = ownsTransaction();
  // SQLite ends a transaction on its own after some failures (a full disk);
  // going on would commit the rest piecemeal.
  if (inTransaction && sqlite3_get_autocommit(m_db)) return ERROR_TRANSACTION_NOT_ACTIVE;

  LONG result = exec(inTransaction ? "SAVEPOINT op" : write ? "BEGIN IMMEDIATE" : "BEGIN");
  if (result != ERROR_SUCCESS) return result;
  try {
    Session session(*this);
    result = op(session);
  } catch (const HiveError& e) {
    result = e.code;
  } catch (const std::bad_alloc&) {
    result = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (result == ERROR_SUCCESS) {
    result = exec(inTransaction ? "RELEASE op" : "COMMIT");
    if (result == ERROR_SUCCESS) {
      if (write && !inTransaction) g_changesSeen.fetch_add(1, std::memory_order_relaxed);
      return result;
    }
  }
  if (!sqlite3_get_autocommit(m_db)) {
    if (inTransaction) {
      exec("ROLLBACK TO op");
      exec("RELEASE op");
    } else {
      exec("ROLLBACK");
    }
  }
  return result;
}

LONG Hive::beginTransaction(bool readOnly) {
  std::unique_lock lock(m_mutex);
  if (ownsTransaction()) return ERROR_BUSY;
  m_txEnded.wait(lock, [&] { return m_txOwner == std::thread::id(); });
  // A deferred transaction reads one snapshot of the database (WAL), taken at
  // its first read, without keeping writers out.
  if (LONG e = exec(readOnly ? "BEGIN" : "BEGIN IMMEDIATE"); e != ERROR_SUCCESS) return e;
  m_txOwner = std::this_thread::get_id();
  t_openTransactions.hives.push_back(weak_from_this());
  return ERROR_SUCCESS;
}

LONG Hive::commitTransaction() {
  std::lock_guard lock(m_mutex);
  if (!ownsTransaction()) return ERROR_TRANSACTION_NOT_ACTIVE;
  LONG result = ERROR_TRANSACTION_NOT_ACTIVE;  // SQLite already abandoned it
  if (!sqlite3_get_autocommit(m_db)) {
    result = exec("COMMIT");
    if (result != ERROR_SUCCESS && !sqlite3_get_autocommit(m_db)) exec("ROLLBACK");
  }
  if (result == ERROR_SUCCESS) g_changesSeen.fetch_add(1, std::memory_order_relaxed);
  endTransactionLocked();
  return result;
}

LONG Hive::rollbackTransaction() {
  std::lock_guard lock(m_mutex);
  if (!ownsTransaction()) return ERROR_TRANSACTION_NOT_ACTIVE;
  if (!sqlite3_get_autocommit(m_db)) exec("ROLLBACK");
  endTransactionLocked();
  return ERROR_SUCCESS;
}

int Hive::drainWatch() {
  int seen = 0;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = ::read(m_watch, buffer, sizeof buffer);
    if (length <= 0) break;  // EAGAIN: nothing more waits
    for (const char* at = buffer; at < buffer + length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      if (event->mask & IN_Q_OVERFLOW) {
        seen = 2;
      } else if (event->len > 0 && std::string_view(event->name).starts_with(m_watchedName)) {
        seen = std::max(seen, (event->mask & IN_MODIFY) ? 1 : 2);
      }
      at += sizeof(inotify_event) + event->len;
    }
  }
  return seen;
}

LONG Hive::changeCount(std::uint64_t* count) {
  auto lock = acquire();
  if (!m_watchTried) {
    m_watchTried = true;
    m_watchedName = m_file.filename().string();  // machine.hive, and its -wal, -shm
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    constexpr std::uint32_t kEvents =
        IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    if (m_watch >= 0 && ::inotify_add_watch(m_watch, m_file.parent_path().c_str(), kEvents) < 0) {
      ::close(m_watch);
      m_watch = -1;
    }
  }
  if (m_watch >= 0) {
    // Drained before SQLite is asked: a commit after the drain is reported at
    // the next call.
    const int seen = drainWatch();
    if (m_watchPrimed && seen == 0) {
      *count = g_changesSeen.load(std::memory_order_relaxed);
      return ERROR_SUCCESS;
    }
    // A file replaced under this connection: its data_version would not tell.
    if (seen == 2) g_changesSeen.fetch_add(1, std::memory_order_relaxed);
    m_watchPrimed = true;
  }
  try {
    // data_version changes when another connection, of this process or
    // another, has committed since this connection last looked.
    sqlite3_stmt* stmt = prepare("PRAGMA data_version");
    const int rc = sqlite3_step(stmt);
    const std::int64_t version = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_reset(stmt);
    if (rc != SQLITE_ROW) return errorFromSqlite(rc);
    if (version != m_dataVersion) {
      m_dataVersion = version;
      g_changesSeen.fetch_add(1, std::memory_order_relaxed);
    }
  } catch (const HiveError& e) {
    return e.code;
  }
  *count = g_changesSeen.load(std::memory_order_relaxed);
  return ERROR_SUCCESS;
}

void Hive::endTransactionLocked() {
  m_txOwner = std::thread::id();
  forgetTransaction(this);
  m_txEnded.notify_all();
}

}  // namespace platform::hive
