// Failing outputs inside the real corvantd, run by the service manager in a
// private platform root: a mail server that takes connections and never
// answers, and an SQLite database that another connection holds locked. Each
// is suspended and logged once per episode, and the file lines of the other
// messages wait at most one time-out.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "actions/smtp_test_peers.h"
#include "platform/eventlog.h"
#include "service_fixture.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// The mail session's time-out and the database's busy wait.
constexpr auto kTimeOut = 1000ms;
// What a file line may take beyond one time-out: the daemon's own work on a
// busy machine. Without suspension each round below would wait eight times.
constexpr auto kSlack = 1500ms;
constexpr int kHeldPerRound = 8;

std::vector<platform::EventRecord> events(DWORD id) {
  std::vector<platform::EventRecord> records, found;
  platform::readEvents(0, std::string(kService), records);
  for (const auto& record : records) {
    if (record.eventId == id) found.push_back(record);
  }
  return found;
}

class OutputGuardE2eTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    m_sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  }
  void TearDown() override {
    ServiceFixture::TearDown();
    ::close(m_sender);
  }

  // Rule 1: messages holding `filter` go to the action `type`; rule 2: every
  // message goes to the file. A message whose output fails or is suspended
  // skips rule 2.
  void twoRules(DWORD type, const std::string& filter) {
    setDword(kRules, "nRuleCount", 2);
    setString(kRules, "R1Message", filter);
    setDword(kRules, "R1ActionCount", 1);
    setDword(kRules, "R1A1Type", type);
    setDword(kRules, "R2ActionCount", 1);
    setDword(kRules, "R2A1Type", 1003);
  }

  void send(const std::string& text) {
    const std::string datagram = "<11>app: " + text;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(m_sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
             sizeof(address));
  }

  int filedWith(const std::string& text) const {
    int count = 0;
    for (const std::string& line : lines()) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
  }

  // One round: `held` messages for the failing output, then one for the file
  // alone, whose line must come within one time-out and the slack.
  void round(const std::string& tag, int held) {
    for (int k = 0; k < held; ++k) send(tag + " " + std::to_string(m_round) + "." + std::to_string(k));
    m_held += held;
    const std::string other = "other " + std::to_string(m_round) + " end";
    send(other);
    const auto sent = SteadyClock::now();
    const bool arrived = eventually([&] { return filedWith(other) == 1; }, 30s);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - sent);
    EXPECT_TRUE(arrived) << other;
    EXPECT_LE(waited, kTimeOut + kSlack) << other;
    ++m_round;
  }

  // Rounds of kHeldPerRound messages for a length of time.
  void heldRounds(const std::string& tag, std::chrono::milliseconds length) {
    const auto end = SteadyClock::now() + length;
    while (SteadyClock::now() < end && !HasFailure()) {
      round(tag, kHeldPerRound);
      std::this_thread::sleep_for(100ms);
    }
  }

  // Rounds of one message for the output until `works` says it took one (the
  // first try after the back-off that succeeds), then one more round.
  void roundsUntil(const std::string& tag, const std::function<bool()>& works) {
    const auto limit = SteadyClock::now() + 30s;
    while (!works() && SteadyClock::now() < limit && !HasFailure()) {
      round(tag, 1);
      std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(works());
    round(tag, 1);
  }

  // The missed count of the one recovery event.
  static int missedOf(const platform::EventRecord& recovered) {
    return recovered.strings.size() == 3 ? std::stoi(recovered.strings[2]) : -1;
  }

  int m_sender = -1;
  int m_round = 0;
  int m_held = 0;  // messages sent for the failing output
};

