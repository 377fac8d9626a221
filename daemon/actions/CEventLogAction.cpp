#include "actions/CEventLogAction.h"

#include <string>

#include "platform/eventlog.h"
#include "platform/text.h"

namespace {

// Closes the source however the report went, so that no burst of messages can
// use up event log handles.
class SourceHandle {
 public:
  explicit SourceHandle(HANDLE handle) : m_handle(handle) {}
  ~SourceHandle() {
    if (m_handle != nullptr) DeregisterEventSource(m_handle);
  }
  SourceHandle(const SourceHandle&) = delete;
  SourceHandle& operator=(const SourceHandle&) = delete;
  HANDLE get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

std::u16string decimal(std::int32_t value) {
  // "%u": a negative value shows as its unsigned 32-bit form.
  return platform::toWide(std::to_string(static_cast<std::uint32_t>(value)));
}

}  // namespace

void CEventLogAction::Execute(const SyslogMessage& message, const ActionSettings& settings,
                              const CActionListEntry&) {
  const WORD type = static_cast<WORD>(message.getEventType());
  if (settings.replaceEventLogSource != 0) {
    const SourceHandle source(RegisterEventSourceW(nullptr, message.getFromHost().getWide()));
    if (source.get() == nullptr) return;
    LPCWSTR strings[] = {message.getMessageW()};
    ReportEventW(source.get(), type, static_cast<WORD>(message.getPriority()),
                 static_cast<DWORD>(message.getFacility()), nullptr, 1, 0, strings, nullptr);
    return;
  }
  const SourceHandle source(RegisterEventSourceA(nullptr, settings.eventSource.c_str()));
  if (source.get() == nullptr) return;
  const std::u16string facility = decimal(message.getFacility());
  const std::u16string priority = decimal(message.getPriority());
  LPCWSTR strings[] = {facility.c_str(), priority.c_str(), message.getFromHost().getWide(),
                       message.getMessageW()};
  ReportEventW(source.get(), type, static_cast<WORD>(settings.eventCategory),
               static_cast<DWORD>(settings.eventId), nullptr, 4, 0, strings, nullptr);
}
