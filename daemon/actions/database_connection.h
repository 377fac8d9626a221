// DatabaseConnection: the kept connection of the database action to one data
// source. It is opened at the first row and kept between rows, with its
// insert statements prepared once; rows go in transactions, many rows to a
// statement. A failure that the next row would meet too (the data source
// cannot be reached) closes it; it is opened again at the next row.
//
// One thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "actions/odbc_api.h"
#include "reception/message_time.h"
#include "platform/types.h"
#include "rules/ActionSettings.h"

// One row: the five values of the table's columns.
struct DatabaseRow {
  TimeValue receivedAt = 0;
  std::int32_t facility = 0;
  std::int32_t priority = 0;
  std::string_view host;
  std::string_view text;  // bytes of the ANSI code page, zero bytes included
};

class DatabaseConnection {
 public:
  enum class Result {
    kDone,         // the rows are committed
    kRefused,      // the database refused them (rolled back); other rows may go
    kUnreachable,  // the data source cannot be reached (closed); nothing was written
  };
  struct Failure {
    std::int32_t code = 0;  // the ODBC return code
    std::string text;       // SQLSTATE and the driver's message, as event 115 shows them
  };

  // Rows are inserted into the table and columns of `settings`, with its user
  // and password.
  DatabaseConnection(std::string dsn, const ActionSettings& settings);
  ~DatabaseConnection();
  DatabaseConnection(const DatabaseConnection&) = delete;
  DatabaseConnection& operator=(const DatabaseConnection&) = delete;

  // Inserts `rows` in one transaction, in their order.
  Result insert(std::span<const DatabaseRow> rows, Failure& failure);
  bool isOpen() const { return m_connection != nullptr; }
  void close();

  // Rows one insert statement carries at most (five parameters each).
  static constexpr std::size_t kRowsPerStatement = 64;

 private:
  bool open(Failure& failure);
  // The prepared statement for `rows` rows (a power of two up to
  // kRowsPerStatement); null after a failure.
  odbc::Handle statementFor(std::size_t rows, Failure& failure);
  // The diagnostic of the failed call and what it means; closes the
  // connection when the data source cannot be reached.
  Result fail(odbc::Return code, odbc::Handle statement, Failure& failure);

  const std::string m_dsn;
  const ActionSettings m_settings;
  odbc::Handle m_env = nullptr;
  odbc::Handle m_connection = nullptr;  // connected when not null
  // Index i: the statement for 2^i rows.
  std::array<odbc::Handle, 7> m_statements{};
};
