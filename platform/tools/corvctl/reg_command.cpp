// corvctl reg: query, get, add, delete, export and import registry keys.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "commands.h"
#include "platform/reg_file.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace corvctl {

namespace {

using platform::regfile::Root;
using Bytes = std::vector<BYTE>;

constexpr const char* kRegUsage =
    "usage: corvctl reg query  KEY [NAME]\n"
    "       corvctl reg get    KEY NAME\n"
    "       corvctl reg add    KEY [NAME TYPE DATA]\n"
    "       corvctl reg delete KEY [NAME]\n"
    "       corvctl reg export KEY FILE      (FILE - is standard output)\n"
    "       corvctl reg import FILE          (FILE - is standard input)\n"
    "KEY is HKLM\\... or HKEY_LOCAL_MACHINE\\... (likewise HKCU, HKEY_CURRENT_USER).\n"
    "NAME \"\" is the default value. TYPE is REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ (items\n"
    "separated by \\0), REG_DWORD or REG_QWORD (decimal or 0x hex), REG_BINARY or REG_NONE\n"
    "(hex digits).\n";

int usage(const std::string& problem = {}) {
  if (!problem.empty()) std::fprintf(stderr, "corvctl: %s\n", problem.c_str());
  std::fputs(kRegUsage, stderr);
  return kExitUsage;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "corvctl: %s\n", message.c_str());
  return kExitFailure;
}

struct KeyArg {
  Root root;
  std::u16string path;
  std::string display;  // HKEY_LOCAL_MACHINE\path, for output and messages

  HKEY rootKey() const { return platform::regfile::rootKey(root); }
  const WCHAR* pathArg() const { return path.empty() ? nullptr : path.c_str(); }
};

std::optional<KeyArg> parseKey(const std::string& text, std::string* message) {
  KeyArg key;
  if (!platform::regfile::parseKeyPath(platform::toWide(text), &key.root, &key.path, message))
    return std::nullopt;
  key.display = platform::toAnsi(platform::regfile::rootName(key.root));
  if (!key.path.empty()) key.display += "\\" + platform::toAnsi(key.path);
  return key;
}

std::string registryFailure(const std::string& what, LONG code) {
  if (code == ERROR_FILE_NOT_FOUND) return what + ": not found";
  return what + ": " + platform::regfile::errorText(code);
}

// ---- showing values ----

std::string typeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN:
      return "REG_DWORD_BIG_ENDIAN";
    case 6:
      return "REG_LINK";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case 8:
      return "REG_RESOURCE_LIST";
    case 9:
      return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10:
      return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD:
      return "REG_QWORD";
    default: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%X", type);
      return buf;
    }
  }
}

std::u16string units(const Bytes& data) { return platform::fromUtf16leBytes(data.data(), data.size()); }

// Text up to its terminating zero, in the ANSI code page (bytes come back as stored).
std::string text(const Bytes& data) {
  std::u16string s = units(data);
  s.resize(std::min(s.size(), s.find(u'\0')));
  return platform::toAnsi(s);
}

std::vector<std::string> multiText(const Bytes& data) {
  std::vector<std::string> items;
  const std::u16string s = units(data);
  for (std::size_t start = 0; start < s.size();) {
    const std::size_t end = std::min(s.size(), s.find(u'\0', start));
    if (end == start) break;  // the empty string ends the list
    items.push_back(platform::toAnsi(std::u16string_view(s).substr(start, end - start)));
    start = end + 1;
  }
  return items;
}

