#include "rules/CRuleBase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/text.h"
#include "rules/action_factory.h"
#include "rules/rule_value_name.h"
#include "service/CErrorReport.h"
#include "service/service_events.h"
#include "temp_root.h"

namespace {

// What the recording actions saw, in order: "type:parameter".
std::vector<std::string> g_calls;

constexpr std::int32_t kFailingType = 1002;  // raises like a refused mail recipient

class RecordingAction : public CAction {
 public:
  explicit RecordingAction(std::int32_t type) : m_type(type) {}
  void Execute(const SyslogMessage&, const ActionSettings& settings, const CActionListEntry& entry) override {
    g_calls.push_back(std::to_string(m_type) + ":" + entry.getParameter().getNarrow() + ":" +
                      settings.logFileName);
    if (m_type == kFailingType) throw CErrorReport(117, 550, "recipient refused");
  }

 private:
  std::int32_t m_type;
};

std::unique_ptr<CAction> recordingFactory(std::int32_t type) {
  if (type < 1000 || type > 1007 || type == kActionShellExec || type == kActionNetSend) return nullptr;
  return std::make_unique<RecordingAction>(type);
}

class CRuleBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kRulesKeyPath, &m_key), ERROR_SUCCESS);
    g_calls.clear();
    m_previousFactory = setActionFactoryForTesting(recordingFactory);
    m_settings.logFileName = "global";
  }
  void TearDown() override {
    setActionFactoryForTesting(m_previousFactory);
    if (m_key != nullptr) RegCloseKey(m_key);
  }

  void setDWord(const std::u16string& name, DWORD value) {
    ASSERT_EQ(RegSetValueExW(m_key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
  }
  void setString(const std::u16string& name, const std::u16string& text) {
    ASSERT_EQ(RegSetValueExW(m_key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
  }
  void setAction(int rule, int action, DWORD type, const char16_t* parameter = nullptr) {
    setDWord(actionValueName(rule, action, "Type"), type);
    if (parameter != nullptr) setString(actionValueName(rule, action, "String"), parameter);
  }

  SyslogMessage message(const char* text, const char* host = "10.0.0.5", int facility = 4, int priority = 6) {
    SyslogMessage m;
    m.setMessage(CTolvaneString(text));
    m.setFromHost(CTolvaneString(host));
    m.setFacility(facility);
    m.setPriority(priority);
    return m;
  }
  bool matchesRule1(const SyslogMessage& m) {
    CRuleBase rules;
    rules.Load(m_key);
    EXPECT_EQ(rules.size(), 1u);
    return rules.size() == 1 && rules.at(0).Matches(m, m_settings);
  }
  void run(const SyslogMessage& m) {
    CRuleBase rules;
    rules.Load(m_key);
    rules.CallRules(m, m_settings);
  }

  platform::testing::TempPlatformRoot m_root;
  HKEY m_key = nullptr;
  ActionSettings m_settings;
  ActionFactory m_previousFactory = nullptr;
};

TEST(RuleValueNameTest, NumbersWithoutLeadingZerosAndOnlyTheLetterA) {
  EXPECT_EQ(actionValueName(12, 3, "Type"), u"R12A3Type");
  EXPECT_EQ(actionValueName(12, 3, "String"), u"R12A3String");
  EXPECT_EQ(ruleValueName(1, "Message"), u"R1Message");
  EXPECT_EQ(ruleValueName(100, "ActionCount"), u"R100ActionCount");
}

// --- loading ---

TEST_F(CRuleBaseTest, FirstLoadReadsTheRulesWhateverTheVersionEvenZero) {
  setDWord(u"nRuleVersion", 0);
  setDWord(u"nRuleCount", 2);
  setDWord(u"R2ActionCount", 1);
  setAction(2, 1, 1003, u"firewall");
  CRuleBase rules;
  rules.Load(m_key);
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_TRUE(rules.isLoaded());
  EXPECT_TRUE(rules.at(0).getActions().empty());  // a rule without values: no filters, no actions
  ASSERT_EQ(rules.at(1).getActions().size(), 1u);
  const CActionListEntry& entry = rules.at(1).getActions().at(0);
  EXPECT_EQ(entry.getType(), 1003);
  EXPECT_TRUE(entry.hasParameter());
  EXPECT_STREQ(entry.getParameter().getNarrow(), "firewall");
}

TEST_F(CRuleBaseTest, ReloadsOnlyWhenTheVersionChanges) {
  setDWord(u"nRuleVersion", 5);
  setDWord(u"nRuleCount", 1);
  CRuleBase rules;
  rules.Load(m_key);
  ASSERT_EQ(rules.size(), 1u);

  setDWord(u"nRuleCount", 3);  // changed without a new version: kept as loaded
  rules.Load(m_key);
  EXPECT_EQ(rules.size(), 1u);

  setDWord(u"nRuleVersion", 6);
  rules.Load(m_key);
  EXPECT_EQ(rules.size(), 3u);

  setDWord(u"nRuleVersion", 7);
  setDWord(u"nRuleCount", 0);
  rules.Load(m_key);
  EXPECT_TRUE(rules.empty());
  EXPECT_EQ(rules.getLoadedVersion(), 7);
}

TEST_F(CRuleBaseTest, MissingKeyGivesAnEmptyRuleBaseUntilAVersionCanBeRead) {
  setDWord(u"nRuleVersion", 3);
  setDWord(u"nRuleCount", 2);
  CRuleBase rules;
  rules.Load(m_key);
  ASSERT_EQ(rules.size(), 2u);

  RegCloseKey(m_key);
  m_key = nullptr;
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRulesKeyPath), ERROR_SUCCESS);
  loadRuleBaseFromRegistry(rules);
  EXPECT_TRUE(rules.empty());
  EXPECT_EQ(rules.getLoadedVersion(), -1);

  rules.Load(nullptr);  // still -1: nothing to do
  EXPECT_TRUE(rules.empty());
}

std::vector<std::string> eventTexts() {
  std::vector<platform::EventRecord> records;
  EXPECT_EQ(platform::readEvents(0, kServiceName, records), ERROR_SUCCESS);
  std::vector<std::string> texts;
  for (const auto& record : records) texts.push_back(record.strings.empty() ? "" : record.strings[0]);
  return texts;
}

TEST_F(CRuleBaseTest, ALoadThatCannotReadKeepsTheRulesInForce) {
  setDWord(u"nRuleVersion", 3);
  setDWord(u"nRuleCount", 2);
  CRuleBase rules;
  ASSERT_EQ(rules.Load(m_key), ERROR_SUCCESS);
  setDWord(u"nRuleVersion", 4);
  setDWord(u"nRuleCount", 0);

  // Deleted and re-created under the handle, as a save does.
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRulesKeyPath), ERROR_SUCCESS);
  HKEY recreated = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kRulesKeyPath, &recreated), ERROR_SUCCESS);
  RegCloseKey(recreated);
  EXPECT_EQ(rules.Load(m_key), ERROR_KEY_DELETED);
  EXPECT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules.getLoadedVersion(), 3);
}

