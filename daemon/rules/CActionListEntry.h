// CActionListEntry: one stored action of a rule (R<i>A<j>Type and
// R<i>A<j>String).
#pragma once

#include <cstdint>

#include "reception/SyslogMessage.h"
#include "rules/ActionSettings.h"
#include "rules/output_guard.h"
#include "service/CTolvaneString.h"

class CActionListEntry {
 public:
  CActionListEntry(std::int32_t type, const CTolvaneString* parameter);
  virtual ~CActionListEntry();

  // Runs the action for one message: false when processing of the message
  // must stop (Discard, or its output is suspended or was suspended by this
  // message's failure: rules/output_guard.h), true otherwise. Any other
  // CErrorReport from the action passes on unchanged; the action object is
  // released either way.
  bool CallAction(const SyslogMessage& message, const ActionSettings& settings) const;

  std::int32_t getType() const { return m_type; }
  bool hasParameter() const { return m_hasParameter; }
  // Empty when there is no parameter.
  const CTolvaneString& getParameter() const { return m_parameter; }

 private:
  std::int32_t m_type;
  CTolvaneString m_parameter;
  bool m_hasParameter;
  mutable OutputSlot m_output;  // only the thread that runs the actions uses it
};