std::string hex(const Bytes& data) {
  std::string out;
  char buf[3];
  for (BYTE b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

std::uint64_t littleEndian(const Bytes& data) {
  std::uint64_t v = 0;
  for (std::size_t i = data.size(); i > 0; --i) v = (v << 8) | data[i - 1];
  return v;
}

// As reg.exe shows a value in a listing: numbers in hex, lists joined by \0.
std::string listing(DWORD type, const Bytes& data) {
  char buf[32];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return text(data);
    case REG_MULTI_SZ: {
      std::string out;
      for (const auto& item : multiText(data)) out += (out.empty() ? "" : "\\0") + item;
      return out;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
      if (data.size() != 4) break;
      std::snprintf(buf, sizeof buf, "0x%x",
                    type == REG_DWORD
                        ? static_cast<unsigned>(littleEndian(data))
                        : static_cast<unsigned>(data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3]));
      return buf;
    case REG_QWORD:
      if (data.size() != 8) break;
      std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(littleEndian(data)));
      return buf;
  }
  return hex(data);
}

// As `get` prints a value: data only, numbers in decimal, one line per list item.
std::string dataOnly(DWORD type, const Bytes& data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return text(data) + "\n";
    case REG_MULTI_SZ: {
      std::string out;
      for (const auto& item : multiText(data)) out += item + "\n";
      return out;
    }
    case REG_DWORD:
      if (data.size() == 4) return std::to_string(littleEndian(data)) + "\n";
      break;
    case REG_DWORD_BIG_ENDIAN:
      if (data.size() == 4)
        return std::to_string(data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3]) + "\n";
      break;
    case REG_QWORD:
      if (data.size() == 8) return std::to_string(littleEndian(data)) + "\n";
      break;
  }
  return hex(data) + "\n";
}

void writeOut(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

LONG readValue(HKEY key, const std::u16string& name, DWORD* type, Bytes* data) {
  for (;;) {
    DWORD size = 0;
    if (LONG e = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size)) return e;
    data->assign(size, 0);
    const LONG e = RegQueryValueExW(key, name.c_str(), nullptr, type, data->data(), &size);
    if (e == ERROR_MORE_DATA) continue;  // it grew meanwhile
    data->resize(size);
    return e;
  }
}

std::string valueLine(const std::u16string& name, DWORD type, const Bytes& data) {
  return "    " + (name.empty() ? std::string("(Default)") : platform::toAnsi(name)) + "    " +
         typeName(type) + "    " + listing(type, data) + "\n";
}

// ---- parsing DATA ----

template <typename T>
bool parseNumber(const std::string& s, T* out) {
  using Signed = std::make_signed_t<T>;
  const char* first = s.data();
  const char* last = s.data() + s.size();
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    auto [p, ec] = std::from_chars(first + 2, last, *out, 16);
    return ec == std::errc() && p == last;
  }
  if (!s.empty() && s[0] == '-') {  // stored as the two's complement, as the programs read it
    Signed v = 0;
    auto [p, ec] = std::from_chars(first, last, v, 10);
    *out = static_cast<T>(v);
    return ec == std::errc() && p == last;
  }
  auto [p, ec] = std::from_chars(first, last, *out, 10);
  return ec == std::errc() && p == last;
}

bool parseHexBytes(const std::string& s, Bytes* out) {
  if (s.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data() + i, s.data() + i + 2, v, 16);
    if (ec != std::errc() || p != s.data() + i + 2) return false;
    out->push_back(static_cast<BYTE>(v));
  }
  return true;
}


