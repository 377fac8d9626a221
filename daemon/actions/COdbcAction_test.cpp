#include "actions/COdbcAction.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "actions/database_output.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "daemon_test_support.h"
#include "postgres_server.h"
#include "rules/CActionListEntry.h"
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

// An event of the database outputs, its inserts joined by '|'.
struct DbEvent {
  DWORD id;
  std::string text;
};
std::mutex g_eventsMutex;
std::vector<DbEvent> g_events;

DatabaseEventSink capture() {
  return [](WORD, DWORD id, std::initializer_list<const char*> inserts) {
    std::string text;
    for (const char* insert : inserts) text += (text.empty() ? "" : "|") + std::string(insert);
    std::lock_guard lock(g_eventsMutex);
    g_events.push_back({id, text});
  };
}

std::vector<DbEvent> takeEvents() {
  std::lock_guard lock(g_eventsMutex);
  return std::exchange(g_events, {});
}

std::string describe(const std::vector<DbEvent>& events) {
  std::string text;
  for (const DbEvent& event : events) text += std::to_string(event.id) + ": " + event.text + "\n";
  return text.empty() ? "(no event)" : text;
}

// Runs the action as the processing thread does, then gives its output
// time to settle: the row inserted, refused or waiting. Returns the events.
std::vector<DbEvent> insert(const SyslogMessage& message, const ActionSettings& settings,
                            const CActionListEntry& entry = CActionListEntry(1000, nullptr)) {
  DatabaseOutputSettings outputs;
  outputs.action = settings;
  outputs.spoolRoot = platform::machineRoot() / "spool" / "odbc";
  databaseOutputs().start(outputs, capture());
  COdbcAction().Execute(message, settings, entry);
  databaseOutputs().flush();
  EXPECT_TRUE(databaseOutputs().waitSettled(std::chrono::seconds(15)));
  databaseOutputs().stop(std::chrono::seconds(1));
  return takeEvents();
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
  ASSERT_TRUE(insert(makeMessage("disk full", "10.0.0.5", 4, 6), m_settings).empty());
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
  for (const std::string& text : texts) ASSERT_TRUE(insert(makeMessage(text, "host'a"), m_settings).empty());
  const auto found = rows(m_db);
  ASSERT_EQ(found.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(found[i].message, texts[i]) << "text " << i;
    EXPECT_EQ(found[i].fromHost, "host'a");
  }
}

TEST_F(COdbcActionSqliteTest, EmptyMessageIsAnEmptyString) {
  ASSERT_TRUE(insert(makeMessage(""), m_settings).empty());
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
  ASSERT_TRUE(insert(makeMessage("to the other"), m_settings, CActionListEntry(1000, &parameter)).empty());
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
  ASSERT_TRUE(insert(makeMessage("renamed", "h", 3, 2), m_settings).empty());
  const auto found = rows(m_db, "Log", "Zeit, Fac, Prio, Host, Text");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].facility, 3);
  EXPECT_EQ(found[0].priority, 2);
  EXPECT_EQ(found[0].message, "renamed");
  EXPECT_TRUE(rows(m_db).empty());
}

TEST_F(COdbcActionSqliteTest, AnUnknownDataSourceKeepsItsRowsAndCostsNoOtherRow) {
  ActionSettings missing = m_settings;
  missing.odbcDsn = OdbcConfig::instance().uniqueName("Missing");
  const auto events = insert(makeMessage("waits"), missing);
  ASSERT_EQ(events.size(), 2u) << describe(events);
  // Unreachable (every row would meet it): the row waits in its spool.
  EXPECT_EQ(events[0].id, kEventDatabaseUnreachable) << describe(events);
  EXPECT_NE(events[0].text.find("Rows waiting now: 1."), std::string::npos) << describe(events);
  EXPECT_NE(events[0].text.find("\nODBC Error Code: IM002\nODBC Error Description: "), std::string::npos)
      << describe(events);
  EXPECT_NE(events[0].text.find("not found"), std::string::npos) << describe(events);
  EXPECT_EQ(events[1].id, kEventDatabaseRowsWaiting) << describe(events);
  EXPECT_TRUE(fs::exists(platform::machineRoot() / "spool" / "odbc" / spoolFolderName(missing.odbcDsn)));

  // Another data source is not affected, and the waiting row is tried again
  // at the next start (still in vain).
  const auto next = insert(makeMessage("kept"), m_settings);
  ASSERT_EQ(rows(m_db).size(), 1u);
  EXPECT_EQ(rows(m_db)[0].message, "kept");
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next[0].id, kEventDatabaseRowsWaiting) << describe(next);
}

