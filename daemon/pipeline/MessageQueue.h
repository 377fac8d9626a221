// MessageQueue: the bounded queue between the receiving thread (one producer)
// and the processing thread (one consumer), in arrival order.
//
// The producer writes records (queue_record.h) into a block of its own and
// hands the block over (publish) when it is full, when the consumer waits
// for work, and before the producer itself waits for the network. Blocks in
// memory are bounded by the memory limit; beyond it the producer writes each
// full block to the spool (spool.h) instead, so that the queue goes on
// growing on disk, up to the spool limit. Only when both are full are records
// refused: the producer counts them as dropped, and one event per episode
// (from the first refusal to the next record taken) says how many.
//
// The queue is a list of parts, each a run of records in memory or a range of
// a spool segment, numbered in arrival order. At a stop the parts still in
// memory go to the spool as well (persist), so the next start (open) finds
// every record that was not processed, and processes the spool first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipeline/queue_record.h"
#include "pipeline/spool.h"

class Statistics;

namespace queue {

inline constexpr std::size_t kBlockSize = 256 * 1024;
inline constexpr std::size_t kDefaultMemoryLimit = std::size_t{32} << 20;
inline constexpr std::uint64_t kDefaultSpoolLimit = std::uint64_t{1} << 30;
// The spool never takes the last of its file system's free space.
inline constexpr std::uint64_t kSpoolFreeReserve = std::uint64_t{128} << 20;
// The longest a consumer waits for work before it gets back to its caller.
inline constexpr std::chrono::seconds kIdleWake{60};

// Something the queue has to tell the administrator: the event's type and
// text (the queue itself logs nothing, so that tests can watch).
struct Notice {
  enum Kind { kDropped, kSpoolFailed, kRestored, kDamaged, kPersisted } kind;
  bool warning;
  std::string text;
};
using NoticeSink = std::function<void(const Notice&)>;

class MessageQueue {
 public:
  struct Limits {
    std::size_t memory = kDefaultMemoryLimit;
    std::uint64_t spool = kDefaultSpoolLimit;
    const char* item = "message";  // what a record is, in the notices ("row": plural "rows")
  };
  MessageQueue(std::filesystem::path spoolFolder, Limits limits, Statistics& counters, NoticeSink notices);
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Reads the spool's segments, before the threads start: they become the
  // first parts of the queue. A spool that cannot be read is reported and the
  // queue runs in memory and with what it can write.
  void open();

  // ---- Producer (the receiving thread) ----
  // Room for a record of `span` bytes (<= kMaxRecordSpan) at the end of the
  // producer's block, or null when memory and spool are full: the record is
  // dropped (count it with drop()).
  char* reserve(std::size_t span);
  // The record written into the room of the last reserve.
  void commit(std::size_t span);
  void drop(std::uint64_t records);
  // Hands the producer's block to the consumer when it holds records.
  void publish();
  // The consumer waits for work: the producer should publish now.
  bool consumerWaiting() const { return m_consumerWaiting.load(std::memory_order_relaxed); }
  // Records that found no room yet are in the producer's hands: publish again
  // soon, without waiting for the network.
  bool holdsRecords() const;
  // No more records will come (the producer has ended).
  void closeInput();

  // ---- Second producer (the connections' thread) ----
  // Appends `records` whole records, [data, data + bytes) with bytes <=
  // kBlockSize, as the newest part, when memory has room for them; false
  // leaves them with the caller, who reads no more from its connections until
  // they are taken (its senders wait, none is dropped). `evenBeyondLimit`
  // takes them whatever the memory holds (what a stop takes from the
  // connections). Never writes to the spool; false after persist.
  bool append(const char* data, std::size_t bytes, std::uint64_t records, bool evenBeyondLimit = false);

