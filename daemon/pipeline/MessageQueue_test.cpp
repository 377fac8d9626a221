// The queue between the threads, driven from the test's own threads: order,
// the spill to the spool and back, a stop and the next start, drops, damage.
#include "pipeline/MessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service/statistics.h"
#include "temp_root.h"

namespace {

namespace fs = std::filesystem;
using queue::MessageQueue;
using queue::Notice;

std::string textOf(int number) { return "message " + std::to_string(number) + std::string(40, '.'); }

int numberOf(const char* record) { return std::stoi(std::string(queue::textAt(record)).substr(8)); }

class MessageQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { m_counters.resetForTesting(); }

  std::unique_ptr<MessageQueue> makeQueue(MessageQueue::Limits limits = {}) {
    auto made = std::make_unique<MessageQueue>(m_spool, limits, m_counters,
                                               [this](const Notice& notice) { m_notices.push_back(notice); });
    made->open();
    return made;
  }

  // Appends records numbered [from, to) as the receiving thread does; the
  // numbers refused are returned.
  std::vector<int> produce(MessageQueue& queue, int from, int to) {
    std::vector<int> refused;
    queue::RecordHeader header{};
    header.family = 2;
    header.receivedAt = 1765000000;
    for (int number = from; number < to; ++number) {
      const std::string text = textOf(number);
      const std::size_t span = queue::recordSpan(static_cast<std::uint32_t>(text.size()));
      char* room = queue.reserve(span);
      if (room == nullptr) {
        queue.drop(1);
        refused.push_back(number);
        continue;
      }
      queue::writeRecord(room, header, text);
      queue.commit(span);
    }
    queue.publish();
    return refused;
  }

  // Takes records until the queue has none left (input closed) or `limit`
  // were taken.
  std::vector<int> consume(MessageQueue& queue, std::size_t limit = SIZE_MAX) {
    std::vector<int> taken;
    const auto process = [&](const char* record) { taken.push_back(numberOf(record)); };
    const auto stopping = [&] { return taken.size() >= limit; };
    while (queue.processNext(process, stopping)) {
    }
    return taken;
  }

  std::uint64_t spoolFiles() const {
    std::uint64_t files = 0;
    for (const auto& entry : fs::directory_iterator(m_spool)) files += entry.path().extension() == ".spool";
    return files;
  }

  // received + restored = processed + queued + dropped + damaged
  void expectFiguresAddUp() const {
    EXPECT_EQ(read(m_counters.received) + read(m_counters.restored),
              read(m_counters.processed) + read(m_counters.queuedMemory) + read(m_counters.queuedDisk) +
                  read(m_counters.queueDropped) + read(m_counters.spoolDamaged));
  }

  static std::vector<int> range(int from, int to) {
    std::vector<int> numbers;
    for (int i = from; i < to; ++i) numbers.push_back(i);
    return numbers;
  }

  platform::testing::TempPlatformRoot m_root;
  fs::path m_spool = m_root.base() / "spool";
  Statistics m_counters;
  std::vector<Notice> m_notices;
};

TEST_F(MessageQueueTest, BeyondTheMemoryLimitRecordsGoToTheSpoolAndComeBackInArrivalOrder) {
  auto queue = makeQueue({3 * queue::kBlockSize, 1u << 30});
  // About 2.5 MiB of records while nobody takes any: most go to the spool.
  ASSERT_TRUE(produce(*queue, 0, 25000).empty());
  EXPECT_GT(read(m_counters.queuedDisk), 15000u);
  EXPECT_EQ(read(m_counters.received), 25000u);
  EXPECT_GE(spoolFiles(), 1u);
  expectFiguresAddUp();

  // Taking and receiving at once, as the two threads do.
  std::thread more([&] {
    produce(*queue, 25000, 40000);
    queue->closeInput();
  });
  const std::vector<int> taken = consume(*queue);
  more.join();
  EXPECT_EQ(taken, range(0, 40000));
  EXPECT_TRUE(m_notices.empty());
  EXPECT_EQ(read(m_counters.processed), 40000u);
  EXPECT_EQ(read(m_counters.queuedDisk), 0u);
  EXPECT_EQ(read(m_counters.queuedDiskBytes), 0u);
  EXPECT_EQ(spoolFiles(), 0u) << "processed segments are removed";
  expectFiguresAddUp();
}