LONG g_loadResult = ERROR_SUCCESS;
LONG scriptedLoad(CRuleBase&) { return g_loadResult; }

TEST_F(CRuleBaseTest, ReloaderLogsOneEventPerRunOfFailures) {
  CRuleBase rules;
  RuleBaseReloader reloader(rules, scriptedLoad);
  g_loadResult = ERROR_BUSY;
  reloader.Refresh();
  reloader.Refresh();
  ASSERT_EQ(eventTexts().size(), 1u);
  EXPECT_EQ(eventTexts()[0].rfind("The rule base could not be read from the registry (error 170", 0), 0u)
      << eventTexts()[0];
  g_loadResult = ERROR_SUCCESS;
  reloader.Refresh();
  g_loadResult = ERROR_KEY_DELETED;
  reloader.Refresh();
  EXPECT_EQ(eventTexts().size(), 2u);
}

TEST_F(CRuleBaseTest, ReloaderReadsOnlyAfterTheHiveChanged) {
  setDWord(u"nRuleVersion", 1);
  setDWord(u"nRuleCount", 1);
  CRuleBase rules;
  RuleBaseReloader reloader(rules);
  reloader.Refresh();
  ASSERT_EQ(rules.size(), 1u);

  // Rules changed behind the registry's back are not seen until it changes.
  setDWord(u"nRuleVersion", 2);
  setDWord(u"nRuleCount", 2);
  reloader.Refresh();
  EXPECT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules.getLoadedVersion(), 2);
  reloader.Refresh();
  EXPECT_EQ(rules.size(), 2u);
}

