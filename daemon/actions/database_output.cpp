#include "actions/database_output.h"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "actions/database_connection.h"
#include "pipeline/MessageQueue.h"
#include "platform/paths.h"
#include "reception/SyslogMessage.h"
#include "service/DaemonConfiguration.h"
#include "service/event_ids.h"
#include "service/service_events.h"
#include "service/statistics.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLongestRetry{60};
// The longest a row waits for more to fill its transaction while messages
// keep the processing thread busy.
constexpr std::chrono::milliseconds kLinger{200};

// A row as its queue keeps it: the record's time is the row's time, and its
// bytes are the facility, the priority and the host's length (32 bits each),
// the host and the text.
constexpr std::size_t kRowHead = 12;

DatabaseRow decodeRow(const char* record) {
  const queue::RecordHeader& header = queue::headerAt(record);
  const char* bytes = queue::textAt(record);
  DatabaseRow row;
  row.receivedAt = static_cast<TimeValue>(header.receivedAt);
  std::uint32_t hostLength = 0;
  std::memcpy(&row.facility, bytes, 4);
  std::memcpy(&row.priority, bytes + 4, 4);
  std::memcpy(&hostLength, bytes + 8, 4);
  hostLength = std::min<std::uint32_t>(hostLength, header.length - kRowHead);
  row.host = std::string_view(bytes + kRowHead, hostLength);
  row.text = std::string_view(bytes + kRowHead + hostLength, header.length - kRowHead - hostLength);
  return row;
}

// The figures of one data source; they live as long as the process, since
// the statistics point at them.
struct SourceFigures {
  Statistics queue;  // of its queue: waiting in memory and on disk, dropped
  Counter inserted{0};
  Counter batches{0};
  Counter retried{0};   // rows inserted one by one after their batch was refused
  Counter rejected{0};  // rows the database refused (event 115)
};

SourceFigures& figuresOf(const std::string& dsn, OutputCounters*& output) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<SourceFigures>>* const all =
      new std::map<std::string, std::unique_ptr<SourceFigures>>;
  std::lock_guard lock(mutex);
  auto& slot = (*all)[dsn];
  const bool made = !slot;
  if (made) slot = std::make_unique<SourceFigures>();
  SourceFigures& figures = *slot;
  output = &statistics().output("database " + dsn,
                                {{"rows_inserted", &figures.inserted},
                                 {"batches", &figures.batches},
                                 {"rows_retried", &figures.retried},
                                 {"rows_rejected", &figures.rejected},
                                 {"rows_waiting_memory", &figures.queue.queuedMemory},
                                 {"rows_waiting_disk", &figures.queue.queuedDisk},
                                 {"rows_dropped", &figures.queue.queueDropped}});
  return figures;
}

}  // namespace

DatabaseOutputSettings makeDatabaseOutputSettings(const DaemonConfiguration& config, const ActionSettings& action) {
  DatabaseOutputSettings settings;
  settings.action = action;
  if (config.nODBCBatchSize > 0 && config.nODBCBatchSize <= 100000) settings.batchSize = config.nODBCBatchSize;
  settings.idleTimeout = std::chrono::seconds(config.nODBCIdleTimeout);
  if (config.nODBCSpoolLimit > 0) settings.spoolLimit = std::uint64_t{config.nODBCSpoolLimit} << 20;
  settings.spoolRoot = platform::machineRoot() / "spool" / "odbc";
  return settings;
}

std::string spoolFolderName(std::string_view dsn) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (const char c : dsn) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '_' || (c == '.' && !name.empty())) {
      name += c;
    } else {
      name += '%';
      name += kHex[byte >> 4];
      name += kHex[byte & 15];
    }
  }
  return name.empty() ? "%" : name;
}

std::string dataSourceOfFolder(std::string_view folder) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string dsn;
  for (std::size_t i = 0; i < folder.size(); ++i) {
    if (folder[i] != '%') {
      dsn += folder[i];
      continue;
    }
    if (i + 2 >= folder.size() || digit(folder[i + 1]) < 0 || digit(folder[i + 2]) < 0) return {};
    dsn += static_cast<char>(digit(folder[i + 1]) * 16 + digit(folder[i + 2]));
    i += 2;
  }
  return dsn;
}

// One data source: its queue of rows and the thread that inserts them.
class DatabaseOutputs::Output {
 public:
  Output(std::string dsn, const DatabaseOutputSettings& settings, const DatabaseEventSink& events)
      : m_dsn(std::move(dsn)),
        m_settings(settings),
        m_events(events),
        m_figures(figuresOf(m_dsn, m_output)),
        m_connection(m_dsn, settings.action) {
    m_figures.queue.reset();
    m_queue = std::make_unique<queue::MessageQueue>(
        settings.spoolRoot / spoolFolderName(m_dsn), queue::MessageQueue::Limits{settings.memoryLimit, settings.spoolLimit, "row"},
        m_figures.queue, [this](const queue::Notice& notice) { onNotice(notice); });
  }

