#include "reception/ReceiveThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "actions/CForwardAction.h"
#include "actions/database_output.h"
#include "actions/file_output.h"
#include "actions/log_retention.h"
#include "pipeline/MessageQueue.h"
#include "pipeline/receiver.h"
#include "platform/debug.h"
#include "platform/paths.h"
#include "reception/pri_rule.h"
#include "reception/CSyslogServer.h"
#include "reception/SyslogMessage.h"
#include "rules/CRuleBase.h"
#include "service/CErrorReport.h"
#include "service/CQuenraSrvc.h"
#include "service/DaemonConfiguration.h"
#include "service/event_ids.h"
#include "service/statistics.h"
#include "service/statistics_writer.h"
#include "stream/stream_receiver.h"

namespace {

constexpr const char kInternalErrorText[] = "Internal Corvantel error occured. The process was stopped.";
// What part of the stop grace the processing thread gets to finish the
// message in hand; the rest is for writing the queue to the spool.
constexpr std::chrono::milliseconds kProcessingGrace = CQuenraSrvc::kStopGrace - std::chrono::milliseconds(1000);

// How soon the processing thread looks again at database rows held back for
// a fuller transaction while no message comes.
constexpr std::chrono::milliseconds kDatabaseLinger{50};
// What the database outputs get at a stop to finish their transactions.
constexpr std::chrono::milliseconds kDatabaseGrace{500};

// The receiving thread's nice value (the others keep the process's, 0).
constexpr int kReceiverNice = -10;

int socketBufferSize(DWORD configured) {
  if (configured > 0 && configured <= 1024u * 1024 * 1024) return static_cast<int>(configured);
  return kDefaultSocketBufferBytes;
}

queue::MessageQueue::Limits queueLimits(const DaemonConfiguration& config) {
  queue::MessageQueue::Limits limits;
  if (config.nQueueMemoryLimit > 0) limits.memory = std::size_t{config.nQueueMemoryLimit} << 20;
  if (config.nQueueSpoolLimit > 0) limits.spool = std::uint64_t{config.nQueueSpoolLimit} << 20;
  return limits;
}

StreamSettings streamSettings(const DaemonConfiguration& config) {
  StreamSettings settings;
  settings.tcpPort = static_cast<int>(std::min<DWORD>(config.nTcpPort, 0x7FFFFFFF));
  settings.tlsPort = static_cast<int>(std::min<DWORD>(config.nTlsPort, 0x7FFFFFFF));
  settings.tls = {config.szTlsCertificateFile, config.szTlsKeyFile, config.szTlsCaFile};
  if (config.nTcpMaxMessageSize > 0 && config.nTcpMaxMessageSize <= 65535) {
    settings.maxMessage = config.nTcpMaxMessageSize;
  }
  if (config.nTcpMaxConnections > 0 && config.nTcpMaxConnections <= 100000) {
    settings.maxConnections = config.nTcpMaxConnections;
  }
  settings.idleTimeout = std::chrono::seconds(config.nTcpIdleTimeout);
  return settings;
}

DWORD noticeEvent(queue::Notice::Kind kind) {
  switch (kind) {
    case queue::Notice::kDropped: return kEventQueueDropped;
    case queue::Notice::kSpoolFailed: return kEventSpoolFailed;
    case queue::Notice::kRestored: return kEventSpoolRestored;
    case queue::Notice::kDamaged: return kEventSpoolDamaged;
    case queue::Notice::kPersisted: return kEventQueuePersisted;
  }
  return kEventGeneralError;
}

// The sender's text of a record: its address (a.b.c.d, or the standard form of
// an IPv6 address), or with nResolveHostName 1 its name where the address has
// one. The last text is kept: a burst from one host costs one conversion, and
// one reverse look-up per part of the queue.
class SenderNames {
 public:
  // `socket` says how: the receiving socket, with its name resolution setting.
  explicit SenderNames(const CWinSock& socket)
      : m_socket(socket), m_resolve(socket.getResolveHostNames() == 1) {}

  // A new part of the queue: names are looked up again.
  void newPart() { m_valid = m_valid && !m_resolve; }

