// Text between the client's QStrings and the platform's ANSI code page.
//
// The registry's A calls and the debugger output take ANSI text; the client
// shows QStrings. Both directions go through the platform's lossless wide form,
// so a registry string holding bytes that are not UTF-8 comes back byte for
// byte when the client writes it again (a QString keeps the lone surrogates
// that stand for such bytes).
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "platform/text.h"

inline QString fromAnsi(std::string_view ansi) {
  return QString::fromStdU16String(platform::toWide(ansi));
}

inline std::string toAnsi(const QString& text) {
  return platform::toAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                              static_cast<std::size_t>(text.size())));
}
