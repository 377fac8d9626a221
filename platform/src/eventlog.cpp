// Writing to the Application log: RegisterEventSource, ReportEvent,
// DeregisterEventSource.
#include "platform/eventlog.h"

#include <unistd.h>

#include <chrono>
#include <mutex>
#include <set>

#include "eventlog_store.h"
#include "platform/text.h"

namespace {

constexpr WORD kMaxStrings = 256;

struct EventSource {
  std::string name;  // ANSI code page
};

std::mutex g_sourcesMutex;
std::set<const EventSource*>& liveSources() {
  static std::set<const EventSource*> sources;
  return sources;
}

std::string computerName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

bool isLocalServer(std::string server) {
  if (server.rfind("\\\\", 0) == 0) server.erase(0, 2);
  if (server.empty()) return true;
  const std::u16string wide = platform::toWide(server);
  if (platform::equalsAsciiNoCase(wide, u"localhost") || server == "127.0.0.1" || server == "::1")
    return true;
  const std::string host = computerName();
  return platform::equalsAsciiNoCase(wide, platform::toWide(host)) ||
         platform::equalsAsciiNoCase(wide, platform::toWide(host.substr(0, host.find('.'))));
}

HANDLE registerSource(const char* server, std::string source) {
  if (server != nullptr && !isLocalServer(server)) {
    SetLastError(ERROR_BAD_NETPATH);
    return nullptr;
  }
  auto* handle = new EventSource{std::move(source)};
  std::lock_guard lock(g_sourcesMutex);
  liveSources().insert(handle);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

const EventSource* sourceOf(HANDLE handle) {
  std::lock_guard lock(g_sourcesMutex);
  const auto* source = static_cast<const EventSource*>(handle);
  return liveSources().count(source) != 0 ? source : nullptr;
}

BOOL report(HANDLE handle, WORD type, WORD category, DWORD eventId, const std::vector<std::string>& strings,
            DWORD dataSize, const void* rawData) {
  const EventSource* source = sourceOf(handle);
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  LONG error = ERROR_SUCCESS;
  platform::eventlog::Store* store = platform::eventlog::openStore(true, error);
  if (store == nullptr) {
    SetLastError(DWORD(error));
    return FALSE;
  }
  std::string packed;
  for (const std::string& s : strings) packed.append(s).push_back('\0');
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const std::string computer = computerName();

  std::lock_guard lock(store->mutex);
  sqlite3_stmt* stmt = nullptr;
  int rc =
      sqlite3_prepare_v2(store->db,
                         "INSERT INTO events (time_generated, time_written, source, type, category, event_id,"
                         " computer, string_count, strings, data) VALUES (?,?,?,?,?,?,?,?,?,?)",
                         -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(stmt, 1, now);
    sqlite3_bind_int64(stmt, 2, now);
    sqlite3_bind_text(stmt, 3, source->name.data(), int(source->name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt, 4, type);
    sqlite3_bind_int(stmt, 5, category);
    sqlite3_bind_int64(stmt, 6, eventId);
    sqlite3_bind_text(stmt, 7, computer.data(), int(computer.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt, 8, int(strings.size()));
    sqlite3_bind_blob(stmt, 9, packed.data(), int(packed.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(stmt, 10, dataSize > 0 ? rawData : "", int(dataSize), SQLITE_TRANSIENT);
    rc = sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    SetLastError(DWORD(rc == SQLITE_READONLY ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT));
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

template <typename Char>
bool validReport(WORD numStrings, const Char* const* strings, DWORD dataSize, const void* rawData) {
  if (numStrings > kMaxStrings || (numStrings > 0 && strings == nullptr) ||
      (dataSize > 0 && rawData == nullptr) || dataSize > 0x7FFFFFFF)
    return false;
  for (WORD i = 0; i < numStrings; ++i)
    if (strings[i] == nullptr) return false;
  return true;
}

}  // namespace

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
  if (sourceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return registerSource(serverName, sourceName);
}

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
  if (sourceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string server = serverName != nullptr ? platform::toAnsi(serverName) : std::string();
  return registerSource(serverName != nullptr ? server.c_str() : nullptr, platform::toAnsi(sourceName));
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  const auto* source = static_cast<const EventSource*>(eventLog);
  {
    std::lock_guard lock(g_sourcesMutex);
    if (eventLog == nullptr || liveSources().erase(source) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  delete source;
  return TRUE;
}

BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID, WORD numStrings,
                  DWORD dataSize, LPCSTR* strings, LPVOID rawData) {
  if (!validReport(numStrings, strings, dataSize, rawData)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return report(eventLog, type, category, eventId, std::vector<std::string>(strings, strings + numStrings),
                dataSize, rawData);
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
  if (!validReport(numStrings, strings, dataSize, rawData)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> ansi;
  for (WORD i = 0; i < numStrings; ++i) ansi.push_back(platform::toAnsi(strings[i]));
  return report(eventLog, type, category, eventId, ansi, dataSize, rawData);
}
