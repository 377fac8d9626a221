// The resource source format that corvrc reads (see README.md beside this file).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/resource.h"

namespace corvrc {

struct RcSource {
  WORD language = kLanguageEnglishUs;
  std::map<DWORD, std::string> messages;  // id -> text (bytes as written, escapes resolved)
  std::optional<platform::VersionInfoSource> version;
};

// Parses a source text. On error returns nullopt and sets error to
// "<line>: <what>" for the first problem found.
std::optional<RcSource> parseRcSource(const std::string& text, std::string& error);

// The resource container of a parsed source: message table 11/1 and version 16/1.
std::optional<std::vector<BYTE>> compileRcSource(const RcSource& source, std::string& error);

// A C++ translation unit that places bytes in the resource section.
std::string generateCpp(const std::vector<BYTE>& container, const std::string& sourceName);

}  // namespace corvrc
