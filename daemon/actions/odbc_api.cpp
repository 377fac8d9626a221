#include "actions/odbc_api.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstddef>

// The wide calls take our UTF-16 text as it is: unixODBC's SQLWCHAR must be a
// 16-bit unit (it is unless built with SQL_WCHART_CONVERT, which makes it
// wchar_t).
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "SQLWCHAR is not UTF-16");
static_assert(sizeof(SQLLEN) == sizeof(odbc::Length));
static_assert(sizeof(SQLRETURN) == sizeof(odbc::Return));
static_assert(sizeof(SQL_TIMESTAMP_STRUCT) == sizeof(odbc::Timestamp));
static_assert(offsetof(SQL_TIMESTAMP_STRUCT, second) == offsetof(odbc::Timestamp, second));
static_assert(offsetof(SQL_TIMESTAMP_STRUCT, fraction) == offsetof(odbc::Timestamp, fraction));

namespace odbc {

namespace {

SQLWCHAR* wide(const char16_t* text) {
  // The driver manager's prototypes are not const-correct; it does not write
  // through input strings.
  return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(text));
}

}  // namespace

Return allocEnv(Handle* env) { return SQLAllocEnv(reinterpret_cast<SQLHENV*>(env)); }

Return allocConnect(Handle env, Handle* dbc) {
  return SQLAllocConnect(static_cast<SQLHENV>(env), reinterpret_cast<SQLHDBC*>(dbc));
}

Return driverConnect(Handle dbc, std::u16string_view connection, char16_t* out, std::int16_t outCapacity) {
  SQLSMALLINT outLength = 0;
  return SQLDriverConnectW(static_cast<SQLHDBC>(dbc), nullptr, wide(connection.data()),
                           static_cast<SQLSMALLINT>(connection.size()), reinterpret_cast<SQLWCHAR*>(out),
                           outCapacity, &outLength, SQL_DRIVER_NOPROMPT);
}

Return allocStmt(Handle dbc, Handle* stmt) {
  return SQLAllocStmt(static_cast<SQLHDBC>(dbc), reinterpret_cast<SQLHSTMT*>(stmt));
}

Return bindTimestamp(Handle stmt, std::uint16_t number, Timestamp* value) {
  return SQLBindParameter(static_cast<SQLHSTMT>(stmt), number, SQL_PARAM_INPUT, SQL_C_TIMESTAMP,
                          SQL_TIMESTAMP, 23, 3, value, 16, nullptr);
}

Return bindLong(Handle stmt, std::uint16_t number, std::int32_t* value, Length* indicator) {
  return SQLBindParameter(static_cast<SQLHSTMT>(stmt), number, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 0, 0,
                          value, 0, indicator);
}

Return bindChar(Handle stmt, std::uint16_t number, bool longText, const char* data, std::uint64_t columnSize,
                Length* length) {
  return SQLBindParameter(static_cast<SQLHSTMT>(stmt), number, SQL_PARAM_INPUT, SQL_C_CHAR,
                          longText ? SQL_LONGVARCHAR : SQL_CHAR, columnSize, 0, const_cast<char*>(data),
                          *length, length);
}

Return setAutocommit(Handle dbc, bool on) {
  return SQLSetConnectAttr(static_cast<SQLHDBC>(dbc), SQL_ATTR_AUTOCOMMIT,
                           reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
}

Return endTransaction(Handle dbc, bool commit) {
  return SQLEndTran(SQL_HANDLE_DBC, static_cast<SQLHDBC>(dbc), commit ? SQL_COMMIT : SQL_ROLLBACK);
}

Return setLoginTimeout(Handle dbc, std::uint32_t seconds) {
  return SQLSetConnectAttr(static_cast<SQLHDBC>(dbc), SQL_ATTR_LOGIN_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
}

Return prepare(Handle stmt, std::u16string_view sql) {
  return SQLPrepareW(static_cast<SQLHSTMT>(stmt), wide(sql.data()), static_cast<SQLINTEGER>(sql.size()));
}

Return execute(Handle stmt) { return SQLExecute(static_cast<SQLHSTMT>(stmt)); }

Return freeStmt(Handle stmt, FreeOption option) {
  return SQLFreeStmt(static_cast<SQLHSTMT>(stmt), static_cast<SQLUSMALLINT>(option));
}

Return disconnect(Handle dbc) { return SQLDisconnect(static_cast<SQLHDBC>(dbc)); }
Return freeConnect(Handle dbc) { return SQLFreeConnect(static_cast<SQLHDBC>(dbc)); }
Return freeEnv(Handle env) { return SQLFreeEnv(static_cast<SQLHENV>(env)); }

Return error(Handle env, Handle dbc, Handle stmt, char16_t (&state)[6], std::int32_t* native,
             char16_t* message, std::int16_t capacity, std::int16_t* length) {
  SQLINTEGER nativeError = 0;
  SQLSMALLINT written = 0;
  const Return code = SQLErrorW(static_cast<SQLHENV>(env), static_cast<SQLHDBC>(dbc),
                                static_cast<SQLHSTMT>(stmt), reinterpret_cast<SQLWCHAR*>(state), &nativeError,
                                reinterpret_cast<SQLWCHAR*>(message), capacity, &written);
  *native = nativeError;
  *length = written;
  return code;
}

}  // namespace odbc
