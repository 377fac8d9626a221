#include "service/CQuenraSrvc.h"

#include <exception>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>

#include "reception/CSyslogServer.h"

#include "service/CErrorReport.h"
#include "service/DaemonConfiguration.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

// The receive thread's server, telling the service once its port is open.
class OpeningSyslogServer : public CSyslogServer {
 public:
  explicit OpeningSyslogServer(std::function<void()> opened) : m_opened(std::move(opened)) {}
  void Open() override {
    CSyslogServer::Open();  // a failure leaves by exception: the thread ends
    m_opened();
  }

 private:
  std::function<void()> m_opened;
};

}  // namespace

CQuenraSrvc::CQuenraSrvc() : CNTService(kServiceName) {}

CQuenraSrvc::~CQuenraSrvc() {
  if (m_thread.joinable()) {
    m_stop.request();
    m_thread.join();
  }
}

bool CQuenraSrvc::OnInstall() { return writeInstallationValues(); }

bool CQuenraSrvc::OnInit() {
  try {
    loadConfiguration();
  } catch (const CErrorReport& report) {
    LogEvent(EVENTLOG_ERROR_TYPE, static_cast<DWORD>(report.getNumber()), report.getText().getNarrow());
    return false;
  } catch (const std::exception&) {
    LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError,
             "Internal Corvantel error occured. The process was stopped.");
    return false;
  }

  if (m_thread.joinable()) m_thread.join();  // one that ended by itself
  m_stop.reset();
  {
    std::lock_guard lock(m_endMutex);
    m_threadEnded = false;
    m_portOpen = false;
  }
  try {
    m_thread = std::thread([this] {
      runReceiveThread(*this, [this] {
        return std::make_unique<OpeningSyslogServer>([this] {
          std::lock_guard lock(m_endMutex);
          m_portOpen = true;
          m_endWake.notify_all();
        });
      });
      std::lock_guard lock(m_endMutex);
      m_threadEnded = true;
      m_endWake.notify_all();
    });
  } catch (const std::system_error&) {
    std::lock_guard lock(m_endMutex);
    m_threadEnded = true;
    LogEvent(EVENTLOG_ERROR_TYPE, kEventReceiveThreadNotStarted);
    // A service without its receive thread receives nothing: the start fails
    // rather than report a running service that does no work.
    return false;
  }
  LogEvent(EVENTLOG_INFORMATION_TYPE, kEventReceiveThreadStarted);
  // The start is over once the port is open or could not be opened (the
  // thread has then logged why and lowered the running flag), so that a
  // service that cannot listen is never reported running.
  std::unique_lock lock(m_endMutex);
  m_endWake.wait_for(lock, kOpenWait, [this] { return m_portOpen || m_threadEnded; });
  return true;
}

void CQuenraSrvc::OnStop() {
  if (!m_thread.joinable()) {
    LogEvent(EVENTLOG_ERROR_TYPE, kEventReceiveThreadNotStopped);
    return;
  }
  m_stop.request();
  bool left;
  {
    std::unique_lock lock(m_endMutex);
    left = m_endWake.wait_for(lock, kStopGrace, [this] { return m_threadEnded; });
  }
  if (left) {
    m_thread.join();
    LogEvent(EVENTLOG_INFORMATION_TYPE, kEventReceiveThreadStopped);
  } else {
    // A thread cannot be ended safely from outside; it is stuck in an action
    // and goes with the process.
    m_thread.detach();
    m_abandoned = true;
    LogEvent(EVENTLOG_ERROR_TYPE, kEventReceiveThreadNotStopped);
  }
}