// The value a TYPE and DATA argument make, or a message saying what is wrong.
std::optional<std::string> parseData(const std::string& typeArg, const std::string& dataArg, DWORD* type,
                                     Bytes* data) {
  std::string t = typeArg;
  for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (t == "REG_SZ" || t == "REG_EXPAND_SZ") {
    *type = t == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    *data = platform::toUtf16leBytes(platform::toWide(dataArg) + u'\0');
  } else if (t == "REG_MULTI_SZ") {
    *type = REG_MULTI_SZ;
    std::u16string all;
    for (std::size_t start = 0; !dataArg.empty();) {
      const std::size_t end = std::min(dataArg.size(), dataArg.find("\\0", start));
      if (end == start) return "REG_MULTI_SZ items cannot be empty";
      all += platform::toWide(dataArg.substr(start, end - start)) + u'\0';
      if (end == dataArg.size()) break;
      start = end + 2;
    }
    *data = platform::toUtf16leBytes(all + u'\0');
  } else if (t == "REG_DWORD") {
    std::uint32_t v = 0;
    if (!parseNumber(dataArg, &v)) return "REG_DWORD data must be a 32-bit number, decimal or 0x hex";
    *type = REG_DWORD;
    *data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
             static_cast<BYTE>(v >> 24)};
  } else if (t == "REG_QWORD") {
    std::uint64_t v = 0;
    if (!parseNumber(dataArg, &v)) return "REG_QWORD data must be a 64-bit number, decimal or 0x hex";
    *type = REG_QWORD;
    data->clear();
    for (int i = 0; i < 8; ++i) data->push_back(static_cast<BYTE>(v >> (8 * i)));
  } else if (t == "REG_BINARY" || t == "REG_NONE") {
    *type = t == "REG_BINARY" ? REG_BINARY : REG_NONE;
    data->clear();
    if (!parseHexBytes(dataArg, data)) return t + " data must be pairs of hex digits";
  } else {
    return "unknown value type '" + typeArg + "'";
  }
  return std::nullopt;
}

// ---- the commands ----

int query(const KeyArg& k, const std::optional<std::string>& valueName) {
  HKEY key = nullptr;
  if (LONG e = RegOpenKeyExW(k.rootKey(), k.pathArg(), 0, KEY_READ, &key))
    return failure(registryFailure(k.display, e));
  std::string out = "\n" + k.display + "\n";
  LONG rc = ERROR_SUCCESS;
  if (valueName) {
    const std::u16string name = platform::toWide(*valueName);
    DWORD type = 0;
    Bytes data;
    rc = readValue(key, name, &type, &data);
    if (rc == ERROR_SUCCESS) out += valueLine(name, type, data);
  } else {
    // The whole key in one read: by index, every item would cost a scan of the key.
    std::vector<platform::RegValueEntry> values;
    std::vector<std::u16string> subKeyNames;
    rc = platform::RegReadKeyContents(key, &values, &subKeyNames);
    if (rc == ERROR_SUCCESS) {
      for (const auto& v : values) out += valueLine(v.name, v.type, v.data);
      std::string subKeys;
      for (const auto& name : subKeyNames) subKeys += k.display + "\\" + platform::toAnsi(name) + "\n";
      if (!subKeys.empty()) out += "\n" + subKeys;
    }
  }
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS)
    return failure(registryFailure(valueName ? k.display + " value \"" + *valueName + "\"" : k.display, rc));
  writeOut(out);
  return 0;
}

int get(const KeyArg& k, const std::string& valueName) {
  HKEY key = nullptr;
  if (LONG e = RegOpenKeyExW(k.rootKey(), k.pathArg(), 0, KEY_QUERY_VALUE, &key))
    return failure(registryFailure(k.display, e));
  DWORD type = 0;
  Bytes data;
  const LONG rc = readValue(key, platform::toWide(valueName), &type, &data);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return failure(registryFailure(k.display + " value \"" + valueName + "\"", rc));
  writeOut(dataOnly(type, data));
  return 0;
}

