#include "actions/CFileAction.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "actions/file_output.h"
#include "platform/eventlog.h"
#include "rules/CActionListEntry.h"
#include "rules/action_factory.h"
#include "service/service_events.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

TimeValue g_now = 0;
TimeValue testClock() { return g_now; }

// 2026-12-07 09:05:03 in the zone of the fixture (UTC+1 in winter).
constexpr TimeValue kMorning = 1796630703;

class CFileActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    m_hadTz = tz != nullptr;
    if (m_hadTz) m_oldTz = tz;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    setFileActionClockForTesting(testClock);
    g_now = kMorning;
    m_dir = m_root.base() / "logs";
    fs::create_directories(m_dir);
    m_settings.logFilePath = m_dir.string();
    m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 1;
    m_settings.uniqueFileName = 0;
  }
  void TearDown() override {
    closeFileOutputs();
    setFileActionClockForTesting(nullptr);
    if (m_hadTz) {
      setenv("TZ", m_oldTz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  SyslogMessage message(const char* text, const char* host = "10.0.0.5", TimeValue at = kMorning) {
    SyslogMessage m;
    m.setMessage(CTolvaneString(text));
    m.setFromHost(CTolvaneString(host));
    m.setFacility(4);
    m.setPriority(6);
    m.setReceivedAt(at);
    return m;
  }
  void write(const SyslogMessage& m, const CActionListEntry& entry = CActionListEntry(1003, nullptr)) {
    ActionSettings copy = m_settings;
    CFileAction().Execute(m, copy, entry);
  }
  static std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<platform::EventRecord> events() {
    std::vector<platform::EventRecord> records;
    EXPECT_EQ(platform::readEvents(0, std::string(kServiceName), records), ERROR_SUCCESS);
    return records;
  }
  std::string name(const CActionListEntry& entry = CActionListEntry(1003, nullptr)) {
    std::string result;
    EXPECT_TRUE(buildLogFileName(m_settings, entry, g_now, result));
    return result;
  }

  platform::testing::TempPlatformRoot m_root;
  fs::path m_dir;
  ActionSettings m_settings;
  bool m_hadTz = false;
  std::string m_oldTz;
};

// --- file names ---

TEST_F(CFileActionTest, DatedNameTakesTheParameterAsBaseName) {
  m_settings.uniqueFileName = 1;
  const CTolvaneString firewall("firewall");
  EXPECT_EQ(name(CActionListEntry(1003, &firewall)), m_dir.string() + "/firewall-2026-12-07.log");
  EXPECT_EQ(name(), m_dir.string() + "/Corvantel-2026-12-07.log");
  m_settings.uniqueFileName = 0;
  EXPECT_EQ(name(), m_dir.string() + "/Corvantel.log");
}

TEST_F(CFileActionTest, FreshSettingsWriteDatedFilesInTheSystemLogFolder) {
  const ActionSettings fresh;
  std::string result;
  ASSERT_TRUE(buildLogFileName(fresh, CActionListEntry(1003, nullptr), kMorning, result));
  EXPECT_EQ(result, "/var/log/corvantel/Corvantel-2026-12-07.log");
}

TEST_F(CFileActionTest, DateOfTheNameIsLocalOrUtc) {
  m_settings.uniqueFileName = 1;
  g_now = kMorning - 9 * 3600 - 5 * 60;  // 00:00:03 local, still 6 December in UTC
  EXPECT_EQ(name(), m_dir.string() + "/Corvantel-2026-12-07.log");
  m_settings.useUtc = 1;
  EXPECT_EQ(name(), m_dir.string() + "/Corvantel-2026-12-06.log");
}

TEST_F(CFileActionTest, NameLongerThan255IsRefusedAndLogged) {
  m_settings.logFilePath = "/" + std::string(240, 'd');
  std::string result;
  EXPECT_TRUE(buildLogFileName(m_settings, CActionListEntry(1003, nullptr), g_now, result));  // 255 exactly
  EXPECT_EQ(result.size(), 255u);
  m_settings.logFilePath += "d";
  EXPECT_FALSE(buildLogFileName(m_settings, CActionListEntry(1003, nullptr), g_now, result));

  write(message("lost"));
  write(message("lost too"));
  flushFileOutputs();
  const auto records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].eventId, 99u);
  EXPECT_NE(records[0].strings.at(0).find("File name too long"), std::string::npos);
}

