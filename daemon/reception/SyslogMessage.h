// SyslogMessage: the daemon's record of one received syslog message. The receive
// loop owns one and refills it for every datagram; consumers get it by reference
// for one dispatch and keep no pointer to it.
#pragma once

#include "reception/EventRecord.h"

class SyslogMessage : public EventRecord {
 public:
  // Facility 16 (local0), priority 5 (notice), empty texts, received now.
  SyslogMessage();
  SyslogMessage(const SyslogMessage&) = default;
  SyslogMessage& operator=(const SyslogMessage&) = default;
  ~SyslogMessage() override;

  std::int32_t getPriority() const override;
  std::int32_t getFacility() const override;
  // Priorities 0..3 give an error, 4 a warning, anything else information.
  std::int32_t getEventType() const override;
  const WCHAR* getDescription() const override;

  void setFromHost(const CTolvaneString& host);
  void setReceivedAt(TimeValue time);
  // Stored only when 0..23; any other value keeps the previous facility.
  void setFacility(std::int32_t facility);
  // Stored only when 0..7; any other value keeps the previous priority.
  void setPriority(std::int32_t priority);

 private:
  std::int32_t m_facility = 16;
  std::int32_t m_priority = 5;
};
