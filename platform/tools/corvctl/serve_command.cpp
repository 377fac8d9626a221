// corvctl serve: the far side of remote administration. The client runs it
// through SSH and sends the requests of remote_protocol.h on standard input;
// each is carried out with this computer's own registry and service calls and
// answered on standard output.
//
// Whoever SSH logs in as runs this, possibly with nothing but this command
// allowed, so the scope is enforced here: keys at or below Corvantel's two
// subtrees, the keys on the way to them for opening further, and the service
// TolvaneCorvantel; nothing else.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../../src/remote_protocol.h"
#include "commands.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/text.h"

namespace corvctl {

namespace {

namespace remote = platform::remote;

constexpr LONG kNoSystemResources = 1450;  // ERROR_NO_SYSTEM_RESOURCES: the handle table is full
constexpr const char* kServiceName = "TolvaneCorvantel";

using Path = std::vector<std::string>;  // key names below HKLM, as the caller spelled them

// The subtrees whose keys may be read and changed.
const std::array<Path, 2> kAllowedTrees = {
    Path{"SYSTEM", "CurrentControlSet", "Services", kServiceName},
    Path{"SOFTWARE", "Tolvane", "Corvantel"},
};

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool startsWith(const Path& path, const Path& prefix) {
  if (path.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (!equalsNoCase(path[i], prefix[i])) return false;
  return true;
}

enum class Scope { kOutside, kOnTheWay, kInside };

Scope scopeOf(const Path& path) {
  Scope scope = Scope::kOutside;
  for (const Path& tree : kAllowedTrees) {
    if (startsWith(path, tree)) return Scope::kInside;
    if (startsWith(tree, path)) scope = Scope::kOnTheWay;
  }
  return scope;
}

const Path* treeOf(const Path& path) {
  for (const Path& tree : kAllowedTrees)
    if (startsWith(path, tree)) return &tree;
  return nullptr;
}

std::string joined(Path::const_iterator first, Path::const_iterator last) {
  std::string out;
  for (auto it = first; it != last; ++it) out += (out.empty() ? "" : "\\") + *it;
  return out;
}

// ---- fields ----

bool parseNumber(std::string_view field, DWORD* out) {
  if (field.empty() || field[0] < '0' || field[0] > '9') return false;  // no sign
  const auto [p, ec] = std::from_chars(field.data(), field.data() + field.size(), *out, 10);
  return ec == std::errc() && p == field.data() + field.size();
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseHex(std::string_view field, std::string* out) {
  out->clear();
  if (field == "-") return true;
  if (field.empty() || field.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < field.size(); i += 2) {
    const int high = hexDigit(field[i]), low = hexDigit(field[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(char(high << 4 | low));
  }
  return true;
}

// Names are the bytes the A calls take, as C strings, where a zero byte would cut them short.
bool parseName(std::string_view field, std::string* out) {
  return parseHex(field, out) && out->find('\0') == std::string::npos;
}

// Data travels as stored, so values are read and written with the W calls,
// their names converted as the A calls convert them.
bool parseValueName(std::string_view field, std::u16string* out) {
  std::string name;
  if (!parseName(field, &name)) return false;
  *out = platform::toWide(name);
  return true;
}

std::string hex(const void* data, std::size_t size) {
  if (size == 0) return "-";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    const auto b = static_cast<const unsigned char*>(data)[i];
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string code(LONG rc) { return std::to_string(rc); }

// ---- reading request lines ----

// Lines from a file descriptor, each at most kMaxLine bytes without its LF.
class LineReader {
 public:
  enum class Result { kLine, kTooLong, kEnd };

  explicit LineReader(int fd) : m_fd(fd) {}

  // A line without its LF. An over-long line is read to its end and dropped.
  // A last line without its LF is dropped too: the request may be cut short.
  Result next(std::string* line) {
    line->clear();
    bool tooLong = false;
    for (;;) {
      if (m_pos == m_len && !fill()) return Result::kEnd;
      const char* start = m_buffer.data() + m_pos;
      const char* lf = static_cast<const char*>(std::memchr(start, '\n', m_len - m_pos));
      const std::size_t n = (lf != nullptr ? lf : m_buffer.data() + m_len) - start;
      if (!tooLong && line->size() + n <= remote::kMaxLine) {
        line->append(start, n);
      } else {
        tooLong = true;
        std::string().swap(*line);
      }
      m_pos += n;
      if (lf != nullptr) {
        ++m_pos;
        return tooLong ? Result::kTooLong : Result::kLine;
      }
    }
  }

 private:
  bool fill() {
    for (;;) {
      const ssize_t n = ::read(m_fd, m_buffer.data(), m_buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      m_pos = 0;
      m_len = static_cast<std::size_t>(n);
      return true;
    }
  }

  int m_fd;
  std::array<char, 64 * 1024> m_buffer;
  std::size_t m_pos = 0, m_len = 0;
};

// ---- the session ----

class Session {
 public:
  ~Session() {
    // An unfinished transaction must not take effect: the near side went away.
    RegRollbackTransaction(HKEY_LOCAL_MACHINE);
    for (Entry& e : m_entries) release(e);
  }

  std::string answer(const std::string& line) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
      const std::size_t blank = line.find(' ', at);
      fields.emplace_back(std::string_view(line).substr(at, blank - at));
      if (blank == std::string::npos) break;
      at = blank + 1;
    }
    for (std::string_view f : fields)
      if (f.empty()) return code(ERROR_INVALID_PARAMETER);
    const std::string_view verb = fields[0];
    const std::vector<std::string_view> args(fields.begin() + 1, fields.end());

    struct Verb {
      const char* name;
      std::size_t arity;
      std::string (Session::*handler)(const std::vector<std::string_view>&);
    };
    static constexpr Verb kVerbs[] = {
        {"HELLO", 1, &Session::hello},
        {"CONNECT", 1, &Session::connect},
        {"OPEN", 3, &Session::open},
        {"CREATE", 2, &Session::create},
        {"CLOSE", 1, &Session::close},
        {"QUERY", 3, &Session::query},
        {"QUERYSIZE", 2, &Session::querySize},
        {"SET", 4, &Session::set},
        {"DELVALUE", 2, &Session::deleteValue},
        {"DELKEY", 2, &Session::deleteKey},
        {"ENUMVALUE", 2, &Session::enumValue},
        {"BEGIN", 1, &Session::begin},
        {"COMMIT", 1, &Session::commit},
        {"ROLLBACK", 1, &Session::rollback},
        {"SCOPEN", 1, &Session::scOpen},
        {"SCQUERY", 1, &Session::scQuery},
        {"SCSTART", 1, &Session::scStart},
        {"SCSTOP", 1, &Session::scStop},
        {"SCCLOSE", 1, &Session::scClose},
    };
    for (const Verb& v : kVerbs) {
      if (verb != v.name) continue;
      if (args.size() != v.arity) return code(ERROR_INVALID_PARAMETER);
      std::string out = (this->*v.handler)(args);
      // The near side refuses longer lines; a value too large to travel is an error instead.
      return out.size() + 1 > remote::kMaxLine ? code(kNoSystemResources) : out;
    }
    return code(ERROR_INVALID_PARAMETER);
  }

 private:
  struct Entry {
    enum class Kind { kFree, kKey, kService } kind = Kind::kFree;
    HKEY key = nullptr;
    Path path;
    bool inside = false;  // at or below an allowed subtree; otherwise a key on the way to one
    SC_HANDLE service = nullptr;
  };

  // The entry of a live handle of that kind; otherwise null, with the answer in
  // *error: 87 for a field that is not a number, 6 for a number that is no such handle.
  Entry* handleArg(std::string_view field, Entry::Kind kind, std::string* error) {
    DWORD n = 0;
    if (!parseNumber(field, &n)) {
      *error = code(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    if (n == 0 || n > m_entries.size() || m_entries[n - 1].kind != kind) {
      *error = code(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    return &m_entries[n - 1];
  }
  Entry* keyArg(std::string_view field, std::string* error) {
    return handleArg(field, Entry::Kind::kKey, error);
  }
  Entry* serviceArg(std::string_view field, std::string* error) {
    return handleArg(field, Entry::Kind::kService, error);
  }

  Entry* freeEntry() {
    for (Entry& e : m_entries)
      if (e.kind == Entry::Kind::kFree) return &e;
    return nullptr;
  }

  std::string number(const Entry* e) const { return std::to_string(e - m_entries.data() + 1); }

  static void release(Entry& e) {
    if (e.kind == Entry::Kind::kKey && e.key != HKEY_LOCAL_MACHINE) RegCloseKey(e.key);
    if (e.kind == Entry::Kind::kService) CloseServiceHandle(e.service);
    e = Entry{};
  }

  // The path a subkey names below a handle's key; false when it has an
  // empty part or "..", which are refused with ERROR_ACCESS_DENIED.
  static bool pathBelow(const Entry& e, const std::string& subKey, Path* out) {
    *out = e.path;
    if (subKey.empty()) return true;
    for (std::size_t at = 0;;) {
      const std::size_t sep = subKey.find('\\', at);
      std::string part = subKey.substr(at, sep - at);
      if (part.empty() || part == "..") return false;
      out->push_back(std::move(part));
      if (sep == std::string::npos) return true;
      at = sep + 1;
    }
  }

  std::string hello(const std::vector<std::string_view>& a) {
    DWORD version = 0;
    if (!parseNumber(a[0], &version)) return code(ERROR_INVALID_PARAMETER);
    // Answered with our own version whatever was asked: the near side decides.
    bool installed = false;
    if (SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)) {
      if (SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS)) {
        installed = true;
        CloseServiceHandle(service);
      }
      CloseServiceHandle(manager);
    }
    return "0 " + std::to_string(remote::kProtocolVersion) + " " + std::to_string(remote::kPlatformNt) + " " +
           (installed ? "1" : "0");
  }

  std::string connect(const std::vector<std::string_view>& a) {
    if (a[0] != "HKLM") return code(ERROR_ACCESS_DENIED);
    Entry* e = freeEntry();
    if (e == nullptr) return code(kNoSystemResources);
    *e = Entry{Entry::Kind::kKey, HKEY_LOCAL_MACHINE, {}, false, nullptr};
    return "0 " + number(e);
  }

  std::string open(const std::vector<std::string_view>& a) {
    std::string subKey, error;
    DWORD sam = 0;
    if (!parseName(a[1], &subKey) || !parseNumber(a[2], &sam)) return code(ERROR_INVALID_PARAMETER);
    Entry* base = keyArg(a[0], &error);
    if (base == nullptr) return error;
    Path path;
    if (!pathBelow(*base, subKey, &path)) return code(ERROR_ACCESS_DENIED);
    const Scope scope = scopeOf(path);
    if (scope == Scope::kOutside) return code(ERROR_ACCESS_DENIED);
    Entry* e = freeEntry();
    if (e == nullptr) return code(kNoSystemResources);
    HKEY key = nullptr;
    if (LONG rc = RegOpenKeyExA(base->key, subKey.c_str(), 0, sam, &key)) return code(rc);
    *e = Entry{Entry::Kind::kKey, key, std::move(path), scope == Scope::kInside, nullptr};
    return "0 " + number(e);
  }

  // Through a key on the way (the client creates its Rules key through the
  // root handle), only the keys from the allowed subtree's own key down may
  // be created: that subtree's parent must exist already.
  std::string create(const std::vector<std::string_view>& a) {
    std::string subKey, error;
    if (!parseName(a[1], &subKey)) return code(ERROR_INVALID_PARAMETER);
    Entry* base = keyArg(a[0], &error);
    if (base == nullptr) return error;
    Path path;
    if (!pathBelow(*base, subKey, &path) || scopeOf(path) != Scope::kInside) return code(ERROR_ACCESS_DENIED);
    Entry* e = freeEntry();
    if (e == nullptr) return code(kNoSystemResources);
    HKEY anchor = base->key;
    std::string rest = subKey;
    if (!base->inside) {
      const std::size_t parentDepth = treeOf(path)->size() - 1;
      const std::string toParent = joined(path.begin() + base->path.size(), path.begin() + parentDepth);
      LONG rc = RegOpenKeyExA(base->key, toParent.c_str(), 0, KEY_CREATE_SUB_KEY, &anchor);
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_ACCESS_DENIED;  // it would be created outside the subtrees
      if (rc != ERROR_SUCCESS) return code(rc);
      rest = joined(path.begin() + parentDepth, path.end());
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LONG rc = RegCreateKeyExA(anchor, rest.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                    nullptr, &key, &disposition);
    if (anchor != base->key) RegCloseKey(anchor);
    if (rc != ERROR_SUCCESS) return code(rc);
    *e = Entry{Entry::Kind::kKey, key, std::move(path), true, nullptr};
    return "0 " + number(e) + " " + std::to_string(disposition);
  }

  std::string close(const std::vector<std::string_view>& a) {
    std::string error;
    Entry* e = keyArg(a[0], &error);
    if (e == nullptr) return error;
    release(*e);
    return code(ERROR_SUCCESS);
  }

  // A handle whose own key may be read or changed: one inside the subtrees.
  Entry* valueKeyArg(std::string_view field, std::string* error) {
    Entry* e = keyArg(field, error);
    if (e != nullptr && !e->inside) {
      *error = code(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    return e;
  }

  std::string query(const std::vector<std::string_view>& a) {
    std::u16string name;
    std::string error;
    DWORD size = 0;
    if (!parseValueName(a[1], &name) || !parseNumber(a[2], &size)) return code(ERROR_INVALID_PARAMETER);
    Entry* e = valueKeyArg(a[0], &error);
    if (e == nullptr) return error;
    DWORD type = 0, needed = 0;
    if (LONG rc = RegQueryValueExW(e->key, name.c_str(), nullptr, &type, nullptr, &needed)) return code(rc);
    // The buffer is the value's size, never the size asked for, which may be anything.
    for (;;) {
      if (needed > size) return "234 " + std::to_string(type) + " " + std::to_string(needed);
      std::vector<BYTE> data(needed + 1);
      DWORD got = needed;
      const LONG rc = RegQueryValueExW(e->key, name.c_str(), nullptr, &type, data.data(), &got);
      if (rc == ERROR_MORE_DATA) {  // it grew meanwhile
        needed = got;
        continue;
      }
      if (rc != ERROR_SUCCESS) return code(rc);
      return "0 " + std::to_string(type) + " " + hex(data.data(), got);
    }
  }

  std::string querySize(const std::vector<std::string_view>& a) {
    std::u16string name;
    std::string error;
    if (!parseValueName(a[1], &name)) return code(ERROR_INVALID_PARAMETER);
    Entry* e = valueKeyArg(a[0], &error);
    if (e == nullptr) return error;
    DWORD type = 0, needed = 0;
    if (LONG rc = RegQueryValueExW(e->key, name.c_str(), nullptr, &type, nullptr, &needed)) return code(rc);
    return "0 " + std::to_string(type) + " " + std::to_string(needed);
  }

  std::string set(const std::vector<std::string_view>& a) {
    std::u16string name;
    std::string data, error;
    DWORD type = 0;
    if (!parseValueName(a[1], &name) || !parseNumber(a[2], &type) || !parseHex(a[3], &data))
      return code(ERROR_INVALID_PARAMETER);
    Entry* e = valueKeyArg(a[0], &error);
    if (e == nullptr) return error;
    return code(RegSetValueExW(e->key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                               static_cast<DWORD>(data.size())));
  }

  std::string deleteValue(const std::vector<std::string_view>& a) {
    std::u16string name;
    std::string error;
    if (!parseValueName(a[1], &name)) return code(ERROR_INVALID_PARAMETER);
    Entry* e = valueKeyArg(a[0], &error);
    if (e == nullptr) return error;
    return code(RegDeleteValueW(e->key, name.c_str()));
  }

  // Judged by the key it deletes, so that the client's rule save through the
  // root handle works; the key itself of a handle on the way is outside.
  std::string deleteKey(const std::vector<std::string_view>& a) {
    std::string subKey, error;
    if (!parseName(a[1], &subKey)) return code(ERROR_INVALID_PARAMETER);
    Entry* e = keyArg(a[0], &error);
    if (e == nullptr) return error;
    Path path;
    if (!pathBelow(*e, subKey, &path) || scopeOf(path) != Scope::kInside) return code(ERROR_ACCESS_DENIED);
    return code(RegDeleteKeyA(e->key, subKey.c_str()));
  }

  std::string enumValue(const std::vector<std::string_view>& a) {
    std::string error;
    DWORD index = 0;
    if (!parseNumber(a[1], &index)) return code(ERROR_INVALID_PARAMETER);
    Entry* e = valueKeyArg(a[0], &error);
    if (e == nullptr) return error;
    std::u16string name(256, u'\0');
    std::vector<BYTE> data(1024);
    for (;;) {
      DWORD nameSize = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(data.size()), type = 0;
      const LONG rc =
          RegEnumValueW(e->key, index, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
      if (rc == ERROR_MORE_DATA) {  // the sizes needed came back; the name's with its zero
        if (nameSize > name.size()) name.resize(nameSize);
        if (dataSize > data.size()) data.resize(dataSize);
        continue;
      }
      if (rc != ERROR_SUCCESS) return code(rc);
      const std::string ansiName = platform::toAnsi(std::u16string_view(name).substr(0, nameSize));
      return "0 " + hex(ansiName.data(), ansiName.size()) + " " + std::to_string(type) + " " +
             hex(data.data(), dataSize);
    }
  }

  // The hive's transaction: it changes no key itself, so any of our handles will do.
  std::string transaction(std::string_view field, LONG (*call)(HKEY)) {
    std::string error;
    Entry* e = keyArg(field, &error);
    return e == nullptr ? error : code(call(e->key));
  }
  std::string begin(const std::vector<std::string_view>& a) { return transaction(a[0], RegBeginTransaction); }
  std::string commit(const std::vector<std::string_view>& a) {
    return transaction(a[0], RegCommitTransaction);
  }
  std::string rollback(const std::vector<std::string_view>& a) {
    return transaction(a[0], RegRollbackTransaction);
  }

  std::string scOpen(const std::vector<std::string_view>& a) {
    std::string name;
    if (!parseName(a[0], &name)) return code(ERROR_INVALID_PARAMETER);
    if (!equalsNoCase(name, kServiceName)) return code(ERROR_ACCESS_DENIED);
    Entry* e = freeEntry();
    if (e == nullptr) return code(kNoSystemResources);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return code(LONG(GetLastError()));
    SC_HANDLE service =
        OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
    const DWORD rc = service == nullptr ? GetLastError() : 0;
    CloseServiceHandle(manager);
    if (service == nullptr) return code(LONG(rc));
    *e = Entry{Entry::Kind::kService, nullptr, {}, false, service};
    return "0 " + number(e);
  }

  std::string scQuery(const std::vector<std::string_view>& a) {
    std::string error;
    Entry* e = serviceArg(a[0], &error);
    if (e == nullptr) return error;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(e->service, &status)) return code(LONG(GetLastError()));
    return "0 " + std::to_string(status.dwCurrentState);
  }

  std::string scStart(const std::vector<std::string_view>& a) {
    std::string error;
    Entry* e = serviceArg(a[0], &error);
    if (e == nullptr) return error;
    return StartServiceA(e->service, 0, nullptr) ? code(ERROR_SUCCESS) : code(LONG(GetLastError()));
  }

  std::string scStop(const std::vector<std::string_view>& a) {
    std::string error;
    Entry* e = serviceArg(a[0], &error);
    if (e == nullptr) return error;
    SERVICE_STATUS status{};
    if (!ControlService(e->service, SERVICE_CONTROL_STOP, &status)) return code(LONG(GetLastError()));
    return "0 " + std::to_string(status.dwCurrentState);
  }

  std::string scClose(const std::vector<std::string_view>& a) {
    std::string error;
    Entry* e = serviceArg(a[0], &error);
    if (e == nullptr) return error;
    release(*e);
    return code(ERROR_SUCCESS);
  }

  std::array<Entry, remote::kMaxHandles> m_entries;
};

bool writeLine(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fputc('\n', stdout) != EOF &&
         std::fflush(stdout) == 0;
}

}  // namespace

int serveCommand(const Args& args) {
  if (!args.empty()) {
    std::fputs("usage: corvctl serve    (requests on standard input, answers on standard output)\n", stderr);
    return kExitUsage;
  }
  // A near side that goes away is seen as a failed write, not as a signal.
  std::signal(SIGPIPE, SIG_IGN);
  Session session;
  LineReader reader(STDIN_FILENO);
  std::string line;
  for (;;) {
    const LineReader::Result r = reader.next(&line);
    if (r == LineReader::Result::kEnd) return 0;
    const std::string answer =
        r == LineReader::Result::kTooLong ? std::to_string(ERROR_INVALID_PARAMETER) : session.answer(line);
    if (!writeLine(answer)) {
      std::fprintf(stderr, "corvctl: standard output: %s\n", std::strerror(errno));
      return kExitFailure;
    }
  }
}

}  // namespace corvctl
