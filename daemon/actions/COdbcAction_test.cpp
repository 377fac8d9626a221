#include "actions/COdbcAction.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "postgres_server.h"
#include "rules/CActionListEntry.h"
#include "service/CErrorReport.h"
#include "service/event_ids.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

const char* const kSqliteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
const char* const kPostgresDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";

// 2026-12-07 09:05:03 in the zone set by the fixtures (UTC+1 in winter).
constexpr TimeValue kMorning = 1796630703;

// The driver manager's configuration for this test program: a folder of its
// own, named by ODBCSYSINI and ODBCINI, so that no test reads or writes /etc.
// The driver manager keeps the folder it found first for the life of the
// process, so there is one folder for all tests; each test adds data sources
// of its own under names no other test uses.
class OdbcConfig {
 public:
  static OdbcConfig& instance() {
    static OdbcConfig config;
    return config;
  }
  void addDataSource(const std::string& name, const std::map<std::string, std::string>& values) {
    m_sources[name] = values;
    std::ofstream out(m_folder / "odbc.ini", std::ios::trunc);
    for (const auto& [source, attributes] : m_sources) {
      out << "[" << source << "]\n";
      for (const auto& [key, value] : attributes) out << key << " = " << value << "\n";
      out << "\n";
    }
    out.close();
    // The driver manager rereads the file only when its time stamp (in whole
    // seconds) has changed; each rewrite moves it one second on.
    fs::last_write_time(m_folder / "odbc.ini", m_stamp += std::chrono::seconds(1));
  }
  std::string uniqueName(const std::string& stem) { return stem + std::to_string(++m_counter); }

 private:
  OdbcConfig() {
    char pattern[] = "/tmp/corvantel-odbc-XXXXXX";
    m_folder = ::mkdtemp(pattern);
    std::ofstream drivers(m_folder / "odbcinst.ini");
    drivers << "[SQLite3]\nDriver = " << kSqliteDriver << "\n\n"
            << "[PostgreSQL Unicode]\nDriver = " << kPostgresDriver << "\n\n";
    std::ofstream(m_folder / "odbc.ini").flush();
    std::ofstream(m_folder / "user.ini").flush();
    setenv("ODBCSYSINI", m_folder.c_str(), 1);
    setenv("ODBCINI", (m_folder / "user.ini").c_str(), 1);
  }
  ~OdbcConfig() {
    std::error_code ignored;
    fs::remove_all(m_folder, ignored);
  }
  fs::path m_folder;
  std::map<std::string, std::map<std::string, std::string>> m_sources;
  int m_counter = 0;
  fs::file_time_type m_stamp = fs::file_time_type::clock::now();
};

// Sets TZ for the life of the object.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    const char* old = std::getenv("TZ");
    m_had = old != nullptr;
    if (m_had) m_old = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedZone() {
    if (m_had) {
      setenv("TZ", m_old.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool m_had = false;
  std::string m_old;
};

ActionSettings defaultSettings(const std::string& dsn) {
  ActionSettings settings;
  settings.odbcDsn = dsn;
  settings.odbcTable = "Syslog";
  settings.odbcColReceivedAt = "ReceivedAt";
  settings.odbcColFacility = "Facility";
  settings.odbcColPriority = "Priority";
  settings.odbcColFromHost = "FromHost";
  settings.odbcColMessage = "Message";
  return settings;
}

SyslogMessage makeMessage(std::string_view text, const char* host = "10.0.0.5", std::int32_t facility = 4,
                          std::int32_t priority = 6) {
  SyslogMessage m;
  CTolvaneString body;
  body.setNarrow(text);
  m.setMessage(body);
  m.setFromHost(CTolvaneString(host));
  m.setFacility(facility);
  m.setPriority(priority);
  m.setReceivedAt(kMorning);
  return m;
}

// Runs the action; returns the report it raised, or none.
std::unique_ptr<CErrorReport> insert(const SyslogMessage& message, const ActionSettings& settings,
                                     const CActionListEntry& entry = CActionListEntry(1000, nullptr)) {
  try {
    COdbcAction().Execute(message, settings, entry);
  } catch (const CErrorReport& report) {
    return std::make_unique<CErrorReport>(report);
  }
  return nullptr;
}

std::string reportText(const std::unique_ptr<CErrorReport>& report) {
  return report ? std::string(report->getText().getNarrow()) : std::string("(no report)");
}

// --- What the action sends, without a database ----------------------------

TEST(COdbcActionTextTest, StatementNamesTableAndColumnsInOrder) {
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildInsertStatement(defaultSettings("x"))),
            "insert into Syslog(ReceivedAt, Facility, Priority, FromHost, Message) "
            "values(?, ?, ?, ?, ?)");
  ActionSettings custom = defaultSettings("x");
  custom.odbcTable = "Log";
  custom.odbcColReceivedAt = "Zeit";
  custom.odbcColFacility = "Fac";
  custom.odbcColPriority = "Prio";
  custom.odbcColFromHost = "Host";
  custom.odbcColMessage = "Text";
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildInsertStatement(custom)),
            "insert into Log(Zeit, Fac, Prio, Host, Text) values(?, ?, ?, ?, ?)");
}