TEST_F(MessageQueueTest, WhatAStopLeavesIsProcessedFirstAtTheNextStartAndOnlyOnce) {
  {
    auto queue = makeQueue({3 * queue::kBlockSize, 1u << 30});
    produce(*queue, 0, 20000);  // partly in memory, partly spilled
    EXPECT_EQ(consume(*queue, 300), range(0, 300)) << "stopped in the middle of a part in memory";
    produce(*queue, 20000, 20100);
    queue->closeInput();
    queue->persist();
    EXPECT_EQ(read(m_counters.queuedMemory), 0u);
    EXPECT_EQ(read(m_counters.queuedDisk), 19800u);
    expectFiguresAddUp();
  }
  ASSERT_EQ(m_notices.size(), 1u);
  EXPECT_EQ(m_notices[0].kind, Notice::kPersisted);
  EXPECT_EQ(m_notices[0].text,
            "19800 messages still queued at the stop wait in the spool, to be processed first at the next start.");

  // Second run: stopped again, this time in a part read back from the spool.
  m_notices.clear();
  m_counters.resetForTesting();
  {
    auto queue = makeQueue();
    EXPECT_EQ(read(m_counters.restored), 19800u);
    ASSERT_EQ(m_notices.size(), 1u);
    EXPECT_EQ(m_notices[0].text, "19800 messages queued in the spool at the last stop are processed before new ones.");
    produce(*queue, 20100, 20200);
    EXPECT_EQ(consume(*queue, 5000), range(300, 5300));
    queue->closeInput();
    queue->persist();
    expectFiguresAddUp();
  }

  // Third run: everything left, once, in order, the new records last.
  m_counters.resetForTesting();
  auto queue = makeQueue();
  produce(*queue, 20200, 20300);
  queue->closeInput();
  EXPECT_EQ(consume(*queue), range(5300, 20300));
  EXPECT_EQ(spoolFiles(), 0u);
  expectFiguresAddUp();
}

TEST_F(MessageQueueTest, RecordsAreDroppedOnlyWhenMemoryAndSpoolAreFullAndEachEpisodeIsReportedOnce) {
  // A spool of 1 MiB: three blocks in memory, about four on disk.
  auto queue = makeQueue({3 * queue::kBlockSize, 1u << 20});
  const std::vector<int> refused = produce(*queue, 0, 60000);
  ASSERT_FALSE(refused.empty());
  EXPECT_TRUE(m_notices.empty()) << "the episode is reported when it ends";
  EXPECT_EQ(read(m_counters.queueDropped), refused.size());
  const int kept = 60000 - static_cast<int>(refused.size());
  EXPECT_EQ(refused.front(), kept) << "the newest are refused, never the queued";
  EXPECT_TRUE(queue->holdsRecords()) << "the producer's block found no room";

  std::vector<int> taken;
  std::thread consumer([&] { taken = consume(*queue); });
  // As the receiving thread does while it holds records: offer them again.
  while (queue->holdsRecords()) {
    queue->publish();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  produce(*queue, 100000, 100010);  // taken again: the episode is over
  ASSERT_EQ(m_notices.size(), 1u);
  EXPECT_EQ(m_notices[0].kind, Notice::kDropped);
  EXPECT_TRUE(m_notices[0].warning);
  EXPECT_NE(m_notices[0].text.find(std::to_string(refused.size()) + " messages were dropped since "),
            std::string::npos)
      << m_notices[0].text;
  EXPECT_NE(m_notices[0].text.find("the spool holds its limit of 1 MiB"), std::string::npos) << m_notices[0].text;
  queue->closeInput();
  consumer.join();
  std::vector<int> expected = range(0, kept);
  for (int i = 100000; i < 100010; ++i) expected.push_back(i);
  EXPECT_EQ(taken, expected);
  expectFiguresAddUp();
}

// Writes records numbered [from, to) into a spool segment of their own.
void writeSegment(const fs::path& folder, std::uint64_t id, int from, int to) {
  std::string bytes;
  queue::RecordHeader header{};
  header.family = 2;
  for (int number = from; number < to; ++number) {
    const std::string text = textOf(number);
    std::string record(queue::recordSpan(static_cast<std::uint32_t>(text.size())), '\0');
    queue::writeRecord(record.data(), header, text);
    queue::sealRecords(record.data(), record.size());
    bytes += record;
  }
  fs::create_directories(folder);
  std::ofstream(queue::segmentPath(folder, id), std::ios::binary) << bytes;
}

std::size_t spanOf(int number) { return queue::recordSpan(static_cast<std::uint32_t>(textOf(number).size())); }

TEST_F(MessageQueueTest, DamagedRecordsAreSkippedCountedAndReportedAndTheRestIsProcessed) {
  writeSegment(m_spool, 1, 0, 10);
  writeSegment(m_spool, 2, 10, 20);
  writeSegment(m_spool, 3, 20, 30);
  {
    // Segment 1: one byte of record 3's text changed; record 6's length
    // made absurd; the last record cut short.
    std::fstream file(queue::segmentPath(m_spool, 1), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(3 * spanOf(0) + queue::kHeaderSize + 2));
    file.put('X');
    file.seekp(static_cast<std::streamoff>(6 * spanOf(0) + 8));
    file.write("\xff\xff\xff\x7f", 4);
  }
  fs::resize_file(queue::segmentPath(m_spool, 1), 10 * spanOf(0) - 5);
  // Segment 2: garbage before its first record and over records 14 and 15.
  {
    std::fstream file(queue::segmentPath(m_spool, 2), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(4 * spanOf(0)));
    file << std::string(2 * spanOf(0), 'g');
  }
  // Segment 3 is left whole; a file that is no segment is left alone.
  std::ofstream(m_spool / "notes.txt") << "kept";

  auto queue = makeQueue();
  queue->closeInput();
  std::vector<int> expected;
  for (int i = 0; i < 30; ++i) {
    if (i != 3 && i != 6 && i != 9 && i != 14 && i != 15) expected.push_back(i);
  }
  EXPECT_EQ(consume(*queue), expected);
  EXPECT_EQ(read(m_counters.spoolDamaged), 4u) << "one per damaged region";
  ASSERT_EQ(m_notices.size(), 2u);
  EXPECT_EQ(m_notices[0].text, "25 messages queued in the spool at the last stop are processed before new ones.");
  EXPECT_EQ(m_notices[1].kind, Notice::kDamaged);
  EXPECT_TRUE(m_notices[1].warning);
  EXPECT_EQ(m_notices[1].text, "4 damaged records were found in the spool (" + m_spool.string() +
                                   ") and skipped; the messages they held are lost.");
  EXPECT_TRUE(fs::exists(m_spool / "notes.txt"));
  EXPECT_EQ(spoolFiles(), 0u);
  expectFiguresAddUp();
}

TEST_F(MessageQueueTest, AConsumerStuckInAnActionLeavesTheRestOfItsPartToTheSpool) {
  auto queue = makeQueue();
  produce(*queue, 0, 100);
  std::mutex mutex;
  std::condition_variable changed;
  bool stuck = false;
  bool released = false;
  std::vector<int> taken;
  std::thread consumer([&] {
    const auto process = [&](const char* record) {
      taken.push_back(numberOf(record));
      if (taken.size() == 10) {
        std::unique_lock lock(mutex);
        stuck = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
      }
    };
    while (queue->processNext(process, [] { return false; })) {
    }
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return stuck; });
  }
  queue->closeInput();
  queue->persist();  // the message in hand (9) is the consumer's; 10..99 go to the spool
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  consumer.join();
  EXPECT_EQ(taken, range(0, 10)) << "nothing after the persist";

  m_counters.resetForTesting();
  auto next = makeQueue();
  next->closeInput();
  EXPECT_EQ(consume(*next), range(10, 100));
}

