// Sessions with other computers, for the registry's and the service manager's
// handles there. The wire format is remote_protocol.h; the public side is
// platform/remote.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "remote_channel.h"

namespace platform::remote {

// True for a name that means this computer: empty, "localhost", ".", a
// loopback address or this host's name (short or full), any case, with or
// without leading backslashes.
bool isLocalMachineName(std::string_view name);

// The computer name as the command gets it: leading backslashes dropped. 123
// (ERROR_INVALID_NAME) unless the rest is 1 to 255 bytes, does not start with
// '-' and holds no blank, control character or '/', so that the name can only
// ever be a host argument, never an option of the command.
LONG checkComputerName(std::string_view given, std::string* name);

// One far side: the command that reaches it and its `corvctl serve`. Requests
// go one at a time, whatever the number of threads. Every call answers the far
// side's result code, or 53 once the session is broken (the command ended, a
// response did not come in time or was not of the protocol); a broken session
// is closed at once and stays broken. Closed when the last reference goes.
class Session {
 public:
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  DWORD platformId() const { return m_platformId; }
  bool broken() const { return m_broken; }

  LONG connectMachine(std::uint64_t* key);
  LONG openKey(std::uint64_t key, std::string_view subKey, REGSAM sam, std::uint64_t* result);
  LONG createKey(std::uint64_t key, std::string_view subKey, std::uint64_t* result, DWORD* disposition);
  LONG closeKey(std::uint64_t key);
  // With a buffer of size bytes: 0 with the type and data, or 234 with the type
  // and the size needed in *needed.
  LONG queryValue(std::uint64_t key, std::string_view name, DWORD size, DWORD* type, std::vector<BYTE>* data,
                  DWORD* needed);
  LONG queryValueSize(std::uint64_t key, std::string_view name, DWORD* type, DWORD* needed);
  LONG setValue(std::uint64_t key, std::string_view name, DWORD type, const std::vector<BYTE>& data);
  LONG deleteValue(std::uint64_t key, std::string_view name);
  LONG deleteKey(std::uint64_t key, std::string_view subKey);
  LONG enumValue(std::uint64_t key, DWORD index, std::string* name, DWORD* type, std::vector<BYTE>* data);
  enum class Step { kBegin, kCommit, kRollback };
  LONG transaction(std::uint64_t key, Step step);

  LONG openService(std::string_view name, std::uint64_t* service);
  LONG queryService(std::uint64_t service, DWORD* state);
  LONG startService(std::uint64_t service);
  LONG stopService(std::uint64_t service, DWORD* state);
  LONG closeService(std::uint64_t service);

 private:
  friend LONG sessionFor(std::string_view computer, std::shared_ptr<Session>* session);
  Session() = default;

  // Runs the command for computer and says HELLO: 0, 53 or 2.
  LONG start(const std::string& computer);
  // Sends one request; the response's code, its other fields in *fields. A
  // code other than 0 comes without fields, except 234 when moreDataFields.
  LONG call(const std::string& request, std::vector<std::string>* fields, bool moreDataFields = false,
            bool serviceWait = false);
  // A response of the wrong shape: the session is of no further use.
  LONG malformed();
  LONG breakLocked();

  std::mutex m_mutex;  // one request at a time; guards m_channel
  Channel m_channel;
  std::atomic<bool> m_broken{false};
  DWORD m_platformId = 0;
  int m_timeoutMs = 0;
  int m_serviceTimeoutMs = 0;
};

// The live session with the computer (compared without regard to ASCII case),
// or a new one: 123 for a name that is not one, 53 when the command cannot be
// started or ends before answering HELLO, 2 when what answers does not speak
// the protocol (exit status 127: the far side has no corvctl).
LONG sessionFor(std::string_view computer, std::shared_ptr<Session>* session);

}  // namespace platform::remote
