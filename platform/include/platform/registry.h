// The registry: two hives, each one SQLite database.
//
// HKEY_LOCAL_MACHINE is <machine root>/machine.hive, HKEY_CURRENT_USER is
// <user root>/user.hive; each is created on first use, with its folder, and
// readable by its owner only (mode 0600, also for the -wal and -shm files).
// Keys form a tree; key and value names compare without regard to ASCII case
// and keep the case they were created with. A value is a type and raw bytes
// exactly as Windows keeps them (REG_SZ as UTF-16LE with its terminating zero).
// Results are Windows error codes: ERROR_FILE_NOT_FOUND for a missing key or
// value, ERROR_ACCESS_DENIED for a change the handle was not opened for,
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_MORE_DATA,
// ERROR_NO_MORE_ITEMS, ERROR_KEY_DELETED for a handle whose key was deleted by
// anyone, ERROR_BUSY when another process held the hive longer than the busy
// time-out (10 s).
//
// Each process holds one connection per hive file (WAL mode, busy time-out), so
// that the daemon and the client can use the same hive at once. Opening a key is
// a look-up, never a new connection. Handles are safe to use from several
// threads; a handle whose key was deleted answers ERROR_KEY_DELETED. A handle
// opened before fork() is not for use in the child. Every call is atomic: it
// changes all it should or, failing, nothing.
//
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER need no open and closing them is a
// no-op; the other predefined keys give ERROR_INVALID_HANDLE. Key paths use the
// backslash as separator; a path component is 1 to 255 characters (an empty
// component, as in a leading or doubled backslash, gives
// ERROR_INVALID_PARAMETER; one trailing backslash is allowed). A value name is
// at most 16383 characters; a null value name is the default value, as "".
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

#define CORV_PREDEFINED_KEY(v) (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(v)))
#define HKEY_CLASSES_ROOT CORV_PREDEFINED_KEY(0x80000000u)
#define HKEY_CURRENT_USER CORV_PREDEFINED_KEY(0x80000001u)
#define HKEY_LOCAL_MACHINE CORV_PREDEFINED_KEY(0x80000002u)
#define HKEY_USERS CORV_PREDEFINED_KEY(0x80000003u)

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// A null or empty sub-key opens the key itself again, as a new handle. The
// access mask decides what the handle may do: KEY_QUERY_VALUE to read values,
// KEY_SET_VALUE to set or delete them, KEY_CREATE_SUB_KEY to create subkeys
// through it, KEY_ENUMERATE_SUB_KEYS to enumerate them (GENERIC_READ/WRITE/ALL
// and MAXIMUM_ALLOWED map as on Windows). RegCreateKey opens with
// KEY_ALL_ACCESS. REG_OPTION_VOLATILE keys are kept like any other key.
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM samDesired, PHKEY result);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM samDesired, PHKEY result);
LONG RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                     REGSAM samDesired, void* securityAttributes, PHKEY result, LPDWORD disposition);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM samDesired, void* securityAttributes, PHKEY result, LPDWORD disposition);
LONG RegCloseKey(HKEY key);

// As on Windows: data null asks for the size only; a buffer too small gives
// ERROR_MORE_DATA with *cbData set to the size needed. The A form converts
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ data to the ANSI code page.
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD cbData);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD cbData);
// The W form stores the bytes as given. The A form converts REG_SZ,
// REG_EXPAND_SZ and REG_MULTI_SZ data from the ANSI code page and stores
// UTF-16LE; REG_SZ and REG_EXPAND_SZ text passed without its terminating zero
// is stored with one.
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD cbData);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD cbData);
LONG RegDeleteValueW(HKEY key, LPCWSTR valueName);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);

// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise, as Windows),
// with its values. An empty subKey deletes the key of the handle itself; a
// hive's root key cannot be deleted (ERROR_ACCESS_DENIED).
LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
// Deletes a key with all its subkeys and values, in one transaction. A null or
// empty subKey deletes the key's contents but keeps the key, as Windows does;
// that needs a handle opened with KEY_SET_VALUE.
LONG RegDeleteTreeW(HKEY key, LPCWSTR subKey);
LONG RegDeleteTreeA(HKEY key, LPCSTR subKey);

