#include "actions/COdbcAction.h"

#include <cstdio>
#include <ctime>

#include "platform/text.h"
#include "rules/CActionListEntry.h"
#include "service/CErrorReport.h"
#include "service/event_ids.h"

namespace {

// Connection strings in and out, and the driver's message, in characters.
constexpr std::int16_t kConnectionCapacity = 16384;
constexpr std::int16_t kDescriptionCapacity = 2048;

// Characters that end or open a value in a connection string. Leading and
// trailing blanks would be trimmed by the parser, so they need braces too.
bool needsBraces(std::string_view value) {
  if (value.empty()) return false;
  if (value.front() == ' ' || value.back() == ' ') return true;
  return value.find_first_of(";{}=") != std::string_view::npos;
}

void appendAttribute(std::u16string& out, std::u16string_view key, std::string_view value) {
  out += key;
  out += u'=';
  if (!needsBraces(value)) {
    out += platform::toWide(value);
    return;
  }
  // Inside braces only a closing brace has a meaning; it is written twice.
  out += u'{';
  for (char16_t c : platform::toWide(value)) {
    out += c;
    if (c == u'}') out += u'}';
  }
  out += u'}';
}

odbc::Timestamp localTimestamp(TimeValue when) {
  const std::time_t t = static_cast<std::time_t>(when);
  std::tm fields{};
  tzset();  // localtime_r alone need not notice a changed zone
  localtime_r(&t, &fields);
  odbc::Timestamp stamp{};
  stamp.year = static_cast<std::int16_t>(fields.tm_year + 1900);
  stamp.month = static_cast<std::uint16_t>(fields.tm_mon + 1);
  stamp.day = static_cast<std::uint16_t>(fields.tm_mday);
  stamp.hour = static_cast<std::uint16_t>(fields.tm_hour);
  stamp.minute = static_cast<std::uint16_t>(fields.tm_min);
  stamp.second = static_cast<std::uint16_t>(fields.tm_sec);
  stamp.fraction = 0;
  return stamp;
}

}  // namespace

COdbcAction::~COdbcAction() { releaseAll(); }

std::u16string COdbcAction::buildConnectionString(std::string_view dsn, std::string_view uid,
                                                  std::string_view pwd) {
  std::u16string out;
  appendAttribute(out, u"DSN", dsn);
  out += u';';
  appendAttribute(out, u"UID", uid);
  out += u';';
  appendAttribute(out, u"PWD", pwd);
  return out;
}

std::u16string COdbcAction::buildInsertStatement(const ActionSettings& settings) {
  std::u16string sql = u"insert into ";
  sql += platform::toWide(settings.odbcTable);
  sql += u'(';
  const std::string* columns[] = {&settings.odbcColReceivedAt, &settings.odbcColFacility,
                                  &settings.odbcColPriority, &settings.odbcColFromHost,
                                  &settings.odbcColMessage};
  bool first = true;
  for (const std::string* column : columns) {
    if (!first) sql += u", ";
    first = false;
    sql += platform::toWide(*column);
  }
  sql += u") values(?, ?, ?, ?, ?)";
  return sql;
}

bool COdbcAction::isOutputFailure(std::u16string_view state, std::u16string_view description) {
  // Class 08: the connection could not be made or was lost (a server that is
  // down, refuses or cannot be reached).
  if (state.starts_with(u"08")) return true;
  // Time-outs of a statement or a login (ODBC 3 and ODBC 2 names; the action
  // speaks ODBC 2, drivers answer in either).
  if (state == u"HYT00" || state == u"HYT01" || state == u"S1T00") return true;
  // No such data source, or its driver cannot be loaded: nothing any message
  // holds can change that, only the configuration.
  if (state == u"IM002" || state == u"IM003") return true;
  // SQLite's own texts for a database another connection holds (SQLITE_BUSY,
  // SQLITE_LOCKED), which its ODBC driver passes on under the general state
  // after waiting its busy time-out ("Timeout" of the data source).
  if (state == u"HY000" || state == u"S1000") {
    return description.find(u"database is locked") != std::u16string_view::npos ||
           description.find(u"database table is locked") != std::u16string_view::npos;
  }
  // Everything else, among it the row the table rejects (22..., 23...), a
  // statement the database does not take (42...) and a deadlock or
  // serialization failure (40...), which the next insert need not meet.
  return false;
}

std::string COdbcAction::formatOdbcError(std::u16string_view state, std::u16string_view description) {
  std::string text = "\nODBC Error Code: ";
  text += platform::toAnsi(state);
  text += "\nODBC Error Description: ";
  text += platform::toAnsi(description);
  text += "\n\n";
  return text;
}

void COdbcAction::Execute(const SyslogMessage& message, const ActionSettings& settings,
                          const CActionListEntry& entry) {
  // A copy of the text gives its byte length in the ANSI code page, zero bytes
  // inside included; the connect that follows costs far more.
  CTolvaneString text;
  message.getMessageString(text);
  const CTolvaneString& host = message.getFromHost();
  const std::string_view dsn = entry.hasParameter() ? std::string_view(entry.getParameter().getNarrow(),
                                                                       entry.getParameter().getNarrowLength())
                                                    : std::string_view(settings.odbcDsn);
  connectAndInsert(host, text, message.getFacility(), message.getPriority(), message.getReceivedAt(), dsn,
                   settings);
}