TEST_F(CRuleBaseTest, CountsBeyondWhatCanBeSavedAreCutWithOneEvent) {
  setDWord(u"nRuleCount", 1);
  setDWord(u"R1ActionCount", 2000000000);  // once grew memory until the service was killed
  CRuleBase rules;
  ASSERT_EQ(rules.Load(m_key), ERROR_SUCCESS);
  EXPECT_EQ(rules.at(0).getActions().size(), static_cast<std::size_t>(kMaxActionCount));
  EXPECT_EQ(eventTexts(), std::vector<std::string>{
                              "The value R1ActionCount of the rule base holds 2000000000, more than the 100000 "
                              "actions of a rule that can be saved; the first 100000 are loaded."});
}

TEST_F(CRuleBaseTest, FiltersAreReadWholeAndOneThatCannotBeReadMatchesNothing) {
  setDWord(u"nRuleCount", 4);
  const std::u16string longFilter(1100, u'x');  // over 1023: once read as no filter at all
  setString(u"R1Message", longFilter);
  setDWord(u"R1ActionCount", 1);
  setAction(1, 1, 1);
  setString(u"R2Source", std::u16string(kMaxFilterChars + 1, u's'));
  setString(u"R3Facility", u"4");
  for (int rule = 2; rule <= 4; ++rule) {
    setDWord(ruleValueName(rule, "ActionCount"), 1);
    setAction(rule, 1, 1003, platform::toWide(std::to_string(rule)).c_str());
  }
  run(message("short"));
  EXPECT_EQ(g_calls, std::vector<std::string>{"1003:4:global"});  // rules 2 and 3 match nothing
  g_calls.clear();
  run(message(("a" + platform::toAnsi(longFilter)).c_str()));
  EXPECT_TRUE(g_calls.empty());  // discarded by rule 1

  const auto texts = eventTexts();
  ASSERT_EQ(texts.size(), 4u);  // two loads by run()
  EXPECT_EQ(texts[0], "Rule 2 matches no message: its filter value R2Source is too long to be read.");
  EXPECT_EQ(texts[1], "Rule 3 matches no message: its filter value R3Facility is stored with the wrong type.");
}

TEST_F(CRuleBaseTest, OverlongActionStringCountsAsAbsent) {
  setDWord(u"nRuleCount", 1);
  setDWord(u"R1ActionCount", 2);
  setAction(1, 1, 1003, std::u16string(1030, u'x').c_str());
  setDWord(actionValueName(1, 2, "Type"), 0);  // no String value at all
  CRuleBase rules;
  rules.Load(m_key);
  ASSERT_EQ(rules.at(0).getActions().size(), 2u);
  EXPECT_FALSE(rules.at(0).getActions().at(0).hasParameter());
  EXPECT_FALSE(rules.at(0).getActions().at(1).hasParameter());

  run(message("x"));
  EXPECT_EQ(g_calls, std::vector<std::string>{"1003::global"});  // the global setting applies
}

TEST_F(CRuleBaseTest, ActionWithoutTypeDoesNothing) {
  setDWord(u"nRuleCount", 1);
  setDWord(u"R1ActionCount", 2);
  setAction(1, 2, 1003, u"second");
  run(message("x"));
  EXPECT_EQ(g_calls, std::vector<std::string>{"1003:second:global"});
}

// --- filters ---

TEST_F(CRuleBaseTest, PresentButEmptyMessageFilterMatchesEverything) {
  setDWord(u"nRuleCount", 1);
  setString(u"R1Message", u"");
  EXPECT_TRUE(matchesRule1(message("")));
  EXPECT_TRUE(matchesRule1(message("anything")));
}

TEST_F(CRuleBaseTest, MessageFilterIsACaseSensitiveSubstring) {
  setDWord(u"nRuleCount", 1);
  setString(u"R1Message", u"ERR");
  EXPECT_TRUE(matchesRule1(message("ERROR: disk full")));
  EXPECT_TRUE(matchesRule1(message("disk ERR")));
  EXPECT_FALSE(matchesRule1(message("error: disk full")));
  EXPECT_FALSE(matchesRule1(message("")));
}

TEST_F(CRuleBaseTest, SourceFilterIsASubstringOfTheSendingHost) {
  setDWord(u"nRuleCount", 1);
  setString(u"R1Source", u"10.0.0.1");
  EXPECT_TRUE(matchesRule1(message("x", "10.0.0.1")));
  EXPECT_TRUE(matchesRule1(message("x", "10.0.0.15")));
  EXPECT_FALSE(matchesRule1(message("x", "10.0.0.2")));
  EXPECT_FALSE(matchesRule1(message("10.0.0.1", "10.0.0.2")));  // the text is not the host
}

