#include "actions/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/eventlog.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

struct FileOutput {
  std::string path;
  int fd = -1;
  dev_t dev = 0;  // identity of the open file, to notice a rename or delete
  ino_t ino = 0;
  std::string buffer;         // lines waiting for the next write, in arrival order
  std::uint64_t batch = 0;    // the batch in which the path was last checked
  std::uint64_t useTick = 0;  // for closing the least recently used file
  std::int64_t lastUsed = 0;  // monotonic seconds, for closing idle files
  bool unavailable = false;   // could not be opened in this batch: its lines are lost
  bool failing = false;       // failure logged; no further event until a write succeeds
  off_t cutTo = -1;           // >= 0: the file must be cut back to this size before the next write
};

// Receive thread only. Nodes of an unordered_map keep their address when the
// map grows, so the pointers below stay valid until their entry is erased.
std::unordered_map<std::string, FileOutput> g_outputs;
std::vector<FileOutput*> g_touched;  // checked in this batch, so possibly holding lines
FileOutput* g_last = nullptr;        // most messages go to the file of the message before
std::uint64_t g_batch = 1;
std::uint64_t g_tick = 0;
std::size_t g_openCount = 0;
std::int64_t g_lastIdleScan = 0;

std::int64_t monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

void reportFailure(FileOutput& output, std::string_view reason) {
  if (output.failing) return;
  output.failing = true;
  std::string text = "Cannot write to the log file ";
  text.append(output.path).append(": ").append(reason);
  logDaemonEvent(EVENTLOG_ERROR_TYPE, kEventGeneralError, {text.c_str()});
}

void reportFailure(FileOutput& output, int error) {
  reportFailure(output, std::generic_category().message(error));
}

void closeOutput(FileOutput& output) {
  if (output.fd < 0) return;
  ::close(output.fd);
  output.fd = -1;
  --g_openCount;
}