void COdbcAction::connectAndInsert(const CTolvaneString& host, const CTolvaneString& text,
                                   std::int32_t facility, std::int32_t priority, TimeValue receivedAt,
                                   std::string_view dsn, const ActionSettings& settings) {
  const std::u16string connection = buildConnectionString(dsn, settings.odbcUid, settings.odbcPwd);

  odbc::Return code = odbc::allocEnv(&m_env);
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  code = odbc::allocConnect(m_env, &m_connection);
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  {
    std::u16string completed(kConnectionCapacity, u'\0');
    code = odbc::driverConnect(m_connection, connection, completed.data(), kConnectionCapacity);
  }
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  m_connected = true;
  code = odbc::allocStmt(m_connection, &m_statement);
  if (!odbc::succeeded(code)) raiseOdbcError(code);

  InsertValues values;
  values.receivedAt = localTimestamp(receivedAt);
  values.facility = facility;
  values.priority = priority;
  values.host = host.getNarrow();
  values.hostLength = host.getNarrowLength();
  values.text = text.getNarrow();
  values.textLength = text.getNarrowLength();
  code = SQLDoInsert(m_statement, values, settings);
  if (!odbc::succeeded(code)) raiseOdbcError(code);

  // The row is written; a failure from here on is still reported, because the
  // data source is not in the state the next message relies on.
  code = odbc::freeStmt(m_statement, odbc::FreeOption::kDrop);
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  m_statement = nullptr;
  code = odbc::disconnect(m_connection);
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  m_connected = false;
  code = odbc::freeConnect(m_connection);
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  m_connection = nullptr;
  code = odbc::freeEnv(m_env);
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  m_env = nullptr;
}

odbc::Return COdbcAction::SQLDoInsert(odbc::Handle statement, InsertValues& values,
                                      const ActionSettings& settings) {
  odbc::Return code = odbc::bindTimestamp(statement, 1, &values.receivedAt);
  if (!odbc::succeeded(code)) return code;

  const auto failBound = [statement](odbc::Return failed) {
    odbc::freeStmt(statement, odbc::FreeOption::kUnbind);
    return failed;
  };
  code = odbc::bindLong(statement, 2, &values.facility, &values.integerIndicator);
  if (!odbc::succeeded(code)) return failBound(code);
  code = odbc::bindLong(statement, 3, &values.priority, &values.integerIndicator);
  if (!odbc::succeeded(code)) return failBound(code);
  code = odbc::bindChar(statement, 4, false, values.host, static_cast<std::uint64_t>(values.hostLength),
                        &values.hostLength);
  if (!odbc::succeeded(code)) return failBound(code);
  code = odbc::bindChar(statement, 5, true, values.text, static_cast<std::uint64_t>(values.textLength),
                        &values.textLength);
  if (!odbc::succeeded(code)) return failBound(code);

  const std::u16string sql = buildInsertStatement(settings);
  code = odbc::prepare(statement, sql);
  if (!odbc::succeeded(code)) raiseOdbcError(code);
  code = odbc::execute(statement);
  if (!odbc::succeeded(code)) raiseOdbcError(code);

  code = odbc::freeStmt(statement, odbc::FreeOption::kUnbind);
  if (!odbc::succeeded(code)) return code;
  return odbc::freeStmt(statement, odbc::FreeOption::kClose);
}

void COdbcAction::raiseOdbcError(odbc::Return code) {
  char16_t state[6] = {};
  std::u16string description(kDescriptionCapacity, u'\0');
  std::int32_t native = 0;
  std::int16_t length = 0;
  const odbc::Return diagnosed = odbc::error(m_env, m_connection, m_statement, state, &native,
                                             description.data(), kDescriptionCapacity, &length);
  if (odbc::succeeded(diagnosed)) {
    // A message longer than the buffer comes back cut, with its full length.
    if (length < 0 || length >= kDescriptionCapacity) length = kDescriptionCapacity - 1;
    description.resize(static_cast<std::size_t>(length));
    state[5] = u'\0';
  } else {
    // No diagnostic to show (an invalid handle, or none recorded): say so
    // rather than show whatever the buffers held.
    state[0] = u'\0';
    char fallback[64];
    std::snprintf(fallback, sizeof fallback, "no diagnostic available (return code %d)", code);
    description = platform::toWide(fallback);
  }
  releaseAll();
  const std::string text = formatOdbcError(state, description);
  // The return code, 16 bits wide, sign-extended.
  CErrorReport report(kEventOdbcError, static_cast<std::int32_t>(code), text.c_str());
  report.setOutputFailure(isOutputFailure(state, description));
  throw report;
}

void COdbcAction::releaseAll() {
  // Results ignored: this runs only once something has already failed.
  if (m_statement != nullptr) odbc::freeStmt(m_statement, odbc::FreeOption::kDrop);
  if (m_connected) odbc::disconnect(m_connection);
  if (m_connection != nullptr) odbc::freeConnect(m_connection);
  if (m_env != nullptr) odbc::freeEnv(m_env);
  m_statement = m_connection = m_env = nullptr;
  m_connected = false;
}
