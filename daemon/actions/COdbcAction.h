// COdbcAction: action 1000, "Write To ODBC". Inserts one row per message
// (reception time, facility, priority, sending host, message text) into the
// configured table of an ODBC data source, connecting and disconnecting for
// every message. Repeated connections are cheap only where the driver
// manager pools them (unixODBC: Pooling = Yes in /etc/odbcinst.ini).
//
// Runs on the receive thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "actions/odbc_api.h"
#include "rules/CAction.h"

class COdbcAction : public CAction {
 public:
  COdbcAction() = default;
  COdbcAction(const COdbcAction&) = delete;
  COdbcAction& operator=(const COdbcAction&) = delete;
  // Releases whatever an interrupted insert left allocated.
  ~COdbcAction() override;

  // Data source: the entry's parameter when it has one, else settings.odbcDsn;
  // user and password from the settings. Any failing ODBC call raises
  // CErrorReport 115 carrying the driver's SQLSTATE and message, marked as an
  // output failure as isOutputFailure says; nothing is retried or kept for
  // later.
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
  // Whether the next message would meet the failure too (its report is then
  // marked as an output failure): the data source cannot be reached, found or
  // loaded, a time-out, or an SQLite database locked by another connection.
  // A row or statement the database refuses fails only its message.
  static bool isOutputFailure(std::u16string_view state, std::u16string_view description);

 private:
  // The values of one row, bound by address: they live until the insert is done.
  struct InsertValues {
    odbc::Timestamp receivedAt{};
    std::int32_t facility = 0;
    std::int32_t priority = 0;
    odbc::Length integerIndicator = 0;  // read at execution, like the values
    const char* host = nullptr;
    odbc::Length hostLength = 0;
    const char* text = nullptr;
    odbc::Length textLength = 0;
  };

  void connectAndInsert(const CTolvaneString& host, const CTolvaneString& text, std::int32_t facility,
                        std::int32_t priority, TimeValue receivedAt, std::string_view dsn,
                        const ActionSettings& settings);
  // Binds, prepares and executes on the open statement. Returns the code of a
  // failing bind or release; raises for a failing prepare or execute.
  odbc::Return SQLDoInsert(odbc::Handle statement, InsertValues& values, const ActionSettings& settings);
  // Takes the diagnostic of the failed call, releases every handle and raises.
  [[noreturn]] void raiseOdbcError(odbc::Return code);
  void releaseAll();

  odbc::Handle m_env = nullptr;
  odbc::Handle m_connection = nullptr;  // allocated; m_connected once connected
  odbc::Handle m_statement = nullptr;
  bool m_connected = false;
};
