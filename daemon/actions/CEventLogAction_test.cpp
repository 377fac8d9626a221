// CEventLogAction: the entry it writes under the daemon's source or under the
// sender's, as the event log keeps it and as a viewer shows it.
#include "actions/CEventLogAction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/registry.h"
#include "rules/CActionListEntry.h"
#include "rules/action_factory.h"
#include "temp_root.h"
#include "daemon_test_support.h"

namespace {

using daemon_testing::makeMessage;

class CEventLogActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_settings.eventSource = "TolvaneCorvantel";
    m_settings.eventId = 113;
  }

  void write(const SyslogMessage& message) {
    const CActionListEntry entry(kActionEventLog, nullptr);
    CEventLogAction().Execute(message, m_settings, entry);
  }

  std::vector<platform::EventRecord> events() {
    std::vector<platform::EventRecord> records;
    EXPECT_EQ(platform::readEvents(0, std::nullopt, records), ERROR_SUCCESS);
    return records;
  }

  platform::testing::TempPlatformRoot m_root;
  ActionSettings m_settings;
};

TEST_F(CEventLogActionTest, OwnSourceWritesEvent113WithFourInserts) {
  write(makeMessage(1, 3, "disk full"));
  const auto records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source, "TolvaneCorvantel");
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[0].eventId, 113u);
  EXPECT_EQ(records[0].category, 0);
  EXPECT_EQ(records[0].strings, (std::vector<std::string>{"1", "3", "10.0.0.5", "disk full"}));
}

TEST_F(CEventLogActionTest, ReplacedSourceIsTheSenderWithFacilityAsIdAndPriorityAsCategory) {
  m_settings.replaceEventLogSource = 1;
  write(makeMessage(1, 3, "disk full"));
  const auto records = events();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source, "10.0.0.5");
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[0].eventId, 1u);
  EXPECT_EQ(records[0].category, 3);
  EXPECT_EQ(records[0].strings, std::vector<std::string>{"disk full"});
  // That source has no message file: a viewer shows the insert as it is.
  EXPECT_EQ(platform::formatEvent(records[0]), "disk full");
}

TEST_F(CEventLogActionTest, PriorityGivesTheEntryType) {
  for (int priority = 0; priority <= 7; ++priority) write(makeMessage(16, priority, "p"));
  m_settings.replaceEventLogSource = 1;
  write(makeMessage(16, 4, "p"));
  std::vector<WORD> types;
  for (const auto& record : events()) types.push_back(record.type);
  const WORD e = EVENTLOG_ERROR_TYPE, w = EVENTLOG_WARNING_TYPE, i = EVENTLOG_INFORMATION_TYPE;
  EXPECT_EQ(types, (std::vector<WORD>{e, e, e, e, w, i, i, i, w}));
}

TEST_F(CEventLogActionTest, TextBytesAreKeptExactly) {
  const std::string text = "caf\xc3\xa9 \xff\x01 ,%1 %n end";
  write(makeMessage(1, 6, text));
  m_settings.replaceEventLogSource = 1;
  write(makeMessage(1, 6, text));
  const auto records = events();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].strings.at(3), text);
  EXPECT_EQ(records[1].strings.at(0), text);
}

TEST_F(CEventLogActionTest, ABurstOfMessagesWritesEveryEntryUnderBothSources) {
  // Each report's source is closed after it; a leak would show as handles
  // piling up, a double close as lost entries.
  m_settings.replaceEventLogSource = 1;
  for (int n = 0; n < 100; ++n) write(makeMessage(1, 6, "m", n % 2 ? "a" : "b"));
  m_settings.replaceEventLogSource = 0;
  for (int n = 0; n < 100; ++n) write(makeMessage(1, 6, "m"));
  std::vector<platform::EventRecord> a, own;
  platform::readEvents(0, std::string("a"), a);
  platform::readEvents(0, std::string("TolvaneCorvantel"), own);
  EXPECT_EQ(a.size(), 50u);
  EXPECT_EQ(own.size(), 100u);
}

}  // namespace
