#include "reception/ReceiveThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include "actions/CForwardAction.h"
#include "actions/file_output.h"
#include "platform/debug.h"
#include "reception/CSyslogServer.h"
#include "reception/SyslogMessage.h"
#include "rules/CRuleBase.h"
#include "service/CErrorReport.h"
#include "service/CQuenraSrvc.h"
#include "service/DaemonConfiguration.h"
#include "service/event_ids.h"

namespace {

constexpr const char kInternalErrorText[] = "Internal Corvantel error occured. The process was stopped.";
// After a second failed receive in a row the loop pauses this long, so that a
// socket that keeps failing does not spin a processor.
constexpr std::chrono::milliseconds kFailurePause{100};

int socketBufferSize(DWORD configured) {
  if (configured > 0 && configured <= 1024u * 1024 * 1024) return static_cast<int>(configured);
  return kDefaultSocketBufferBytes;
}

// Set-up, then one pass per datagram until a stop is requested. Failures
// outside the per-message guard leave by exception.
void receiveLoop(CQuenraSrvc& service, const SyslogServerFactory& makeServer) {
  const ReceiveStop& stop = service.getReceiveStop();
  const DaemonConfiguration& config = daemonConfiguration();
  const ActionSettings settings = makeActionSettings(config);
  SyslogMessage message;

  const std::unique_ptr<CSyslogServer> server = makeServer();
  server->getSocket().setResolveHostNames(static_cast<std::int32_t>(config.nResolveHostName));
  server->setServerPort(static_cast<std::int32_t>(config.nSyslogPort));
  server->setSocketBufferSize(socketBufferSize(config.nReceiveBufferSize));
  server->setWakeHandle(stop.getWakeHandle());
  CTolvaneString source;
  server->Open();

  const bool useOwnTimeStamp = config.nUseOrgTimeStamp == 1;
  const bool reloadRuleBase = config.bReloadRuleBase == 1;
  const bool debugOutput = platform::debugOutputEnabled();
  RuleBaseReloader reloader;
  int failuresInARow = 0;
  for (;;) {
    // A datagram that needs a new batch from the socket was received after
    // everything before the wait: the moment to look for a saved rule base.
    const bool newBatch = server->isBatchUsedUp();
    if (!server->receiveNext(source)) {
      // A failed receive carries no message; there is nothing to dispatch.
      // The wake handle ends a wait this way when a stop was requested.
      if (stop.isRequested()) return;
      if (++failuresInARow > 1) stop.pause(kFailurePause);
      continue;
    }
    failuresInARow = 0;
    // No message starts its actions after a stop request, not even the rest
    // of a batch already taken from the socket.
    if (stop.isRequested()) return;

    message.setMessage(server->getMessageString());
    message.setFacility(server->getFacility());  // kept unless 0..23
    message.setPriority(server->getPriority());
    // The message keeps its copy of the sender until another one sends.
    if (message.getFromHost().view() != source.view()) message.setFromHost(source);

    const TimeValue now = static_cast<TimeValue>(std::time(nullptr));
    TimeValue receivedAt = now;
    if (useOwnTimeStamp) {
      const TimeValue own = parseMessageTimeStamp(server->getRawMessage(), now, systemZone());
      if (own != 0) receivedAt = own;
    }
    message.setReceivedAt(receivedAt);

    if (debugOutput) OutputDebugStringW(message.getMessageW());

    // Picks up a rule base saved before this batch was received. The registry
    // is asked only whether the hive changed; the version value is read only
    // then, and the rules only when it changed. A reload that failed is tried
    // again at every message until it succeeds.
    if (reloadRuleBase && (newBatch || reloader.isFailing())) reloader.Refresh();

    try {
      ruleBase().CallRules(message, settings);
    } catch (const CErrorReport& report) {
      // Costs only this message.
      service.LogEvent(EVENTLOG_ERROR_TYPE, static_cast<DWORD>(report.getNumber()),
                       report.getText().getNarrow());
    }

    if (server->isBatchUsedUp()) flushFileOutputs();
  }
}

}  // namespace

ReceiveStop::ReceiveStop() : m_eventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (m_eventFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

ReceiveStop::~ReceiveStop() { ::close(m_eventFd); }

void ReceiveStop::request() {
  m_requested.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  // Cannot fail short of a counter overflow, which a few requests never reach.
  [[maybe_unused]] const ssize_t written = ::write(m_eventFd, &one, sizeof(one));
}

void ReceiveStop::reset() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t drained = ::read(m_eventFd, &count, sizeof(count));
  m_requested.store(false, std::memory_order_release);
}

void ReceiveStop::pause(std::chrono::milliseconds time) const {
  pollfd wake{m_eventFd, POLLIN, 0};
  ::poll(&wake, 1, static_cast<int>(time.count()));
}

DWORD ReceiveThread(LPVOID service) {
  return runReceiveThread(*static_cast<CQuenraSrvc*>(service),
                          [] { return std::make_unique<CSyslogServer>(); });
}

DWORD runReceiveThread(CQuenraSrvc& service, const SyslogServerFactory& makeServer) {
  bool failed = true;
  try {
    receiveLoop(service, makeServer);
    failed = false;
  } catch (const CErrorReport& report) {
    service.LogEvent(EVENTLOG_ERROR_TYPE, static_cast<DWORD>(report.getNumber()),
                     report.getText().getNarrow());
  } catch (...) {
    service.LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError, kInternalErrorText);
  }
  try {
    // Whatever the batch in hand had collected reaches its files.
    closeFileOutputs();
    releaseForwardSender();
  } catch (...) {
    if (!failed) service.LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError, kInternalErrorText);
    failed = true;
  }
  // On a stop request the service clears the flag itself.
  if (failed) service.setRunning(false);
  return 0;
}
