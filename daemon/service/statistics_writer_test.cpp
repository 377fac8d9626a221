#include "service/statistics_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "daemon_test_support.h"
#include "platform/eventlog.h"
#include "service/event_ids.h"
#include "service/service_events.h"
#include "temp_root.h"

namespace {

using namespace std::chrono_literals;
using daemon_testing::eventually;

class StatisticsWriterTest : public ::testing::Test {
 protected:
  std::filesystem::path folder() const { return m_root.base() / "state"; }
  std::filesystem::path file() const { return folder() / "stats"; }

  std::string contents() const {
    std::ifstream in(file(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static std::vector<platform::EventRecord> events() {
    std::vector<platform::EventRecord> records;
    EXPECT_EQ(platform::readEvents(0, kServiceName, records), ERROR_SUCCESS);
    return records;
  }

  platform::testing::TempPlatformRoot m_root;
  Statistics m_counters;
};

TEST_F(StatisticsWriterTest, ReadersOnlyEverSeeWholeFiles) {
  std::filesystem::create_directories(folder());
  // A long name makes a file that a reader could catch half-written.
  OutputCounters& output = m_counters.output("database " + std::string(20000, 'x'));
  StatisticsWriter writer(m_counters, 1ms);
  writer.start(file());
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(file()); }));

  std::atomic<bool> counting = true;
  std::thread counter([&] {
    while (counting) count(m_counters.received), count(output.done);
  });
  int reads = 0, differentTexts = 0;
  std::string previous;
  for (const auto end = std::chrono::steady_clock::now() + 500ms; std::chrono::steady_clock::now() < end;) {
    const std::string text = contents();
    ++reads;
    ASSERT_EQ(text.rfind("pid=", 0), 0u) << "read " << reads;
    ASSERT_NE(text.find("\noutput.1.missed=0\n"), std::string::npos) << "read " << reads;
    ASSERT_EQ(text.back(), '\n');
    differentTexts += text != previous;
    previous = text;
  }
  counting = false;
  counter.join();
  writer.stop();
  EXPECT_GT(differentTexts, 10) << "the file was not replaced as the counters changed";

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder()))
    names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"stats"}) << "no temporary file is left behind";
}

TEST_F(StatisticsWriterTest, StopWritesTheFinalFiguresWithoutWaitingForTheInterval) {
  std::filesystem::create_directories(folder());
  m_counters.started = 1700000000;
  StatisticsWriter writer(m_counters, 1h);
  writer.start(file());
  ASSERT_TRUE(eventually([&] { return contents().find("\nreceived=0\n") != std::string::npos; }))
      << "the first write comes at start";

  count(m_counters.received, 7);
  count(m_counters.processed, 7);
  const auto before = std::chrono::steady_clock::now();
  writer.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);

  const std::string text = contents();
  EXPECT_EQ(text.rfind("pid=" + std::to_string(::getpid()) + "\n", 0), 0u) << text;
  EXPECT_NE(text.find("\nstarted=1700000000\nreceived=7\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nprocessed=7\n"), std::string::npos) << text;
}

TEST_F(StatisticsWriterTest, AFailingWriteIsReportedOncePerRunOfFailuresAndRetried) {
  StatisticsWriter writer(m_counters, 5ms);
  writer.start(file());  // its folder does not exist yet
  ASSERT_TRUE(eventually([&] { return !events().empty(); }));
  std::this_thread::sleep_for(100ms);  // some twenty more failed writes
  std::vector<platform::EventRecord> records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(records[0].eventId, DWORD(kEventPlainText));
  EXPECT_EQ(records[0].strings.at(0), "The statistics file " + file().string() +
                                          " cannot be written: No such file or directory. The service goes "
                                          "on and tries again.");

  std::filesystem::create_directories(folder());
  EXPECT_TRUE(eventually([&] { return std::filesystem::exists(file()); }))
      << "written once the folder is back";
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(events().size(), 1u);

  std::filesystem::rename(folder(), m_root.base() / "gone");  // in one step: the writer may be writing in it
  EXPECT_TRUE(eventually([&] { return events().size() == 2; })) << "a new run of failures is reported again";
  writer.stop();
  EXPECT_EQ(events().size(), 2u);
}

}  // namespace