TEST(COdbcActionTextTest, ConnectionStringKeepsEachValueOneValue) {
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildConnectionString("Corvantel", "syslog", "secret")),
            "DSN=Corvantel;UID=syslog;PWD=secret");
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildConnectionString("Corvantel", "", "")),
            "DSN=Corvantel;UID=;PWD=");
  // A password holding a separator must not end the value and start another
  // attribute; a closing brace inside braces is written twice.
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildConnectionString("D", "u", "a;Database=/x")),
            "DSN=D;UID=u;PWD={a;Database=/x}");
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildConnectionString("D", "u", "p}w{d")),
            "DSN=D;UID=u;PWD={p}}w{d}");
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildConnectionString("D", " u", "x")), "DSN=D;UID={ u};PWD=x");
  EXPECT_EQ(platform::toAnsi(COdbcAction::buildConnectionString("Dätenbank", "ü", "€")),
            "DSN=Dätenbank;UID=ü;PWD=€");
}

TEST(COdbcActionTextTest, ErrorTextCarriesStateAndDescription) {
  EXPECT_EQ(COdbcAction::formatOdbcError(u"08001", u"could not connect"),
            "\nODBC Error Code: 08001\nODBC Error Description: could not connect\n\n");
}

// --- SQLite through its ODBC driver ------------------------------------------

class COdbcActionSqliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dsn = OdbcConfig::instance().uniqueName("CorvantelLite");
    m_db = m_root.base() / "corvantel.db";
    createTable(m_db, "Syslog");
    OdbcConfig::instance().addDataSource(m_dsn, {{"Driver", "SQLite3"}, {"Database", m_db.string()}});
    m_settings = defaultSettings(m_dsn);
  }

  static void exec(const fs::path& db, const std::string& sql) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(handle);
    ASSERT_EQ(rc, SQLITE_OK) << message;
  }
  static void createTable(const fs::path& db, const std::string& table) {
    std::ifstream in(fs::path(CORVANTEL_SOURCE_DIR) / "packaging/sql/sqlite.sql");
    std::string sql((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(sql.empty());
    if (table != "Syslog") sql.replace(sql.find("Syslog"), 6, table);
    exec(db, sql);
  }

  struct Row {
    std::string receivedAt;
    long long facility = -1, priority = -1;
    std::string fromHost, message;
    bool messageIsNull = false;
  };
  static std::vector<Row> rows(const fs::path& db, const std::string& table = "Syslog",
                               const char* columns = "ReceivedAt, Facility, Priority, FromHost, Message") {
    std::vector<Row> result;
    sqlite3* handle = nullptr;
    if (sqlite3_open(db.c_str(), &handle) != SQLITE_OK) return result;
    const std::string sql = std::string("select ") + columns + " from " + table + " order by rowid";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW) {
        Row row;
        const auto bytes = [statement](int column) {
          const void* data = sqlite3_column_blob(statement, column);
          return std::string(static_cast<const char*>(data), sqlite3_column_bytes(statement, column));
        };
        row.receivedAt = bytes(0);
        row.facility = sqlite3_column_int64(statement, 1);
        row.priority = sqlite3_column_int64(statement, 2);
        row.fromHost = bytes(3);
        row.messageIsNull = sqlite3_column_type(statement, 4) == SQLITE_NULL;
        row.message = bytes(4);
        result.push_back(row);
      }
    }
    sqlite3_finalize(statement);
    sqlite3_close(handle);
    return result;
  }

  platform::testing::TempPlatformRoot m_root;
  ScopedZone m_zone{"CET-1CEST,M3.5.0,M10.5.0/3"};
  std::string m_dsn;
  fs::path m_db;
  ActionSettings m_settings;
};

