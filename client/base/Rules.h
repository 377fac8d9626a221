// Rules: the rule base of the administered computer, held in memory.
//
// The rule editor and the wizard change only this model; LoadRules reads the
// Rules key into it and SaveRules writes it back, deleting and recreating the
// key in one registry transaction, so that a running daemon never reads half a
// rule base. A saved copy allows going back to the last load or save.
//
// Value layout of the Rules key: nRuleCount, nRuleVersion, and per rule i
// (from 1) R<i>RuleNumber, R<i>RuleName, R<i>Source, R<i>Priority,
// R<i>Facility, R<i>Message, R<i>ActionCount, and per action j (from 1)
// R<i>A<j>Type and R<i>A<j>String. A filter is in force exactly when its value
// is present.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/registry.h"

class QWidget;

namespace Rules {

struct RuleRecord {
  std::int32_t RuleNumber = 0;  // given at creation; not renumbered later
  QString RuleName;
  QString Source;              // empty: no source filter
  std::int32_t Priority = -1;  // 0..7; -1: no priority filter
  std::int32_t Facility = -1;  // 0..23; -1: no facility filter
  QString Message;             // empty: no message filter
  std::int32_t ActionCount = 0;
  // Element j-1 holds action j; both arrays have ActionCount elements.
  std::vector<std::int32_t> ActionTypes;
  std::vector<QString> ActionStrings;  // empty: the action uses the global setting

  bool operator==(const RuleRecord&) const = default;
};

// Action type codes, as stored in R<i>A<j>Type.
inline constexpr std::int32_t kDiscard = 1;
inline constexpr std::int32_t kWriteToOdbc = 1000;
inline constexpr std::int32_t kForwardToSyslog = 1001;
inline constexpr std::int32_t kSendEmail = 1002;
inline constexpr std::int32_t kWriteToFile = 1003;
inline constexpr std::int32_t kShellExec = 1004;
inline constexpr std::int32_t kNetSend = 1005;
inline constexpr std::int32_t kWriteToEventLog = 1007;

// A count read from the key above this is taken as this many: a damaged count
// cannot make the client allocate without bound.
inline constexpr std::int32_t kMaxCount = 100000;

// The module's state. Element i-1 of `rules` is rule i.
struct Model {
  std::vector<RuleRecord> rules;
  std::int32_t RuleCount = 0;
  std::int32_t RuleVersion = 0;  // nRuleVersion as last read or written
  std::vector<RuleRecord> savedRules;
  std::int32_t SavedRuleCount = 0;
  std::vector<RuleRecord> scratch;  // used while an array is resized
};

Model& model();

// Fills the model from the open Rules key. Sets Global::bNoRulesDefined when
// the key holds no rules. Unreadable values take their defaults.
void LoadRules(HKEY key);

// Writes the model to the Rules key of Global::szConnectedComputer and makes
// it the saved state, with RuleVersion raised by one. On return `hRulesKey`
// holds the handle of the recreated key. A save that could not be made is
// reported in an error box ("Unknown error occured while saving Rules - Code =
// N") and its result returned; the model is then already the saved state.
LONG SaveRules(HKEY& hRulesKey);

// Returns the working model to the saved state; the registry is not read.
void RevertRules();

// Copy the whole rule array to the scratch array; copy rules 1..count back
// from it (the rule array keeps its size) and empty the scratch array.
void BackupRules();
void RestoreRules(std::int32_t count);
// Copy rule `rule` to the scratch array; copy its action types and strings
// 1..count back into rule `rule`, whose arrays keep their size.
void BackupRule(std::int32_t rule);
void RestoreActions(std::int32_t rule, std::int32_t count);

// The longest texts that survive a save: a rule name is read back through a
// 256-byte buffer (a longer one loads empty), an action's parameter is read by
// the daemon up to 1023 characters (a longer one counts as absent, and the
// action would use the global setting instead).
inline constexpr int kMaxRuleNameBytes = 255;
inline constexpr int kMaxActionStringChars = 1023;
// True when `text` fits; otherwise an error box over `parent` says so and what
// the limit is, and the caller takes nothing.
bool RuleNameFits(const QString& text, QWidget* parent = nullptr);
bool ActionStringFits(const QString& text, QWidget* parent = nullptr);

// The label of an action node: "2. Write To File"; "2. " for a code without
// a label. The labels are the same in every language.
QString ActionLabel(std::int32_t number, std::int32_t type);

// What the editor's tree gets to show a new action: the rule, the new
// action's number and its label.
using AddActionNode = std::function<void(std::int32_t rule, std::int32_t action, const QString& label)>;

// Appends an action of `type` to the rule whose actions folder is selected
// (tree key "AC" followed by the rule number). With a prompt it first asks for
// the parameter with the client's input box (Dialogs::InputBox); Cancel, or a
// parameter longer than the daemon takes (reported), changes nothing. Returns
// the new action's number, or 0 when nothing was added.
std::int32_t AddActionToTree(std::int32_t type, const QString& prompt, const QString& title,
                             const QString& selectedKey, const AddActionNode& addNode = {});

}  // namespace Rules
