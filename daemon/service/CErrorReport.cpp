#include "service/CErrorReport.h"

namespace {
// Made once and never destroyed, so that a report thrown or logged while the
// process exits still finds its class name. The narrow form is made here, before
// any other thread can see the object, so that later getNarrow calls only read.
const CTolvaneString& makeClassName(const char16_t* name) {
  auto* text = new CTolvaneString(name);
  text->getNarrow();
  return *text;
}
}  // namespace

CErrorReport::CErrorReport(std::int32_t number, std::int32_t code, const WCHAR* text)
    : m_number(number), m_code(code), m_text(text) {}

CErrorReport::CErrorReport(std::int32_t number, std::int32_t code, const char* text)
    : m_number(number), m_code(code), m_text(text) {}

CErrorReport::~CErrorReport() = default;

const CTolvaneString& CErrorReport::getClassName() const {
  static const CTolvaneString& name = makeClassName(u"CErrorReport");
  return name;
}

const CTolvaneString& CWinSockError::getClassName() const {
  static const CTolvaneString& name = makeClassName(u"CWinSockError");
  return name;
}