TEST_F(COdbcActionSqliteTest, MissingTableCostsOnlyThatRow) {
  m_settings.odbcTable = "NoSuchTable";
  const auto events = insert(makeMessage("lost"), m_settings);
  ASSERT_EQ(events.size(), 1u) << describe(events);
  EXPECT_EQ(events[0].id, kEventOdbcError);
  EXPECT_NE(events[0].text.find("ODBC Error Code: "), std::string::npos);
  EXPECT_NE(events[0].text.find("no such table"), std::string::npos) << describe(events);

  createTable(m_db, "NoSuchTable");
  ASSERT_TRUE(insert(makeMessage("kept"), m_settings).empty());
  EXPECT_EQ(rows(m_db, "NoSuchTable").size(), 1u);
}

TEST_F(COdbcActionSqliteTest, ALockedDatabaseKeepsItsRowsUntilItIsFreeARefusedRowIsTheOnlyOneLost) {
  const std::string busy = OdbcConfig::instance().uniqueName("CorvantelBusy");
  OdbcConfig::instance().addDataSource(
      busy, {{"Driver", "SQLite3"}, {"Database", m_db.string()}, {"Timeout", "200"}});
  ActionSettings settings = defaultSettings(busy);
  DatabaseOutputSettings outputs;
  outputs.action = settings;
  outputs.spoolRoot = platform::machineRoot() / "spool" / "odbc";
  databaseOutputs().start(outputs, capture());

  // Another writer holds the file: the driver waits its time-out, then fails,
  // and the rows wait for it.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(m_db.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
  for (const char* text : {"first", "second", "third"}) {
    COdbcAction().Execute(makeMessage(text), settings, CActionListEntry(1000, nullptr));
    databaseOutputs().flush();
  }
  ASSERT_TRUE(databaseOutputs().waitSettled(std::chrono::seconds(5)));
  sqlite3_exec(holder, "rollback", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  ASSERT_TRUE(daemon_testing::eventually([&] { return rows(m_db).size() == 3; }, std::chrono::seconds(10)));
  EXPECT_EQ(rows(m_db)[0].message, "first");
  EXPECT_EQ(rows(m_db)[2].message, "third");
  ASSERT_TRUE(daemon_testing::eventually([&] {
    std::lock_guard lock(g_eventsMutex);
    return g_events.size() == 2;
  }));
  databaseOutputs().stop(std::chrono::seconds(1));
  const auto events = takeEvents();
  ASSERT_EQ(events.size(), 2u) << describe(events);
  EXPECT_EQ(events[0].id, kEventDatabaseUnreachable);
  EXPECT_NE(events[0].text.find("database is locked"), std::string::npos) << describe(events);
  EXPECT_EQ(events[1].id, kEventDatabaseAnswersAgain);
  EXPECT_EQ(events[1].text.substr(events[1].text.rfind('|')), "|3") << describe(events);

  // A row the table refuses is lost alone: its batch goes again row by row.
  exec(m_db,
       "create table Strict(ReceivedAt timestamp, Facility integer check (Facility < 5), "
       "Priority integer, FromHost text, Message text)");
  settings.odbcTable = "Strict";
  outputs.action = settings;
  databaseOutputs().start(outputs, capture());
  for (const int facility : {1, 2, 7, 3}) {
    COdbcAction().Execute(makeMessage("facility " + std::to_string(facility), "h", facility),
                          settings, CActionListEntry(1000, nullptr));
  }
  databaseOutputs().flush();
  ASSERT_TRUE(databaseOutputs().waitSettled(std::chrono::seconds(5)));
  databaseOutputs().stop(std::chrono::seconds(1));
  const auto refused = takeEvents();
  ASSERT_EQ(refused.size(), 1u) << describe(refused);
  EXPECT_EQ(refused[0].id, kEventOdbcError);
  EXPECT_NE(refused[0].text.find("CHECK constraint failed"), std::string::npos) << describe(refused);
  const auto kept = rows(m_db, "Strict");
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[2].message, "facility 3");
}

