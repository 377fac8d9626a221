#include "Rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "Global.h"
#include "Registry.h"
#include "platform/text.h"
#include "scripted_dialogs.h"
#include "registry_samples.h"
#include "temp_root.h"

namespace {

using Rules::RuleRecord;

RuleRecord rule(std::int32_t number, const char* name, std::vector<std::pair<std::int32_t, QString>> actions = {}) {
  RuleRecord r;
  r.RuleNumber = number;
  r.RuleName = name;
  r.ActionCount = static_cast<std::int32_t>(actions.size());
  for (auto& [type, text] : actions) {
    r.ActionTypes.push_back(type);
    r.ActionStrings.push_back(text);
  }
  return r;
}

class RulesModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Rules::model() = Rules::Model{};
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &Global::hRulesKey), ERROR_SUCCESS);
  }
  void TearDown() override { Global::reset(); }

  void setModel(std::vector<RuleRecord> rules, std::int32_t version = 1) {
    Rules::Model& m = Rules::model();
    m.rules = std::move(rules);
    m.RuleCount = static_cast<std::int32_t>(m.rules.size());
    m.RuleVersion = version;
  }

  // Every value of the stored Rules key.
  std::map<std::string, std::string> stored() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    auto values = storedValues(key);
    RegCloseKey(key);
    return values;
  }

  platform::testing::TempPlatformRoot m_root;
};

TEST_F(RulesModelTest, SaveWritesExactlyTheDesignedValuesAndRaisesTheVersion) {
  RuleRecord first = rule(1, "Everything", {{Rules::kWriteToFile, ""}, {Rules::kDiscard, ""}});
  RuleRecord second = rule(5, "", {{Rules::kForwardToSyslog, "loghost:1514"}});
  second.Source = "10.1.";
  second.Message = "sshd";
  second.Priority = 3;
  second.Facility = 0;  // 0 is a filter too: only below 0 means none
  setModel({first, second}, 41);

  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);

  const std::map<std::string, std::string> expected{
      {"nRuleCount", "DWORD 2"},         {"nRuleVersion", "DWORD 42"},
      {"R1RuleNumber", "DWORD 1"},       {"R1RuleName", "SZ Everything"},
      {"R1ActionCount", "DWORD 2"},      {"R1A1Type", "DWORD 1003"},
      {"R1A2Type", "DWORD 1"},           {"R2RuleNumber", "DWORD 5"},
      {"R2RuleName", "SZ "},             {"R2Source", "SZ 10.1."},
      {"R2Priority", "DWORD 3"},         {"R2Facility", "DWORD 0"},
      {"R2Message", "SZ sshd"},          {"R2ActionCount", "DWORD 1"},
      {"R2A1Type", "DWORD 1001"},        {"R2A1String", "SZ loghost:1514"},
  };
  EXPECT_EQ(stored(), expected);
  EXPECT_EQ(Rules::model().RuleVersion, 42);
  EXPECT_EQ(Rules::model().savedRules, Rules::model().rules);
}

TEST_F(RulesModelTest, SaveRecreatesTheKeySoRemovedRulesAndFiltersDoNotSurvive) {
  RuleRecord filtered = rule(1, "old", {{Rules::kWriteToFile, "old"}});
  filtered.Message = "m";
  filtered.Priority = 2;
  setModel({filtered, rule(2, "gone")});
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  Registry::SetStringValue(Global::hRulesKey, "SomeoneElsesValue", "x");

  RuleRecord cleared = rule(1, "new", {{Rules::kWriteToFile, ""}});
  setModel({cleared}, Rules::model().RuleVersion);
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);

  const auto values = stored();
  EXPECT_EQ(values.size(), 6u);  // count, version, number, name, action count, action type
  for (const char* gone : {"R1Message", "R1Priority", "R1A1String", "R2RuleName", "SomeoneElsesValue"})
    EXPECT_EQ(values.count(gone), 0u) << gone;
  // The handle now belongs to the recreated key.
  EXPECT_EQ(Registry::QueryStringValue(Global::hRulesKey, "R1RuleName", {}), "new");
}

TEST_F(RulesModelTest, SavingTwiceWithoutChangesRaisesTheVersionByTwo) {
  setModel({rule(1, "a")}, 7);
  Rules::SaveRules(Global::hRulesKey);
  Rules::SaveRules(Global::hRulesKey);
  EXPECT_EQ(stored()["nRuleVersion"], "DWORD 9");
}

TEST_F(RulesModelTest, KeyThatCannotBeDeletedIsWrittenOverValueByValue) {
  RuleRecord filtered = rule(1, "old");
  filtered.Source = "host";
  filtered.Facility = 4;
  setModel({filtered});
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  HKEY sub = nullptr;  // a subkey makes the key undeletable
  ASSERT_EQ(RegCreateKeyA(Global::hRulesKey, "Stray", &sub), ERROR_SUCCESS);
  RegCloseKey(sub);

  setModel({rule(1, "new")}, Rules::model().RuleVersion);
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  const auto values = stored();
  EXPECT_EQ(values.count("R1Source"), 0u);
  EXPECT_EQ(values.count("R1Facility"), 0u);
  EXPECT_EQ(values.at("R1RuleName"), "SZ new");
}