  void start() {
    m_queue->open();
    m_thread = std::thread([this] { run(); });
  }

  // Processing thread.
  void add(const SyslogMessage& message) {
    const CTolvaneString& text = message.getMessageText();
    const CTolvaneString& host = message.getFromHost();
    const std::uint32_t hostLength = static_cast<std::uint32_t>(host.getNarrowLength());
    const std::size_t textLength = std::min<std::size_t>(text.getNarrowLength(), queue::kMaxRecordText - kRowHead - hostLength);
    const std::uint32_t length = static_cast<std::uint32_t>(kRowHead + hostLength + textLength);
    const std::size_t span = queue::recordSpan(length);
    char* room = m_queue->reserve(span);
    if (room == nullptr) {
      m_queue->drop(1);
      return;
    }
    queue::RecordHeader header{};
    header.receivedAt = static_cast<std::int64_t>(message.getReceivedAt());
    char* row = queue::startRecord(room, header, length);
    const std::int32_t values[2] = {message.getFacility(), message.getPriority()};
    std::memcpy(row, values, 8);
    std::memcpy(row + 8, &hostLength, 4);
    std::memcpy(row + kRowHead, host.getNarrow(), hostLength);
    std::memcpy(row + kRowHead + hostLength, text.getNarrow(), textLength);
    m_queue->commit(span);
    if (m_unpublished++ == 0) m_firstUnpublished = Clock::now();
  }
  // Hands the rows added over when `everything` is asked for, when they fill
  // a transaction, or when the first of them has waited kLinger: while
  // messages keep coming, a transaction carries many rows (each one costs a
  // commit), and no row waits long for it.
  bool publishIfDue(bool everything) {
    if (!everything && m_unpublished < m_settings.batchSize && Clock::now() - m_firstUnpublished < kLinger) {
      return false;
    }
    m_queue->publish();
    m_unpublished = 0;
    return true;
  }

  void requestStop() {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    m_wake.notify_all();
    m_queue->wake();
  }
  // True when the thread ended within `deadline`.
  bool join(Clock::time_point deadline) {
    std::unique_lock lock(m_mutex);
    if (!m_wake.wait_until(lock, deadline, [this] { return m_ended; })) return false;
    lock.unlock();
    m_thread.join();
    return true;
  }
  void persist() {
    m_queue->closeInput();
    m_queue->persist();
  }
  void abandon() { m_thread.detach(); }

  bool settled() const {
    std::lock_guard lock(m_mutex);
    return m_suspended || (m_queue->isEmpty() && !m_busy);
  }

 private:
  void run() {
    pthread_setname_np(pthread_self(), "corvantd-odbc");
    const auto stopping = [this] { return m_stopping.load(); };
    const auto handle = [this](const char* data, std::size_t bytes, std::uint64_t records) {
      return insertPart(data, bytes, records);
    };
    while (!m_stopping) {
      {
        std::unique_lock lock(m_mutex);
        if (m_suspended) m_wake.wait_until(lock, m_retryAt, [this] { return m_stopping.load(); });
        if (m_stopping) break;
      }
      const auto idle = m_settings.idleTimeout.count() > 0 && m_connection.isOpen()
                            ? std::min<std::chrono::milliseconds>(m_settings.idleTimeout, queue::kIdleWake)
                            : std::chrono::milliseconds(queue::kIdleWake);
      if (!m_queue->consumePart(handle, stopping, idle)) break;
      if (m_settings.idleTimeout.count() > 0 && m_connection.isOpen() && Clock::now() - m_lastUse >= m_settings.idleTimeout) {
        m_connection.close();
      }
    }
    m_connection.close();
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_wake.notify_all();
  }

