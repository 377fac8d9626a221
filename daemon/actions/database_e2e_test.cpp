// The database action inside the real corvantd, run by the service manager in
// a private platform root, writing through PostgreSQL's ODBC driver into a
// real PostgreSQL server that the tests start, stop and start again: a burst,
// an outage in the middle of a steady flow, a row the table refuses among its
// neighbours, and rows that wait in the spool over a restart of the service.
// Each message carries a sequence number; its rows must come out once each,
// in the order of the table's ID column.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventlog.h"
#include "platform/paths.h"
#include "postgres_server.h"
#include "service_fixture.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr char kDsn[] = "CorvantelPg";

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class DatabaseE2eTest : public ServiceFixture {
 protected:
  // One server for the suite (initdb takes a while); each test empties it.
  static void SetUpTestSuite() {
    s_server = new testing_support::PostgresServer();
    s_server->query(slurp(fs::path(CORVANTEL_SOURCE_DIR) / "packaging/sql/postgresql.sql"));
  }
  static void TearDownTestSuite() {
    delete s_server;
    s_server = nullptr;
  }

  void SetUp() override {
    ServiceFixture::SetUp();
    if (!s_server->running()) s_server->start();
    s_server->query("truncate Syslog restart identity");
    m_sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(m_sender, 0);

    // The driver manager's files for the service, in the test's folder.
    m_odbc = m_root.base() / "odbc";
    fs::create_directories(m_odbc);
    std::ofstream(m_odbc / "odbcinst.ini")
        << "[PostgreSQL Unicode]\nDriver = /usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so\n";
    std::ofstream(m_odbc / "odbc.ini")
        << "[" << kDsn << "]\nDriver = PostgreSQL Unicode\nServername = 127.0.0.1\n"
        << "Port = " << s_server->port() << "\nDatabase = " << testing_support::PostgresServer::kDatabase
        << "\n";
    std::ofstream(m_odbc / "user.ini").flush();

    // One rule: every message to the database, with the settings' defaults.
    install();
    setString(kParameters, "szODBCDsn", kDsn);
    setString(kParameters, "szODBCUid", testing_support::PostgresServer::kUser);
    // Bursts come at the sender's speed: the socket holds what arrives while
    // the receiving thread waits for a processor.
    setDword(kParameters, "nReceiveBufferSize", 64u << 20);
    setDword(kRules, "R1A1Type", 1000);
  }
  void TearDown() override {
    ServiceFixture::TearDown();
    ::close(m_sender);
  }

  // Starts the service with the driver manager's files; only the service
  // reads them, so the variables go back to what this program's other tests
  // set.
  void startService() {
    const auto swap = [](const char* name, const std::string& value) {
      const char* old = std::getenv(name);
      std::string previous = old != nullptr ? old : "";
      value.empty() ? ::unsetenv(name) : ::setenv(name, value.c_str(), 1);
      return previous;
    };
    const std::string system = swap("ODBCSYSINI", m_odbc.string());
    const std::string user = swap("ODBCINI", (m_odbc / "user.ini").string());
    start();
    swap("ODBCSYSINI", system);
    swap("ODBCINI", user);
  }

  // The message of sequence number `n`; its Message column holds "app: seq <n>".
  void send(int n, const std::string& tail = "") {
    char text[64];
    std::snprintf(text, sizeof text, "<13>app: seq %06d", n);
    const std::string datagram = text + tail;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(m_sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
             sizeof address);
  }
  // [from, to) at the sender's speed, a short pause every 50 datagrams.
  void sendBurst(int from, int to) {
    for (int n = from; n < to; ++n) {
      send(n);
      if (n % 50 == 49) std::this_thread::sleep_for(1ms);
    }
  }

  static std::vector<int> range(int from, int to) {
    std::vector<int> numbers;
    for (int n = from; n < to; ++n) numbers.push_back(n);
    return numbers;
  }

  // The sequence numbers of the table's rows in the order of its ID column.
  static std::vector<int> sequence(const std::string& table = "Syslog") {
    std::vector<int> numbers;
    std::istringstream rows(s_server->query("select Message from " + table + " order by ID"));
    for (std::string row; std::getline(rows, row);) {
      const std::size_t at = row.find("seq ");
      numbers.push_back(at == std::string::npos ? -1 : std::stoi(row.substr(at + 4)));
    }
    return numbers;
  }
  static int rowCount(const std::string& table = "Syslog") {
    return std::stoi(s_server->query("select count(*) from " + table));
  }
  // Waits until the table holds `rows` rows (and a moment more, for rows
  // that should not come).
  bool waitForRows(int rows, std::chrono::milliseconds limit, const std::string& table = "Syslog") {
    const bool reached = eventually([&] { return rowCount(table) >= rows; }, limit);
    std::this_thread::sleep_for(300ms);
    return reached;
  }

  // The service's figures (the file corvctl stats reads; written each second).
  std::map<std::string, std::string> stats() const {
    std::map<std::string, std::string> values;
    std::ifstream file(platform::serviceStateFolder(kService) / "stats");
    for (std::string line; std::getline(file, line);) {
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
  }
  static std::uint64_t figure(const std::map<std::string, std::string>& values, const std::string& key) {
    const auto found = values.find(key);
    return found == values.end() ? 0 : std::stoull(found->second);
  }
  // A figure of the data source's output ("rows_inserted", ...).
  static std::uint64_t database(const std::map<std::string, std::string>& values, const std::string& key) {
    for (const auto& [name, value] : values) {
      if (name.ends_with(".name") && value == std::string("database ") + kDsn) {
        return figure(values, name.substr(0, name.size() - 4) + key);
      }
    }
    return 0;
  }
  static std::uint64_t waiting(const std::map<std::string, std::string>& values) {
    return database(values, "rows_waiting_memory") + database(values, "rows_waiting_disk");
  }
  // The figures once they show every message processed and no row waiting.
  std::map<std::string, std::string> settledStats(std::uint64_t received) {
    std::map<std::string, std::string> values;
    EXPECT_TRUE(eventually(
        [&] {
          values = stats();
          return figure(values, "processed") == received && waiting(values) == 0 &&
                 database(values, "rows_inserted") + database(values, "rows_rejected") > 0;
        },
        5s));
    return values;
  }

  static std::vector<platform::EventRecord> events(DWORD id) {
    std::vector<platform::EventRecord> records, found;
    platform::readEvents(0, std::string(kService), records);
    for (const auto& record : records) {
      if (record.eventId == id) found.push_back(record);
    }
    return found;
  }

  static testing_support::PostgresServer* s_server;
  fs::path m_odbc;
  int m_sender = -1;
};

testing_support::PostgresServer* DatabaseE2eTest::s_server = nullptr;

TEST_F(DatabaseE2eTest, ABurstArrivesWholeAndInOrderInBatches) {
  startService();
  constexpr int kBurst = 10000;
  const auto begin = SteadyClock::now();
  sendBurst(0, kBurst);
  ASSERT_TRUE(waitForRows(kBurst, 60s))
      << rowCount() << " rows; dropped by the kernel " << figure(stats(), "kernel_dropped");
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - begin);
  EXPECT_EQ(sequence(), range(0, kBurst));

  const auto values = settledStats(kBurst);
  EXPECT_EQ(figure(values, "kernel_dropped"), 0u);
  EXPECT_EQ(database(values, "rows_inserted"), static_cast<std::uint64_t>(kBurst));
  // Rows share transactions (how many depends on how far the database's
  // thread is behind: the rows handed over while it inserts go together).
  EXPECT_LT(database(values, "batches"), static_cast<std::uint64_t>(kBurst));
  EXPECT_EQ(
      database(values, "rows_retried") + database(values, "rows_rejected") + database(values, "rows_dropped"),
      0u);
  EXPECT_TRUE(events(180).empty());
  EXPECT_TRUE(events(115).empty());
  const Outcome shown = corvctl("stats");
  EXPECT_EQ(shown.status, 0) << shown.output;
  EXPECT_NE(shown.output.find("rows_inserted"), std::string::npos) << shown.output;
  std::printf("[ figures  ] %d rows in %lld ms, %llu batches\n", kBurst, static_cast<long long>(took.count()),
              static_cast<unsigned long long>(database(values, "batches")));
}

