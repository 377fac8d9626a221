// What the manager and the dispatcher share about one service: its record in
// the machine hive, its state folder, the status file and the liveness lock.
//
// State folder: <machine root>/services/<folder>/, owner-only (0700), where
// <folder> is the service name folded to lower case with every byte outside
// [a-z0-9._-] written %HH (long names end in a hash instead). It holds:
//   lock         the liveness lock: an exclusive flock held by the service's
//                process for its whole life (taken by the starter and
//                inherited across exec), so a process that dies, however it
//                dies, stops holding it;
//   status       the last reported SERVICE_STATUS and pid as "key=value"
//                lines, replaced atomically (temporary file and rename);
//   control.sock the dispatcher's AF_UNIX SOCK_SEQPACKET control socket;
//   console.log  standard output and error of a process the manager started.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/un.h>

#include "platform/service.h"

namespace platform::scm {

inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

// Environment markers of a process started by the manager (or by corvctl sc run).
inline constexpr const char* kEnvServiceName = "CORVANTEL_SERVICE_NAME";
inline constexpr const char* kEnvLockFd = "CORVANTEL_SERVICE_LOCK_FD";
inline constexpr const char* kEnvReportFd = "CORVANTEL_SERVICE_REPORT_FD";
inline constexpr const char* kEnvForeground = "CORVANTEL_SERVICE_FOREGROUND";
inline constexpr const char* kEnvArgCount = "CORVANTEL_SERVICE_ARGC";  // then CORVANTEL_SERVICE_ARG1..N

// Time-outs, settable for tests; milliseconds.
int startTimeoutMs();    // CORVANTEL_SCM_START_TIMEOUT_MS, default 30000
int controlTimeoutMs();  // CORVANTEL_SCM_CONTROL_TIMEOUT_MS, default 30000

// ERROR_INVALID_NAME unless 1..256 characters without '/', '\' or control characters.
LONG checkServiceName(std::string_view name);
std::string serviceKeyPath(std::string_view name);
std::filesystem::path stateFolder(std::string_view name);
// Creates the state folder (and its parents) owner-only; false when that fails.
bool ensureStateFolder(const std::filesystem::path& folder);

// The service's record, read from the machine hive.
struct ServiceRecord {
  std::string name;  // as registered
  DWORD type = 0;
  DWORD start = 0;
  std::string imagePath;
  bool deleteFlag = false;
};
// ERROR_SERVICE_DOES_NOT_EXIST when there is no such service.
LONG readRecord(std::string_view name, ServiceRecord* record);
LONG setDeleteFlag(std::string_view name);

// The reported status and the reporting process.
struct StatusFile {
  SERVICE_STATUS status{};
  long pid = 0;
};
std::optional<StatusFile> readStatus(const std::filesystem::path& folder);
bool writeStatus(const std::filesystem::path& folder, const StatusFile& status);
SERVICE_STATUS stoppedStatus(DWORD exitCode);

// The liveness lock.
enum class Liveness { kStopped, kRunning };
Liveness probe(const std::filesystem::path& folder);
// Takes the lock for a start or a clean-up: the descriptor (close-on-exec),
// or -1 with *error ERROR_SERVICE_ALREADY_RUNNING while a service process
// holds it (or another system error).
int takeLock(const std::filesystem::path& folder, LONG* error);

// Removes the service's state folder and then its key. The caller holds the lock.
void removeService(std::string_view name, const std::filesystem::path& folder);
// When the service is marked for delete and no process holds its lock,
// removes it; true when it was removed.
bool removeIfDeadAndMarked(std::string_view name);

// An AF_UNIX address for a socket file; for paths too long for sun_path the
// folder is reached through /proc/self/fd, with *dirFd kept open by the caller
// until the bind or connect is done (-1 otherwise).
bool socketAddress(const std::filesystem::path& file, sockaddr_un* address, int* dirFd);

// The control protocol: one request and one reply per connection.
struct ControlRequest {
  DWORD control;
};
struct ControlReply {
  DWORD result;  // ERROR_SUCCESS or the reason the control was refused
  SERVICE_STATUS status;
};

// The start report pipe: the started process writes its pid, then either why
// its exec failed or, from the dispatcher, the first status it reported.
struct StartReport {
  std::uint32_t kind;
  std::uint32_t value;
};
inline constexpr std::uint32_t kReportPid = 1, kReportExecFailed = 2, kReportStatus = 3;

// Reads the environment variable as a non-negative number; fallback when absent or malformed.
long envNumber(const char* name, long fallback);

}  // namespace platform::scm
