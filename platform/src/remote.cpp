// Sessions with other computers: the command that reaches them and the
// requests of the wire format (remote_protocol.h).
#include "remote.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <unordered_map>

#include "platform/remote.h"
#include "platform/text.h"
#include "remote_protocol.h"

namespace platform::remote {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultShell = "ssh -o BatchMode=yes -o ConnectTimeout=10 %h corvctl serve";
constexpr std::size_t kMaxComputerName = 255;
// How long a far side that was told its input has ended may take to end.
constexpr std::chrono::milliseconds kCloseGrace(1000);
constexpr int kExitNotFound = 127;  // the shell's "command not found"

std::string hex(std::string_view bytes) {
  if (bytes.empty()) return "-";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::string hex(const std::vector<BYTE>& bytes) {
  return hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename Bytes>
bool unhex(std::string_view field, Bytes* out) {
  out->clear();
  if (field == "-") return true;
  if (field.empty() || field.size() % 2 != 0) return false;
  out->reserve(field.size() / 2);
  for (std::size_t i = 0; i < field.size(); i += 2) {
    const int high = hexDigit(field[i]), low = hexDigit(field[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<typename Bytes::value_type>(high << 4 | low));
  }
  return true;
}

template <typename Number>
bool parseNumber(std::string_view field, Number* out) {
  if (field.empty()) return false;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), *out);
  return ec == std::errc() && end == field.data() + field.size();
}

// A far handle is a positive number.
bool parseHandle(std::string_view field, std::uint64_t* out) { return parseNumber(field, out) && *out != 0; }

std::vector<std::string> splitBlanks(std::string_view text, bool collapse) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = collapse ? text.find_first_of(" \t", start) : text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    if (!collapse || end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The template's words, each "%h" in them replaced by the computer's name; the
// name stays one argument whatever it holds.
std::vector<std::string> commandFor(const std::string& computer) {
  const char* configured = std::getenv("CORVANTEL_REMOTE_SHELL");
  std::vector<std::string> argv = splitBlanks(configured ? configured : "", true);
  if (argv.empty()) argv = splitBlanks(kDefaultShell, true);
  for (std::string& word : argv) {
    for (std::size_t at = word.find("%h"); at != std::string::npos;
         at = word.find("%h", at + computer.size())) {
      word.replace(at, 2, computer);
    }
  }
  return argv;
}

int timeoutFromEnvironment(int fallback) {
  const char* text = std::getenv("CORVANTEL_REMOTE_TIMEOUT_MS");
  int value = 0;
  return text != nullptr && parseNumber(std::string_view(text), &value) && value > 0 ? value : fallback;
}

std::string request(std::string_view verb, std::initializer_list<std::string> args) {
  std::string line(verb);
  for (const std::string& a : args) line.append(1, ' ').append(a);
  return line;
}

}  // namespace

bool isLocalMachineName(std::string_view name) {
  while (!name.empty() && name.front() == '\\') name.remove_prefix(1);
  if (name.empty()) return true;
  const std::u16string wide = toWide(name);
  for (std::u16string_view local : {u"localhost", u".", u"127.0.0.1", u"::1"})
    if (equalsAsciiNoCase(wide, local)) return true;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  const std::u16string full = toWide(host);
  const std::u16string_view shortName = std::u16string_view(full).substr(0, full.find(u'.'));
  const std::u16string_view givenShort = std::u16string_view(wide).substr(0, wide.find(u'.'));
  return equalsAsciiNoCase(wide, full) || equalsAsciiNoCase(givenShort, shortName);
}

LONG checkComputerName(std::string_view given, std::string* name) {
  while (!given.empty() && given.front() == '\\') given.remove_prefix(1);
  if (given.empty() || given.size() > kMaxComputerName || given.front() == '-') return ERROR_INVALID_NAME;
  for (unsigned char c : given)
    if (c <= ' ' || c == 0x7f || c == '/') return ERROR_INVALID_NAME;
  name->assign(given);
  return ERROR_SUCCESS;
}

// ---- the session ----

Session::~Session() { m_channel.close(kCloseGrace); }

LONG Session::start(const std::string& computer) {
  m_timeoutMs = timeoutFromEnvironment(kTimeoutMs);
  m_serviceTimeoutMs = std::max(m_timeoutMs, timeoutFromEnvironment(kServiceTimeoutMs));
  if (!m_channel.start(commandFor(computer))) return ERROR_BAD_NETPATH;
  const Deadline deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
  std::string line;
  Channel::Status status =
      m_channel.writeLine(request("HELLO", {std::to_string(kProtocolVersion)}), deadline);
  if (status == Channel::Status::kOk) status = m_channel.readLine(&line, kMaxLine, deadline);
  switch (status) {
    case Channel::Status::kOk:
      break;
    case Channel::Status::kClosed: {
      // Ended before answering: unreachable, unless it is the far shell that
      // found no corvctl.
      const int wait = m_channel.close(kCloseGrace);
      return WIFEXITED(wait) && WEXITSTATUS(wait) == kExitNotFound ? ERROR_FILE_NOT_FOUND : ERROR_BAD_NETPATH;
    }
    case Channel::Status::kTimedOut:
      m_channel.close(std::chrono::milliseconds(0));
      return ERROR_BAD_NETPATH;
    case Channel::Status::kTooLong:
      m_channel.close(std::chrono::milliseconds(0));
      return ERROR_FILE_NOT_FOUND;
  }
  const std::vector<std::string> f = splitBlanks(line, false);
  int version = 0, installed = 0;
  if (f.size() != 4 || f[0] != "0" || !parseNumber(f[1], &version) || version != kProtocolVersion ||
      !parseNumber(f[2], &m_platformId) || !parseNumber(f[3], &installed) || installed < 0 || installed > 1) {
    m_channel.close(std::chrono::milliseconds(0));
    return ERROR_FILE_NOT_FOUND;  // something answers, but not corvctl serve
  }
  return ERROR_SUCCESS;
}

LONG Session::breakLocked() {
  m_broken = true;
  m_channel.close(std::chrono::milliseconds(0));
  return ERROR_BAD_NETPATH;
}

LONG Session::malformed() {
  std::lock_guard lock(m_mutex);
  return breakLocked();
}

LONG Session::call(const std::string& line, std::vector<std::string>* fields, bool moreDataFields,
                   bool serviceWait) {
  fields->clear();
  // The far side would refuse it the same way, after reading it all.
  if (line.size() > kMaxLine) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(m_mutex);
  if (m_broken) return ERROR_BAD_NETPATH;
  const Deadline deadline =
      Clock::now() + std::chrono::milliseconds(serviceWait ? m_serviceTimeoutMs : m_timeoutMs);
  std::string response;
  if (m_channel.writeLine(line, deadline) != Channel::Status::kOk ||
      m_channel.readLine(&response, kMaxLine, deadline) != Channel::Status::kOk) {
    return breakLocked();
  }
  *fields = splitBlanks(response, false);
  LONG code = 0;
  if (!parseNumber(fields->front(), &code) || code < 0) return breakLocked();
  fields->erase(fields->begin());
  if (code != ERROR_SUCCESS && !fields->empty() && !(code == ERROR_MORE_DATA && moreDataFields)) {
    return breakLocked();
  }
  return code;
}

LONG Session::connectMachine(std::uint64_t* key) {
  std::vector<std::string> f;
  if (LONG e = call("CONNECT HKLM", &f)) return e;
  return f.size() == 1 && parseHandle(f[0], key) ? ERROR_SUCCESS : malformed();
}

LONG Session::openKey(std::uint64_t key, std::string_view subKey, REGSAM sam, std::uint64_t* result) {
  std::vector<std::string> f;
  if (LONG e = call(request("OPEN", {std::to_string(key), hex(subKey), std::to_string(sam)}), &f)) return e;
  return f.size() == 1 && parseHandle(f[0], result) ? ERROR_SUCCESS : malformed();
}

LONG Session::createKey(std::uint64_t key, std::string_view subKey, std::uint64_t* result,
                        DWORD* disposition) {
  std::vector<std::string> f;
  if (LONG e = call(request("CREATE", {std::to_string(key), hex(subKey)}), &f)) return e;
  if (f.size() != 2 || !parseHandle(f[0], result) || !parseNumber(f[1], disposition) ||
      (*disposition != REG_CREATED_NEW_KEY && *disposition != REG_OPENED_EXISTING_KEY)) {
    return malformed();
  }
  return ERROR_SUCCESS;
}

LONG Session::closeKey(std::uint64_t key) {
  std::vector<std::string> f;
  if (LONG e = call(request("CLOSE", {std::to_string(key)}), &f)) return e;
  return f.empty() ? ERROR_SUCCESS : malformed();
}

LONG Session::queryValue(std::uint64_t key, std::string_view name, DWORD size, DWORD* type,
                         std::vector<BYTE>* data, DWORD* needed) {
  std::vector<std::string> f;
  const LONG rc = call(request("QUERY", {std::to_string(key), hex(name), std::to_string(size)}), &f, true);
  if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return rc;
  // 234 without the size needed would leave the caller nothing to retry with.
  if (f.size() != 2 || !parseNumber(f[0], type)) return malformed();
  if (rc == ERROR_MORE_DATA) return parseNumber(f[1], needed) ? rc : malformed();
  if (!unhex(f[1], data)) return malformed();
  *needed = DWORD(data->size());
  return ERROR_SUCCESS;
}

LONG Session::queryValueSize(std::uint64_t key, std::string_view name, DWORD* type, DWORD* needed) {
  std::vector<std::string> f;
  if (LONG e = call(request("QUERYSIZE", {std::to_string(key), hex(name)}), &f)) return e;
  return f.size() == 2 && parseNumber(f[0], type) && parseNumber(f[1], needed) ? ERROR_SUCCESS : malformed();
}

LONG Session::setValue(std::uint64_t key, std::string_view name, DWORD type, const std::vector<BYTE>& data) {
  std::vector<std::string> f;
  if (LONG e = call(request("SET", {std::to_string(key), hex(name), std::to_string(type), hex(data)}), &f))
    return e;
  return f.empty() ? ERROR_SUCCESS : malformed();
}

LONG Session::deleteValue(std::uint64_t key, std::string_view name) {
  std::vector<std::string> f;
  if (LONG e = call(request("DELVALUE", {std::to_string(key), hex(name)}), &f)) return e;
  return f.empty() ? ERROR_SUCCESS : malformed();
}

LONG Session::deleteKey(std::uint64_t key, std::string_view subKey) {
  std::vector<std::string> f;
  if (LONG e = call(request("DELKEY", {std::to_string(key), hex(subKey)}), &f)) return e;
  return f.empty() ? ERROR_SUCCESS : malformed();
}

LONG Session::enumValue(std::uint64_t key, DWORD index, std::string* name, DWORD* type,
                        std::vector<BYTE>* data) {
  std::vector<std::string> f;
  if (LONG e = call(request("ENUMVALUE", {std::to_string(key), std::to_string(index)}), &f)) return e;
  if (f.size() != 3 || !unhex(f[0], name) || !parseNumber(f[1], type) || !unhex(f[2], data))
    return malformed();
  return ERROR_SUCCESS;
}

LONG Session::transaction(std::uint64_t key, Step step) {
  const char* verb = step == Step::kBegin ? "BEGIN" : step == Step::kCommit ? "COMMIT" : "ROLLBACK";
  std::vector<std::string> f;
  if (LONG e = call(request(verb, {std::to_string(key)}), &f)) return e;
  return f.empty() ? ERROR_SUCCESS : malformed();
}

LONG Session::openService(std::string_view name, std::uint64_t* service) {
  std::vector<std::string> f;
  if (LONG e = call(request("SCOPEN", {hex(name)}), &f)) return e;
  return f.size() == 1 && parseHandle(f[0], service) ? ERROR_SUCCESS : malformed();
}

LONG Session::queryService(std::uint64_t service, DWORD* state) {
  std::vector<std::string> f;
  if (LONG e = call(request("SCQUERY", {std::to_string(service)}), &f)) return e;
  return f.size() == 1 && parseNumber(f[0], state) ? ERROR_SUCCESS : malformed();
}

LONG Session::startService(std::uint64_t service) {
  std::vector<std::string> f;
  if (LONG e = call(request("SCSTART", {std::to_string(service)}), &f, false, true)) return e;
  return f.empty() ? ERROR_SUCCESS : malformed();
}

LONG Session::stopService(std::uint64_t service, DWORD* state) {
  std::vector<std::string> f;
  if (LONG e = call(request("SCSTOP", {std::to_string(service)}), &f, false, true)) return e;
  return f.size() == 1 && parseNumber(f[0], state) ? ERROR_SUCCESS : malformed();
}

LONG Session::closeService(std::uint64_t service) {
  std::vector<std::string> f;
  if (LONG e = call(request("SCCLOSE", {std::to_string(service)}), &f)) return e;
  return f.empty() ? ERROR_SUCCESS : malformed();
}

// ---- one session per computer ----

LONG sessionFor(std::string_view computer, std::shared_ptr<Session>* session) {
  std::string name;
  if (LONG e = checkComputerName(computer, &name)) return e;
  std::string key = name;
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  static std::mutex mutex;
  static auto* sessions = new std::unordered_map<std::string, std::weak_ptr<Session>>;  // outlives its users
  // Held while a new session starts, so that two threads asking for the same
  // computer share one; another computer waits meanwhile, at most the timeout.
  std::lock_guard lock(mutex);
  for (auto it = sessions->begin(); it != sessions->end();)
    it = it->second.expired() ? sessions->erase(it) : std::next(it);
  if (auto it = sessions->find(key); it != sessions->end()) {
    if (auto live = it->second.lock(); live && !live->broken()) {
      *session = std::move(live);
      return ERROR_SUCCESS;
    }
  }
  std::shared_ptr<Session> fresh(new Session);
  if (LONG e = fresh->start(name)) return e;
  (*sessions)[key] = fresh;
  *session = std::move(fresh);
  return ERROR_SUCCESS;
}

}  // namespace platform::remote

LONG QueryComputerPlatformId(const char* computer, DWORD* platformId) {
  using namespace platform::remote;
  if (platformId == nullptr) return ERROR_INVALID_PARAMETER;
  if (computer == nullptr || isLocalMachineName(computer)) {
    *platformId = kPlatformNt;
    return ERROR_SUCCESS;
  }
  std::shared_ptr<Session> session;
  if (LONG e = sessionFor(computer, &session)) return e;
  *platformId = session->platformId();
  return ERROR_SUCCESS;
}
