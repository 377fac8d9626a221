// CRule: one rule of the rule base: up to four filters, each in force only
// when its value was present, and the rule's actions.
#pragma once

#include <cstdint>

#include "rules/CActionList.h"
#include "service/CTolvaneString.h"

class CRule {
 public:
  CRule();
  virtual ~CRule();

  // True when every filter in force accepts the message: facility and
  // priority by equality, message and source text as case-sensitive
  // substrings of the message text and the sending host. The settings are not
  // consulted.
  bool Matches(const SyslogMessage& message, const ActionSettings& settings) const;

  void setFacility(std::int32_t facility);
  void setPriority(std::int32_t priority);
  void setMessageFilter(const CTolvaneString& text);
  void setSourceFilter(const CTolvaneString& text);
  // A rule whose filter could not be read matches no message: left out, the
  // filter would let through everything it was meant to hold back.
  void setMatchesNothing() { m_matchesNothing = true; }
  bool matchesNothing() const { return m_matchesNothing; }

  CActionList& getActions() { return m_actions; }
  const CActionList& getActions() const { return m_actions; }

 private:
  CActionList m_actions;
  std::int32_t m_facility = 0;
  bool m_hasFacility = false;
  std::int32_t m_priority = 0;
  bool m_hasPriority = false;
  CTolvaneString m_messageFilter;
  bool m_hasMessage = false;
  CTolvaneString m_sourceFilter;
  bool m_hasSource = false;
  bool m_matchesNothing = false;
};
