#include "service/statistics_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <system_error>

#include "platform/eventlog.h"
#include "platform/service.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

std::string systemReason(int error) { return std::system_category().message(error); }

// Writes all of `data` to `fd`; 0, or the errno of the failure.
int writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += std::size_t(n);
  }
  return 0;
}

}  // namespace

StatisticsWriter::StatisticsWriter(const Statistics& counters, std::chrono::milliseconds interval)
    : m_counters(counters), m_interval(interval) {}

StatisticsWriter::~StatisticsWriter() { stop(); }

void StatisticsWriter::start(const std::filesystem::path& file) {
  if (m_thread.joinable()) return;
  m_file = file;
  m_temporary = file;
  m_temporary += ".tmp";
  m_failing = false;
  m_stopRequested = false;
  m_thread = std::thread([this] { run(); });
}

void StatisticsWriter::stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard lock(m_mutex);
    m_stopRequested = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void StatisticsWriter::run() {
  auto next = std::chrono::steady_clock::now();
  for (bool last = false; !last;) {
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait_until(lock, next, [this] { return m_stopRequested; });
      last = m_stopRequested;
    }
    const std::string failure = writeOnce();
    if (failure.empty()) {
      m_failing = false;
    } else if (!m_failing) {
      m_failing = true;
      const std::string text = "The statistics file " + m_file.string() + " cannot be written: " + failure +
                               ". The service goes on and tries again.";
      logDaemonEvent(EVENTLOG_WARNING_TYPE, kEventPlainText, {text.c_str()});
    }
    // A write that took longer than the interval (a stalled disk) is not
    // followed by a burst of writes to catch up.
    const auto now = std::chrono::steady_clock::now();
    next += m_interval;
    if (next < now) next = now + m_interval;
  }
}

std::string StatisticsWriter::writeOnce() const {
  std::string text;
  try {
    text = m_counters.render(long(::getpid()), std::time(nullptr));
  } catch (const std::exception& e) {
    return e.what();
  }
  const int fd = ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return systemReason(errno);
  int error = writeAll(fd, text);
  // Without fsync: the rename already keeps readers from a partial file, and
  // after a power cut the figures are out of date whatever was synced.
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(m_temporary.c_str(), m_file.c_str()) != 0) error = errno;
  if (error == 0) return {};
  ::unlink(m_temporary.c_str());
  return systemReason(error);
}

std::filesystem::path statisticsFilePath() { return platform::serviceStateFolder(kServiceName) / "stats"; }

StatisticsWriter& statisticsWriter() {
  // Never destroyed, as statistics() is not: a process that exits without
  // stopping it leaves no thread to join.
  static StatisticsWriter* const instance = new StatisticsWriter;
  return *instance;
}
