// .reg text, the "Windows Registry Editor Version 5.00" format, read and
// written as a list of entries, and carried to and from the registry.
//
// The text we write is UTF-8 with LF line ends (Windows writes UTF-16LE with a
// byte order mark and CR LF; we read both, and UTF-8 with or without a BOM).
// A file starts with the line "Windows Registry Editor Version 5.00"; then:
//   [HKEY_LOCAL_MACHINE\Path\Key]   a key (created on import)
//   [-HKEY_LOCAL_MACHINE\Path\Key]  deletes the key and everything below it
//   "Name"="text"                   REG_SZ; \\ and \" are the only escapes
//   @="text"                        the default value (the unnamed one)
//   "Name"=dword:0000002a           REG_DWORD
//   "Name"=hex:01,ff                REG_BINARY
//   "Name"=hex(7):61,00,00,00,00,00 any type by number, as raw (UTF-16LE) bytes:
//                                   hex(0) REG_NONE, hex(1) REG_SZ, hex(2)
//                                   REG_EXPAND_SZ, hex(4), hex(7) REG_MULTI_SZ,
//                                   hex(b) REG_QWORD ...
//   "Name"=-                        deletes the value
// A line ending in a backslash continues on the next line (used for long hex
// data). Lines starting with ';' are comments. The roots are HKEY_LOCAL_MACHINE
// and HKEY_CURRENT_USER, also written HKLM and HKCU, in any case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform::regfile {

enum class Root { kLocalMachine, kCurrentUser };

HKEY rootKey(Root root);
std::u16string_view rootName(Root root);  // "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"

struct Entry {
  enum class Kind { kKey, kDeleteKey, kValue, kDeleteValue };
  Kind kind = Kind::kKey;
  Root root = Root::kLocalMachine;
  std::u16string path;  // below the root, backslash-separated; empty: the root itself
  std::u16string name;  // value name; empty: the default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;  // as the registry keeps it: strings are UTF-16LE
  int line = 0;            // where a parsed entry came from

  bool operator==(const Entry& o) const {
    return kind == o.kind && root == o.root && path == o.path && name == o.name && type == o.type &&
           data == o.data;  // the line is not part of what an entry means
  }
};
using Document = std::vector<Entry>;

struct Error {
  int line = 0;  // 0 when the failure is not tied to a line
  std::string message;
};

// "HKLM\Software\X", "HKEY_CURRENT_USER", ... into a root and the path below
// it (one trailing backslash is dropped). False, with *message set, for an
// unknown root or a path with an empty or over-long (255) component.
bool parseKeyPath(std::u16string_view text, Root* root, std::u16string* path, std::string* message);

// Parses the whole text. On failure returns false with the line number and
// reason in *error, and *doc is unspecified.
bool parse(std::string_view bytes, Document* doc, Error* error);

// Writes the entries as .reg text. Text values that are not plain one-line
// text (no terminating zero, embedded zeros or line breaks, bytes that were
// not UTF-8) are written as hex(1) so that they come back byte for byte.
// Fails for a name the format cannot carry (one holding a line break or zero).
bool format(const Document& doc, std::string* out, Error* error);

// Reads the key and everything below it: a kKey entry per key, followed by its
// values, keys and values in name order, names in their stored case. Reads one
// consistent state of the hive.
LONG read(Root root, std::u16string_view path, Document* doc);

// Applies the entries in order, in one transaction per hive, so that a failure
// changes nothing (when both hives are named, a failure of the second commit
// cannot undo the first). Deleting what does not exist is not an error.
LONG apply(const Document& doc, Error* error);

// A short description of a registry result code, with the code, for messages.
std::string errorText(LONG code);

// read + format.
LONG exportKey(Root root, std::u16string_view path, std::string* text, Error* error);

}  // namespace platform::regfile
