#include "Rules.h"

#include <algorithm>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "ansi_text.h"
#include "dialogs.h"
#include "trace.h"

namespace Rules {

namespace {

QString ruleValue(std::int32_t rule, const char* suffix) {
  return QStringLiteral("R%1%2").arg(rule).arg(QLatin1String(suffix));
}

QString actionValue(std::int32_t rule, std::int32_t action, const char* suffix) {
  return QStringLiteral("R%1A%2%3").arg(rule).arg(action).arg(QLatin1String(suffix));
}

std::int32_t boundedCount(std::int32_t count) { return std::clamp(count, 0, kMaxCount); }

void reportSaveError(LONG code) {
  Dialogs::MsgBox(Messages::GetMessageText(227) + QString::number(code), Dialogs::Icon::Error);
}

void writeRules(HKEY key, const Model& m) {
  using namespace Registry;
  SetNumberValue(key, QStringLiteral("nRuleCount"), m.RuleCount);
  SetNumberValue(key, QStringLiteral("nRuleVersion"), m.RuleVersion);
  for (std::int32_t i = 1; i <= m.RuleCount && i <= static_cast<std::int32_t>(m.rules.size()); ++i) {
    const RuleRecord& rule = m.rules[i - 1];
    SetNumberValue(key, ruleValue(i, "RuleNumber"), rule.RuleNumber);
    SetStringValue(key, ruleValue(i, "RuleName"), rule.RuleName, /*keepEmpty=*/true);
    SetStringValue(key, ruleValue(i, "Source"), rule.Source);
    if (rule.Priority >= 0) SetNumberValue(key, ruleValue(i, "Priority"), rule.Priority);
    else DeleteValue(key, ruleValue(i, "Priority"));
    if (rule.Facility >= 0) SetNumberValue(key, ruleValue(i, "Facility"), rule.Facility);
    else DeleteValue(key, ruleValue(i, "Facility"));
    SetStringValue(key, ruleValue(i, "Message"), rule.Message);
    SetNumberValue(key, ruleValue(i, "ActionCount"), rule.ActionCount);
    for (std::int32_t j = 1; j <= rule.ActionCount && j <= static_cast<std::int32_t>(rule.ActionTypes.size()); ++j) {
      SetNumberValue(key, actionValue(i, j, "Type"), rule.ActionTypes[j - 1]);
      SetStringValue(key, actionValue(i, j, "String"), rule.ActionStrings[j - 1]);
    }
  }
}

}  // namespace

Model& model() {
  static Model state;
  return state;
}

void LoadRules(HKEY key) {
  using Registry::QueryDWordValue;
  using Registry::QueryStringValue;
  Model& m = model();
  m.RuleCount = boundedCount(QueryDWordValue(key, QStringLiteral("nRuleCount"), 0));
  m.RuleVersion = QueryDWordValue(key, QStringLiteral("nRuleVersion"), 1);
  m.SavedRuleCount = m.RuleCount;
  m.rules.clear();
  // Cleared as well as set, so that a computer chosen later with rules does
  // not inherit the previous computer's answer.
  Global::bNoRulesDefined = m.RuleCount == 0;
  m.rules.resize(static_cast<std::size_t>(m.RuleCount));
  for (std::int32_t i = 1; i <= m.RuleCount; ++i) {
    RuleRecord& rule = m.rules[i - 1];
    rule.RuleNumber = QueryDWordValue(key, ruleValue(i, "RuleNumber"), 0);
    rule.RuleName = QueryStringValue(key, ruleValue(i, "RuleName"), QString());
    // Filters and parameters are read as long as the daemon reads them: cut
    // to the name's 255 bytes they would load empty, and the next save would
    // drop them, leaving a rule that matches everything.
    rule.Source = QueryStringValue(key, ruleValue(i, "Source"), QString(), nullptr, Registry::kFilterStringBuffer);
    rule.Priority = QueryDWordValue(key, ruleValue(i, "Priority"), -1);
    rule.Facility = QueryDWordValue(key, ruleValue(i, "Facility"), -1);
    rule.Message = QueryStringValue(key, ruleValue(i, "Message"), QString(), nullptr, Registry::kFilterStringBuffer);
    rule.ActionCount = boundedCount(QueryDWordValue(key, ruleValue(i, "ActionCount"), 0));
    rule.ActionTypes.resize(static_cast<std::size_t>(rule.ActionCount));
    rule.ActionStrings.resize(static_cast<std::size_t>(rule.ActionCount));
    for (std::int32_t j = 1; j <= rule.ActionCount; ++j) {
      rule.ActionTypes[j - 1] = QueryDWordValue(key, actionValue(i, j, "Type"), 0);
      rule.ActionStrings[j - 1] =
          QueryStringValue(key, actionValue(i, j, "String"), QString(), nullptr, Registry::kLongStringBuffer);
    }
  }
  m.savedRules = m.rules;
}

LONG SaveRules(HKEY& hRulesKey) {
  Model& m = model();
  m.savedRules = m.rules;
  m.SavedRuleCount = m.RuleCount;
  m.RuleVersion += 1;

  const bool remote = !Global::isLocalComputer(Global::szConnectedComputer);
  HKEY root = HKEY_LOCAL_MACHINE;
  if (remote) {
    if (const LONG rc = RegConnectRegistryA(toAnsi(Global::szConnectedComputer).c_str(), HKEY_LOCAL_MACHINE, &root);
        rc != ERROR_SUCCESS) {
      reportSaveError(rc);
      return rc;
    }
  }
  const auto closeRoot = [&] {
    if (remote) RegCloseKey(root);
  };

  // Delete, recreate and fill the key in one transaction: a daemon reloading
  // meanwhile sees the old rule base or the new one, never a mixture.
  if (const LONG rc = RegBeginTransaction(root); rc != ERROR_SUCCESS) {
    reportSaveError(rc);
    closeRoot();
    return rc;
  }
  const LONG deleted = RegDeleteKeyA(root, Global::kRulesKeyPath);
  if (remote && deleted != ERROR_SUCCESS) {
    RegRollbackTransaction(root);
    reportSaveError(deleted);
    closeRoot();
    return deleted;
  }
  // Locally a key that could not be deleted (it has subkeys, say) is written
  // over: every value is set or deleted, so removed filters do not survive.
  // Opening it anew rather than writing through the old handle also covers a
  // key that someone else deleted after it was opened.
  HKEY key = nullptr;
  if (const LONG rc = RegCreateKeyA(root, Global::kRulesKeyPath, &key); rc != ERROR_SUCCESS) {
    RegRollbackTransaction(root);
    reportSaveError(rc);
    closeRoot();
    return rc;
  }
  writeRules(key, m);
  if (const LONG rc = RegCommitTransaction(root); rc != ERROR_SUCCESS) {
    RegCloseKey(key);
    reportSaveError(rc);
    closeRoot();
    return rc;
  }
  if (hRulesKey != nullptr) RegCloseKey(hRulesKey);
  hRulesKey = key;
  closeRoot();
  return ERROR_SUCCESS;
}

void RevertRules() {
  Model& m = model();
  m.RuleCount = m.SavedRuleCount;
  m.rules = m.savedRules;
}

void BackupRules() { model().scratch = model().rules; }

void RestoreRules(std::int32_t count) {
  Model& m = model();
  const auto limit = static_cast<std::int32_t>(std::min(m.rules.size(), m.scratch.size()));
  for (std::int32_t i = 1; i <= count && i <= limit; ++i) m.rules[i - 1] = m.scratch[i - 1];
  m.scratch.clear();
}

void BackupRule(std::int32_t rule) {
  Model& m = model();
  m.scratch.clear();
  if (rule >= 1 && rule <= static_cast<std::int32_t>(m.rules.size())) m.scratch.push_back(m.rules[rule - 1]);
}

void RestoreActions(std::int32_t rule, std::int32_t count) {
  Model& m = model();
  if (m.scratch.empty() || rule < 1 || rule > static_cast<std::int32_t>(m.rules.size())) return;
  RuleRecord& target = m.rules[rule - 1];
  const RuleRecord& saved = m.scratch.front();
  for (std::int32_t j = 1; j <= count; ++j) {
    const auto index = static_cast<std::size_t>(j - 1);
    if (index >= target.ActionTypes.size() || index >= saved.ActionTypes.size()) break;
    target.ActionTypes[index] = saved.ActionTypes[index];
    target.ActionStrings[index] = saved.ActionStrings[index];
  }
}

namespace {

bool fits(bool fitting, int limitText, QWidget* parent) {
  if (!fitting)
    Dialogs::MsgBox(Messages::GetMessageText(2300) + QStringLiteral("\r\n") + Messages::GetMessageText(limitText),
                    Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), parent);
  return fitting;
}

}  // namespace

