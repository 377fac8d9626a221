// The service control manager.
//
// Services are recorded as on Windows, under
// HKLM\SYSTEM\CurrentControlSet\Services\<name> (Type, Start, ErrorControl,
// ImagePath, DisplayName, ObjectName; DeleteFlag while marked for delete).
// Names compare without regard to ASCII case. Results and GetLastError()
// codes are Windows': 1056 already running, 1058 disabled, 1060 does not
// exist, 1061 cannot take controls now (starting or stopping), 1062 not
// active, 1052 control not accepted, 1053 no answer in time, 1063 not started
// by the manager, 1067 the process ended unexpectedly, 1072 marked for
// delete, 1073 exists, 5 the handle lacks the right, 6 not a live handle.
//
// State lives in <platform root>/services/<name>/ (owner-only): "status" (the
// last reported status, replaced atomically), "control.sock" (AF_UNIX, where
// the dispatcher takes controls), "console.log" (standard output and error of
// a process the manager started) and "lock", an flock that the service's
// process holds for its whole life. Whatever way the process ends, the kernel
// drops the lock, so a process that died without reporting stopped reads as
// SERVICE_STOPPED (exit code 1067).
//
// StartServiceA launches ImagePath as a detached process (own session, stdin
// /dev/null, stdout and stderr appended to console.log, working folder /) with
// these environment markers, which StartServiceCtrlDispatcherA reads and
// removes from the environment:
//   CORVANTEL_SERVICE_NAME=<name>         started by the manager for <name>
//   CORVANTEL_SERVICE_LOCK_FD=<fd>        the liveness lock, already held
//   CORVANTEL_SERVICE_REPORT_FD=<fd>      where the first status is announced
//   CORVANTEL_SERVICE_ARGC=<n>, CORVANTEL_SERVICE_ARG1..n  StartService's arguments
//   CORVANTEL_SERVICE_FOREGROUND=1        run by platform::runServiceInForeground
//   CORVANTEL_ROOT                        the manager's platform root
// Time-outs (milliseconds, for tests): CORVANTEL_SCM_START_TIMEOUT_MS for a
// start to be reported, CORVANTEL_SCM_CONTROL_TIMEOUT_MS for a handler to
// return; 30000 each by default.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/types.h"

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, LPSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
  LPSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// Access rights.
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD DELETE = 0x10000;

// Service types, start types, error control.
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// States.
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

// Controls and what a service accepts.
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;

// Error codes of the manager.
inline constexpr LONG ERROR_DEPENDENT_SERVICES_RUNNING = 1051;
inline constexpr LONG ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr LONG ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr LONG ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr LONG ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr LONG ERROR_SERVICE_DISABLED = 1058;
inline constexpr LONG ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr LONG ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr LONG ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr LONG ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr LONG ERROR_SERVICE_SPECIFIC_ERROR = 1066;  // the reason is dwServiceSpecificExitCode
inline constexpr LONG ERROR_PROCESS_ABORTED = 1067;
inline constexpr LONG ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr LONG ERROR_SERVICE_EXISTS = 1073;
inline constexpr LONG ERROR_DATABASE_DOES_NOT_EXIST = 1065;
inline constexpr LONG ERROR_INVALID_SERVICE_NAME = 1213;

// The local computer's manager: a null or empty machine name, "localhost",
// ".", a loopback address or this host's name (leading backslashes allowed).
// Another computer's manager is reached through platform/remote.h (errors 53,
// 2, 123 as said there). On its handles OpenService, QueryServiceStatus (the
// state only; the other fields zero), StartService (without arguments, else
// 50), ControlService (SERVICE_CONTROL_STOP only, else 50) and
// CloseServiceHandle go to that computer; CreateService and DeleteService are
// refused with 5: installing and removing are for this computer only. The
// database is null, "" or "ServicesActive" (else 1065).
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
// Needs SC_MANAGER_CREATE_SERVICE. Type SERVICE_WIN32_OWN_PROCESS (optionally
// | SERVICE_INTERACTIVE_PROCESS), start type 2 to 4, error control 0 to 3; a
// load order group, tag or dependencies are not supported (87). A name is 1
// to 256 characters without '/' or '\\' (else 123). ImagePath is a command
// line: a program path, in double quotes when it has blanks and is followed by
// arguments. The account and password are recorded (ObjectName, default
// "LocalSystem") but the service runs as the user that starts it. The record
// is written in one registry transaction.
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPathName,
                         LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