TEST_F(MessageQueueTest, AFailureLetOutOfProcessingKeepsTheRestQueuedForTheSpool) {
  auto queue = makeQueue();
  produce(*queue, 0, 100);
  std::vector<int> taken;
  const auto process = [&](const char* record) {
    taken.push_back(numberOf(record));
    if (taken.back() == 10) throw std::runtime_error("a fault outside the per-message guard");
  };
  EXPECT_THROW(queue->processNext(process, [] { return false; }), std::runtime_error);
  EXPECT_EQ(taken, range(0, 11));
  queue->closeInput();
  queue->persist();
  expectFiguresAddUp();

  m_counters.resetForTesting();
  auto next = makeQueue();
  next->closeInput();
  EXPECT_EQ(consume(*next), range(11, 100)) << "the failed message is not tried again";
}

TEST_F(MessageQueueTest, ASpoolThatCannotBeMadeIsReportedAndTheQueueRunsInMemory) {
  std::ofstream(m_spool) << "a file where the folder should be";
  auto queue = makeQueue({3 * queue::kBlockSize, 1u << 30});
  ASSERT_EQ(m_notices.size(), 1u);
  EXPECT_EQ(m_notices[0].kind, Notice::kSpoolFailed);
  EXPECT_EQ(m_notices[0].text.rfind("The spool cannot be used (the folder " + m_spool.string() + " cannot be made", 0),
            0u)
      << m_notices[0].text;
  const std::vector<int> refused = produce(*queue, 0, 30000);
  EXPECT_FALSE(refused.empty()) << "memory alone holds less";
  queue->closeInput();
  const std::vector<int> taken = consume(*queue);
  EXPECT_EQ(taken, range(0, refused.front()));
  expectFiguresAddUp();
}

}  // namespace