TEST_F(COdbcActionSqliteTest, InsertsOneRowWithTheFiveValues) {
  ASSERT_EQ(insert(makeMessage("disk full", "10.0.0.5", 4, 6), m_settings), nullptr);
  const auto found = rows(m_db);
  ASSERT_EQ(found.size(), 1u);
  // Local time of reception; the driver may write the fraction.
  EXPECT_EQ(found[0].receivedAt.substr(0, 19), "2026-12-07 09:05:03");
  EXPECT_EQ(found[0].facility, 4);
  EXPECT_EQ(found[0].priority, 6);
  EXPECT_EQ(found[0].fromHost, "10.0.0.5");
  EXPECT_EQ(found[0].message, "disk full");
}

TEST_F(COdbcActionSqliteTest, TextReachesTheRowByteForByte) {
  const std::vector<std::string> texts = {
      "'); drop table Syslog; --",      // only ever a bound value
      "quote ' double \" back \\ end",  //
      "Grüße, 日本語, emoji \xF0\x9F\x98\x80",
      std::string("bytes \xFF\xFE\x80 not UTF-8"),
      std::string("zero \0 inside", 13),
      std::string(5000, 'x'),  // longer than any fixed buffer on the way
  };
  for (const std::string& text : texts) ASSERT_EQ(insert(makeMessage(text, "host'a"), m_settings), nullptr);
  const auto found = rows(m_db);
  ASSERT_EQ(found.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(found[i].message, texts[i]) << "text " << i;
    EXPECT_EQ(found[i].fromHost, "host'a");
  }
}

TEST_F(COdbcActionSqliteTest, EmptyMessageIsAnEmptyString) {
  ASSERT_EQ(insert(makeMessage(""), m_settings), nullptr);
  const auto found = rows(m_db);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FALSE(found[0].messageIsNull);
  EXPECT_EQ(found[0].message, "");
}

TEST_F(COdbcActionSqliteTest, EntryParameterNamesTheDataSource) {
  const std::string other = OdbcConfig::instance().uniqueName("SyslogDB");
  const fs::path otherDb = m_root.base() / "other.db";
  createTable(otherDb, "Syslog");
  OdbcConfig::instance().addDataSource(other, {{"Driver", "SQLite3"}, {"Database", otherDb.string()}});
  const CTolvaneString parameter(other.c_str());
  ASSERT_EQ(insert(makeMessage("to the other"), m_settings, CActionListEntry(1000, &parameter)), nullptr);
  EXPECT_TRUE(rows(m_db).empty());
  ASSERT_EQ(rows(otherDb).size(), 1u);
  EXPECT_EQ(rows(otherDb)[0].message, "to the other");
}

TEST_F(COdbcActionSqliteTest, ConfiguredTableAndColumnNamesAreUsed) {
  exec(m_db, "create table Log(Zeit timestamp, Fac integer, Prio integer, Host varchar(60), Text text)");
  m_settings.odbcTable = "Log";
  m_settings.odbcColReceivedAt = "Zeit";
  m_settings.odbcColFacility = "Fac";
  m_settings.odbcColPriority = "Prio";
  m_settings.odbcColFromHost = "Host";
  m_settings.odbcColMessage = "Text";
  ASSERT_EQ(insert(makeMessage("renamed", "h", 3, 2), m_settings), nullptr);
  const auto found = rows(m_db, "Log", "Zeit, Fac, Prio, Host, Text");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].facility, 3);
  EXPECT_EQ(found[0].priority, 2);
  EXPECT_EQ(found[0].message, "renamed");
  EXPECT_TRUE(rows(m_db).empty());
}