  // Inserts the rows of one part of the queue; returns how many of them are
  // done with (inserted or refused). The rest wait: the database cannot be
  // reached, or a stop came.
  std::uint64_t insertPart(const char* data, std::size_t bytes, std::uint64_t records) {
    setBusy(true);
    std::vector<DatabaseRow> rows;
    rows.reserve(records);
    for (std::size_t at = 0; at < bytes && rows.size() < records;) {
      rows.push_back(decodeRow(data + at));
      at += queue::recordSpan(queue::headerAt(data + at).length);
    }
    std::size_t done = 0;
    DatabaseConnection::Failure failure;
    while (done < rows.size() && !m_stopping) {
      const std::size_t count = std::min(m_settings.batchSize, rows.size() - done);
      const auto batch = std::span<const DatabaseRow>(rows).subspan(done, count);
      const DatabaseConnection::Result result = m_connection.insert(batch, failure);
      if (result == DatabaseConnection::Result::kUnreachable) {
        suspend(failure, rows.size() - done);
        break;
      }
      if (result == DatabaseConnection::Result::kDone) {
        answered(done);
        count_(m_figures.batches, 1);
        count_(m_figures.inserted, count);
        done += count;
        finished(count);
        continue;
      }
      // Refused as a whole: row by row, on a new connection (a connection
      // that died under a misleading state must not cost a row).
      m_connection.close();
      bool unreachable = false;
      for (const DatabaseRow& row : batch) {
        const DatabaseConnection::Result one = m_connection.insert(std::span<const DatabaseRow>(&row, 1), failure);
        if (one == DatabaseConnection::Result::kUnreachable) {
          suspend(failure, rows.size() - done);
          unreachable = true;
          break;
        }
        answered(done);
        if (one == DatabaseConnection::Result::kDone) {
          count_(m_figures.inserted, 1);
          count_(m_figures.retried, 1);
        } else {
          count_(m_figures.rejected, 1);
          count_(m_output->failed, 1);
          m_events(EVENTLOG_ERROR_TYPE, kEventOdbcError, {failure.text.c_str()});
        }
        ++done;
        finished(1);
      }
      if (unreachable) break;
    }
    m_lastUse = Clock::now();
    setBusy(false);
    return done;
  }

  static void count_(Counter& counter, std::uint64_t amount) { count(counter, amount); }

  void setBusy(bool busy) {
    std::lock_guard lock(m_mutex);
    m_busy = busy;
  }

  void suspend(const DatabaseConnection::Failure& failure, std::uint64_t inHand) {
    std::lock_guard lock(m_mutex);
    const Clock::time_point now = Clock::now();
    if (!m_suspended) {
      m_suspended = true;
      m_suspendedSince = now;
      m_retry = kFirstRetry;
      count(m_output->suspended);
      const std::uint64_t waiting = read(m_figures.queue.queuedMemory) + read(m_figures.queue.queuedDisk);
      const std::string figures = "Rows waiting now: " + std::to_string(std::max(waiting, inHand)) +
                                  ". The next try is in 1 s, then after twice as long each time, at most 60 s.";
      m_events(EVENTLOG_ERROR_TYPE, kEventDatabaseUnreachable, {m_dsn.c_str(), figures.c_str(), failure.text.c_str()});
    } else {
      m_retry = std::min<std::chrono::seconds>(m_retry * 2, kLongestRetry);
    }
    m_retryAt = now + m_retry;
  }

  // The database took a row or a batch: after an outage, the rows that
  // waited are counted until they are in. `doneInPart`: rows of the part in
  // hand done before.
  void answered(std::size_t doneInPart) {
    std::lock_guard lock(m_mutex);
    if (!m_suspended) return;
    m_suspended = false;
    const std::uint64_t waiting = read(m_figures.queue.queuedMemory) + read(m_figures.queue.queuedDisk) - doneInPart;
    m_lateRows = waiting;
    m_lateUntil = m_rowsDone + waiting;
    m_outage = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_suspendedSince);
  }

  void finished(std::uint64_t rows) {
    m_rowsDone += rows;
    if (m_lateRows == 0 || m_rowsDone < m_lateUntil) return;
    const std::string seconds = std::to_string(m_outage.count());
    const std::string late = std::to_string(m_lateRows);
    m_events(EVENTLOG_INFORMATION_TYPE, kEventDatabaseAnswersAgain, {m_dsn.c_str(), seconds.c_str(), late.c_str()});
    m_lateRows = 0;
  }

  void onNotice(const queue::Notice& notice) {
    switch (notice.kind) {
      case queue::Notice::kDropped:
        m_events(EVENTLOG_ERROR_TYPE, kEventDatabaseRowsLost, {m_dsn.c_str(), notice.text.c_str()});
        break;
      case queue::Notice::kSpoolFailed:
      case queue::Notice::kDamaged:
        m_events(notice.warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE, kEventDatabaseSpoolFailed,
                 {m_dsn.c_str(), notice.text.c_str()});
        break;
      case queue::Notice::kRestored:
      case queue::Notice::kPersisted:
        m_events(EVENTLOG_INFORMATION_TYPE, kEventDatabaseRowsWaiting, {m_dsn.c_str(), notice.text.c_str()});
        break;
    }
  }

  const std::string m_dsn;
  const DatabaseOutputSettings m_settings;
  const DatabaseEventSink m_events;
  OutputCounters* m_output = nullptr;
  SourceFigures& m_figures;
  DatabaseConnection m_connection;  // the thread's
  std::unique_ptr<queue::MessageQueue> m_queue;
  std::thread m_thread;
  std::size_t m_unpublished = 0;  // rows added since the last publish (processing thread)
  Clock::time_point m_firstUnpublished{};

  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::atomic<bool> m_stopping{false};
  bool m_ended = false;
  bool m_busy = false;
  bool m_suspended = false;
  Clock::time_point m_suspendedSince{};
  Clock::time_point m_retryAt{};
  std::chrono::seconds m_retry{kFirstRetry};
  Clock::time_point m_lastUse = Clock::now();
  // The thread's: rows done, and after an outage the rows that waited.
  std::uint64_t m_rowsDone = 0;
  std::uint64_t m_lateRows = 0;
  std::uint64_t m_lateUntil = 0;
  std::chrono::seconds m_outage{0};
};

