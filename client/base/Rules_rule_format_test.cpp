// The rule base format from both of its sides: the client's SaveRules writes
// the Rules key, the daemon's CRuleBase loads it, and the two must agree on
// every rule, filter and action.
#include <gtest/gtest.h>

#include "Global.h"
#include "Rules.h"
#include "ansi_text.h"
#include "rules/CRuleBase.h"
#include "temp_root.h"

namespace {

using Rules::RuleRecord;

struct Probe {
  const char* text;
  const char* host;
  int facility;
  int priority;
};

// Messages that fall on both sides of every filter used below.
const Probe kProbes[] = {
    {"sshd: accepted", "10.1.2.3", 4, 6},    {"sshd: failed", "10.9.9.9", 4, 3},
    {"kernel: panic", "10.1.2.3", 0, 0},     {"SSHD: upper case", "router", 23, 7},
    {"\xE6\x97\xA5\xE6\x9C\xAC ok", "gw", 1, 5},  // 日本 ok
    {"", "", 16, 2},
};

bool clientExpectsMatch(const RuleRecord& rule, const Probe& p) {
  if (rule.Facility >= 0 && rule.Facility != p.facility) return false;
  if (rule.Priority >= 0 && rule.Priority != p.priority) return false;
  if (!rule.Message.isEmpty() && !fromAnsi(p.text).contains(rule.Message)) return false;
  if (!rule.Source.isEmpty() && !fromAnsi(p.host).contains(rule.Source)) return false;
  return true;
}

SyslogMessage message(const Probe& p) {
  SyslogMessage m;
  m.setMessage(CTolvaneString(p.text));
  m.setFromHost(CTolvaneString(p.host));
  m.setFacility(p.facility);
  m.setPriority(p.priority);
  return m;
}

class RuleFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Rules::model() = Rules::Model{};
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &Global::hRulesKey), ERROR_SUCCESS);
  }
  void TearDown() override { Global::reset(); }

  platform::testing::TempPlatformRoot m_root;
};

TEST_F(RuleFormatTest, DaemonLoadsTheRulesTheClientSaved) {
  std::vector<RuleRecord> rules(6);
  rules[0].RuleName = "ssh from the office";
  rules[0].Message = "sshd";
  rules[0].Source = "10.1.";
  rules[1].RuleName = "errors";
  rules[1].Priority = 3;
  rules[1].Facility = 4;
  rules[2].Facility = 0;  // kernel: facility 0 is a filter
  rules[2].Priority = 0;
  rules[3].Message = QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC");  // 日本
  rules[4].Source = "router";
  rules[4].Message = "SSHD";  // case-sensitive on both sides
  // rules[5]: no filters at all

  const std::vector<std::pair<std::int32_t, QString>> actions[] = {
      {{Rules::kWriteToFile, "ssh"}, {Rules::kForwardToSyslog, "loghost:1514"}},
      {{Rules::kSendEmail, QString()}, {Rules::kDiscard, QString()}},
      {{Rules::kWriteToOdbc, "Corvantel"}, {Rules::kWriteToEventLog, QString()}},
      {{Rules::kWriteToFile, QString::fromUtf8("\xE3\x83\xAD\xE3\x82\xB0")}},  // ログ
      {{Rules::kShellExec, "/usr/bin/true"}, {Rules::kNetSend, "hello"}, {0, QString()}},
      {},
  };
  for (std::size_t i = 0; i < rules.size(); ++i) {
    rules[i].RuleNumber = static_cast<std::int32_t>(i + 1);
    for (const auto& [type, text] : actions[i]) {
      rules[i].ActionTypes.push_back(type);
      rules[i].ActionStrings.push_back(text);
    }
    rules[i].ActionCount = static_cast<std::int32_t>(rules[i].ActionTypes.size());
  }
  Rules::Model& m = Rules::model();
  m.rules = rules;
  m.RuleCount = static_cast<std::int32_t>(rules.size());
  m.RuleVersion = 1;
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);

  CRuleBase daemon;
  daemon.Load(Global::hRulesKey);
  EXPECT_EQ(daemon.getLoadedVersion(), m.RuleVersion);
  ASSERT_EQ(daemon.size(), rules.size());
  const ActionSettings settings;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const CRule& loaded = daemon.at(i);
    ASSERT_EQ(loaded.getActions().size(), rules[i].ActionTypes.size()) << "rule " << i + 1;
    for (std::size_t j = 0; j < rules[i].ActionTypes.size(); ++j) {
      const CActionListEntry& entry = loaded.getActions().at(j);
      EXPECT_EQ(entry.getType(), rules[i].ActionTypes[j]) << "rule " << i + 1 << " action " << j + 1;
      // An empty parameter is not stored: the daemon uses its global setting.
      EXPECT_EQ(entry.hasParameter(), !rules[i].ActionStrings[j].isEmpty());
      EXPECT_EQ(entry.getParameter().getNarrow(), toAnsi(rules[i].ActionStrings[j]));
    }
    for (const Probe& probe : kProbes)
      EXPECT_EQ(loaded.Matches(message(probe), settings), clientExpectsMatch(rules[i], probe))
          << "rule " << i + 1 << ", message \"" << probe.text << "\" from " << probe.host;
  }
}

TEST_F(RuleFormatTest, EverySaveMakesARunningDaemonReloadOnce) {
  Rules::Model& m = Rules::model();
  m.rules.resize(1);
  m.rules[0].Message = "first";
  m.RuleCount = 1;
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);

  CRuleBase daemon;
  daemon.Load(Global::hRulesKey);
  const std::int32_t first = daemon.getLoadedVersion();
  // An unchanged rule base saved again still counts as a change.
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  daemon.Load(Global::hRulesKey);
  EXPECT_EQ(daemon.getLoadedVersion(), first + 1);
  // The client's load of the same key sees what the daemon saw.
  Rules::LoadRules(Global::hRulesKey);
  EXPECT_EQ(m.RuleVersion, daemon.getLoadedVersion());
  EXPECT_EQ(m.rules[0].Message, "first");
}

}  // namespace
