#include "rules/CRuleBase.h"

#include <string>

#include "platform/resource.h"
#include "platform/text.h"
#include "rules/rule_value_name.h"
#include "service/RegistryKey.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

// Thrown out of a load when the registry fails; the load then changes nothing.
struct ReadFailure {
  LONG code;
};

std::string narrow(const std::u16string& text) { return platform::toAnsi(text); }

const char* typeText(ValueRead read) {
  return read == ValueRead::kTooLong ? "is too long to be read" : "is stored with the wrong type";
}

std::int32_t readInt(const RegistryKey& key, const std::u16string& name, std::int32_t defaultValue) {
  DWORD value = 0;
  LONG error = ERROR_SUCCESS;
  switch (key.QueryDWord(name.c_str(), value, &error)) {
    case ValueRead::kPresent: return static_cast<std::int32_t>(value);
    case ValueRead::kFailed: throw ReadFailure{error};
    default: return defaultValue;
  }
}

// A count cut to `bound`, with one event when the stored number is larger.
std::int32_t readCount(const RegistryKey& key, const std::u16string& name, std::int32_t bound,
                       const char* what) {
  const std::int32_t count = readInt(key, name, 0);
  if (count <= bound) return count;
  const std::string text = "The value " + narrow(name) + " of the rule base holds " + std::to_string(count) +
                           ", more than the " + std::to_string(bound) + " " + what +
                           " that can be saved; the first " + std::to_string(bound) + " are loaded.";
  logDaemonEvent(EVENTLOG_WARNING_TYPE, kEventPlainText, {text.c_str()});
  return bound;
}

// Reads one filter value. A value present but unusable (too long, wrong
// type) is reported once and makes the rule match nothing.
template <typename Set>
void readFilter(ValueRead read, LONG error, const std::u16string& name, std::int32_t number, CRule& rule,
                Set&& set) {
  switch (read) {
    case ValueRead::kPresent: set(); return;
    case ValueRead::kMissing: return;
    case ValueRead::kFailed: throw ReadFailure{error};
    case ValueRead::kWrongType:
    case ValueRead::kTooLong: {
      rule.setMatchesNothing();
      const std::string text = "Rule " + std::to_string(number) + " matches no message: its filter value " +
                               narrow(name) + " " + typeText(read) + ".";
      logDaemonEvent(EVENTLOG_ERROR_TYPE, kEventGeneralError, {text.c_str()});
      return;
    }
  }
}

void readTextFilter(const RegistryKey& key, const std::u16string& name, std::int32_t number, CRule& rule,
                    void (CRule::*set)(const CTolvaneString&)) {
  CTolvaneString text;
  LONG error = ERROR_SUCCESS;
  const ValueRead read = key.QueryString(name.c_str(), text, kMaxFilterChars, &error);
  readFilter(read, error, name, number, rule, [&] { (rule.*set)(text); });
}

void readNumberFilter(const RegistryKey& key, const std::u16string& name, std::int32_t number, CRule& rule,
                      void (CRule::*set)(std::int32_t)) {
  DWORD value = 0;
  LONG error = ERROR_SUCCESS;
  const ValueRead read = key.QueryDWord(name.c_str(), value, &error);
  readFilter(read, error, name, number, rule, [&] { (rule.*set)(static_cast<std::int32_t>(value)); });
}

std::unique_ptr<CRule> readRule(const RegistryKey& key, std::int32_t number) {
  auto rule = std::make_unique<CRule>();
  readTextFilter(key, ruleValueName(number, "Source"), number, *rule, &CRule::setSourceFilter);
  readNumberFilter(key, ruleValueName(number, "Priority"), number, *rule, &CRule::setPriority);
  readNumberFilter(key, ruleValueName(number, "Facility"), number, *rule, &CRule::setFacility);
  readTextFilter(key, ruleValueName(number, "Message"), number, *rule, &CRule::setMessageFilter);

  const std::int32_t actionCount =
      readCount(key, ruleValueName(number, "ActionCount"), kMaxActionCount, "actions of a rule");
  for (std::int32_t action = 1; action <= actionCount; ++action) {
    CTolvaneString parameter;
    LONG error = ERROR_SUCCESS;
    // A parameter too long or of another type counts as absent: the global
    // setting applies, as for a missing one.
    const ValueRead read = key.QueryString(actionValueName(number, action, "String").c_str(), parameter,
                                           RegistryKey::kMaxStringChars, &error);
    if (read == ValueRead::kFailed) throw ReadFailure{error};
    const std::int32_t type = readInt(key, actionValueName(number, action, "Type"), 0);
    rule->getActions().Append(
        std::make_unique<CActionListEntry>(type, read == ValueRead::kPresent ? &parameter : nullptr));
  }
  return rule;
}

}  // namespace