TEST_F(RulesModelTest, KeyDeletedBySomeoneElseIsCreatedAgainOnSave) {
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath), ERROR_SUCCESS);
  setModel({rule(1, "a")});
  ScriptedDialogs dialogs;
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_EQ(stored().at("R1RuleName"), "SZ a");
}

TEST_F(RulesModelTest, UnreachableComputerIsReportedAndNothingIsWritten) {
  setModel({rule(1, "kept")}, 3);
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  Global::szConnectedComputer = "faraway";
  setModel({rule(1, "changed")}, Rules::model().RuleVersion);
  ScriptedDialogs dialogs;
  EXPECT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_BAD_NETPATH);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "Unknown error occured while saving Rules - Code = 53");
  EXPECT_EQ(dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(stored().at("R1RuleName"), "SZ kept");
  // As designed, the model already counts as saved.
  EXPECT_EQ(Rules::model().RuleVersion, 5);
  EXPECT_EQ(Rules::model().savedRules[0].RuleName, "changed");
}

TEST_F(RulesModelTest, LoadReadsEveryFieldWithItsDefault) {
  RuleRecord full = rule(9, "Full", {{Rules::kSendEmail, "root@example.org"}, {0, ""}});
  full.Source = "src";
  full.Message = "msg";
  full.Priority = 7;
  full.Facility = 23;
  setModel({full, rule(2, "Bare")}, 12);
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  const std::vector<RuleRecord> saved = Rules::model().rules;

  Rules::model() = Rules::Model{};
  Rules::LoadRules(Global::hRulesKey);
  EXPECT_EQ(Rules::model().RuleCount, 2);
  EXPECT_EQ(Rules::model().RuleVersion, 13);
  EXPECT_EQ(Rules::model().rules, saved);
  EXPECT_EQ(Rules::model().savedRules, saved);
  EXPECT_FALSE(Global::bNoRulesDefined);
}

TEST_F(RulesModelTest, RuleWithoutValuesLoadsAsAnEmptyRule) {
  Registry::SetNumberValue(Global::hRulesKey, "nRuleCount", 2);
  Registry::SetStringValue(Global::hRulesKey, "R1RuleName", "only one");
  Rules::LoadRules(Global::hRulesKey);
  ASSERT_EQ(Rules::model().RuleCount, 2);
  EXPECT_EQ(Rules::model().RuleVersion, 1);  // absent version reads as 1
  EXPECT_EQ(Rules::model().rules[1], RuleRecord{});
  EXPECT_EQ(Rules::model().rules[1].Priority, -1);
}

TEST_F(RulesModelTest, OverlongNameLoadsEmptyAndDamagedCountsAreBounded) {
  Registry::SetNumberValue(Global::hRulesKey, "nRuleCount", 1);
  Registry::SetStringValue(Global::hRulesKey, "R1RuleName", QString(300, u'n'));
  Registry::SetNumberValue(Global::hRulesKey, "R1ActionCount", -4);
  Rules::LoadRules(Global::hRulesKey);
  EXPECT_EQ(Rules::model().rules[0].RuleName, "");
  EXPECT_EQ(Rules::model().rules[0].ActionCount, 0);

  // What the daemon would use survives a load and a save: a long filter
  // must not turn into no filter.
  Registry::SetNumberValue(Global::hRulesKey, "R1ActionCount", 1);
  Registry::SetNumberValue(Global::hRulesKey, "R1A1Type", Rules::kWriteToFile);
  Registry::SetStringValue(Global::hRulesKey, "R1Message", QString(20000, QChar(0x65E5)));
  Registry::SetStringValue(Global::hRulesKey, "R1Source", QString(300, u's'));
  Registry::SetStringValue(Global::hRulesKey, "R1A1String", QString(600, u'f'));
  Rules::LoadRules(Global::hRulesKey);
  Rules::SaveRules(Global::hRulesKey);
  Rules::LoadRules(Global::hRulesKey);
  EXPECT_EQ(Rules::model().rules[0].Message, QString(20000, QChar(0x65E5)));
  EXPECT_EQ(Rules::model().rules[0].Source, QString(300, u's'));
  EXPECT_EQ(Rules::model().rules[0].ActionStrings, std::vector<QString>{QString(600, u'f')});

  Registry::SetNumberValue(Global::hRulesKey, "nRuleCount", -1);
  Rules::LoadRules(Global::hRulesKey);
  EXPECT_EQ(Rules::model().RuleCount, 0);
  EXPECT_TRUE(Global::bNoRulesDefined);
}

TEST_F(RulesModelTest, EmptyOrMissingKeyMeansNoRulesDefined) {
  setModel({rule(1, "stale")});
  Rules::LoadRules(Global::hRulesKey);
  EXPECT_TRUE(Global::bNoRulesDefined);
  EXPECT_EQ(Rules::model().RuleCount, 0);
  EXPECT_TRUE(Rules::model().rules.empty());
  Rules::LoadRules(nullptr);
  EXPECT_TRUE(Global::bNoRulesDefined);
}

