// The resource source format that corvrc reads.
//
//   # a comment (also // ...), to the end of the line
//   LANGUAGE 1033                   the resources' language (default 1033)
//
//   MESSAGETABLE                    at most one: resource 11, id 1
//   BEGIN
//     1   "Error calling closesocket()\r\n%1\r\n"
//     8   "first part "             adjacent strings are joined, so a long
//         "second part\r\n"         text can span lines
//   END
//
//   VERSIONINFO                     at most one: resource 16, id 1
//   BEGIN
//     FILEVERSION 3,70,0,124
//     PRODUCTVERSION 3,70,0,124
//     VALUE "ProductName" "Corvantel"   any number of string entries
//   END
//
// Message ids are decimal (0 to 4294967295), each defined once. Strings are in
// double quotes with the escapes \r \n \t \\ \" and \xHH (not \x00); every other
// byte is taken as written, so texts are stored in the ANSI code page as they
// appear in the file. %1, %r, %n and the other FormatMessage escapes are kept
// for the formatter. Errors are reported as "file:line: what".
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