// A steady 500 messages/s for 10 s, the server down from 2 s to 7 s: the
// first failure and the tries after 1, 2 and 4 s fall into the outage, the
// one after 8 s more finds the server again while messages still come.
TEST_F(DatabaseE2eTest, AnOutageInTheMiddleOfAFlowLosesNoRowAndRepeatsNone) {
  startService();
  constexpr int kRate = 500;
  constexpr int kMessages = 10 * kRate;
  const auto begin = SteadyClock::now();
  for (int n = 0; n < kMessages; ++n) {
    if (n == 2 * kRate) s_server->stop();
    if (n == 7 * kRate) s_server->start();
    std::this_thread::sleep_until(begin + std::chrono::microseconds(1000000LL * n / kRate));
    send(n);
  }
  ASSERT_TRUE(waitForRows(kMessages, 30s)) << rowCount() << " rows";
  EXPECT_EQ(sequence(), range(0, kMessages));

  const auto unreachable = events(180);
  ASSERT_EQ(unreachable.size(), 1u);
  EXPECT_EQ(unreachable[0].type, EVENTLOG_ERROR_TYPE);
  const std::string shown = platform::formatEvent(unreachable[0]);
  EXPECT_EQ(shown.rfind(std::string("The database ") + kDsn + " cannot be reached.", 0), 0u) << shown;
  ASSERT_TRUE(eventually([] { return events(181).size() == 1; }, 5s));
  const auto recovered = events(181);
  EXPECT_EQ(recovered[0].type, EVENTLOG_INFORMATION_TYPE);
  ASSERT_EQ(recovered[0].strings.size(), 3u);
  EXPECT_GE(std::stoi(recovered[0].strings[1]), 4) << "seconds the database was away";
  EXPECT_GT(std::stoi(recovered[0].strings[2]), 0) << "rows that waited";
  EXPECT_TRUE(events(115).empty());

  const auto values = settledStats(kMessages);
  EXPECT_EQ(figure(values, "received"), static_cast<std::uint64_t>(kMessages));
  EXPECT_EQ(figure(values, "kernel_dropped"), 0u);
  EXPECT_EQ(database(values, "rows_inserted"), static_cast<std::uint64_t>(kMessages));
  EXPECT_EQ(database(values, "rows_rejected") + database(values, "rows_dropped"), 0u);
  EXPECT_EQ(database(values, "suspended"), 1u);
}

