// StatisticsWriter: writes the counters to the statistics file once a second
// on a thread of its own, so that `corvctl stats` can read them while the
// daemon runs and after it has stopped.
//
// Each write replaces the file atomically (a temporary file beside it, then a
// rename): a reader finds the previous figures or the new ones, never part of
// a file. A write that fails (the folder is gone, the disk is full) never
// stops the daemon: the first failure after a good write, or after start, is
// reported once (event 114, a warning naming the file and the reason), and
// the write is tried again a second later.
#pragma once

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "service/statistics.h"

class StatisticsWriter {
 public:
  explicit StatisticsWriter(const Statistics& counters = statistics(),
                            std::chrono::milliseconds interval = std::chrono::seconds(1));
  ~StatisticsWriter();  // stops, as stop() does
  StatisticsWriter(const StatisticsWriter&) = delete;
  StatisticsWriter& operator=(const StatisticsWriter&) = delete;

  // Writes `file` at once, then every interval, until stop(). The file's
  // folder must exist (the service's state folder does once the manager has
  // started the service). Does nothing while already started.
  void start(const std::filesystem::path& file);
  // Writes the figures once more and returns when the thread has ended:
  // promptly, without waiting for the interval. Does nothing when not started.
  void stop();

 private:
  void run();
  // One write; on failure the reason, else an empty text.
  std::string writeOnce() const;

  const Statistics& m_counters;
  const std::chrono::milliseconds m_interval;
  std::filesystem::path m_file;
  std::filesystem::path m_temporary;  // beside m_file, so that the rename stays in one file system
  bool m_failing = false;             // the last write failed and was reported; writer thread only

  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stopRequested = false;  // guarded by m_mutex
  std::thread m_thread;
};

// The service's statistics file: "stats" in its state folder.
std::filesystem::path statisticsFilePath();

// The process-wide writer of statistics().
StatisticsWriter& statisticsWriter();