// Enumeration in name order (ASCII case-insensitive; past the ASCII letters, by
// UTF-16 code unit). Sizes are in characters (bytes for the A forms), the
// terminating zero not counted on output, as Windows. A name that does not fit
// gives ERROR_MORE_DATA with *cchName set to the buffer size it needs,
// terminator included. Past the last item: ERROR_NO_MORE_ITEMS. Keys have no
// class and no last-write time: the class comes back empty and the time zero.
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved, LPWSTR keyClass,
                   LPDWORD cchClass, void* lastWriteTime);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPSTR keyClass,
                   LPDWORD cchClass, void* lastWriteTime);
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD cchValueName, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD cbData);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD cchValueName, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD cbData);
LONG RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD cchClass, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen,
                      LPDWORD maxValueLen, LPDWORD securityDescriptor, void* lastWriteTime);

namespace platform {

struct RegValueEntry {
  std::u16string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

// Not a Windows call: a whole key at once, for listings. Every value (needs
// KEY_QUERY_VALUE) and every subkey name (needs KEY_ENUMERATE_SUB_KEYS), each
// in the order RegEnumValue and RegEnumKeyEx give them, read in one pass from
// one state of the hive; either list may be null when it is not wanted.
// Enumerating by index costs a scan of the key per item, which a key of many
// thousand values makes slow.
LONG RegReadKeyContents(HKEY key, std::vector<RegValueEntry>* values, std::vector<std::u16string>* subKeys);

}  // namespace platform

// A null or empty machine name, "localhost", ".", a loopback address or this
// computer's host name (with or without leading backslashes, any case) gives a
// new handle to the local hive's root (key HKEY_LOCAL_MACHINE or
// HKEY_CURRENT_USER). Another computer's HKEY_LOCAL_MACHINE is reached through
// platform/remote.h (errors 53, 2, 5, 123 as said there); its
// HKEY_CURRENT_USER is refused with 5. On such a handle and the keys opened
// from it, every call above goes to that computer with the same checks and
// results, except RegDeleteTree, RegEnumKeyEx, RegQueryInfoKey,
// RegReadKeyContents, RegBeginReadTransaction and RegQueryHiveChangeCount,
// which give ERROR_NOT_SUPPORTED (50). A transaction there is that computer's
// and covers every thread of this process that uses its keys.
LONG RegConnectRegistryW(LPCWSTR machineName, HKEY key, PHKEY result);
LONG RegConnectRegistryA(LPCSTR machineName, HKEY key, PHKEY result);

// Transactions. While the calling thread holds an open transaction on a hive,
// every change it makes to that hive becomes visible to other processes only
// at RegCommitTransaction, and all of it or none of it. Other threads of the
// process wait for the transaction to end before they touch the hive. Windows
// offers the same through its transacted registry calls; this is their shape
// for one hive at a time. Nested begin calls on one thread are refused with
// ERROR_BUSY; commit or rollback without a transaction gives
// ERROR_TRANSACTION_NOT_ACTIVE. A commit that fails rolls everything back and
// returns the failure. A thread that ends with a transaction open has it
// rolled back. A thread that needs both hives at once must begin
// HKEY_LOCAL_MACHINE's transaction first, so that two such threads cannot wait
// for each other.
LONG RegBeginTransaction(HKEY anyKeyOfTheHive);
LONG RegCommitTransaction(HKEY anyKeyOfTheHive);
LONG RegRollbackTransaction(HKEY anyKeyOfTheHive);
// A transaction for reading: every read the calling thread makes of the hive
// until RegCommitTransaction or RegRollbackTransaction sees the hive as it was
// at the first of them, whatever other processes commit meanwhile; it keeps no
// writer out. It is for reads only: a change made in it may fail with
// ERROR_BUSY when another process has committed since the snapshot was taken.
LONG RegBeginReadTransaction(HKEY anyKeyOfTheHive);

// Not a Windows call: a number that differs from the one an earlier call gave
// whenever the hive of the key may have changed since (a commit of this
// process or of another, or the hive file replaced). Cheap enough to ask
// before every batch of work: while an inotify watch on the hive's folder
// reports nothing, the answer costs one read() that finds nothing waiting;
// asked through an open handle rather than HKEY_LOCAL_MACHINE it also skips
// finding the hive file. A reader re-reads its keys only when the number
// moved. It may also move for changes of another hive of this process.
LONG RegQueryHiveChangeCount(HKEY anyKeyOfTheHive, std::uint64_t* count);