TEST_F(CFileActionTest, MessagesAroundMidnightGoToFilesOfConsecutiveDates) {
  m_settings.uniqueFileName = 1;
  const TimeValue midnight = kMorning - (9 * 3600 + 5 * 60 + 3) + 86400;  // 2026-12-08 00:00:00 local
  g_now = midnight - 1;
  write(message("late", "h", midnight - 1));
  flushFileOutputs();
  g_now = midnight + 1;
  write(message("early", "h", midnight + 1));
  flushFileOutputs();
  EXPECT_EQ(contents(m_dir / "Corvantel-2026-12-07.log"), "2026-12-07,23:59:59,h,4,6,late\n");
  EXPECT_EQ(contents(m_dir / "Corvantel-2026-12-08.log"), "2026-12-08,00:00:01,h,4,6,early\n");
}

// --- lines ---

TEST_F(CFileActionTest, LineWithEveryColumn) {
  std::string line;
  appendFileLine(m_settings, message("disk full"), line);
  EXPECT_EQ(line, "2026-12-07,09:05:03,10.0.0.5,4,6,disk full\n");
}

TEST_F(CFileActionTest, ColumnsOffLeaveHostAndTextWithCommasUnchanged) {
  m_settings.fileDateTime = 0;
  m_settings.fileFacility = 2;  // only exactly 1 switches a column on
  m_settings.filePriority = 0;
  std::string line;
  appendFileLine(m_settings, message("a,b,,c", "host,name"), line);
  EXPECT_EQ(line, "host,name,a,b,,c\n");
}

TEST_F(CFileActionTest, LineDateIsLocalWhateverTheUtcSetting) {
  m_settings.useUtc = 1;
  std::string line;
  appendFileLine(m_settings, message("x", "h", kMorning - 9 * 3600 - 5 * 60), line);
  EXPECT_EQ(line, "2026-12-07,00:00:03,h,4,6,x\n");
}

TEST_F(CFileActionTest, TextBytesReachTheFileUnchanged) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  write(message("caf\xc3\xa9 \xff\xfe raw"));
  flushFileOutputs();
  EXPECT_EQ(contents(m_dir / "Corvantel.log"), "10.0.0.5,caf\xc3\xa9 \xff\xfe raw\n");
}

TEST_F(CFileActionTest, ControlCharactersCannotForgeALineUnlessEscapingIsOff) {
  m_settings.fileFacility = m_settings.filePriority = 0;
  const char* forged = "x\r\n2026-12-08,13:00:00,10.6.6.6,FAKE \x1b[2J\ttab\x7f\x01 caf\xc3\xa9";
  std::string line;
  appendFileLine(m_settings, message(forged, "evil\nhost"), line);
  EXPECT_EQ(line, "2026-12-07,09:05:03,evil#012host,x#015#0122026-12-08,13:00:00,10.6.6.6,FAKE #033[2J\ttab#177#001 "
                  "caf\xc3\xa9\n");

  m_settings.fileEscapeControlChars = 0;
  line.clear();
  appendFileLine(m_settings, message("a\nb"), line);
  EXPECT_EQ(line, "2026-12-07,09:05:03,10.0.0.5,a\nb\n");
}