bool RuleNameFits(const QString& text, QWidget* parent) {
  return fits(toAnsi(text).size() <= static_cast<std::size_t>(kMaxRuleNameBytes), 2301, parent);
}

bool ActionStringFits(const QString& text, QWidget* parent) {
  return fits(text.size() <= kMaxActionStringChars, 2302, parent);
}

QString ActionLabel(std::int32_t number, std::int32_t type) {
  const char* label = "";
  switch (type) {
    case kDiscard: label = "Discard"; break;
    case kWriteToOdbc: label = "Write To ODBC"; break;
    case kForwardToSyslog: label = "Forward To Syslog"; break;
    case kSendEmail: label = "Send Email"; break;
    case kWriteToFile: label = "Write To File"; break;
    case kShellExec: label = "Shell Exec"; break;
    case kNetSend: label = "Net send"; break;
    case kWriteToEventLog: label = "Write To EventLog"; break;
    default: break;
  }
  return QStringLiteral("%1. %2").arg(number).arg(QLatin1String(label));
}

std::int32_t AddActionToTree(std::int32_t type, const QString& prompt, const QString& title,
                             const QString& selectedKey, const AddActionNode& addNode) {
  DebugTrace(QStringLiteral("AddActionToTree: Begin TYPE=%1").arg(type));
  QString parameter;
  if (!prompt.isEmpty()) {
    const Dialogs::InputBoxResult answer = Dialogs::InputBox(prompt, title);
    if (answer.cancelled || !ActionStringFits(answer.text)) return 0;
    parameter = answer.text;
  }
  DebugTrace(QStringLiteral("AddActionToTree: After InputBox"));

  Model& m = model();
  bool isNumber = false;
  const std::int32_t rule = selectedKey.mid(2).toInt(&isNumber);
  if (!selectedKey.startsWith(QLatin1String("AC")) || !isNumber || rule < 1 ||
      rule > static_cast<std::int32_t>(m.rules.size()))
    return 0;  // not a rule's actions folder

  DebugTrace(QStringLiteral("AddActionToTree: Backup Ruleset"));
  BackupRule(rule);
  RuleRecord& target = m.rules[rule - 1];
  const std::int32_t number = target.ActionCount + 1;
  DebugTrace(QStringLiteral("AddActionToTree: REDIm ARRAYs"));
  target.ActionCount = number;
  target.ActionTypes.assign(static_cast<std::size_t>(number), 0);
  target.ActionStrings.assign(static_cast<std::size_t>(number), QString());
  DebugTrace(QStringLiteral("AddActionToTree: Restore Actions"));
  RestoreActions(rule, number - 1);
  target.ActionTypes[number - 1] = type;
  target.ActionStrings[number - 1] = parameter;
  DebugTrace(QStringLiteral("AddActionToTree: Add to Treeview"));
  if (addNode) addNode(rule, number, ActionLabel(number, type));
  return number;
}

}  // namespace Rules