  // True when `host` was changed.
  bool describe(const queue::RecordHeader& record, CTolvaneString& host) {
    if (m_valid && record.family == m_family && std::memcmp(record.address, m_address, 16) == 0) return false;
    m_family = record.family;
    std::memcpy(m_address, record.address, 16);
    m_valid = true;
    sockaddr_storage address{};
    if (record.family == AF_INET6) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
      v6.sin6_family = AF_INET6;
      std::memcpy(&v6.sin6_addr, record.address, 16);
    } else {
      auto& v4 = reinterpret_cast<sockaddr_in&>(address);
      v4.sin_family = AF_INET;
      std::memcpy(&v4.sin_addr, record.address, 4);
    }
    char text[NI_MAXHOST];
    m_socket.describeSender(address, text, sizeof(text));
    if (std::strcmp(host.getNarrow(), text) == 0) return false;
    host.setNarrow(text);
    return true;
  }

 private:
  const CWinSock& m_socket;
  const bool m_resolve;
  bool m_valid = false;
  std::uint8_t m_family = 0;
  std::uint8_t m_address[16] = {};
};

// The processing thread: takes the queue's records in order and does
// everything but receiving: the PRI rule, the time stamp rule, the reload of
// the rule base, the rules and their actions, the file lines. No record
// starts after a stop request. A failure outside the per-message guard leaves
// by exception.
void processLoop(CQuenraSrvc& service, queue::MessageQueue& queue, const CWinSock& socket) {
  const ReceiveStop& stop = service.getReceiveStop();
  const DaemonConfiguration& config = daemonConfiguration();
  const ActionSettings settings = makeActionSettings(config);
  const bool useOwnTimeStamp = config.nUseOrgTimeStamp == 1;
  const bool reloadRuleBase = config.bReloadRuleBase == 1;
  const bool debugOutput = platform::debugOutputEnabled();
  SyslogMessage message;
  CTolvaneString text;
  CTolvaneString source;
  SenderNames senders(socket);
  RuleBaseReloader reloader;
  // Old dated log files go at start, then once a day.
  LogRetention retention(settings, config.nKeepDays);
  retention.onBatch(static_cast<TimeValue>(std::time(nullptr)), ruleBase());
  bool newPart = true;

  const auto process = [&](const char* record) {
    const queue::RecordHeader& header = queue::headerAt(record);
    const char* datagram = queue::textAt(record);
    const PriPart pri = applyPriRule(datagram);
    // The text ends at the first zero byte, as it always has.
    const std::string_view raw(datagram + pri.textOffset);
    text.setNarrow(raw);
    message.setMessage(text);
    message.setFacility(pri.facility);  // kept unless 0..23
    message.setPriority(pri.priority);
    if (newPart) senders.newPart();
    // The message keeps its copy of the sender until another one sends.
    if (senders.describe(header, source) || message.getFromHost().view() != source.view()) {
      message.setFromHost(source);
    }

    const TimeValue receivedAt = static_cast<TimeValue>(header.receivedAt);
    TimeValue stamp = receivedAt;
    if (useOwnTimeStamp) {
      const TimeValue own = parseMessageTimeStamp(raw, receivedAt, systemZone());
      if (own != 0) stamp = own;
    }
    message.setReceivedAt(stamp);

    if (debugOutput) OutputDebugStringW(message.getMessageW());

    // Picks up a rule base saved before this part of the queue was handed
    // over, so before any of its messages was received: the registry is
    // asked only whether the hive changed. A reload that failed is tried
    // again at every message until it succeeds.
    if (reloadRuleBase && (newPart || reloader.isFailing())) reloader.Refresh();
    newPart = false;

    try {
      ruleBase().CallRules(message, settings);
    } catch (const CErrorReport& report) {
      // Costs only this message.
      service.LogEvent(EVENTLOG_ERROR_TYPE, static_cast<DWORD>(report.getNumber()),
                       report.getText().getNarrow());
    }
  };
  const auto stopping = [&stop] { return stop.isRequested(); };
  std::chrono::milliseconds wait = queue::kIdleWake;
  while (queue.processNext(process, stopping, wait)) {
    // The lines of a part reach their files before the next part, and before
    // the thread waits for one.
    flushFileOutputs();
    // Database rows go to their outputs' threads in batches while messages
    // come, and all of them once none came for a moment: rows held back wake
    // the thread after kDatabaseLinger.
    const bool quiet = newPart;  // no message since the last round
    databaseOutputs().flush(quiet);
    wait = databaseOutputs().holdsRows() ? kDatabaseLinger : queue::kIdleWake;
    newPart = true;
    retention.onBatch(static_cast<TimeValue>(std::time(nullptr)), ruleBase());
  }
  flushFileOutputs();
  databaseOutputs().flush();
}