// Plain text is passed over eight bytes at a time: every byte value at every
// position of such a group is escaped exactly when it must be.
TEST_F(CFileActionTest, EveryByteIsEscapedAloneWhereverItStands) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  for (int value = 1; value < 256; ++value) {
    const auto c = static_cast<char>(value);
    const bool escaped = (value < 0x20 && value != '\t') || value == 0x7f;
    char expected[5] = {c, 0};
    if (escaped) std::snprintf(expected, sizeof expected, "#%03o", value);
    for (std::size_t at = 0; at < 17; ++at) {
      std::string text(19, 'a');
      text[at] = c;
      std::string line;
      appendFileLine(m_settings, message(text.c_str()), line);
      ASSERT_EQ(line, "10.0.0.5," + text.substr(0, at) + expected + text.substr(at + 1) + "\n")
          << "byte " << value << " at " << at;
    }
  }
}

// --- writing ---

TEST_F(CFileActionTest, LinesAreAppendedAtTheFlush) {
  std::ofstream(m_dir / "Corvantel.log") << "older\n";
  write(message("one"));
  write(message("two"));
  EXPECT_EQ(contents(m_dir / "Corvantel.log"), "older\n");
  flushFileOutputs();
  EXPECT_EQ(contents(m_dir / "Corvantel.log"),
            "older\n2026-12-07,09:05:03,10.0.0.5,4,6,one\n2026-12-07,09:05:03,10.0.0.5,4,6,two\n");
}

TEST_F(CFileActionTest, ManyLinesOfOneBatchArriveInOrder) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  std::string expected;
  const std::string padding(60, 'p');
  for (int i = 0; i < 20000; ++i) {  // over a megabyte: written early in parts
    const std::string text = std::to_string(i) + padding;
    write(message(text.c_str()));
    expected += "10.0.0.5," + text + "\n";
  }
  flushFileOutputs();
  EXPECT_EQ(contents(m_dir / "Corvantel.log"), expected);
  // Created by the daemon: not for every user to read.
  EXPECT_EQ(fs::status(m_dir / "Corvantel.log").permissions() & fs::perms::others_all, fs::perms::none);
}

TEST_F(CFileActionTest, FileDeletedOrRenamedBetweenBatchesIsCreatedAnew) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  write(message("first"));
  flushFileOutputs();
  fs::rename(m_dir / "Corvantel.log", m_dir / "Corvantel.log.1");
  write(message("second"));
  flushFileOutputs();
  fs::remove(m_dir / "Corvantel.log");
  write(message("third"));
  flushFileOutputs();
  EXPECT_EQ(contents(m_dir / "Corvantel.log.1"), "10.0.0.5,first\n");
  EXPECT_EQ(contents(m_dir / "Corvantel.log"), "10.0.0.5,third\n");
}

TEST_F(CFileActionTest, MoreFilesThanTheCacheHoldsLoseNoLine) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  const int files = static_cast<int>(kMaxOpenFiles) + 8;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < files; ++i) {
      const CTolvaneString base(("f" + std::to_string(i)).c_str());
      write(message(("r" + std::to_string(round)).c_str()), CActionListEntry(1003, &base));
    }
  }
  flushFileOutputs();
  for (int i = 0; i < files; ++i) {
    EXPECT_EQ(contents(m_dir / ("f" + std::to_string(i) + ".log")), "10.0.0.5,r0\n10.0.0.5,r1\n") << i;
  }
}

// --- failures ---

TEST_F(CFileActionTest, MissingFolderIsLoggedOnceAndAgainAfterASuccess) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  m_settings.logFilePath = (m_dir / "missing").string();
  const std::string file = m_settings.logFilePath + "/Corvantel.log";
  for (int batch = 0; batch < 3; ++batch) {
    write(message("lost"));
    write(message("lost"));
    flushFileOutputs();
  }
  auto records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[0].eventId, 99u);
  EXPECT_EQ(records[0].strings,
            std::vector<std::string>{"Cannot write to the log file " + file + ": No such file or directory"});

  fs::create_directory(m_dir / "missing");
  write(message("kept"));
  flushFileOutputs();
  EXPECT_EQ(contents(file), "10.0.0.5,kept\n");
  EXPECT_EQ(events().size(), 1u);

  fs::remove_all(m_dir / "missing");
  write(message("lost again"));
  flushFileOutputs();
  records = events();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].eventId, 99u);
}

