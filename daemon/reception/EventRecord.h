// EventRecord: one event as filters and actions see it. Their only view of a
// message is these virtual accessors; SyslogMessage is the one kind the daemon
// creates.
#pragma once

#include <cstdint>

#include "reception/message_time.h"
#include "service/CTolvaneString.h"

class EventRecord {
 public:
  virtual ~EventRecord();

  // Replaces the text with a copy of `message`.
  virtual void setMessage(const CTolvaneString& message);
  virtual std::int32_t getPriority() const;   // 5 for an unspecified event
  virtual std::int32_t getFacility() const;   // 128: no syslog facility
  virtual std::int32_t getEventType() const;  // EVENTLOG_INFORMATION_TYPE
  virtual const WCHAR* getDescription() const;
  // Length in wide characters.
  virtual std::int32_t getMessageLength() const;
  // Never null; valid until the text changes.
  virtual const WCHAR* getMessageW() const;
  // The text in the ANSI code page; valid until the text changes.
  virtual const char* getMessageA() const;
  // Copies the text into `target` and returns it.
  virtual CTolvaneString& getMessageString(CTolvaneString& target) const;
  virtual const WCHAR* getText() const;

  // The text itself, for a consumer that copies it anyway.
  const CTolvaneString& getMessageText() const { return m_message; }
  const CTolvaneString& getFromHost() const { return m_fromHost; }
  TimeValue getReceivedAt() const { return m_receivedAt; }

 protected:
  // receivedAt starts as the moment of construction.
  EventRecord();
  EventRecord(const EventRecord&) = default;
  EventRecord& operator=(const EventRecord&) = default;

  CTolvaneString m_message;   // text after the PRI part
  CTolvaneString m_fromHost;  // dotted IPv4 address or resolved name
  TimeValue m_receivedAt;     // seconds since 1970 UTC
};