TEST_F(COdbcActionSqliteTest, UnknownDataSourceIsReportedAndCostsOnlyThatMessage) {
  ActionSettings missing = m_settings;
  missing.odbcDsn = OdbcConfig::instance().uniqueName("Missing");
  const auto report = insert(makeMessage("lost"), missing);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->getNumber(), kEventOdbcError);
  EXPECT_EQ(report->getCode(), -1);  // SQL_ERROR, sign-extended
  EXPECT_NE(reportText(report).find("\nODBC Error Code: IM002\nODBC Error Description: "), std::string::npos)
      << reportText(report);
  EXPECT_NE(reportText(report).find("not found"), std::string::npos) << reportText(report);
  // Every message to that data source would meet it.
  EXPECT_TRUE(report->isOutputFailure());

  // Nothing of the failed connection stays behind for the next message.
  ASSERT_EQ(insert(makeMessage("kept"), m_settings), nullptr);
  const auto found = rows(m_db);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].message, "kept");
}

TEST_F(COdbcActionSqliteTest, MissingTableCostsOnlyThatMessage) {
  m_settings.odbcTable = "NoSuchTable";
  const auto report = insert(makeMessage("lost"), m_settings);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->getNumber(), kEventOdbcError);
  EXPECT_NE(reportText(report).find("ODBC Error Code: "), std::string::npos);
  EXPECT_NE(reportText(report).find("no such table"), std::string::npos) << reportText(report);
  EXPECT_FALSE(report->isOutputFailure());

  createTable(m_db, "NoSuchTable");
  ASSERT_EQ(insert(makeMessage("kept"), m_settings), nullptr);
  EXPECT_EQ(rows(m_db, "NoSuchTable").size(), 1u);
}

TEST_F(COdbcActionSqliteTest, ADatabaseLockedByAnotherConnectionIsAnOutputFailureARejectedRowIsNot) {
  const std::string busy = OdbcConfig::instance().uniqueName("CorvantelBusy");
  OdbcConfig::instance().addDataSource(
      busy, {{"Driver", "SQLite3"}, {"Database", m_db.string()}, {"Timeout", "200"}});
  ActionSettings settings = defaultSettings(busy);

  // Another writer holds the file: the driver waits its time-out, then fails.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(m_db.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto begin = std::chrono::steady_clock::now();
  const auto locked = insert(makeMessage("lost"), settings);
  const auto waited = std::chrono::steady_clock::now() - begin;
  sqlite3_exec(holder, "rollback", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  ASSERT_NE(locked, nullptr);
  EXPECT_NE(reportText(locked).find("database is locked"), std::string::npos) << reportText(locked);
  EXPECT_TRUE(locked->isOutputFailure());
  EXPECT_LT(waited, std::chrono::seconds(5));

  // A row the table refuses is that message's failure alone.
  exec(m_db,
       "create table Strict(ReceivedAt timestamp, Facility integer check (Facility < 3), "
       "Priority integer, FromHost text, Message text)");
  settings.odbcTable = "Strict";
  const auto refused = insert(makeMessage("facility 4"), settings);
  ASSERT_NE(refused, nullptr);
  EXPECT_NE(reportText(refused).find("CHECK constraint failed"), std::string::npos) << reportText(refused);
  EXPECT_FALSE(refused->isOutputFailure());

  EXPECT_EQ(insert(makeMessage("kept"), defaultSettings(busy)), nullptr);
  EXPECT_EQ(rows(m_db).size(), 1u);
}

TEST_F(COdbcActionSqliteTest, FailureThroughDispatchLeavesTheNextMessageFree) {
  // As the rule engine runs it: the report passes the entry unchanged.
  const CActionListEntry entry(1000, nullptr);
  ActionSettings broken = m_settings;
  broken.odbcColMessage = "NoSuchColumn";
  EXPECT_THROW(entry.CallAction(makeMessage("lost"), broken), CErrorReport);
  EXPECT_TRUE(entry.CallAction(makeMessage("kept"), m_settings));
  const auto found = rows(m_db);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].message, "kept");
}

// --- A real PostgreSQL server --------------------------------------------------

class COdbcActionPostgresTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_server = new testing_support::PostgresServer();
    s_server->query(slurp(fs::path(CORVANTEL_SOURCE_DIR) / "packaging/sql/postgresql.sql"));
    s_dsn = OdbcConfig::instance().uniqueName("CorvantelPg");
    OdbcConfig::instance().addDataSource(s_dsn, {{"Driver", "PostgreSQL Unicode"},
                                                 {"Servername", "127.0.0.1"},
                                                 {"Port", std::to_string(s_server->port())},
                                                 {"Database", "postgres"},
                                                 {"Username", "postgres"}});
  }
  static void TearDownTestSuite() {
    delete s_server;
    s_server = nullptr;
  }
  void SetUp() override {
    if (!s_server->running()) s_server->start();
    s_server->query("delete from Syslog");
    m_settings = defaultSettings(s_dsn);
    m_settings.odbcUid = "postgres";
  }
  static std::string slurp(const fs::path& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  static testing_support::PostgresServer* s_server;
  static std::string s_dsn;
  platform::testing::TempPlatformRoot m_root;
  ScopedZone m_zone{"CET-1CEST,M3.5.0,M10.5.0/3"};
  ActionSettings m_settings;
};

testing_support::PostgresServer* COdbcActionPostgresTest::s_server = nullptr;
std::string COdbcActionPostgresTest::s_dsn;

TEST_F(COdbcActionPostgresTest, InsertsRowsThatReadBackUnchanged) {
  ASSERT_EQ(insert(makeMessage("disk full", "10.0.0.5", 4, 6), m_settings), nullptr);
  ASSERT_EQ(insert(makeMessage("'); drop table Syslog; -- Grüße 日本", "host'b", 23, 0), m_settings),
            nullptr);
  ASSERT_EQ(insert(makeMessage(""), m_settings), nullptr);
  EXPECT_EQ(s_server->query("select to_char(ReceivedAt, 'YYYY-MM-DD HH24:MI:SS'), Facility, "
                            "Priority, FromHost, Message from Syslog order by ID"),
            "2026-12-07 09:05:03|4|6|10.0.0.5|disk full\n"
            "2026-12-07 09:05:03|23|0|host'b|'); drop table Syslog; -- Grüße 日本\n"
            "2026-12-07 09:05:03|4|6|10.0.0.5|\n");
  EXPECT_EQ(s_server->query("select count(*) from Syslog where Message = ''"), "1\n");
}

TEST_F(COdbcActionPostgresTest, ServerDownIsReportedAndTheNextMessageAfterRestartIsStored) {
  s_server->stop();
  const auto report = insert(makeMessage("lost"), m_settings);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->getNumber(), kEventOdbcError);
  EXPECT_NE(reportText(report).find("ODBC Error Code: 08001"), std::string::npos) << reportText(report);
  EXPECT_TRUE(report->isOutputFailure());
  s_server->start();
  ASSERT_EQ(insert(makeMessage("kept"), m_settings), nullptr);
  EXPECT_EQ(s_server->query("select Message from Syslog"), "kept\n");
}

TEST_F(COdbcActionPostgresTest, MissingTableGivesTheDriversState) {
  m_settings.odbcTable = "NoSuchTable";
  const auto report = insert(makeMessage("lost"), m_settings);
  ASSERT_NE(report, nullptr);
  const std::string text = reportText(report);
  EXPECT_TRUE(text.find("ODBC Error Code: 42S02") != std::string::npos ||
              text.find("ODBC Error Code: 42P01") != std::string::npos)
      << text;
  EXPECT_NE(text.find("nosuchtable"), std::string::npos) << text;
  EXPECT_FALSE(report->isOutputFailure());
  m_settings.odbcTable = "Syslog";
  ASSERT_EQ(insert(makeMessage("kept"), m_settings), nullptr);
  EXPECT_EQ(s_server->query("select Message from Syslog"), "kept\n");
}

TEST_F(COdbcActionPostgresTest, PasswordCannotAddConnectionAttributes) {
  // Unquoted, this password would point the driver at a port nobody serves.
  m_settings.odbcPwd = "x;Port=1";
  ASSERT_EQ(insert(makeMessage("one value"), m_settings), nullptr)
      << reportText(insert(makeMessage("again"), m_settings));
  m_settings.odbcPwd = "p}w{d;";
  ASSERT_EQ(insert(makeMessage("braces"), m_settings), nullptr)
      << reportText(insert(makeMessage("again"), m_settings));
  EXPECT_EQ(s_server->query("select Message from Syslog order by ID"), "one value\nbraces\n");
}

}  // namespace
