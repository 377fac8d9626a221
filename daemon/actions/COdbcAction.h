// COdbcAction: action 1000, "Write To ODBC". One row per message (reception
// time, facility, priority, sending host, message text) for the configured
// table of an ODBC data source. The row goes to the data source's output
// (database_output.h), which inserts it on a thread of its own, in batched
// transactions on a kept connection, and keeps it while the database cannot
// be reached: the message's other actions never wait for the database.
//
// Runs on the processing thread only.
#pragma once

#include <string>
#include <string_view>

#include "rules/CAction.h"

class COdbcAction : public CAction {
 public:
  COdbcAction() = default;
  COdbcAction(const COdbcAction&) = delete;
  COdbcAction& operator=(const COdbcAction&) = delete;

  // Data source: the entry's parameter when it has one, else settings.odbcDsn;
  // user and password from the settings. Queues the row and returns; a row
  // the database refuses is reported by its output (event 115).
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;

  // "DSN=...;UID=...;PWD=..." (ANSI code page in, UTF-16 out). A value that
  // holds a character with a meaning in connection strings is enclosed in
  // braces, so that it stays one value.
  static std::u16string buildConnectionString(std::string_view dsn, std::string_view uid,
                                              std::string_view pwd);
  // "insert into T(c1, c2, c3, c4, c5) values(?, ?, ?, ?, ?)" with the table
  // and the five column names of the settings, in the order time, facility,
  // priority, host, message. The message's fields never enter this text.
  static std::u16string buildInsertStatement(const ActionSettings& settings);
  // The text of the error report: SQLSTATE and the driver's message.
  static std::string formatOdbcError(std::u16string_view state, std::u16string_view description);
  // Whether the next row would meet the failure too: the data source cannot
  // be reached, found or loaded, a time-out, or an SQLite database locked by
  // another connection. A row or statement the database refuses fails only
  // its row.
  static bool isOutputFailure(std::u16string_view state, std::u16string_view description);
};