TEST_F(CRuleBaseTest, FacilityAndPriorityCompareByEqualityAndCombineByAnd) {
  setDWord(u"nRuleCount", 1);
  setDWord(u"R1Priority", 3);
  EXPECT_TRUE(matchesRule1(message("x", "h", 4, 3)));
  EXPECT_FALSE(matchesRule1(message("x", "h", 4, 2)));  // one severity, not a range

  setDWord(u"R1Facility", 4);
  EXPECT_TRUE(matchesRule1(message("x", "h", 4, 3)));
  setDWord(u"R1Priority", 0);
  EXPECT_TRUE(matchesRule1(message("x", "h", 4, 0)));
  EXPECT_FALSE(matchesRule1(message("x", "h", 5, 0)));
  EXPECT_FALSE(matchesRule1(message("x", "h", 4, 7)));
}

// --- dispatch ---

TEST_F(CRuleBaseTest, DiscardStopsTheRuleAndEveryLaterRule) {
  setDWord(u"nRuleCount", 2);
  setDWord(u"R1ActionCount", 3);
  setAction(1, 1, 1003, u"file");
  setAction(1, 2, kActionDiscard);
  setAction(1, 3, 1001, u"mail");
  setDWord(u"R2ActionCount", 1);
  setAction(2, 1, 1003, u"rule2");
  run(message("x"));
  EXPECT_EQ(g_calls, std::vector<std::string>{"1003:file:global"});
}

TEST_F(CRuleBaseTest, IgnoredTypesDoNothingAndProcessingGoesOn) {
  setDWord(u"nRuleCount", 2);
  setDWord(u"R1ActionCount", 3);
  setAction(1, 1, kActionShellExec, u"rm -rf /");
  setAction(1, 2, kActionNetSend, u"hello");
  setAction(1, 3, 4242);
  setDWord(u"R2ActionCount", 1);
  setAction(2, 1, 1003, u"rule2");
  run(message("x"));
  EXPECT_EQ(g_calls, std::vector<std::string>{"1003:rule2:global"});
}

TEST_F(CRuleBaseTest, NonMatchingRuleIsSkippedAndEveryMatchingRuleRunsInOrder) {
  setDWord(u"nRuleCount", 3);
  setString(u"R1Message", u"nowhere");
  setDWord(u"R1ActionCount", 1);
  setAction(1, 1, 1003, u"r1");
  setDWord(u"R2ActionCount", 2);
  setAction(2, 1, 1003, u"r2a1");
  setAction(2, 2, 1000, u"r2a2");
  setDWord(u"R3ActionCount", 1);
  setAction(3, 1, 1007);
  run(message("x"));
  // Every action sees the settings as given.
  EXPECT_EQ(g_calls, (std::vector<std::string>{"1003:r2a1:global", "1000:r2a2:global", "1007::global"}));
}

TEST_F(CRuleBaseTest, ErrorReportSkipsTheRestOfTheMessageAndLeavesTheRulesIntact) {
  setDWord(u"nRuleCount", 2);
  setDWord(u"R1ActionCount", 3);
  setAction(1, 1, 1003, u"first");
  setAction(1, 2, kFailingType, u"refused");
  setAction(1, 3, 1003, u"third");
  setDWord(u"R2ActionCount", 1);
  setAction(2, 1, 1003, u"rule2");
  CRuleBase rules;
  rules.Load(m_key);
  try {
    rules.CallRules(message("x"), m_settings);
    ADD_FAILURE() << "the report did not pass";
  } catch (const CErrorReport& report) {
    EXPECT_EQ(report.getNumber(), 117);
  }
  EXPECT_EQ(g_calls, (std::vector<std::string>{"1003:first:global", "1002:refused:global"}));

  g_calls.clear();  // the next message runs as before
  EXPECT_THROW(rules.CallRules(message("y"), m_settings), CErrorReport);
  EXPECT_EQ(g_calls.size(), 2u);
}

TEST_F(CRuleBaseTest, EmptyRuleBaseDoesNothing) {
  run(message("x"));
  EXPECT_TRUE(g_calls.empty());
}

TEST(ActionFactoryTest, OnlyTheFiveActionTypesMakeAnObject) {
  for (std::int32_t type : {0, 1, kActionShellExec, kActionNetSend, 1006, -1}) {
    EXPECT_EQ(createAction(type), nullptr) << type;
  }
  for (std::int32_t type : {kActionOdbc, kActionForward, kActionMail, kActionFile, kActionEventLog}) {
    EXPECT_NE(createAction(type), nullptr) << type;
  }
}

}  // namespace
