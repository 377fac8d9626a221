#include "actions/log_retention.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "rules/CRuleBase.h"
#include "service/event_ids.h"
#include "service/service_events.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

// 2026-12-07 09:05:03 UTC+1 (the fixture's zone): 08:05:03 UTC.
constexpr TimeValue kMorning = 1796630703;
constexpr TimeValue kDay = 24 * 60 * 60;

class LogRetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    m_hadTz = tz != nullptr;
    if (m_hadTz) m_oldTz = tz;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    m_dir = m_root.base() / "logs";
    fs::create_directories(m_dir);
    m_settings.logFilePath = m_dir.string();
  }
  void TearDown() override {
    if (m_hadTz) {
      setenv("TZ", m_oldTz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  void touch(const std::string& name) { std::ofstream(m_dir / name) << "line\n"; }
  bool exists(const std::string& name) { return fs::exists(fs::symlink_status(m_dir / name)); }
  std::vector<platform::EventRecord> events() {
    std::vector<platform::EventRecord> records;
    EXPECT_EQ(platform::readEvents(0, std::string(kServiceName), records), ERROR_SUCCESS);
    return records;
  }
  // A rule base with one write-to-file action per parameter.
  static std::unique_ptr<CRuleBase> rulesWritingTo(const std::vector<std::string>& parameters) {
    auto rules = std::make_unique<CRuleBase>();
    auto rule = std::make_unique<CRule>();
    for (const std::string& parameter : parameters) {
      const CTolvaneString text(parameter.c_str());
      rule->getActions().Append(std::make_unique<CActionListEntry>(1003, &text));
    }
    const CTolvaneString forward("10.0.0.9");  // not a file action: its parameter is no base name
    rule->getActions().Append(std::make_unique<CActionListEntry>(1001, &forward));
    rules->Append(std::move(rule));
    return rules;
  }

  platform::testing::TempPlatformRoot m_root;
  fs::path m_dir;
  ActionSettings m_settings;
  bool m_hadTz = false;
  std::string m_oldTz;
};

TEST_F(LogRetentionTest, ReadsOnlyTheDatedNamesTheFileActionWrites) {
  std::string_view base;
  std::int64_t day = 0;
  ASSERT_TRUE(parseDatedLogFileName("Corvantel-1970-01-02.log", "log", base, day));
  EXPECT_EQ(base, "Corvantel");
  EXPECT_EQ(day, 1);
  ASSERT_TRUE(
      parseDatedLogFileName("fw-dmz.old-2024-02-29.txt", "txt", base, day));  // dashes and dots in the base
  EXPECT_EQ(base, "fw-dmz.old");
  for (const char* name :
       {"Corvantel.log", "Corvantel-2026-12-07.log.1", "Corvantel-2026-12-07.log.gz",
        "Corvantel-2026-12-07.txt", "-2026-12-07.log", "Corvantel-2026-1-07.log", "Corvantel_2026-12-07.log",
        "Corvantel-2026-12-0x.log", "Corvantel-2026-02-30.log", "Corvantel-2025-02-29.log",
        "Corvantel-2026-13-01.log", "Corvantel-2026-12-07log"}) {
    EXPECT_FALSE(parseDatedLogFileName(name, "log", base, day)) << name;
  }
}

TEST_F(LogRetentionTest, RemovesExactlyTheOldDatedFilesOfItsOwnNames) {
  // Kept 3 days: today 2026-12-07 and 4..6 December stay, 3 December goes.
  for (const char* name :
       {"Corvantel-2026-12-03.log", "Corvantel-2025-01-01.log", "firewall-2026-11-30.log"}) {
    touch(name);
  }
  const std::vector<std::string> kept = {"Corvantel-2026-12-04.log",
                                         "Corvantel-2026-12-07.log",
                                         "Corvantel-2027-01-01.log",  // new enough, future
                                         "Corvantel.log",
                                         "Corvantel-2026-12-01.log.gz",
                                         "Corvantel-2026-12-01.txt",  // not its pattern
                                         "other-2026-12-01.log",
                                         "Corvantel-host-2026-12-01.log",
                                         "sub-2026-12-01.log",  // other base names
                                         "notes.txt"};
  for (const std::string& name : kept) touch(name);
  // A folder and a symbolic link that look like old files, and the link's
  // target outside the folder.
  fs::create_directory(m_dir / "Corvantel-2026-01-01.log");
  const fs::path target = m_root.base() / "elsewhere-2026-01-01.log";
  std::ofstream(target) << "not ours\n";
  fs::create_symlink(target, m_dir / "Corvantel-2026-01-02.log");
  fs::create_directory(m_dir / "sub");
  std::ofstream(m_dir / "sub" / "Corvantel-2026-01-01.log") << "below\n";

  LogRetention retention(m_settings, 3);
  const auto rules = rulesWritingTo({"firewall", "sub/inner", ""});
  retention.onBatch(kMorning, *rules);

  for (const char* gone :
       {"Corvantel-2026-12-03.log", "Corvantel-2025-01-01.log", "firewall-2026-11-30.log"}) {
    EXPECT_FALSE(exists(gone)) << gone;
  }
  for (const std::string& name : kept) EXPECT_TRUE(exists(name)) << name;
  EXPECT_TRUE(fs::is_directory(m_dir / "Corvantel-2026-01-01.log"));
  EXPECT_TRUE(fs::is_symlink(m_dir / "Corvantel-2026-01-02.log"));
  EXPECT_TRUE(fs::exists(target));
  EXPECT_TRUE(fs::exists(m_dir / "sub" / "Corvantel-2026-01-01.log"));

  const auto records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].eventId, static_cast<DWORD>(kEventOldLogFilesRemoved));
  EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(records[0].strings, (std::vector<std::string>{"3", "3", "3", m_dir.string()}));
}