BOOL CloseServiceHandle(SC_HANDLE handle);
// Needs DELETE. A service that no process runs is removed at once (its key
// and state folder); a running one is marked (1072 to later deletes, creates
// and starts; it still opens, answers queries and takes controls) and removed
// when it stops: by its dispatcher as it ends, or by the next open, query or
// control that finds its process gone.
BOOL DeleteService(SC_HANDLE service);
// Needs SERVICE_START. Returns once the service has reported its first
// status through its dispatcher. Fails with 1053 when none comes within the
// start time-out (the process and its process group are then killed), 1067
// when the process ends before reporting, 2 or 5 when ImagePath cannot be
// run; a failed start leaves nothing running and the status
// SERVICE_STOPPED with the error as exit code.
BOOL StartServiceA(SC_HANDLE service, DWORD numArgs, LPCSTR* args);
BOOL StartServiceW(SC_HANDLE service, DWORD numArgs, LPCWSTR* args);
// Needs SERVICE_STOP, SERVICE_PAUSE_CONTINUE, SERVICE_INTERROGATE or
// SERVICE_USER_DEFINED_CONTROL (128..255) for the control. The reply comes
// after the handler has returned and carries the status then current.
// Interrogate is always delivered to a running service; stop, pause and
// continue only when dwControlsAccepted says so (else 1052).
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
// Needs SERVICE_QUERY_STATUS. The last reported status while the service's
// process lives; otherwise SERVICE_STOPPED with the last reported exit code
// (1067 when the process died without reporting stopped).
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);

// Service side.
//
// Fails at once with 1063 when the process was not started by the manager
// (no markers), and with 1056 when a dispatcher already runs in the process.
// Otherwise runs the first entry's ServiceMain on the calling thread, with
// argv[0] the service name and then the start arguments; a listener thread
// of its own takes controls and calls the handler, one at a time. Returns
// TRUE once ServiceMain has returned and the service has reported
// SERVICE_STOPPED. (A ServiceMain that returns without registering a handler
// is reported stopped with exit code 1067.) SIGTERM and SIGINT become the stop
// control, delivered once the service has left SERVICE_START_PENDING, whether
// the manager started the process or it runs in the foreground.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
// Only inside the dispatcher, for its service's name (else 1060).
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);
// Records the status for queries and controls; the first call tells the
// starter that the service has started. 13 for a state out of range.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

namespace platform {

// The service's state folder: <platform root>/services/<name folded to lower
// case, bytes outside [a-z0-9._-] written %HH>/, owner-only, where the manager
// keeps the service's status, lock and control socket. A service may keep
// files of its own there (the daemon's "stats"); names compare without regard
// to ASCII case, so every spelling of a service's name gives the same folder.
// The manager creates the folder when it first starts the service; this only
// names it, for any name, whether or not it exists.
std::filesystem::path serviceStateFolder(std::string_view serviceName);

// Replaces the calling program with the service's ImagePath, run in the
// foreground as the manager would run it (same status, lock and control
// socket; standard streams and session unchanged), with
// CORVANTEL_SERVICE_FOREGROUND=1. Needs SERVICE_START on the handle. Returns
// only on failure, with the error code (as StartServiceA's, and 2 or 5 when
// the program cannot be run).
DWORD runServiceInForeground(SC_HANDLE service);

}  // namespace platform