  // ---- Consumer (the processing thread) ----
  // Calls `process` with each record of the next part in order, waiting for a
  // part while none is there (at most `wait`: then it returns true having
  // processed nothing), until `stopping()` is true before a record (the
  // records left stay queued) or the part is done. Returns false once
  // stopping() holds or the input is closed and nothing is left.
  // `process` is not called for records the stop left.
  bool processNext(const std::function<void(const char* record)>& process,
                   const std::function<bool()>& stopping, std::chrono::milliseconds wait = kIdleWake);
  // The same in whole parts, for a consumer that finishes records in groups
  // (a database transaction): calls `handle` with the intact records of the
  // next part, one after another in [data, data + bytes), waiting at most
  // `wait` for a part (then it returns true having done nothing). `handle`
  // returns how many of the leading records it is done with; the others stay
  // first in the queue for the next call. A persist while `handle` runs
  // writes the whole part to the spool (what `handle` does then may be done
  // again at the next start). Returns false once stopping() holds, or the
  // input is closed and nothing is left.
  using PartHandler = std::function<std::uint64_t(const char* data, std::size_t bytes, std::uint64_t records)>;
  bool consumePart(const PartHandler& handle, const std::function<bool()>& stopping,
                   std::chrono::milliseconds wait = kIdleWake);
  // Ends a wait of processNext or consumePart (after a stop request).
  void wake();
  // True when every queued record has been processed.
  bool isEmpty() const;

  // ---- Stop ----
  // Writes every part still in memory to the spool and the resume offsets of
  // the parts already there, then fsyncs. After it the consumer touches
  // nothing any more: a consumer that is still busy with a record (abandoned
  // in an action) leaves the rest of its part to the spool.
  void persist();

 private:
  struct Block;
  struct Segment;
  struct Part;

  Block* newBlock();
  void freeBlock(Block* block);
  // Under the lock: writes `block`'s records to the spool as part `number`;
  // false when the spool is full or cannot be written.
  bool spillLocked(std::uint64_t number, Block& block, std::uint64_t records);
  bool spoolHasRoomLocked(std::size_t bytes);
  void closeWritingLocked();
  // The producer's block, whatever it holds and whatever the limit, becomes
  // the newest part: the producer has ended and will not fill it any more.
  void handOverFillingLocked();
  void endDropEpisodeLocked();
  void finishPartLocked(Part& part);
  // `records` of a part on disk were not read: damaged, or the file failed
  // (`readFailure` says how; empty for damage).
  void lostUnreadLocked(std::uint64_t records, const std::string& readFailure);
  // Waits (at most `wait`) for the next part and takes it in hand; null with
  // `more` false once stopping() holds or nothing more will come, null with
  // `more` true after a quiet wait.
  std::unique_ptr<Part> takePart(const std::function<bool()>& stopping, std::chrono::milliseconds wait,
                                 bool& more);
  void notify(Notice::Kind kind, bool warning, std::string text);
  // "1 message", "2 messages" (with the limits' item).
  std::string items(std::uint64_t count) const;

  const std::filesystem::path m_folder;
  const Limits m_limits;
  Statistics& m_counters;
  NoticeSink m_notices;

  mutable std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<std::unique_ptr<Part>> m_parts;
  std::vector<Block*> m_freeBlocks;
  std::size_t m_blocksInUse = 0;  // blocks out of the free list, the producer's included
  std::uint64_t m_nextNumber = 1;
  std::uint64_t m_spoolBytes = 0;
  std::shared_ptr<Segment> m_writing;  // the segment the producer appends to
  bool m_inputClosed = false;
  bool m_persisted = false;
  std::atomic<bool> m_persistedFlag{false};  // m_persisted, for the consumer between records
  bool m_spoolUsable = true;
  std::atomic<bool> m_consumerWaiting{false};
  bool m_woken = false;

  // The producer's block; only the producer touches it between publishes.
  Block* m_filling = nullptr;
  std::uint64_t m_fillingRecords = 0;

  // Drop episode.
  std::uint64_t m_dropped = 0;
  std::string m_dropReason;
  long long m_dropSince = 0;

  // The consumer's part in hand (for persist when the consumer is abandoned).
  Part* m_inHand = nullptr;
  Block* m_busyBlock = nullptr;  // the block of a consumer still busy at persist
  std::atomic<std::uint64_t> m_inHandNext{0};    // offset of its next record
  std::atomic<std::uint64_t> m_inHandRecords{0};  // records not started
  SegmentReader m_reader;
};

}  // namespace queue