// Cuts the file back to output.cutTo, the end of its last whole line; true
// when done (or nothing was to be done).
bool cutBack(FileOutput& output) {
  if (output.cutTo < 0) return true;
  struct stat current {};
  if (::fstat(output.fd, &current) == 0 && current.st_size <= output.cutTo) {
    output.cutTo = -1;  // cut meanwhile by someone else; never grow it
    return true;
  }
  int result;
  do {
    result = ::ftruncate(output.fd, output.cutTo);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  output.cutTo = -1;
  return true;
}

// After a write cut short (a full file system, a file size limit), the file
// ends in part of a line; the next line written would be glued to it. Notes
// where the last whole line ends and cuts the file back there now, or, when
// that fails too, before the next write.
void keepWholeLines(FileOutput& output, std::size_t written) {
  if (written == 0) return;
  const std::size_t lastEnd = output.buffer.rfind('\n', written - 1);
  const std::size_t partial = lastEnd == std::string::npos ? written : written - (lastEnd + 1);
  if (partial == 0) return;  // the file still ends with a whole line
  struct stat current {};
  if (::fstat(output.fd, &current) != 0 || current.st_size < static_cast<off_t>(partial)) return;
  output.cutTo = current.st_size - static_cast<off_t>(partial);
  cutBack(output);
}

// Writes the waiting lines in one write() where the system takes them at once.
// On failure the rest is lost, the file keeps only whole lines, and it is
// closed, so that the next batch opens it afresh.
void writeOutput(FileOutput& output) {
  if (output.buffer.empty()) return;
  if (output.fd >= 0 && !cutBack(output)) {
    reportFailure(output, errno);
    closeOutput(output);
  }
  if (output.fd >= 0) {
    const char* data = output.buffer.data();
    std::size_t left = output.buffer.size();
    while (left > 0) {
      const ssize_t written = ::write(output.fd, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        reportFailure(output, written < 0 ? errno : EIO);
        keepWholeLines(output, static_cast<std::size_t>(data - output.buffer.data()));
        closeOutput(output);
        break;
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
    if (left == 0) output.failing = false;
  }
  output.buffer.clear();
  // A burst may have grown the buffer far beyond the usual batch; give it back.
  if (output.buffer.capacity() > 2 * kMaxBufferedBytes) output.buffer.shrink_to_fit();
}

void closeLeastRecentlyUsed() {
  FileOutput* oldest = nullptr;
  for (auto& [path, output] : g_outputs) {
    if (output.fd >= 0 && (oldest == nullptr || output.useTick < oldest->useTick)) oldest = &output;
  }
  if (oldest == nullptr) return;
  writeOutput(*oldest);
  closeOutput(*oldest);
}

// Makes sure the descriptor still names the file at the path: a file renamed or
// deleted (log rotation, an administrator) is created anew.
bool ensureOpen(FileOutput& output) {
  if (output.fd >= 0) {
    struct stat current {};
    if (::stat(output.path.c_str(), &current) == 0 && current.st_dev == output.dev &&
        current.st_ino == output.ino) {
      return true;
    }
    writeOutput(output);
    closeOutput(output);
  }
  if (g_openCount >= kMaxOpenFiles) closeLeastRecentlyUsed();
  int fd = -1;
  do {
    fd = ::open(output.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    reportFailure(output, errno);
    return false;
  }
  struct stat opened {};
  ::fstat(fd, &opened);
  // A cut still owed belongs to the file that was cut short, not to a new one
  // made at the same path since.
  if (opened.st_dev != output.dev || opened.st_ino != output.ino) output.cutTo = -1;
  output.fd = fd;
  output.dev = opened.st_dev;
  output.ino = opened.st_ino;
  ++g_openCount;
  return true;
}

FileOutput& lookUp(const std::string& path) {
  if (g_last != nullptr && g_last->path == path) return *g_last;
  auto found = g_outputs.find(path);
  if (found == g_outputs.end()) {
    found = g_outputs.emplace(path, FileOutput{}).first;
    found->second.path = path;
  }
  g_last = &found->second;
  return found->second;
}

// Closes files idle for kIdleCloseSeconds and forgets those that have nothing
// to remember; a file still failing keeps its entry, so that it is not logged
// again while it keeps failing.
void closeIdle(std::int64_t now) {
  for (auto it = g_outputs.begin(); it != g_outputs.end();) {
    FileOutput& output = it->second;
    if (now - output.lastUsed < kIdleCloseSeconds) {
      ++it;
      continue;
    }
    closeOutput(output);
    if (output.failing) {
      ++it;
      continue;
    }
    if (g_last == &output) g_last = nullptr;
    it = g_outputs.erase(it);
  }
}

}  // namespace

std::string* fileOutputBuffer(const std::string& path) {
  FileOutput& output = lookUp(path);
  output.useTick = ++g_tick;
  if (output.batch != g_batch) {
    output.batch = g_batch;
    g_touched.push_back(&output);
    output.unavailable = !ensureOpen(output);
  } else if (output.fd < 0 && !output.unavailable) {
    // Closed during this batch to make room for another file, or after an
    // early write failed: open it again rather than drop the line.
    output.unavailable = !ensureOpen(output);
  }
  return output.unavailable ? nullptr : &output.buffer;
}

void fileLineAppended(const std::string& path) {
  FileOutput& output = lookUp(path);
  if (output.buffer.size() >= kMaxBufferedBytes) writeOutput(output);
}

void reportFileOutputFailure(const std::string& path, std::string_view reason) {
  FileOutput& output = lookUp(path);
  output.useTick = ++g_tick;
  if (output.batch != g_batch) {
    output.batch = g_batch;
    g_touched.push_back(&output);
  }
  reportFailure(output, reason);
}

void flushFileOutputs() {
  const std::int64_t now = monotonicSeconds();
  for (FileOutput* output : g_touched) {
    writeOutput(*output);
    output->lastUsed = now;
  }
  g_touched.clear();
  ++g_batch;
  if (now != g_lastIdleScan) {
    g_lastIdleScan = now;
    closeIdle(now);
  }
}

void writeWaitingFileLines() {
  for (FileOutput* output : g_touched) writeOutput(*output);
}

void closeFileOutputs() {
  for (FileOutput* output : g_touched) writeOutput(*output);
  g_touched.clear();
  for (auto& [path, output] : g_outputs) closeOutput(output);
  g_outputs.clear();
  g_last = nullptr;
  ++g_batch;
}