int add(const KeyArg& k, const Args& rest) {
  DWORD type = 0;
  Bytes data;
  if (rest.size() == 3)
    if (auto problem = parseData(rest[1], rest[2], &type, &data)) return usage(*problem);
  // The key and its value together, or neither.
  if (LONG e = RegBeginTransaction(k.rootKey())) return failure(registryFailure(k.display, e));
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(k.rootKey(), k.pathArg(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS && rest.size() == 3)
    rc = RegSetValueExW(key, platform::toWide(rest[0]).c_str(), 0, type, data.data(),
                        static_cast<DWORD>(data.size()));
  if (key != nullptr) RegCloseKey(key);
  if (rc == ERROR_SUCCESS)
    rc = RegCommitTransaction(k.rootKey());
  else
    RegRollbackTransaction(k.rootKey());
  return rc == ERROR_SUCCESS ? 0 : failure(registryFailure(k.display, rc));
}

int remove(const KeyArg& k, const std::optional<std::string>& valueName) {
  if (!valueName) {
    if (k.path.empty()) return usage("the root of a hive cannot be deleted");
    const LONG rc = RegDeleteTreeW(k.rootKey(), k.path.c_str());
    return rc == ERROR_SUCCESS ? 0 : failure(registryFailure(k.display, rc));
  }
  HKEY key = nullptr;
  if (LONG e = RegOpenKeyExW(k.rootKey(), k.pathArg(), 0, KEY_SET_VALUE, &key))
    return failure(registryFailure(k.display, e));
  const LONG rc = RegDeleteValueW(key, platform::toWide(*valueName).c_str());
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? 0 : failure(registryFailure(k.display + " value \"" + *valueName + "\"", rc));
}

// Writes the whole file or leaves none: a temporary file renamed into place.
// Owner-only, like the hives, since a key may hold the database password.
bool writeFileAtomically(const std::string& path, const std::string& content, std::string* message) {
  std::string tmp = path + ".XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) {
    *message = path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool ok = done == content.size() && fsync(fd) == 0;
  const int savedErrno = errno;
  ::close(fd);
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    *message = path + ": " + std::strerror(ok ? errno : savedErrno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

int exportTo(const KeyArg& k, const std::string& file) {
  std::string text;
  platform::regfile::Error error;
  if (platform::regfile::exportKey(k.root, k.path, &text, &error) != ERROR_SUCCESS)
    return failure(error.message);
  if (file == "-") {
    writeOut(text);
    return std::fflush(stdout) == 0 ? 0 : failure("standard output: " + std::string(std::strerror(errno)));
  }
  std::string message;
  return writeFileAtomically(file, text, &message) ? 0 : failure(message);
}

int importFrom(const std::string& file) {
  std::string bytes;
  const std::string shown = file == "-" ? "<stdin>" : file;
  if (file == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) return failure(file + ": " + std::strerror(errno));
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return failure(file + ": read error");
  }
  platform::regfile::Document doc;
  platform::regfile::Error error;
  if (!platform::regfile::parse(bytes, &doc, &error) ||
      platform::regfile::apply(doc, &error) != ERROR_SUCCESS) {
    const std::string where = error.line > 0 ? shown + ":" + std::to_string(error.line) : shown;
    return failure(where + ": " + error.message + " (nothing was imported)");
  }
  return 0;
}

}  // namespace

int regCommand(const Args& args) {
  if (args.empty()) return usage();
  const std::string& command = args[0];
  const Args rest(args.begin() + 1, args.end());
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kRegUsage, stdout);
    return 0;
  }
  if (command == "import") return rest.size() == 1 ? importFrom(rest[0]) : usage();

  struct Arity {
    const char* name;
    std::size_t min, max;
  };
  static constexpr Arity kArity[] = {
      {"query", 1, 2}, {"get", 2, 2}, {"add", 1, 4}, {"delete", 1, 2}, {"export", 2, 2}};
  const Arity* arity = nullptr;
  for (const auto& a : kArity)
    if (command == a.name) arity = &a;
  if (arity == nullptr) return usage("unknown reg command '" + command + "'");
  if (rest.size() < arity->min || rest.size() > arity->max ||
      (command == "add" && rest.size() != 1 && rest.size() != 4))
    return usage();
  std::string message;
  const auto key = parseKey(rest[0], &message);
  if (!key) return usage(message);
  const Args values(rest.begin() + 1, rest.end());
  const auto valueName = values.empty() ? std::nullopt : std::optional<std::string>(values[0]);

  if (command == "query") return query(*key, valueName);
  if (command == "get") return get(*key, values[0]);
  if (command == "add") return add(*key, values);
  if (command == "delete") return remove(*key, valueName);
  return exportTo(*key, values[0]);
}

}  // namespace corvctl