TEST_F(COdbcActionSqliteTest, ABurstArrivesWholeAndInOrderInBatches) {
  DatabaseOutputSettings outputs;
  outputs.action = m_settings;
  outputs.batchSize = 300;
  outputs.spoolRoot = platform::machineRoot() / "spool" / "odbc";
  databaseOutputs().start(outputs, capture());
  constexpr int kRows = 10000;
  for (int i = 0; i < kRows; ++i) {
    COdbcAction().Execute(makeMessage("row " + std::to_string(i)), m_settings, CActionListEntry(1000, nullptr));
    if (i % 700 == 699) databaseOutputs().flush();
  }
  databaseOutputs().flush();
  ASSERT_TRUE(databaseOutputs().waitSettled(std::chrono::seconds(30)));
  databaseOutputs().stop(std::chrono::seconds(1));
  EXPECT_TRUE(takeEvents().empty());
  const auto found = rows(m_db);
  ASSERT_EQ(found.size(), static_cast<std::size_t>(kRows));
  for (int i = 0; i < kRows; ++i) ASSERT_EQ(found[i].message, "row " + std::to_string(i));
}

TEST(DatabaseSpoolFolder, NamesEveryDataSourceAndBack) {
  for (const std::string dsn : {"CorvLite", "with space/and;semi", "..", ".hidden", "Grüße", "%41"}) {
    const std::string folder = spoolFolderName(dsn);
    EXPECT_EQ(folder.find('/'), std::string::npos) << folder;
    EXPECT_NE(folder, "..");
    EXPECT_NE(folder[0], '.');
    EXPECT_EQ(dataSourceOfFolder(folder), dsn) << folder;
  }
  EXPECT_EQ(dataSourceOfFolder("bad%4"), "");
  EXPECT_EQ(dataSourceOfFolder("bad%zz"), "");
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
  ASSERT_TRUE(insert(makeMessage("disk full", "10.0.0.5", 4, 6), m_settings).empty());
  ASSERT_TRUE(insert(makeMessage("'); drop table Syslog; -- Grüße 日本", "host'b", 23, 0), m_settings).empty());
  ASSERT_TRUE(insert(makeMessage(""), m_settings).empty());
  EXPECT_EQ(s_server->query("select to_char(ReceivedAt, 'YYYY-MM-DD HH24:MI:SS'), Facility, "
                            "Priority, FromHost, Message from Syslog order by ID"),
            "2026-12-07 09:05:03|4|6|10.0.0.5|disk full\n"
            "2026-12-07 09:05:03|23|0|host'b|'); drop table Syslog; -- Grüße 日本\n"
            "2026-12-07 09:05:03|4|6|10.0.0.5|\n");
  EXPECT_EQ(s_server->query("select count(*) from Syslog where Message = ''"), "1\n");
}

TEST_F(COdbcActionPostgresTest, RowsWaitWhileTheServerIsDownAndSurviveAStop) {
  s_server->stop();
  const auto events = insert(makeMessage("waited"), m_settings);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].id, kEventDatabaseUnreachable);
  EXPECT_NE(events[0].text.find("ODBC Error Code: 08001"), std::string::npos) << describe(events);
  // The row waited in the spool over the stop, and goes first at the next start.
  s_server->start();
  ASSERT_TRUE(insert(makeMessage("after"), m_settings).size() <= 1);
  EXPECT_EQ(s_server->query("select Message from Syslog order by ID"), "waited\nafter\n");
}

TEST_F(COdbcActionPostgresTest, MissingTableGivesTheDriversState) {
  m_settings.odbcTable = "NoSuchTable";
  const auto events = insert(makeMessage("lost"), m_settings);
  ASSERT_EQ(events.size(), 1u) << describe(events);
  EXPECT_EQ(events[0].id, kEventOdbcError);
  const std::string& text = events[0].text;
  EXPECT_TRUE(text.find("ODBC Error Code: 42S02") != std::string::npos ||
              text.find("ODBC Error Code: 42P01") != std::string::npos)
      << text;
  EXPECT_NE(text.find("nosuchtable"), std::string::npos) << text;
  m_settings.odbcTable = "Syslog";
  ASSERT_TRUE(insert(makeMessage("kept"), m_settings).empty());
  EXPECT_EQ(s_server->query("select Message from Syslog"), "kept\n");
}

TEST_F(COdbcActionPostgresTest, PasswordCannotAddConnectionAttributes) {
  // Unquoted, this password would point the driver at a port nobody serves.
  m_settings.odbcPwd = "x;Port=1";
  ASSERT_TRUE(insert(makeMessage("one value"), m_settings).empty());
  m_settings.odbcPwd = "p}w{d;";
  ASSERT_TRUE(insert(makeMessage("braces"), m_settings).empty());
  EXPECT_EQ(s_server->query("select Message from Syslog order by ID"), "one value\nbraces\n");
}

}  // namespace