TEST_F(OutputGuardE2eTest, AMailServerThatNeverAnswersHoldsNoOtherMessageBackAndIsLoggedOnce) {
  smtp_test::ScriptedSmtpServer server;
  server.silent = true;
  server.start();
  install();
  setString(kParameters, "szSMTPServer", "127.0.0.1");
  setDword(kParameters, "nSMTPPort", static_cast<DWORD>(server.port()));
  setString(kParameters, "szSMTPSender", "corvantel@example.com");
  setString(kParameters, "szSMTPRecipient", "admin@example.com");
  twoRules(1002, "alarm");
  // The service keeps the environment it was started with; this process need not.
  ::setenv("CORVANTEL_SMTP_TIMEOUT_MS", std::to_string(kTimeOut.count()).c_str(), 1);
  start();
  ::unsetenv("CORVANTEL_SMTP_TIMEOUT_MS");

  // Long enough for a try after the first back-off to fail as well.
  heldRounds("alarm", 4500ms);
  server.silent = false;
  roundsUntil("alarm", [&] { return !server.data().empty(); });

  const std::string output = "mail 127.0.0.1:" + std::to_string(server.port());
  const auto suspended = events(160);
  ASSERT_EQ(suspended.size(), 1u);
  EXPECT_EQ(suspended[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(platform::formatEvent(suspended[0]),
            "The output " + output +
                " is suspended after a failure that the next message would meet too (event 117, below). "
                "Suspension: 1 s. While it is suspended, each message that reaches it skips its remaining "
                "actions without a further event; the first message after the suspension tries it again, "
                "and each failed try doubles the suspension, up to 60 s.\r\n"
                "Error talking to smtp-server - greeting: no answer within 1000 ms\r\n");
  const auto recovered = events(161);
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(platform::formatEvent(recovered[0]).rfind("The output " + output + " works again. ", 0), 0u)
      << platform::formatEvent(recovered[0]);
  EXPECT_TRUE(events(117).empty());

  // Each message for the mail either tried the server (one connection) or
  // missed it; only the mailed ones went on to the file.
  const int connections = static_cast<int>(server.transcripts().size());
  EXPECT_GE(connections, 3);  // the first failure, a failed try, the one that worked
  EXPECT_EQ(missedOf(recovered[0]), m_held - connections);
  EXPECT_EQ(filedWith("alarm "), static_cast<int>(server.data().size()));
}

TEST_F(OutputGuardE2eTest, ADatabaseLockedByAnotherConnectionHoldsNoMessageBackAndLosesNoRow) {
  // The driver manager's files for the service: a data source whose busy
  // wait is the time-out.
  const fs::path odbc = m_root.base() / "odbc";
  const fs::path db = m_root.base() / "corvantel.db";
  fs::create_directories(odbc);
  std::ofstream(odbc / "odbcinst.ini")
      << "[SQLite3]\nDriver = /usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n";
  std::ofstream(odbc / "odbc.ini") << "[CorvantelBusy]\nDriver = SQLite3\nDatabase = " << db.string()
                                   << "\nTimeout = " << kTimeOut.count() << "\n";
  std::ofstream(odbc / "user.ini").flush();
  std::ifstream schema(fs::path(CORVANTEL_SOURCE_DIR) / "packaging/sql/sqlite.sql");
  const std::string createTable((std::istreambuf_iterator<char>(schema)), std::istreambuf_iterator<char>());
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, createTable.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  const auto rows = [&] {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(holder, "select count(*) from Syslog", -1, &statement, nullptr);
    const int count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
    sqlite3_finalize(statement);
    return count;
  };

  install();
  setString(kParameters, "szODBCDsn", "CorvantelBusy");
  twoRules(1000, "row");
  // Only the service reads these files: the variables go back to what this
  // program's other tests set.
  const auto swap = [](const char* name, std::string value) {
    const char* old = std::getenv(name);
    std::string previous = old != nullptr ? old : "";
    value.empty() ? ::unsetenv(name) : ::setenv(name, value.c_str(), 1);
    return previous;
  };
  const std::string system = swap("ODBCSYSINI", odbc.string());
  const std::string user = swap("ODBCINI", (odbc / "user.ini").string());
  start();
  swap("ODBCSYSINI", system);
  swap("ODBCINI", user);

  ASSERT_EQ(sqlite3_exec(holder, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
  heldRounds("row", 3000ms);
  // Every message went on to its file line at once; the rows wait.
  EXPECT_EQ(filedWith("row "), m_held);
  EXPECT_EQ(rows(), 0);
  ASSERT_EQ(sqlite3_exec(holder, "rollback", nullptr, nullptr, nullptr), SQLITE_OK);
  // Once the database answers, every row that waited is in, and the next.
  EXPECT_TRUE(eventually([&] { return rows() == m_held; }, 10s)) << rows() << " of " << m_held;
  round("row", 1);
  EXPECT_TRUE(eventually([&] { return rows() == m_held; }, 5s)) << rows() << " of " << m_held;
  sqlite3_close(holder);

  const auto unreachable = events(180);
  ASSERT_EQ(unreachable.size(), 1u);
  const std::string shown = platform::formatEvent(unreachable[0]);
  EXPECT_EQ(shown.rfind("The database CorvantelBusy cannot be reached. Its rows wait in its spool", 0), 0u) << shown;
  EXPECT_NE(shown.find("database is locked"), std::string::npos) << shown;
  EXPECT_TRUE(eventually([&] { return events(181).size() == 1; }, 5s));
  EXPECT_TRUE(events(160).empty()) << "a database no longer suspends the messages' actions";
  EXPECT_TRUE(events(115).empty());
}

}  // namespace
