#include "pipeline/MessageQueue.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

#include "service/statistics.h"

namespace queue {

namespace {

// A segment the producer appends to is closed at this size, so that the
// consumer can give its space back while the producer goes on.
constexpr std::uint64_t kSegmentSize = std::uint64_t{64} << 20;
// Blocks kept for reuse; the rest go back to the system at once, so that the
// memory of a burst is returned after it.
constexpr std::size_t kSpareBlocks = 4;

std::string errnoText(int error) { return std::generic_category().message(error); }

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::string plural(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

struct MessageQueue::Block {
  char* data = nullptr;
  std::size_t used = 0;
};

struct MessageQueue::Segment {
  std::uint64_t id = 0;
  std::filesystem::path path;
  int fd = -1;                  // open while the producer appends to it
  std::uint64_t size = 0;
  std::uint64_t lastNumber = 0;  // of the last part appended
  std::uint64_t parts = 0;       // parts in it not yet processed
  bool writable = false;
};

struct MessageQueue::Part {
  std::uint64_t number = 0;
  std::uint64_t records = 0;  // records not yet processed (for a restored part: intact ones)
  std::uint64_t bytes = 0;
  // In memory: [begin, block->used) of the block.
  Block* block = nullptr;
  std::size_t begin = 0;
  // On disk: [diskBegin, diskEnd) of the segment.
  std::shared_ptr<Segment> segment;
  std::uint64_t diskBegin = 0;
  std::uint64_t diskEnd = 0;
  bool restored = false;  // found at open: its damage is counted already
};

MessageQueue::MessageQueue(std::filesystem::path spoolFolder, Limits limits, Statistics& counters,
                           NoticeSink notices)
    : m_folder(std::move(spoolFolder)),
      m_limits{std::max(limits.memory, 3 * kBlockSize), limits.spool, limits.item},
      m_counters(counters),
      m_notices(std::move(notices)) {}

MessageQueue::~MessageQueue() {
  if (m_writing && m_writing->fd >= 0) ::close(m_writing->fd);
  const auto release = [this](Block* block) {
    // A consumer left behind in an action may still read its block.
    if (block == nullptr || block == m_busyBlock) return;
    ::munmap(block->data, kBlockSize);
    delete block;
  };
  for (auto& part : m_parts) release(part->block);
  release(m_filling);
  for (Block* block : m_freeBlocks) release(block);
}

std::string MessageQueue::items(std::uint64_t count) const {
  return std::to_string(count) + " " + m_limits.item + (count == 1 ? "" : "s");
}

void MessageQueue::notify(Notice::Kind kind, bool warning, std::string text) {
  if (m_notices) m_notices(Notice{kind, warning, std::move(text)});
}

MessageQueue::Block* MessageQueue::newBlock() {
  ++m_blocksInUse;
  if (!m_freeBlocks.empty()) {
    Block* block = m_freeBlocks.back();
    m_freeBlocks.pop_back();
    block->used = 0;
    return block;
  }
  void* memory = ::mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  return new Block{static_cast<char*>(memory), 0};
}

void MessageQueue::freeBlock(Block* block) {
  --m_blocksInUse;
  if (m_freeBlocks.size() < kSpareBlocks) {
    block->used = 0;
    m_freeBlocks.push_back(block);
    return;
  }
  ::munmap(block->data, kBlockSize);
  delete block;
}

void MessageQueue::open() {
  std::vector<SegmentInfo> segments;
  std::string problem;
  std::lock_guard lock(m_mutex);
  if (!listSegments(m_folder, segments, &problem)) {
    m_spoolUsable = false;
    notify(Notice::kSpoolFailed, false,
           "The spool cannot be used (" + problem +
               "). Messages are queued in memory only, and those still queued at a stop are lost.");
    return;
  }
  std::uint64_t restored = 0;
  std::uint64_t damaged = 0;
  SegmentReader reader;
  for (const SegmentInfo& info : segments) {
    if (!reader.open(info.path, info.begin, info.end, &problem)) {
      notify(Notice::kSpoolFailed, false,
             "The spool file " + problem + " cannot be read; it is left where it is and not processed.");
      continue;
    }
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
    while (const char* record = reader.next()) {
      ++records;
      bytes += headerAt(record).length;
    }
    if (!reader.failed().empty()) {
      notify(Notice::kSpoolFailed, false,
             "The spool file " + info.path.string() + " cannot be read (" + reader.failed() +
                 "); it is left where it is and not processed.");
      continue;
    }
    damaged += reader.damaged();
    auto segment = std::make_shared<Segment>();
    segment->id = info.id;
    segment->path = info.path;
    segment->size = info.end;
    segment->parts = 1;
    auto part = std::make_unique<Part>();
    part->number = info.id;
    part->records = records;
    part->bytes = bytes;
    part->segment = segment;
    part->diskBegin = info.begin;
    part->diskEnd = info.end;
    part->restored = true;
    m_parts.push_back(std::move(part));
    m_spoolBytes += info.end;
    m_nextNumber = std::max(m_nextNumber, info.id + 1);
    restored += records;
  }
  reader.close();
  // A damaged region counts as one record found and lost, so that the
  // figures add up.
  count(m_counters.restored, restored + damaged);
  count(m_counters.queuedDisk, restored);
  count(m_counters.spoolDamaged, damaged);
  m_counters.queuedDiskBytes.store(m_spoolBytes, std::memory_order_relaxed);
  if (restored > 0) {
    notify(Notice::kRestored, false,
           items(restored) + " queued in the spool at the last stop " +
               (restored == 1 ? "is" : "are") + " processed before new ones.");
  }
  if (damaged > 0) {
    notify(Notice::kDamaged, true,
           plural(damaged, "damaged record was", "damaged records were") + " found in the spool (" +
               m_folder.string() + ") and skipped; the " + std::string(m_limits.item) + "s they held are lost.");
  }
}

bool MessageQueue::spoolHasRoomLocked(std::size_t bytes) {
  if (!m_spoolUsable) {
    m_dropReason = "the spool cannot be used";
    return false;
  }
  if (m_spoolBytes + bytes > m_limits.spool) {
    m_dropReason = "the spool holds its limit of " + std::to_string(m_limits.spool >> 20) + " MiB";
    return false;
  }
  struct statvfs space {};
  if (::statvfs(m_folder.c_str(), &space) == 0) {
    const std::uint64_t free = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    if (free < bytes + kSpoolFreeReserve) {
      m_dropReason = "the file system of the spool has less than " + std::to_string(kSpoolFreeReserve >> 20) +
                     " MiB free";
      return false;
    }
  }
  return true;
}

void MessageQueue::closeWritingLocked() {
  if (!m_writing) return;
  ::close(m_writing->fd);
  m_writing->fd = -1;
  m_writing->writable = false;
  if (m_writing->parts == 0) {
    std::string ignored;
    if (removeSegment(m_writing->path, &ignored)) m_spoolBytes -= m_writing->size;
    m_counters.queuedDiskBytes.store(m_spoolBytes, std::memory_order_relaxed);
  }
  m_writing.reset();
}

bool MessageQueue::spillLocked(std::uint64_t number, Block& block, std::uint64_t records) {
  if (!spoolHasRoomLocked(block.used)) return false;
  if (m_writing && (m_writing->lastNumber + 1 != number || m_writing->size >= kSegmentSize)) closeWritingLocked();
  if (!m_writing) {
    auto segment = std::make_shared<Segment>();
    segment->id = number;
    segment->path = segmentPath(m_folder, number);
    segment->fd = ::open(segment->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (segment->fd < 0) {
      m_dropReason = "the spool file " + segment->path.string() + " cannot be made: " + errnoText(errno);
      return false;
    }
    segment->writable = true;
    m_writing = std::move(segment);
  }
  sealRecords(block.data, block.used);
  const std::uint64_t offset = m_writing->size;
  if (!writeAll(m_writing->fd, block.data, block.used)) {
    m_dropReason = "the spool file " + m_writing->path.string() + " cannot be written: " + errnoText(errno);
    // What was written of it is cut off again, so that the file holds whole
    // records only; failing that, reading skips it as damage.
    static_cast<void>(::ftruncate(m_writing->fd, static_cast<off_t>(offset)));
    return false;
  }
  m_writing->size += block.used;
  m_writing->lastNumber = number;
  ++m_writing->parts;
  m_spoolBytes += block.used;
  auto part = std::make_unique<Part>();
  part->number = number;
  part->records = records;
  part->segment = m_writing;
  part->diskBegin = offset;
  part->diskEnd = offset + block.used;
  m_parts.push_back(std::move(part));
  count(m_counters.queuedDisk, records);
  uncount(m_counters.queuedMemory, records);
  m_counters.queuedDiskBytes.store(m_spoolBytes, std::memory_order_relaxed);
  return true;
}

char* MessageQueue::reserve(std::size_t span) {
  if (m_filling == nullptr) {
    std::lock_guard lock(m_mutex);
    m_filling = newBlock();
  }
  if (m_filling->used + span > kBlockSize) {
    publish();
    if (m_filling->used + span > kBlockSize) {
      if (m_dropped == 0) {
        std::lock_guard lock(m_mutex);
        m_dropSince = static_cast<long long>(std::time(nullptr));
      }
      return nullptr;
    }
  }
  if (m_dropped > 0) {
    std::lock_guard lock(m_mutex);
    endDropEpisodeLocked();
  }
  return m_filling->data + m_filling->used;
}

void MessageQueue::commit(std::size_t span) {
  m_filling->used += span;
  ++m_fillingRecords;
}

void MessageQueue::drop(std::uint64_t records) {
  m_dropped += records;
  count(m_counters.received, records);
  count(m_counters.queueDropped, records);
}

void MessageQueue::endDropEpisodeLocked() {
  if (m_dropped == 0) return;
  char since[64] = "";
  const std::time_t start = static_cast<std::time_t>(m_dropSince);
  std::tm local{};
  if (localtime_r(&start, &local) != nullptr) std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &local);
  notify(Notice::kDropped, true,
         items(m_dropped) + (m_dropped == 1 ? " was" : " were") + " dropped since " + since +
             " because the queue was full: its memory holds its limit of " +
             std::to_string(m_limits.memory >> 20) + " MiB and " +
             (m_dropReason.empty() ? std::string("the spool cannot take more") : m_dropReason) + ".");
  m_dropped = 0;
  m_dropReason.clear();
}

void MessageQueue::publish() {
  if (m_filling == nullptr || m_filling->used == 0) return;
  std::unique_lock lock(m_mutex);
  const std::uint64_t records = m_fillingRecords;
  const std::uint64_t number = m_nextNumber;
  // A few records join the newest part when it waits in memory with room for
  // them, so that a trickle of datagrams while the consumer is busy does not
  // take a block each.
  if (!m_parts.empty() && m_parts.back()->block != nullptr &&
      m_parts.back()->block->used + m_filling->used <= kBlockSize) {
    Part& newest = *m_parts.back();
    std::memcpy(newest.block->data + newest.block->used, m_filling->data, m_filling->used);
    newest.block->used += m_filling->used;
    newest.records += records;
    m_filling->used = 0;
    m_fillingRecords = 0;
    count(m_counters.received, records);
    count(m_counters.queuedMemory, records);
    return;
  }
  // In memory while a block for the producer is left within the limit; else
  // the records go to the spool and the producer keeps its block.
  if ((m_blocksInUse + 1) * kBlockSize <= m_limits.memory) {
    auto part = std::make_unique<Part>();
    part->number = number;
    part->records = records;
    part->block = m_filling;
    m_parts.push_back(std::move(part));
    m_filling = newBlock();
    // The spill is over: its segment goes once its parts are processed.
    closeWritingLocked();
  } else {
    count(m_counters.queuedMemory, records);  // spillLocked moves them to the disk's figure
    count(m_counters.received, records);
    if (!spillLocked(number, *m_filling, records)) {
      // Kept in the producer's block until memory or spool has room.
      uncount(m_counters.queuedMemory, records);
      uncount(m_counters.received, records);
      return;
    }
    m_filling->used = 0;
    m_fillingRecords = 0;
    ++m_nextNumber;
    lock.unlock();
    m_ready.notify_one();
    return;
  }
  ++m_nextNumber;
  m_fillingRecords = 0;
  count(m_counters.received, records);
  count(m_counters.queuedMemory, records);
  lock.unlock();
  m_ready.notify_one();
}

bool MessageQueue::append(const char* data, std::size_t bytes, std::uint64_t records, bool evenBeyondLimit) {
  if (bytes == 0) return true;
  std::unique_lock lock(m_mutex);
  if (m_persisted) return false;
  if (!m_parts.empty() && m_parts.back()->block != nullptr && m_parts.back()->block->used + bytes <= kBlockSize) {
    Part& newest = *m_parts.back();
    std::memcpy(newest.block->data + newest.block->used, data, bytes);
    newest.block->used += bytes;
    newest.records += records;
  } else {
    // A block for these while one is left for the receiving thread within
    // the limit: datagrams cannot wait, connections can.
    if (!evenBeyondLimit && (m_blocksInUse + 2) * kBlockSize > m_limits.memory) return false;
    auto part = std::make_unique<Part>();
    part->number = m_nextNumber++;
    part->records = records;
    part->block = newBlock();
    std::memcpy(part->block->data, data, bytes);
    part->block->used = bytes;
    m_parts.push_back(std::move(part));
  }
  count(m_counters.received, records);
  count(m_counters.queuedMemory, records);
  lock.unlock();
  m_ready.notify_one();
  return true;
}

void MessageQueue::handOverFillingLocked() {
  if (m_filling == nullptr || m_filling->used == 0) return;
  auto part = std::make_unique<Part>();
  part->number = m_nextNumber++;
  part->records = m_fillingRecords;
  part->block = m_filling;
  count(m_counters.received, m_fillingRecords);
  count(m_counters.queuedMemory, m_fillingRecords);
  m_parts.push_back(std::move(part));
  m_filling = nullptr;
  m_fillingRecords = 0;
}

bool MessageQueue::holdsRecords() const { return m_filling != nullptr && m_filling->used > 0; }

void MessageQueue::closeInput() {
  publish();
  {
    std::lock_guard lock(m_mutex);
    // Records that found no room stay the consumer's all the same: the block
    // changes hands, the memory in use does not grow.
    if (!m_persisted) handOverFillingLocked();
    endDropEpisodeLocked();
    m_inputClosed = true;
  }
  m_ready.notify_all();
}

void MessageQueue::wake() {
  {
    std::lock_guard lock(m_mutex);
    m_woken = true;
  }
  m_ready.notify_all();
}

bool MessageQueue::isEmpty() const {
  std::lock_guard lock(m_mutex);
  return m_parts.empty() && m_inHand == nullptr && (m_filling == nullptr || m_filling->used == 0);
}

void MessageQueue::finishPartLocked(Part& part) {
  if (part.block != nullptr) {
    freeBlock(part.block);
    part.block = nullptr;
    return;
  }
  Segment& segment = *part.segment;
  --segment.parts;
  // The segment the producer appends to goes too when the consumer has
  // caught up with it: the next spill begins a new one.
  if (segment.parts == 0 && m_writing.get() == &segment) {
    closeWritingLocked();
    return;
  }
  if (segment.parts == 0 && !segment.writable) {
    std::string problem;
    if (removeSegment(segment.path, &problem)) {
      m_spoolBytes -= segment.size;
    } else {
      notify(Notice::kSpoolFailed, true,
             "The processed spool file " + problem + " cannot be removed; remove it by hand before the next start, "
             "or its " + std::string(m_limits.item) + "s are processed again.");
    }
    m_counters.queuedDiskBytes.store(m_spoolBytes, std::memory_order_relaxed);
  }
}

std::unique_ptr<MessageQueue::Part> MessageQueue::takePart(const std::function<bool()>& stopping,
                                                           std::chrono::milliseconds wait, bool& more) {
  std::unique_lock lock(m_mutex);
  more = false;
  for (;;) {
    if (m_persisted || stopping()) return nullptr;
    if (!m_parts.empty()) break;
    if (m_inputClosed) return nullptr;
    m_consumerWaiting.store(true, std::memory_order_relaxed);
    m_woken = false;
    const bool ready =
        m_ready.wait_for(lock, wait, [this] { return !m_parts.empty() || m_inputClosed || m_woken || m_persisted; });
    m_consumerWaiting.store(false, std::memory_order_relaxed);
    m_woken = false;
    // A quiet while: back to the caller, which may have work of its own.
    if (!ready) {
      more = true;
      return nullptr;
    }
  }
  std::unique_ptr<Part> part = std::move(m_parts.front());
  m_parts.pop_front();
  m_inHand = part.get();
  m_inHandNext.store(part->block != nullptr ? part->begin : part->diskBegin, std::memory_order_relaxed);
  m_inHandRecords.store(part->records, std::memory_order_relaxed);
  return part;
}

void MessageQueue::lostUnreadLocked(std::uint64_t records, const std::string& readFailure) {
  // Records that a damaged region took with it (counted as damage when it was
  // found), or that could not be read at all.
  if (!readFailure.empty()) {
    notify(Notice::kSpoolFailed, true,
           "The spool file " + readFailure + " could not be read to its end; " + items(records) +
               " in it are lost.");
  }
  count(m_counters.spoolDamaged, records);
}

bool MessageQueue::processNext(const std::function<void(const char* record)>& process,
                               const std::function<bool()>& stopping, std::chrono::milliseconds wait) {
  bool more = false;
  std::unique_ptr<Part> part = takePart(stopping, wait, more);
  if (!part) return more;

  std::uint64_t done = 0;
  std::uint64_t left = part->records;
  bool stopped = false;
  std::string readFailure;
  try {
    if (part->block != nullptr) {
      const char* data = part->block->data;
      std::size_t at = part->begin;
      const std::size_t end = part->block->used;
      while (at < end) {
        if (stopping() || m_persistedFlag.load(std::memory_order_relaxed)) {
          stopped = true;
          break;
        }
        const char* record = data + at;
        at += recordSpan(headerAt(record).length);
        m_inHandNext.store(at, std::memory_order_release);
        m_inHandRecords.store(--left, std::memory_order_release);
        process(record);
        ++done;
      }
      part->begin = at;
    } else {
      std::string problem;
      if (!m_reader.open(part->segment->path, part->diskBegin, part->diskEnd, &problem)) {
        readFailure = problem;
      } else {
        for (;;) {
          if (stopping() || m_persistedFlag.load(std::memory_order_relaxed)) {
            stopped = m_reader.position() < part->diskEnd;
            break;
          }
          const char* record = m_reader.next();
          if (record == nullptr) break;
          m_inHandNext.store(m_reader.position(), std::memory_order_release);
          if (left > 0) --left;
          m_inHandRecords.store(left, std::memory_order_release);
          process(record);
          ++done;
        }
        if (!m_reader.failed().empty()) readFailure = part->segment->path.string() + ": " + m_reader.failed();
        part->diskBegin = m_reader.position();
        m_reader.close();
      }
    }
  } catch (...) {
    // A failure the process call let out ends the consumer; the record it
    // failed on counts as processed, and the rest of the part stays queued.
    m_reader.close();
    std::lock_guard lock(m_mutex);
    if (m_persisted) {
      m_busyBlock = nullptr;
      throw;
    }
    m_inHand = nullptr;
    const std::uint64_t remaining = m_inHandRecords.load(std::memory_order_relaxed);
    count(m_counters.processed, done + 1);
    uncount(part->block != nullptr ? m_counters.queuedMemory : m_counters.queuedDisk, part->records - remaining);
    part->records = remaining;
    if (part->block != nullptr) {
      part->begin = static_cast<std::size_t>(m_inHandNext.load(std::memory_order_relaxed));
    } else {
      part->diskBegin = m_inHandNext.load(std::memory_order_relaxed);
    }
    m_parts.push_front(std::move(part));
    throw;
  }

  std::lock_guard lock(m_mutex);
  if (m_persisted) {
    // Persist took the rest of the part; its block is the queue's to free.
    m_busyBlock = nullptr;
    return false;
  }
  m_inHand = nullptr;
  count(m_counters.processed, done);
  if (part->block != nullptr) {
    uncount(m_counters.queuedMemory, part->records - left);
  } else {
    uncount(m_counters.queuedDisk, part->records - left);
  }
  part->records = left;
  if (stopped) {
    m_parts.push_front(std::move(part));
    return false;
  }
  if (part->block == nullptr && left > 0) {
    lostUnreadLocked(left, readFailure);
    uncount(m_counters.queuedDisk, left);
  }
  finishPartLocked(*part);
  return true;
}

bool MessageQueue::consumePart(const PartHandler& handle, const std::function<bool()>& stopping,
                               std::chrono::milliseconds wait) {
  bool more = false;
  std::unique_ptr<Part> part = takePart(stopping, wait, more);
  if (!part) return more;

  // The records, and where each one ends (in the block, or in the segment).
  const char* data = nullptr;
  std::size_t bytes = 0;
  std::uint64_t intact = part->records;
  std::vector<std::uint64_t> ends;
  std::vector<char> read;
  std::string readFailure;
  if (part->block != nullptr) {
    data = part->block->data + part->begin;
    bytes = part->block->used - part->begin;
  } else {
    intact = 0;
    std::string problem;
    if (!m_reader.open(part->segment->path, part->diskBegin, part->diskEnd, &problem)) {
      readFailure = problem;
    } else {
      while (const char* record = m_reader.next()) {
        const std::size_t span = recordSpan(headerAt(record).length);
        read.insert(read.end(), record, record + span);
        ends.push_back(m_reader.position());
        ++intact;
      }
      if (!m_reader.failed().empty()) readFailure = part->segment->path.string() + ": " + m_reader.failed();
      m_reader.close();
    }
    data = read.data();
    bytes = read.size();
  }

  std::uint64_t done = 0;
  try {
    done = intact > 0 ? std::min(handle(data, bytes, intact), intact) : 0;
  } catch (...) {
    std::lock_guard lock(m_mutex);
    if (m_persisted) {
      m_busyBlock = nullptr;
      throw;
    }
    m_inHand = nullptr;
    m_parts.push_front(std::move(part));
    throw;
  }

  std::lock_guard lock(m_mutex);
  if (m_persisted) {
    // Persist took the whole part; its block is the queue's to free.
    m_busyBlock = nullptr;
    return false;
  }
  m_inHand = nullptr;
  count(m_counters.processed, done);
  Counter& queued = part->block != nullptr ? m_counters.queuedMemory : m_counters.queuedDisk;
  if (done < intact) {
    uncount(queued, done);
    part->records -= done;
    if (part->block != nullptr) {
      std::size_t at = part->begin;
      for (std::uint64_t i = 0; i < done; ++i) at += recordSpan(headerAt(part->block->data + at).length);
      part->begin = at;
    } else if (done > 0) {
      part->diskBegin = ends[done - 1];
    }
    m_parts.push_front(std::move(part));
    return true;
  }
  uncount(queued, part->records);
  if (part->records > intact) lostUnreadLocked(part->records - intact, readFailure);
  finishPartLocked(*part);
  return true;
}

void MessageQueue::persist() {
  std::unique_lock lock(m_mutex);
  if (m_persisted) return;
  m_persisted = true;
  m_persistedFlag.store(true, std::memory_order_relaxed);
  m_ready.notify_all();

  // The producer has ended: its block is the newest part.
  handOverFillingLocked();
  // A consumer that did not come back leaves the rest of its part, from the
  // record after the one it is busy with.
  std::unique_ptr<Part> abandoned;
  if (m_inHand != nullptr) {
    Part& inHand = *m_inHand;
    auto rest = std::make_unique<Part>();
    rest->number = inHand.number;
    rest->records = m_inHandRecords.load(std::memory_order_acquire);
    rest->block = inHand.block;
    m_busyBlock = inHand.block;
    rest->segment = inHand.segment;
    rest->restored = inHand.restored;
    const std::uint64_t next = m_inHandNext.load(std::memory_order_acquire);
    if (rest->block != nullptr) {
      rest->begin = static_cast<std::size_t>(next);
    } else {
      rest->diskBegin = next;
      rest->diskEnd = inHand.diskEnd;
    }
    m_parts.push_front(std::move(rest));
  }
  endDropEpisodeLocked();
  if (m_writing) ::fsync(m_writing->fd);
  closeWritingLocked();

  std::uint64_t moved = 0;
  std::uint64_t lost = 0;
  std::string failure;
  const Segment* lastResumed = nullptr;
  for (std::size_t i = 0; i < m_parts.size();) {
    Part& part = *m_parts[i];
    if (part.block == nullptr) {
      // Already on disk: reading goes on where this run stopped.
      if (part.segment.get() != lastResumed) {
        lastResumed = part.segment.get();
        std::string problem;
        if (part.diskBegin > 0 && !writeResumeOffset(part.segment->path, part.diskBegin, &problem) &&
            failure.empty()) {
          failure = "the resume offset " + problem + " (" + std::string(m_limits.item) + "s already processed are processed again)";
        }
      }
      ++i;
      continue;
    }
    // A run of parts in memory becomes one segment named by the first.
    std::size_t j = i;
    std::uint64_t records = 0;
    const std::filesystem::path path = segmentPath(m_folder, part.number);
    int fd = m_spoolUsable ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1;
    if (fd < 0 && failure.empty()) {
      failure = m_spoolUsable ? path.string() + ": " + errnoText(errno) : "the spool cannot be used";
    }
    for (; j < m_parts.size() && m_parts[j]->block != nullptr; ++j) {
      Part& memory = *m_parts[j];
      char* data = memory.block->data + memory.begin;
      const std::size_t size = memory.block->used - memory.begin;
      sealRecords(data, size);
      if (fd >= 0 && !writeAll(fd, data, size)) {
        if (failure.empty()) failure = path.string() + ": " + errnoText(errno);
        ::close(fd);
        fd = -1;
        ::unlink(path.c_str());
        lost += records;
        records = 0;
      }
      if (fd >= 0) {
        records += memory.records;
      } else {
        lost += memory.records;
      }
    }
    if (fd >= 0) {
      if (::fsync(fd) != 0 && failure.empty()) failure = path.string() + ": " + errnoText(errno);
      ::close(fd);
      moved += records;
    }
    i = j;
  }
  if (const int folder = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  uncount(m_counters.queuedMemory, moved + lost);
  count(m_counters.queuedDisk, moved);
  count(m_counters.queueDropped, lost);
  if (const std::uint64_t waiting = read(m_counters.queuedDisk); waiting > 0) {
    notify(Notice::kPersisted, false,
           items(waiting) + " still queued at the stop " + (waiting == 1 ? "waits" : "wait") +
               " in the spool, to be processed first at the next start.");
  }
  if (!failure.empty()) {
    notify(Notice::kSpoolFailed, false,
           "The queue could not be written to the spool at the stop: " + failure + ". " +
               items(lost) + (lost == 1 ? " is" : " are") + " lost.");
  }
}

}  // namespace queue
