// Reading the Application log, and formatting an event as a viewer shows it.
#include <cstdlib>

#include "eventlog_store.h"
#include "platform/registry.h"
#include "platform/resource.h"
#include "platform/text.h"

namespace platform {

namespace {

std::string columnBytes(sqlite3_stmt* stmt, int column) {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, column));
  return p != nullptr ? std::string(p, std::size_t(sqlite3_column_bytes(stmt, column))) : std::string();
}

// %NAME% replaced by the environment variable, as ExpandEnvironmentStrings does;
// an unknown name stays as written.
std::string expandEnvironment(const std::string& text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('%', at);
    const std::size_t close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
    if (close == std::string::npos) break;
    out.append(text, at, open - at);
    const std::string name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out.append(value);
      at = close + 1;
    } else {
      out.append(text, open, close - open);  // keep the first %, the second may open a name
      at = close;
    }
  }
  out.append(text, at, std::string::npos);
  return out;
}

// The EventMessageFile value of a source, or nullopt when it has none.
std::optional<std::string> messageFileOf(const std::string& source) {
  // The registry refuses backslashes in a key name; such a source cannot be registered.
  if (source.empty() || source.find('\\') != std::string::npos) return std::nullopt;
  const std::string keyPath = std::string(kApplicationLogKey) + "\\" + source;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return std::nullopt;
  DWORD type = 0, size = 0;
  std::optional<std::string> result;
  if (RegQueryValueExA(key, "EventMessageFile", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::string value(size, '\0');
    if (RegQueryValueExA(key, "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &size) == ERROR_SUCCESS) {
      value.resize(std::min<std::size_t>(size, value.size()));
      value.resize(value.find('\0') == std::string::npos ? value.size() : value.find('\0'));
      result = type == REG_EXPAND_SZ ? expandEnvironment(value) : value;
    }
  }
  RegCloseKey(key);
  return result;
}

}  // namespace

LONG readEvents(std::uint64_t afterRecord, const std::optional<std::string>& sourceFilter,
                std::vector<EventRecord>& records, std::size_t limit) {
  records.clear();
  LONG error = ERROR_SUCCESS;
  eventlog::Store* store = eventlog::openStore(false, error);
  if (store == nullptr) return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;

  std::lock_guard lock(store->mutex);
  sqlite3_stmt* stmt = nullptr;
  const char* sql =
      sourceFilter
          ? "SELECT record, time_generated, time_written, source, type, category, event_id, computer,"
            " string_count, strings, data FROM events WHERE record > ? AND source = ? COLLATE NOCASE"
            " ORDER BY record LIMIT ?"
          : "SELECT record, time_generated, time_written, source, type, category, event_id, computer,"
            " string_count, strings, data FROM events WHERE record > ? ORDER BY record LIMIT ?";
  if (sqlite3_prepare_v2(store->db, sql, -1, &stmt, nullptr) != SQLITE_OK) return ERROR_CANTREAD;
  int param = 1;
  sqlite3_bind_int64(stmt, param++, sqlite3_int64(std::min<std::uint64_t>(afterRecord, INT64_MAX)));
  if (sourceFilter)
    sqlite3_bind_text(stmt, param++, sourceFilter->data(), int(sourceFilter->size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(stmt, param, sqlite3_int64(std::min<std::size_t>(limit, INT64_MAX)));
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    EventRecord r;
    r.recordNumber = std::uint64_t(sqlite3_column_int64(stmt, 0));
    r.timeGenerated = sqlite3_column_int64(stmt, 1);
    r.timeWritten = sqlite3_column_int64(stmt, 2);
    r.source = columnBytes(stmt, 3);
    r.type = WORD(sqlite3_column_int(stmt, 4));
    r.category = WORD(sqlite3_column_int(stmt, 5));
    r.eventId = DWORD(sqlite3_column_int64(stmt, 6));
    r.computer = columnBytes(stmt, 7);
    const int count = sqlite3_column_int(stmt, 8);
    const std::string packed = columnBytes(stmt, 9);
    std::size_t at = 0;
    for (int i = 0; i < count && at <= packed.size(); ++i) {
      const std::size_t end = std::min(packed.find('\0', at), packed.size());
      r.strings.push_back(packed.substr(at, end - at));
      at = end + 1;
    }
    const std::string data = columnBytes(stmt, 10);
    r.data.assign(data.begin(), data.end());
    records.push_back(std::move(r));
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ERROR_CANTREAD;
}

std::string formatEvent(const EventRecord& record) {
  if (const auto files = messageFileOf(record.source)) {
    std::size_t at = 0;
    while (at <= files->size()) {
      const std::size_t end = std::min(files->find(';', at), files->size());
      const std::string file = files->substr(at, end - at);
      if (!file.empty())
        if (const auto text = loadMessageText(file, record.eventId))
          return expandMessage(*text, record.strings);
      at = end + 1;
    }
  }
  std::string joined;
  for (std::size_t i = 0; i < record.strings.size(); ++i) {
    if (i > 0) joined.append("\r\n");
    joined.append(record.strings[i]);
  }
  return joined;
}

std::string eventTypeName(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
      return "Success";
    case EVENTLOG_ERROR_TYPE:
      return "Error";
    case EVENTLOG_WARNING_TYPE:
      return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "Information";
    case EVENTLOG_AUDIT_SUCCESS:
      return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE:
      return "Audit Failure";
    default:
      return "Type " + std::to_string(type);
  }
}

}  // namespace platform
