// The ODBC calls of the database action, as thin forwarders to the driver
// manager (unixODBC). The driver manager's headers declare Windows types of
// their own (WCHAR as unsigned short, ...) that clash with the platform's, so
// they are included by odbc_api.cpp only; this header speaks char16_t, which
// has the size and encoding of the driver manager's SQLWCHAR (UTF-16).
//
// Every function returns the driver manager's return code unchanged.
#pragma once

#include <cstdint>
#include <string_view>

namespace odbc {

using Handle = void*;         // SQLHENV, SQLHDBC, SQLHSTMT
using Return = std::int16_t;  // SQLRETURN
using Length = long;          // SQLLEN

inline constexpr Return kSuccess = 0;
inline constexpr Return kSuccessWithInfo = 1;
inline constexpr Return kNoData = 100;

// SQL_SUCCESS and SQL_SUCCESS_WITH_INFO; anything else is a failure.
inline bool succeeded(Return code) { return code == kSuccess || code == kSuccessWithInfo; }

// Laid out as SQL_TIMESTAMP_STRUCT (checked in odbc_api.cpp).
struct Timestamp {
  std::int16_t year;
  std::uint16_t month;
  std::uint16_t day;
  std::uint16_t hour;
  std::uint16_t minute;
  std::uint16_t second;
  std::uint32_t fraction;  // nanoseconds
};

enum class FreeOption : std::uint16_t { kClose = 0, kDrop = 1, kUnbind = 2 };

Return allocEnv(Handle* env);
Return allocConnect(Handle env, Handle* dbc);
// SQLDriverConnectW without a window and with SQL_DRIVER_NOPROMPT: the driver
// never asks anyone anything. `out` receives the completed connection string.
Return driverConnect(Handle dbc, std::u16string_view connection, char16_t* out, std::int16_t outCapacity);
Return allocStmt(Handle dbc, Handle* stmt);

// Input parameters. The buffers must stay valid until the statement has been
// executed.
// SQL_C_TIMESTAMP as SQL_TIMESTAMP, column size 23, 3 decimal digits.
Return bindTimestamp(Handle stmt, std::uint16_t number, Timestamp* value);
// SQL_C_LONG as SQL_INTEGER.
Return bindLong(Handle stmt, std::uint16_t number, std::int32_t* value, Length* indicator);
// SQL_C_CHAR as SQL_CHAR, or as SQL_LONGVARCHAR when `longText`; `columnSize`
// and `*length` in bytes.
Return bindChar(Handle stmt, std::uint16_t number, bool longText, const char* data, std::uint64_t columnSize,
                Length* length);

// Transactions: with autocommit off, rows wait for endTransaction (commit or
// rollback).
Return setAutocommit(Handle dbc, bool on);
Return endTransaction(Handle dbc, bool commit);
// Seconds a connect may take before it fails with a time-out (0: the driver's).
Return setLoginTimeout(Handle dbc, std::uint32_t seconds);

Return prepare(Handle stmt, std::u16string_view sql);
Return execute(Handle stmt);
Return freeStmt(Handle stmt, FreeOption option);
Return disconnect(Handle dbc);
Return freeConnect(Handle dbc);
Return freeEnv(Handle env);

// SQLErrorW on the three handles (any may be null). `state` gets the SQLSTATE
// and a terminating zero; `message` at most `capacity` characters, the
// terminating zero included, and `*length` the characters written.
Return error(Handle env, Handle dbc, Handle stmt, char16_t (&state)[6], std::int32_t* native,
             char16_t* message, std::int16_t capacity, std::int16_t* length);

}  // namespace odbc