TEST_F(CFileActionTest, FailedWriteIsLoggedOnceAndProcessingGoesOn) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  fs::create_symlink("/dev/full", m_dir / "Corvantel.log");
  const CTolvaneString other("other");
  for (int batch = 0; batch < 2; ++batch) {
    write(message("lost"));
    write(message("fine"), CActionListEntry(1003, &other));
    flushFileOutputs();
  }
  auto records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].strings.at(0), "Cannot write to the log file " + (m_dir / "Corvantel.log").string() +
                                          ": No space left on device");
  EXPECT_EQ(contents(m_dir / "other.log"), "10.0.0.5,fine\n10.0.0.5,fine\n");

  fs::remove(m_dir / "Corvantel.log");
  write(message("kept"));
  flushFileOutputs();
  EXPECT_EQ(contents(m_dir / "Corvantel.log"), "10.0.0.5,kept\n");

  fs::remove(m_dir / "Corvantel.log");
  fs::create_symlink("/dev/full", m_dir / "Corvantel.log");
  write(message("lost"));
  flushFileOutputs();
  EXPECT_EQ(events().size(), 2u);
}

TEST_F(CFileActionTest, WriteCutShortLeavesOnlyWholeLines) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  // A file size limit cuts a write short as a full disk does, without filling one.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  for (int i = 0; i < 10; ++i) write(message(("line " + std::to_string(i) + std::string(20, '.')).c_str()));
  flushFileOutputs();
  const std::string cut = contents(m_dir / "Corvantel.log");
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(cut.empty());
  EXPECT_EQ(cut.back(), '\n');  // the part of the line that fitted is gone
  write(message("after"));
  flushFileOutputs();
  EXPECT_EQ(contents(m_dir / "Corvantel.log"), cut + "10.0.0.5,after\n");
}

// An action of a type that waits on the network, which looks at the file the
// lines before it were filed into.
std::string g_seenByTheSlowAction;
fs::path g_watchedFile;

class SlowAction : public CAction {
 public:
  void Execute(const SyslogMessage&, const ActionSettings&, const CActionListEntry&) override {
    std::ifstream in(g_watchedFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    g_seenByTheSlowAction = text.str();
  }
};

std::unique_ptr<CAction> fileAndSlowActions(std::int32_t type) {
  if (type == kActionFile) return std::make_unique<CFileAction>();
  return std::make_unique<SlowAction>();
}

TEST_F(CFileActionTest, FiledLinesReachTheFileBeforeAnActionThatMayWaitOnTheNetwork) {
  m_settings.fileDateTime = m_settings.fileFacility = m_settings.filePriority = 0;
  g_watchedFile = m_dir / "Corvantel.log";
  const ActionFactory previous = setActionFactoryForTesting(fileAndSlowActions);
  const CActionListEntry file(kActionFile, nullptr);
  for (const std::int32_t type : {kActionOdbc, kActionForward, kActionMail}) {
    g_seenByTheSlowAction.clear();
    file.CallAction(message(std::to_string(type).c_str()), m_settings);
    CActionListEntry(type, nullptr).CallAction(message("x"), m_settings);
    EXPECT_NE(g_seenByTheSlowAction.find("10.0.0.5," + std::to_string(type) + "\n"), std::string::npos) << type;
  }
  // Between file actions the lines wait for the end of the batch, as before.
  CActionListEntry(kActionEventLog, nullptr).CallAction(message("x"), m_settings);
  file.CallAction(message("batched"), m_settings);
  EXPECT_EQ(contents(g_watchedFile).find("batched"), std::string::npos);
  setActionFactoryForTesting(previous);
}

}  // namespace