TEST_F(DatabaseE2eTest, ARowTooLongForItsColumnIsTheOnlyOneLost) {
  s_server->query(
      "create table if not exists ShortMessages (ID bigserial primary key, ReceivedAt timestamp(3) not null, "
      "Facility integer not null, Priority integer not null, FromHost text not null, Message varchar(20) not "
      "null);"
      "truncate ShortMessages restart identity");
  setString(kParameters, "szTableName", "ShortMessages");
  startService();
  constexpr int kRows = 200, kLong = 100;
  send(0);
  ASSERT_TRUE(waitForRows(1, 10s, "ShortMessages"));
  // Another session holds the table for a moment: the output's insert waits
  // (a slow database is no unreachable one), and the rows that come meanwhile
  // go in one batch, the long row among them.
  std::thread holder([] {
    s_server->query("begin; lock table ShortMessages in exclusive mode; select pg_sleep(1.5); commit");
  });
  const bool held = eventually([] {
    return s_server->query(
               "select count(*) from pg_locks where relation = 'shortmessages'::regclass and "
               "mode = 'ExclusiveLock' and granted") == "1\n";
  });
  for (int n = 1; n < kRows; ++n) send(n, n == kLong ? " and then far too long for its column" : "");
  holder.join();
  ASSERT_TRUE(held);
  ASSERT_TRUE(waitForRows(kRows - 1, 20s, "ShortMessages")) << rowCount("ShortMessages") << " rows";
  std::vector<int> expected = range(0, kRows);
  expected.erase(expected.begin() + kLong);
  EXPECT_EQ(sequence("ShortMessages"), expected);

  const auto refused = events(115);
  ASSERT_EQ(refused.size(), 1u);
  const std::string shown = platform::formatEvent(refused[0]);
  EXPECT_NE(shown.find("ODBC Error Code: 22001"), std::string::npos) << shown;
  EXPECT_NE(shown.find("character varying(20)"), std::string::npos) << shown;
  EXPECT_TRUE(events(180).empty());

  const auto values = settledStats(kRows);
  EXPECT_EQ(database(values, "rows_inserted"), static_cast<std::uint64_t>(kRows - 1));
  EXPECT_EQ(database(values, "rows_rejected"), 1u);
  // Its neighbours in the refused batch went in one by one.
  EXPECT_GE(database(values, "rows_retried"), static_cast<std::uint64_t>(kRows / 4));
  EXPECT_EQ(database(values, "failed"), 1u);
}