TEST_F(RulesModelTest, RevertReturnsToTheLastLoadOrSave) {
  setModel({rule(1, "a")});
  Rules::SaveRules(Global::hRulesKey);
  Rules::model().rules.push_back(rule(2, "b"));
  Rules::model().RuleCount = 2;
  Rules::model().rules[0].RuleName = "edited";
  Rules::RevertRules();
  EXPECT_EQ(Rules::model().RuleCount, 1);
  ASSERT_EQ(Rules::model().rules.size(), 1u);
  EXPECT_EQ(Rules::model().rules[0].RuleName, "a");
}

TEST_F(RulesModelTest, BackupAndRestoreCarryRulesAndActionsOverAResize) {
  setModel({rule(1, "a"), rule(2, "b", {{Rules::kWriteToFile, "f"}, {Rules::kDiscard, ""}})});
  Rules::Model& m = Rules::model();
  Rules::BackupRules();
  m.rules.assign(3, RuleRecord{});
  Rules::RestoreRules(2);
  EXPECT_EQ(m.rules[0].RuleName, "a");
  EXPECT_EQ(m.rules[1].ActionStrings[0], "f");
  EXPECT_EQ(m.rules[2], RuleRecord{});
  EXPECT_TRUE(m.scratch.empty());

  Rules::BackupRule(2);
  m.rules[1].ActionTypes.assign(1, 0);
  m.rules[1].ActionStrings.assign(1, QString());
  m.rules[1].ActionCount = 1;
  Rules::RestoreActions(2, 2);  // more than the rule now holds: what fits
  EXPECT_EQ(m.rules[1].ActionTypes, std::vector<std::int32_t>{Rules::kWriteToFile});
}

TEST_F(RulesModelTest, ActionLabelsAreTheSameInEveryLanguage) {
  EXPECT_EQ(Rules::ActionLabel(2, Rules::kWriteToFile), "2. Write To File");
  EXPECT_EQ(Rules::ActionLabel(1, Rules::kDiscard), "1. Discard");
  EXPECT_EQ(Rules::ActionLabel(3, Rules::kWriteToEventLog), "3. Write To EventLog");
  EXPECT_EQ(Rules::ActionLabel(4, Rules::kNetSend), "4. Net send");
  EXPECT_EQ(Rules::ActionLabel(5, 1006), "5. ");
  EXPECT_EQ(Rules::ActionLabel(6, 0), "6. ");
}

TEST_F(RulesModelTest, AddActionAppendsAfterTheRulesActionsAndAddsItsNode) {
  setModel({rule(1, "a"), rule(2, "b", {{Rules::kWriteToFile, "f"}})});
  ScriptedDialogs dialogs;
  dialogs.inputAnswers.push_back({"loghost", false});
  std::vector<std::tuple<int, int, QString>> nodes;
  const auto addNode = [&](int r, int a, const QString& label) { nodes.emplace_back(r, a, label); };

  EXPECT_EQ(Rules::AddActionToTree(Rules::kForwardToSyslog, "Forward to?", "Add Action", "AC2", addNode), 2);
  const RuleRecord& target = Rules::model().rules[1];
  EXPECT_EQ(target.ActionCount, 2);
  EXPECT_EQ(target.ActionTypes, (std::vector<std::int32_t>{Rules::kWriteToFile, Rules::kForwardToSyslog}));
  EXPECT_EQ(target.ActionStrings, (std::vector<QString>{"f", "loghost"}));
  ASSERT_EQ(dialogs.inputs.size(), 1u);
  EXPECT_EQ(dialogs.inputs[0].prompt, "Forward to?");
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0], std::make_tuple(2, 2, QString("2. Forward To Syslog")));

  // Without a prompt nothing is asked and the parameter is empty.
  EXPECT_EQ(Rules::AddActionToTree(Rules::kDiscard, QString(), QString(), "AC1", addNode), 1);
  EXPECT_EQ(dialogs.inputs.size(), 1u);
  EXPECT_EQ(Rules::model().rules[0].ActionStrings, std::vector<QString>{QString()});
}

TEST_F(RulesModelTest, AddActionCancelledOrOnNoRuleChangesNothing) {
  setModel({rule(1, "a", {{Rules::kWriteToFile, "f"}})});
  const std::vector<RuleRecord> before = Rules::model().rules;
  ScriptedDialogs dialogs;
  dialogs.inputAnswers.push_back({QString(), true});
  int nodes = 0;
  const auto addNode = [&](int, int, const QString&) { ++nodes; };
  EXPECT_EQ(Rules::AddActionToTree(Rules::kWriteToFile, "File?", "t", "AC1", addNode), 0);
  for (const char* key : {"AC9", "AC0", "RU1", "AC", "ACx"})
    EXPECT_EQ(Rules::AddActionToTree(Rules::kDiscard, QString(), QString(), key, addNode), 0) << key;
  EXPECT_EQ(Rules::model().rules, before);
  EXPECT_EQ(nodes, 0);
}

}  // namespace
