// The queue with the real daemon under the service manager: a burst larger
// than the queue's memory, a stop and a start in the middle of one, a spool
// with a damaged record, and the figures corvctl stats shows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "pipeline/queue_record.h"
#include "pipeline/spool.h"
#include "platform/eventlog.h"
#include "platform/paths.h"
#include "platform/service.h"
#include "service_fixture.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class QueueEndToEndTest : public ServiceFixture {
 protected:
  // Installed with a queue of 1 MiB in memory, and a rule that files every
  // message and writes it to the event log too, which makes processing slow
  // enough for a burst to fill the queue.
  void installSlowFiling() {
    install();
    setDword(kParameters, "nQueueMemoryLimit", 1);
    // The burst comes at the sender's top speed: on a busy machine the socket
    // must hold what arrives while the receiving thread waits for a processor.
    setDword(kParameters, "nReceiveBufferSize", 64u << 20);
    setDword(kRules, "R1ActionCount", 2);
    setDword(kRules, "R1A2Type", 1007);
  }

  void sendBurst(int from, int to) {
    const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(m_port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = from; i < to; ++i) {
      const std::string text = "<13>burst number " + std::to_string(i) + " " + std::string(120, 'x');
      ::sendto(sock, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    }
    ::close(sock);
  }

  // The numbers of the filed burst lines, in file order.
  std::vector<int> filedNumbers() const {
    std::vector<int> numbers;
    for (const std::string& line : lines()) {
      const std::size_t at = line.find("burst number ");
      if (at != std::string::npos) numbers.push_back(std::stoi(line.substr(at + 13)));
    }
    return numbers;
  }

  std::map<std::string, std::string> stats() const {
    std::map<std::string, std::string> values;
    std::ifstream file(platform::serviceStateFolder(kService) / "stats");
    std::string line;
    while (std::getline(file, line)) {
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
  }

  static std::uint64_t figure(const std::map<std::string, std::string>& values, const char* key) {
    const auto found = values.find(key);
    return found == values.end() ? 0 : std::stoull(found->second);
  }

  std::vector<platform::EventRecord> events(DWORD id) const {
    std::vector<platform::EventRecord> all;
    platform::readEvents(0, std::string(kService), all);
    std::vector<platform::EventRecord> wanted;
    for (const auto& event : all) {
      if (event.eventId == id) wanted.push_back(event);
    }
    return wanted;
  }

  static std::vector<int> range(int from, int to) {
    std::vector<int> numbers;
    for (int i = from; i < to; ++i) numbers.push_back(i);
    return numbers;
  }
};

TEST_F(QueueEndToEndTest, ABurstLargerThanTheMemoryQueueArrivesWholeInOrderAndTheFiguresAddUp) {
  installSlowFiling();
  start();
  constexpr int kBurst = 20000;  // about 4 MiB of records
  sendBurst(0, kBurst);
  std::uint64_t mostOnDisk = 0;
  ASSERT_TRUE(eventually(
      [&] {
        mostOnDisk = std::max(mostOnDisk, figure(stats(), "queued_disk"));
        return filedNumbers().size() >= kBurst;
      },
      120s))
      << filedNumbers().size() << " filed; dropped by the kernel " << figure(stats(), "kernel_dropped");
  EXPECT_EQ(filedNumbers(), range(0, kBurst));
  EXPECT_GT(mostOnDisk, 0u) << "the burst went through the spool";

  // The figures once the next write shows the queue empty.
  std::map<std::string, std::string> values;
  ASSERT_TRUE(eventually(
      [&] {
        values = stats();
        return figure(values, "processed") == kBurst;
      },
      5s));
  EXPECT_EQ(figure(values, "received"), static_cast<std::uint64_t>(kBurst));
  EXPECT_EQ(figure(values, "queued_memory") + figure(values, "queued_disk") + figure(values, "queue_dropped") +
                figure(values, "spool_damaged"),
            0u);
  EXPECT_EQ(values["output.1.name"], "file");
  EXPECT_EQ(figure(values, "output.1.done"), static_cast<std::uint64_t>(kBurst));

  const Outcome shown = corvctl("stats --json");
  EXPECT_EQ(shown.status, 0) << shown.output;
  EXPECT_NE(shown.output.find("\"processed\":" + std::to_string(kBurst)), std::string::npos) << shown.output;
  EXPECT_LT(stop(), 3000ms);
  EXPECT_TRUE(fs::is_empty(platform::machineRoot() / "spool" / "queue")) << "nothing left to replay";
}

TEST_F(QueueEndToEndTest, AStopAndAStartInTheMiddleOfABurstLoseNothingAndFileNothingTwice) {
  installSlowFiling();
  start();
  constexpr int kBurst = 20000;
  sendBurst(0, kBurst);
  ASSERT_TRUE(eventually([&] { return filedNumbers().size() >= 1000; }, 60s));
  EXPECT_LT(stop(), 3000ms);
  const std::size_t beforeRestart = filedNumbers().size();
  ASSERT_LT(beforeRestart, static_cast<std::size_t>(kBurst)) << "the stop came too late to test anything";
  const auto persisted = events(155);
  ASSERT_EQ(persisted.size(), 1u);
  EXPECT_NE(platform::formatEvent(persisted[0]).find(std::to_string(kBurst - beforeRestart) + " messages still"),
            std::string::npos)
      << platform::formatEvent(persisted[0]);

  start();
  sendBurst(kBurst, kBurst + 10);  // new ones come after the spool's
  ASSERT_TRUE(eventually([&] { return filedNumbers().size() >= kBurst + 10; }, 120s))
      << filedNumbers().size() << " filed; dropped by the kernel " << figure(stats(), "kernel_dropped");
  EXPECT_EQ(filedNumbers(), range(0, kBurst + 10));
  ASSERT_EQ(events(153).size(), 1u);
  EXPECT_NE(platform::formatEvent(events(153)[0]).find(std::to_string(kBurst - beforeRestart) + " messages"),
            std::string::npos);
}

TEST_F(QueueEndToEndTest, ADamagedRecordInTheSpoolIsSkippedAtTheNextStartAndReported) {
  install();
  // What a stop left: three messages, the second damaged on disk since.
  const fs::path folder = platform::machineRoot() / "spool" / "queue";
  fs::create_directories(folder);
  std::string bytes;
  for (const char* text : {"<13>burst number 1 spooled", "<13>burst number 2 damaged", "<13>burst number 3 spooled"}) {
    queue::RecordHeader header{};
    header.family = AF_INET;
    header.receivedAt = 1765000000;
    const in_addr sender{htonl(0x0a000005)};  // 10.0.0.5
    std::memcpy(header.address, &sender, 4);
    std::string record(queue::recordSpan(static_cast<std::uint32_t>(std::strlen(text))), '\0');
    queue::writeRecord(record.data(), header, text);
    queue::sealRecords(record.data(), record.size());
    bytes += record;
  }
  bytes[bytes.size() * 4 / 9] ^= 0x20;  // inside the second record's text
  std::ofstream(queue::segmentPath(folder, 7), std::ios::binary) << bytes;

  start();
  ASSERT_TRUE(eventually([&] { return filedNumbers().size() >= 2; }, 10s));
  EXPECT_EQ(filedNumbers(), (std::vector<int>{1, 3}));
  EXPECT_EQ(lines()[0].rfind("10.0.0.5,", 0), 0u) << "the sender as it was received: " << lines()[0];
  const auto damaged = events(154);
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_EQ(damaged[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_NE(platform::formatEvent(damaged[0]).find("1 damaged record was found in the spool"), std::string::npos)
      << platform::formatEvent(damaged[0]);
  ASSERT_TRUE(eventually([&] { return figure(stats(), "processed") == 2; }, 5s));
  EXPECT_EQ(figure(stats(), "spool_damaged"), 1u);
  EXPECT_EQ(figure(stats(), "restored"), 3u);
  EXPECT_FALSE(fs::exists(queue::segmentPath(folder, 7)));
}

TEST_F(QueueEndToEndTest, DatagramsTheKernelDroppedAreCountedBesideThoseReceived) {
  install();
  setDword(kParameters, "nReceiveBufferSize", 64u << 10);
  start();
  // Frozen, the service leaves the datagrams to its small socket buffer.
  const pid_t pid = servicePid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  sendBurst(0, 5000);
  ASSERT_EQ(::kill(pid, SIGCONT), 0);
  std::map<std::string, std::string> values;
  ASSERT_TRUE(eventually(
      [&] {
        values = stats();
        return figure(values, "received") + figure(values, "kernel_dropped") == 5000 &&
               figure(values, "processed") == figure(values, "received");
      },
      20s))
      << figure(values, "received") << " received, " << figure(values, "kernel_dropped") << " dropped";
  EXPECT_GT(figure(values, "kernel_dropped"), 0u);
  EXPECT_EQ(filedNumbers().size(), figure(values, "received"));
  const Outcome shown = corvctl("stats");
  EXPECT_NE(shown.output.find(std::to_string(figure(values, "kernel_dropped"))), std::string::npos) << shown.output;
}

}  // namespace