TEST_F(LogRetentionTest, TodayIsTheDateTheFileNamesTake) {
  // 00:30 local on 7 December is still 6 December in UTC; kept 1 day.
  const TimeValue justAfterMidnight = kMorning - 8 * 3600 - 35 * 60 - 3;
  touch("Corvantel-2026-12-05.log");
  LogRetention utc(
      [&] {
        ActionSettings s = m_settings;
        s.useUtc = 1;
        return s;
      }(),
      1);
  EXPECT_EQ(utc.removeOldFiles(justAfterMidnight, {"Corvantel"}).removed, 0u);
  LogRetention local(m_settings, 1);
  EXPECT_EQ(local.removeOldFiles(justAfterMidnight, {"Corvantel"}).removed, 1u);
}

TEST_F(LogRetentionTest, RunsAtStartThenOnceADayAndNeverWithZeroDays) {
  const CRuleBase none;
  LogRetention keepAll(m_settings, 0);
  touch("Corvantel-2000-01-01.log");
  keepAll.onBatch(kMorning, none);
  EXPECT_TRUE(exists("Corvantel-2000-01-01.log"));

  LogRetention retention(m_settings, 10);
  retention.onBatch(kMorning, none);
  EXPECT_FALSE(exists("Corvantel-2000-01-01.log"));
  touch("Corvantel-2000-01-01.log");
  retention.onBatch(kMorning + kDay - 1, none);
  EXPECT_TRUE(exists("Corvantel-2000-01-01.log"));
  retention.onBatch(kMorning + kDay, none);
  EXPECT_FALSE(exists("Corvantel-2000-01-01.log"));
  // The clock set back by more than a day: the next batch runs it again.
  touch("Corvantel-2000-01-01.log");
  retention.onBatch(kMorning - kDay, none);
  EXPECT_FALSE(exists("Corvantel-2000-01-01.log"));
}

TEST_F(LogRetentionTest, NothingToRemoveOrNoFolderLogsNothing) {
  touch("Corvantel-2026-12-07.log");
  LogRetention(m_settings, 5).onBatch(kMorning, CRuleBase());
  m_settings.logFilePath = (m_dir / "missing").string();
  LogRetention(m_settings, 5).onBatch(kMorning, CRuleBase());
  EXPECT_TRUE(events().empty());
}

// Every name refused as in a read-only file system.
int refuseUnlink(int, const char*, int) {
  errno = EROFS;
  return -1;
}

TEST_F(LogRetentionTest, FilesThatCannotBeRemovedAreNamedWithTheReasonAFewPerRun) {
  for (int day = 1; day <= 7; ++day) touch("Corvantel-2000-01-0" + std::to_string(day) + ".log");
  setLogRetentionUnlinkForTesting(refuseUnlink);
  const LogRetention::Outcome outcome = LogRetention(m_settings, 1).removeOldFiles(kMorning, {"Corvantel"});
  setLogRetentionUnlinkForTesting(nullptr);
  EXPECT_EQ(outcome.removed, 0u);
  EXPECT_EQ(outcome.failed, 7u);
  const auto records = events();
  ASSERT_EQ(records.size(), kMaxReportedFailures + 1);
  EXPECT_EQ(records[0].eventId, static_cast<DWORD>(kEventOldLogFileNotRemoved));
  EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(records[0].strings.at(0).rfind(m_dir.string() + "/Corvantel-2000-01-0", 0), 0u);
  EXPECT_EQ(records[0].strings.at(1), "Read-only file system");
  EXPECT_EQ(records.back().eventId, static_cast<DWORD>(kEventOldLogFilesRemoved));
  EXPECT_EQ(records.back().strings.at(0), "0");
  EXPECT_EQ(records.back().strings.at(1), "7");
  EXPECT_TRUE(exists("Corvantel-2000-01-01.log"));
}

}  // namespace
