#include "service/service_events.h"

#include <vector>

void logDaemonEvent(WORD type, DWORD eventId, std::initializer_list<const char*> inserts) {
  std::vector<LPCSTR> strings;
  for (const char* insert : inserts) {
    if (insert != nullptr) strings.push_back(insert);
  }
  HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
  if (source == nullptr) return;
  ReportEventA(source, type, 0, eventId, nullptr, static_cast<WORD>(strings.size()), 0,
               strings.empty() ? nullptr : strings.data(), nullptr);
  DeregisterEventSource(source);
}