// One line of figures for the event at the stop.
std::string summaryText(const Statistics& counters) {
  const auto figure = [](const Counter& counter) { return std::to_string(read(counter)); };
  std::string text = "messages received " + figure(counters.received) + ", lost in the system's socket buffer " +
                     figure(counters.kernelDropped) + ", restored from the spool " + figure(counters.restored) +
                     ", processed " + figure(counters.processed) + ", dropped because the queue was full " +
                     figure(counters.queueDropped) + ", skipped as damaged in the spool " +
                     figure(counters.spoolDamaged) + ", waiting in the spool for the next start " +
                     figure(counters.queuedDisk) + ".";
  counters.forEachOutput([&](const OutputCounters& output) {
    text += "\r\n" + output.name + ": done " + std::to_string(read(output.done)) + ", failed " +
            std::to_string(read(output.failed)) + ", suspended " + std::to_string(read(output.suspended)) +
            " times, missed while suspended " + std::to_string(read(output.missed));
    for (const auto& [key, counter] : output.extra) text += ", " + key + " " + std::to_string(read(*counter));
    text += ".";
  });
  return text;
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

std::filesystem::path queueSpoolFolder() { return platform::machineRoot() / "spool" / "queue"; }

DWORD runReceiveThread(CQuenraSrvc& service, const SyslogServerFactory& makeServer) {
  ReceiveStop& stop = service.getReceiveStop();
  const DaemonConfiguration& config = daemonConfiguration();
  Statistics& counters = statistics();
  bool failed = true;
  bool abandoned = false;
  // Left to an abandoned processing thread, which may still use it.
  auto queue = std::make_unique<queue::MessageQueue>(
      queueSpoolFolder(), queueLimits(config), counters, [&service](const queue::Notice& notice) {
        service.LogEvent(notice.warning ? EVENTLOG_WARNING_TYPE : (notice.kind == queue::Notice::kRestored ||
                                                                   notice.kind == queue::Notice::kPersisted)
                                                                      ? EVENTLOG_INFORMATION_TYPE
                                                                      : EVENTLOG_ERROR_TYPE,
                         noticeEvent(notice.kind), notice.text.c_str());
      });
  std::unique_ptr<CSyslogServer> server;
  std::unique_ptr<StreamReceiver> streams;
  std::thread receiver;
  std::thread streamThread;
  std::thread processor;
  // How the processing thread ended; shared with it, because a thread left
  // behind in an action may end after this function has returned.
  struct ProcessorEnd {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool failed = false;
  };
  const auto processorEnd = std::make_shared<ProcessorEnd>();
  bool receiverFailed = false;
  bool started = false;
  try {
    server = makeServer();
    server->getSocket().setResolveHostNames(static_cast<std::int32_t>(config.nResolveHostName));
    server->setServerPort(static_cast<std::int32_t>(config.nSyslogPort));
    server->setSocketBufferSize(socketBufferSize(config.nReceiveBufferSize));
    counters.started = std::time(nullptr);
    // The manager makes the state folder when it starts the service; a
    // receive loop run any other way (tests) keeps its figures in memory.
    const std::filesystem::path statisticsFile = statisticsFilePath();
    std::error_code ignored;
    if (std::filesystem::is_directory(statisticsFile.parent_path(), ignored)) statisticsWriter().start(statisticsFile);
    queue->open();
    databaseOutputs().start(makeDatabaseOutputSettings(config, makeActionSettings(config)));
    // The connections' ports before the syslog port: the service reports
    // that it runs once the syslog port is open, and then every port listens.
    if (config.nTcpPort != 0 || config.nTlsPort != 0) {
      streams = std::make_unique<StreamReceiver>(
          streamSettings(config), *queue, counters,
          [&service](WORD type, DWORD id, const std::string& text) { service.LogEvent(type, id, text.c_str()); });
      // Ports that cannot be opened are reported; UDP goes on without them.
      if (!streams->open()) streams.reset();
    }
    server->Open();

    receiver = std::thread([&] {
      pthread_setname_np(pthread_self(), "corvantd-recv");  // as ps and top show the threads
      // A larger share of the processors than the other threads: when the
      // sender, this thread and processing all want a processor, the one whose
      // wait the kernel's socket buffer must cover goes first. Only root may
      // raise it; without it the thread runs as the others do.
      static_cast<void>(::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kReceiverNice));
      try {
        runReceiver(*server, *queue, stop, counters);
      } catch (...) {
        service.LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError, kInternalErrorText);
        receiverFailed = true;  // read after the join
      }
      queue->closeInput();
    });
    if (streams) {
      streamThread = std::thread([&] {
        pthread_setname_np(pthread_self(), "corvantd-tcp");
        // A TLS alert written to a peer that has gone must not end the
        // process: the write fails with EPIPE instead.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        try {
          streams->run(stop);
        } catch (...) {
          // Reception over UDP goes on.
          service.LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError, kInternalErrorText);
        }
      });
    }
    processor = std::thread([&service, &stop, processorEnd, queue = queue.get(), &socket = server->getSocket()] {
      pthread_setname_np(pthread_self(), "corvantd-proc");
      bool threw = true;
      try {
        processLoop(service, *queue, socket);
        threw = false;
      } catch (const CErrorReport& report) {
        service.LogEvent(EVENTLOG_ERROR_TYPE, static_cast<DWORD>(report.getNumber()),
                         report.getText().getNarrow());
      } catch (...) {
        service.LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError, kInternalErrorText);
      }
      // A failed processing thread ends the service: reception stops too.
      if (threw) stop.request();
      std::lock_guard lock(processorEnd->mutex);
      processorEnd->done = true;
      processorEnd->failed = threw;
      processorEnd->ended.notify_all();
    });
    started = true;

    // The receiving thread ends at a stop request (or when processing failed).
    receiver.join();
    if (receiverFailed) stop.request();
    if (streamThread.joinable()) streamThread.join();
    {
      std::unique_lock lock(processorEnd->mutex);
      if (!processorEnd->ended.wait_for(lock, kProcessingGrace, [&] { return processorEnd->done; })) abandoned = true;
      failed = processorEnd->failed || receiverFailed;
    }
  } catch (const CErrorReport& report) {
    service.LogEvent(EVENTLOG_ERROR_TYPE, static_cast<DWORD>(report.getNumber()),
                     report.getText().getNarrow());
  } catch (...) {
    service.LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError, kInternalErrorText);
  }
  if (receiver.joinable()) {
    stop.request();
    receiver.join();
  }
  if (streamThread.joinable()) {
    stop.request();
    streamThread.join();
  }
  if (abandoned) {
    // It is busy in an action and cannot be ended from here; it goes with the
    // process, which must end without destroying what it uses.
    processor.detach();
    service.leaveWorkerBehind();
    service.LogEvent(EVENTLOG_ERROR_TYPE, kEventReceiveThreadNotStopped);
  } else if (processor.joinable()) {
    processor.join();
  }
  // The database outputs finish the transactions in hand; their rows still
  // waiting, and whatever is still queued, wait in the spools for the next start.
  databaseOutputs().stop(kDatabaseGrace);
  queue->persist();
  if (!abandoned) {
    try {
      // Whatever the last part collected reaches its files.
      closeFileOutputs();
      releaseForwardSender();
    } catch (...) {
      if (!failed) service.LogEvent(EVENTLOG_ERROR_TYPE, kEventInternalError, kInternalErrorText);
      failed = true;
    }
  }
  if (server) {
    try {
      server->Close();
    } catch (...) {
    }
  }
  if (started) service.LogEvent(EVENTLOG_INFORMATION_TYPE, kEventStopSummary, summaryText(counters).c_str());
  // The last figures, after the queue went to the spool.
  statisticsWriter().stop();
  if (abandoned) {
    static_cast<void>(queue.release());
    static_cast<void>(server.release());
  }
  // On a stop request the service clears the flag itself.
  if (failed) service.setRunning(false);
  return 0;
}
