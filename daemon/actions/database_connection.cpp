#include "actions/database_connection.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "actions/COdbcAction.h"
#include "platform/text.h"

namespace {

constexpr std::int16_t kConnectionCapacity = 16384;
constexpr std::int16_t kDescriptionCapacity = 2048;
// A server that does not answer a connect is unreachable after this long.
constexpr std::uint32_t kLoginTimeoutSeconds = 10;

static_assert(DatabaseConnection::kRowsPerStatement == 1u << 6);

odbc::Timestamp localTimestamp(TimeValue when) {
  const std::time_t t = static_cast<std::time_t>(when);
  std::tm fields{};
  localtime_r(&t, &fields);
  odbc::Timestamp stamp{};
  stamp.year = static_cast<std::int16_t>(fields.tm_year + 1900);
  stamp.month = static_cast<std::uint16_t>(fields.tm_mon + 1);
  stamp.day = static_cast<std::uint16_t>(fields.tm_mday);
  stamp.hour = static_cast<std::uint16_t>(fields.tm_hour);
  stamp.minute = static_cast<std::uint16_t>(fields.tm_min);
  stamp.second = static_cast<std::uint16_t>(fields.tm_sec);
  return stamp;
}

// The values of the rows of one statement, bound by address.
struct BoundRows {
  std::vector<odbc::Timestamp> stamps;
  std::vector<std::int32_t> facilities;
  std::vector<std::int32_t> priorities;
  std::vector<odbc::Length> hostLengths;
  std::vector<odbc::Length> textLengths;
  odbc::Length integerIndicator = 0;
};

}  // namespace

DatabaseConnection::DatabaseConnection(std::string dsn, const ActionSettings& settings)
    : m_dsn(std::move(dsn)), m_settings(settings) {}

DatabaseConnection::~DatabaseConnection() { close(); }

void DatabaseConnection::close() {
  // Results ignored: the connection goes whatever state it is in.
  for (odbc::Handle& statement : m_statements) {
    if (statement != nullptr) odbc::freeStmt(statement, odbc::FreeOption::kDrop);
    statement = nullptr;
  }
  if (m_connection != nullptr) {
    odbc::disconnect(m_connection);
    odbc::freeConnect(m_connection);
    m_connection = nullptr;
  }
  if (m_env != nullptr) odbc::freeEnv(m_env);
  m_env = nullptr;
}

DatabaseConnection::Result DatabaseConnection::fail(odbc::Return code, odbc::Handle statement, Failure& failure) {
  char16_t state[6] = {};
  std::u16string description(kDescriptionCapacity, u'\0');
  std::int32_t native = 0;
  std::int16_t length = 0;
  const odbc::Return diagnosed = odbc::error(m_env, m_connection, statement, state, &native, description.data(),
                                             kDescriptionCapacity, &length);
  if (odbc::succeeded(diagnosed)) {
    if (length < 0 || length >= kDescriptionCapacity) length = kDescriptionCapacity - 1;
    description.resize(static_cast<std::size_t>(length));
    state[5] = u'\0';
  } else {
    state[0] = u'\0';
    char fallback[64];
    std::snprintf(fallback, sizeof fallback, "no diagnostic available (return code %d)", code);
    description = platform::toWide(fallback);
  }
  failure.code = code;
  failure.text = COdbcAction::formatOdbcError(state, description);
  if (m_connection != nullptr && !COdbcAction::isOutputFailure(state, description)) {
    odbc::endTransaction(m_connection, false);
    return Result::kRefused;
  }
  close();
  return Result::kUnreachable;
}