struct DatabaseOutputs::State {
  mutable std::mutex mutex;  // the list of outputs (the processing thread adds, a stop clears)
  bool started = false;
  bool stopped = false;  // from a stop to the next start: no output is made
  DatabaseOutputSettings settings;
  DatabaseEventSink events;
  std::map<std::string, std::unique_ptr<Output>, std::less<>> outputs;
  std::vector<Output*> touched;  // outputs with rows added since the last flush

  Output& outputFor(std::string_view dsn) {
    auto found = outputs.find(dsn);
    if (found != outputs.end()) return *found->second;
    auto made = std::make_unique<Output>(std::string(dsn), settings, events);
    made->start();
    return *outputs.emplace(std::string(dsn), std::move(made)).first->second;
  }
};

DatabaseOutputs::DatabaseOutputs() : m_state(std::make_unique<State>()) {}
DatabaseOutputs::~DatabaseOutputs() = default;

void DatabaseOutputs::start(DatabaseOutputSettings settings, DatabaseEventSink events) {
  std::lock_guard lock(m_state->mutex);
  m_state->settings = std::move(settings);
  m_state->events = events ? std::move(events) : DatabaseEventSink(logDaemonEvent);
  m_state->started = true;
  m_state->stopped = false;
  // Rows of an earlier run go in first, whether or not a message comes for
  // their data source in this one.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(m_state->settings.spoolRoot, error)) {
    const std::string dsn = dataSourceOfFolder(entry.path().filename().string());
    if (dsn.empty() || !entry.is_directory()) continue;
    bool holdsRows = false;
    for (const auto& file : std::filesystem::directory_iterator(entry.path(), error)) {
      holdsRows = holdsRows || file.path().extension() == ".spool";
    }
    if (holdsRows) m_state->outputFor(dsn);
  }
}

void DatabaseOutputs::add(std::string_view dsn, const SyslogMessage& message, const ActionSettings& settings) {
  std::lock_guard lock(m_state->mutex);
  if (m_state->stopped) return;  // a processing thread left behind at a stop
  if (!m_state->started) {
    DatabaseOutputSettings defaults;
    defaults.action = settings;
    defaults.spoolRoot = platform::machineRoot() / "spool" / "odbc";
    m_state->settings = defaults;
    m_state->events = logDaemonEvent;
    m_state->started = true;
  }
  Output& output = m_state->outputFor(dsn);
  output.add(message);
  if (std::find(m_state->touched.begin(), m_state->touched.end(), &output) == m_state->touched.end()) {
    m_state->touched.push_back(&output);
  }
}

void DatabaseOutputs::flush(bool everything) {
  std::lock_guard lock(m_state->mutex);
  auto& touched = m_state->touched;
  touched.erase(std::remove_if(touched.begin(), touched.end(),
                               [everything](Output* output) { return output->publishIfDue(everything); }),
                touched.end());
}

bool DatabaseOutputs::holdsRows() const {
  std::lock_guard lock(m_state->mutex);
  return !m_state->touched.empty();
}

void DatabaseOutputs::stop(std::chrono::milliseconds grace) {
  std::lock_guard lock(m_state->mutex);
  for (Output* output : m_state->touched) output->publishIfDue(true);
  m_state->touched.clear();
  for (auto& [dsn, output] : m_state->outputs) output->requestStop();
  const Clock::time_point deadline = Clock::now() + grace;
  for (auto& [dsn, output] : m_state->outputs) {
    const bool ended = output->join(deadline);
    output->persist();
    if (!ended) {
      // In a call to the driver that does not come back: it goes with the
      // process, and what it held waits in the spool all the same.
      output->abandon();
      static_cast<void>(output.release());
    }
  }
  m_state->outputs.clear();
  m_state->started = false;
  m_state->stopped = true;
}

bool DatabaseOutputs::waitSettled(std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    bool settled = true;
    {
      std::lock_guard lock(m_state->mutex);
      for (auto& [dsn, output] : m_state->outputs) settled = settled && output->settled();
    }
    if (settled) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

DatabaseOutputs& databaseOutputs() {
  static DatabaseOutputs* const instance = new DatabaseOutputs;
  return *instance;
}
