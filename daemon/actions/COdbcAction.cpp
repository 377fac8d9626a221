#include "actions/COdbcAction.h"

#include "actions/database_output.h"
#include "platform/text.h"
#include "rules/CActionListEntry.h"
#include "service/CErrorReport.h"
#include "service/event_ids.h"

namespace {

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

}  // namespace

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
  const std::string_view dsn = entry.hasParameter() ? std::string_view(entry.getParameter().getNarrow(),
                                                                       entry.getParameter().getNarrowLength())
                                                    : std::string_view(settings.odbcDsn);
  databaseOutputs().add(dsn, message, settings);
}