LONG CRuleBase::Load(HKEY key) {
  // The version is read straight from the caller's handle: it is all that is
  // read when nothing changed.
  std::int32_t version = -1;
  if (key != nullptr) {
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    const LONG result =
        RegQueryValueExW(key, u"nRuleVersion", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(data)) {
      version = static_cast<std::int32_t>(data);
    } else if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND && result != ERROR_MORE_DATA) {
      return result;
    }
  }
  if (m_loaded && version == m_loadedVersion) return ERROR_SUCCESS;

  // The rules go through the daemon's one registry reader, on a new handle to
  // the same key, into a list of their own: only a load that read everything
  // replaces the rules in force.
  std::vector<std::unique_ptr<CRule>> rules;
  try {
    RegistryKey reader;
    if (key != nullptr) {
      if (const LONG opened = reader.Open(key, u"", KEY_READ); opened != ERROR_SUCCESS) return opened;
    }
    const std::int32_t ruleCount = readCount(reader, u"nRuleCount", kMaxRuleCount, "rules");
    for (std::int32_t number = 1; number <= ruleCount; ++number) rules.push_back(readRule(reader, number));
  } catch (const ReadFailure& failure) {
    return failure.code;
  }
  m_nodes = std::move(rules);
  m_loaded = true;
  m_loadedVersion = version;
  return ERROR_SUCCESS;
}

bool CRuleBase::CallRules(const SyslogMessage& message, const ActionSettings& settings) const {
  bool proceed = true;
  for (const auto& rule : m_nodes) {
    if (rule->Matches(message, settings)) proceed = rule->getActions().CallActions(message, settings);
    if (!proceed) break;
  }
  return proceed;
}

CRuleBase& ruleBase() {
  // Never destroyed: an action may still run while the process exits.
  static CRuleBase* const instance = new CRuleBase;
  return *instance;
}

LONG loadRuleBaseFromRegistry(CRuleBase& rules) {
  if (const LONG begun = RegBeginReadTransaction(HKEY_LOCAL_MACHINE); begun != ERROR_SUCCESS) return begun;
  LONG result = ERROR_SUCCESS;
  {
    RegistryKey key;
    const LONG opened = key.Open(HKEY_LOCAL_MACHINE, kRulesKeyPath, KEY_READ);
    if (opened == ERROR_SUCCESS || opened == ERROR_FILE_NOT_FOUND) {
      result = rules.Load(key.isOpen() ? key.getHandle() : nullptr);
    } else {
      result = opened;
    }
  }
  RegRollbackTransaction(HKEY_LOCAL_MACHINE);  // it only read
  return result;
}

void reportRuleBaseReadFailure(LONG error) {
  std::string text = "The rule base could not be read from the registry (error " + std::to_string(error);
  if (const auto system = platform::systemErrorText(static_cast<DWORD>(error))) {
    std::string reason = *system;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    text += ": " + reason;
  }
  text += "). The rules loaded before stay in force until it can be read.";
  logDaemonEvent(EVENTLOG_ERROR_TYPE, kEventGeneralError, {text.c_str()});
}

RuleBaseReloader::~RuleBaseReloader() {
  if (m_hive != nullptr) RegCloseKey(m_hive);
}

void RuleBaseReloader::Refresh() {
  if (m_hive == nullptr && RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, &m_hive) != ERROR_SUCCESS) {
    m_hive = nullptr;
  }
  std::uint64_t changes = 0;
  LONG result = RegQueryHiveChangeCount(m_hive != nullptr ? m_hive : HKEY_LOCAL_MACHINE, &changes);
  if (result == ERROR_SUCCESS) {
    if (m_upToDate && changes == m_seenChanges && m_rules.isLoaded()) return;
    result = m_load(m_rules);
    // The next question goes to the hive file as it is now.
    if (m_hive != nullptr) RegCloseKey(m_hive);
    m_hive = nullptr;
  }
  if (result == ERROR_SUCCESS) {
    m_seenChanges = changes;
    m_upToDate = true;
    m_failing = false;
    return;
  }
  m_upToDate = false;
  if (!m_failing) reportRuleBaseReadFailure(result);
  m_failing = true;
}