TEST_F(DatabaseE2eTest, RowsWaitingInTheSpoolSurviveARestartOfTheServiceDuringAnOutage) {
  s_server->stop();
  startService();
  constexpr int kBefore = 300, kAfter = 200;
  sendBurst(0, kBefore);
  ASSERT_TRUE(eventually([&] { return waiting(stats()) == kBefore; }, 10s)) << waiting(stats());
  ASSERT_EQ(events(180).size(), 1u);
  stop();
  const auto persisted = events(184);
  ASSERT_EQ(persisted.size(), 1u);
  EXPECT_NE(platform::formatEvent(persisted[0]).find(std::to_string(kBefore) + " "), std::string::npos)
      << platform::formatEvent(persisted[0]);
  const fs::path spool = platform::machineRoot() / "spool" / "odbc" / kDsn;
  EXPECT_FALSE(fs::is_empty(spool));

  // Still down at the next start: the rows of the spool wait again, before
  // the new ones.
  startService();
  ASSERT_TRUE(eventually([] { return events(184).size() == 2; }, 5s));
  EXPECT_NE(platform::formatEvent(events(184)[1]).find(std::to_string(kBefore) + " "), std::string::npos)
      << platform::formatEvent(events(184)[1]);
  sendBurst(kBefore, kBefore + kAfter);
  ASSERT_TRUE(eventually([&] { return waiting(stats()) == kBefore + kAfter; }, 10s)) << waiting(stats());
  s_server->start();

  ASSERT_TRUE(waitForRows(kBefore + kAfter, 30s)) << rowCount() << " rows";
  EXPECT_EQ(sequence(), range(0, kBefore + kAfter));
  EXPECT_EQ(events(180).size(), 2u) << "one for each run";
  EXPECT_TRUE(eventually([] { return events(181).size() == 1; }, 5s));
  EXPECT_TRUE(events(115).empty());
  const auto values = settledStats(kAfter);
  EXPECT_EQ(database(values, "rows_inserted"), static_cast<std::uint64_t>(kBefore + kAfter));
  EXPECT_EQ(database(values, "rows_dropped"), 0u);
  EXPECT_LT(stop(), 3000ms);
  EXPECT_TRUE(!fs::exists(spool) || fs::is_empty(spool)) << "nothing left for the next start";
}

}  // namespace
