#include "reception/EventRecord.h"

#include <ctime>

#include "platform/eventlog.h"

EventRecord::EventRecord() : m_receivedAt(static_cast<TimeValue>(std::time(nullptr))) {}

EventRecord::~EventRecord() = default;

void EventRecord::setMessage(const CTolvaneString& message) { m_message = message; }

std::int32_t EventRecord::getPriority() const { return 5; }

std::int32_t EventRecord::getFacility() const { return 128; }

std::int32_t EventRecord::getEventType() const { return EVENTLOG_INFORMATION_TYPE; }

const WCHAR* EventRecord::getDescription() const { return u"unknown"; }

std::int32_t EventRecord::getMessageLength() const { return m_message.getLength(); }

const WCHAR* EventRecord::getMessageW() const { return m_message.getWide(); }

const char* EventRecord::getMessageA() const { return m_message.getNarrow(); }

CTolvaneString& EventRecord::getMessageString(CTolvaneString& target) const {
  target = m_message;
  return target;
}

const WCHAR* EventRecord::getText() const { return getMessageW(); }
