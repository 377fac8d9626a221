// CNTService: the generic part of a service program. It parses the standard
// command line (-h -v -i -u), installs and removes the service, hands the
// process to the service control manager and runs the service's life: start,
// the running phase, control requests, status reports. A derived class
// supplies the service's own steps by overriding the On... operations.
//
// One object per process: the constructor records it for ServiceMain and
// Handler, which the manager calls without an object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/eventlog.h"
#include "platform/service.h"

class CNTService {
 public:
  static constexpr std::size_t kMaxServiceName = 63;

  // `serviceName` is cut to kMaxServiceName characters.
  explicit CNTService(const char* serviceName);
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;
  virtual ~CNTService();

  // Handles -h, -v, -i or -u (any case) as the first argument, printing the
  // result to standard output; false when there is no argument or another one.
  // getCommandExitCode() then tells whether the option did its work.
  bool ParseStandardArgs(int argc, char** argv);
  // 0 after ParseStandardArgs handled an option that succeeded (-i finding the
  // service installed already, -u finding none, included); 1 when installing
  // or removing failed.
  int getCommandExitCode() const { return m_commandExitCode; }
  // False also for a service marked for delete (it goes when it stops) and
  // when the manager cannot be asked; GetLastError then tells which: 1060,
  // 1072, or the error that kept the service from being opened (5, ...).
  bool IsInstalled();
  // Registers the service (automatic start, this program's full path) and the
  // event source, logs event 100 and calls OnInstall. False, with GetLastError
  // telling why, when the manager or the event source key refuse.
  bool Install();
  // Deletes the service (removed by the manager once it has stopped); the event
  // source key stays. Events 101 or 102; false without an event when the
  // service cannot be opened.
  bool Uninstall();
  // Hands the process to the service control manager; returns when the service
  // has stopped. False at once (1063) when the manager did not start the process.
  bool StartService();

  // Reports `state` with the rest of the status.
  void SetStatus(DWORD state);
  // Start sequence: OnInit, then events 104/105 and the state it leads to. A
  // worker that already failed (the running flag is down) keeps the service
  // from being reported running: it goes from starting to stopped.
  bool Initialize();
  // The running phase: returns once the running flag is cleared. Woken at once
  // by setRunning(false); looks at the flag at least every 5 seconds anyway.
  virtual void Run();
  virtual bool OnInstall();
  virtual bool OnInit();
  virtual void OnStop();
  virtual void OnInterrogate();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual bool OnUserControl(DWORD control);

  // One event under the service's source, with the inserts present (ANSI code
  // page); dropped without notice when the source cannot be opened. The last
  // error event's identifier is kept: a service that stops without being asked
  // to reports it as its service-specific exit code (exit code 1066).
  void LogEvent(WORD type, DWORD eventId, const char* insert1 = nullptr, const char* insert2 = nullptr,
                const char* insert3 = nullptr);

  // Any thread.
  bool isRunning() const { return m_running.load(); }
  void setRunning(bool running);

  const char* getServiceName() const { return m_serviceName; }
  SERVICE_STATUS getStatus() const;

  // The entry point and control handler the manager calls.
  static void ServiceMain(DWORD argc, LPSTR* argv);
  static void Handler(DWORD control);

 protected:
  static constexpr int kMajorVersion = 3;
  static constexpr int kMinorVersion = 70;
  static constexpr int kBuildNumber = 124;
  static constexpr const char* kReleaseLabel = "Final Release";
  // The word the usage lines print where a program name stands.
  static constexpr const char* kProgramWord = "Mistrand";

 private:
  void reportStatus();  // REQUIRES: m_statusMutex held
  // A stop nobody asked for is a failure, whatever the status said so far:
  // exit code 1066 with the last error event, unless an exit code is set.
  void setFailureExitCode();  // REQUIRES: m_statusMutex held

  char m_serviceName[kMaxServiceName + 1] = {};
  SERVICE_STATUS_HANDLE m_statusHandle = nullptr;

  mutable std::mutex m_statusMutex;  // the status, written by the manager's threads
  SERVICE_STATUS m_status{};

  int m_commandExitCode = 0;
  std::atomic<DWORD> m_lastErrorEvent{0};
  std::atomic<bool> m_stopRequested{false};  // the stop control came (or a stop signal)

  std::atomic<bool> m_running{false};
  std::mutex m_runMutex;
  std::condition_variable m_runWake;  // setRunning(false) ends Run's wait

  // A control being handled; ServiceMain reports stopped only after it, so
  // that the last status the manager sees is the final one.
  std::mutex m_handlerMutex;
};