bool DatabaseConnection::open(Failure& failure) {
  odbc::Return code = odbc::allocEnv(&m_env);
  if (odbc::succeeded(code)) code = odbc::allocConnect(m_env, &m_connection);
  if (!odbc::succeeded(code)) {
    fail(code, nullptr, failure);
    return false;
  }
  odbc::setLoginTimeout(m_connection, kLoginTimeoutSeconds);
  std::u16string completed(kConnectionCapacity, u'\0');
  code = odbc::driverConnect(m_connection,
                             COdbcAction::buildConnectionString(m_dsn, m_settings.odbcUid, m_settings.odbcPwd),
                             completed.data(), kConnectionCapacity);
  if (!odbc::succeeded(code)) {
    // Whatever the driver says, a connect that fails is no row's fault.
    fail(code, nullptr, failure);
    close();
    return false;
  }
  code = odbc::setAutocommit(m_connection, false);
  if (!odbc::succeeded(code)) {
    fail(code, nullptr, failure);
    close();
    return false;
  }
  return true;
}

odbc::Handle DatabaseConnection::statementFor(std::size_t rows, Failure& failure) {
  std::size_t index = 0;
  while ((std::size_t{1} << index) < rows) ++index;
  odbc::Handle& statement = m_statements[index];
  if (statement != nullptr) return statement;
  odbc::Return code = odbc::allocStmt(m_connection, &statement);
  if (!odbc::succeeded(code)) {
    statement = nullptr;
    fail(code, nullptr, failure);
    return nullptr;
  }
  std::u16string sql = COdbcAction::buildInsertStatement(m_settings);
  for (std::size_t i = 1; i < rows; ++i) sql += u", (?, ?, ?, ?, ?)";
  code = odbc::prepare(statement, sql);
  if (!odbc::succeeded(code)) {
    fail(code, statement, failure);
    if (m_connection != nullptr) {
      odbc::freeStmt(statement, odbc::FreeOption::kDrop);
      statement = nullptr;
    }
    return nullptr;
  }
  return statement;
}

DatabaseConnection::Result DatabaseConnection::insert(std::span<const DatabaseRow> rows, Failure& failure) {
  if (m_connection == nullptr && !open(failure)) return Result::kUnreachable;
  tzset();  // localtime_r alone need not notice a changed zone
  BoundRows bound;
  while (!rows.empty()) {
    // The largest statement that the rows fill.
    std::size_t count = kRowsPerStatement;
    while (count > rows.size()) count /= 2;
    odbc::Handle statement = statementFor(count, failure);
    if (statement == nullptr) return m_connection == nullptr ? Result::kUnreachable : Result::kRefused;
    bound.stamps.resize(count);
    bound.facilities.resize(count);
    bound.priorities.resize(count);
    bound.hostLengths.resize(count);
    bound.textLengths.resize(count);
    odbc::Return code = odbc::kSuccess;
    for (std::size_t i = 0; i < count && odbc::succeeded(code); ++i) {
      const DatabaseRow& row = rows[i];
      const auto base = static_cast<std::uint16_t>(5 * i + 1);
      bound.stamps[i] = localTimestamp(row.receivedAt);
      bound.facilities[i] = row.facility;
      bound.priorities[i] = row.priority;
      bound.hostLengths[i] = static_cast<odbc::Length>(row.host.size());
      bound.textLengths[i] = static_cast<odbc::Length>(row.text.size());
      code = odbc::bindTimestamp(statement, base, &bound.stamps[i]);
      if (odbc::succeeded(code)) code = odbc::bindLong(statement, base + 1, &bound.facilities[i], &bound.integerIndicator);
      if (odbc::succeeded(code)) code = odbc::bindLong(statement, base + 2, &bound.priorities[i], &bound.integerIndicator);
      if (odbc::succeeded(code)) {
        code = odbc::bindChar(statement, base + 3, false, row.host.data(), row.host.size(), &bound.hostLengths[i]);
      }
      if (odbc::succeeded(code)) {
        code = odbc::bindChar(statement, base + 4, true, row.text.data(), row.text.size(), &bound.textLengths[i]);
      }
    }
    if (odbc::succeeded(code)) code = odbc::execute(statement);
    if (!odbc::succeeded(code)) return fail(code, statement, failure);
    rows = rows.subspan(count);
  }
  const odbc::Return code = odbc::endTransaction(m_connection, true);
  if (!odbc::succeeded(code)) return fail(code, nullptr, failure);
  return Result::kDone;
}
