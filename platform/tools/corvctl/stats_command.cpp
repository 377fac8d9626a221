// corvctl stats [--json] [NAME]: the counters that a service writes to the
// file "stats" in its state folder (one key=value line per counter; the
// daemon's own statistics.h describes the keys), as a table or as one JSON
// object. Keys this program does not know are shown and passed on as they
// are, so that a later daemon's counters need no new corvctl.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "commands.h"
#include "platform/service.h"

namespace corvctl {

namespace {

constexpr const char* kDefaultService = "TolvaneCorvantel";
constexpr const char* kStatsUsage =
    "usage: corvctl stats [--json] [NAME]   (NAME defaults to TolvaneCorvantel)\n";
constexpr std::size_t kMaxFileSize = 16 << 20;  // the daemon writes a few KiB

// The file's top-level counters, in the order and with the labels the table shows them.
struct KnownKey {
  const char* key;
  const char* section;
  const char* label;
};
constexpr KnownKey kKnownKeys[] = {
    {"received", "Reception", "Received"},
    {"kernel_dropped", "Reception", "Dropped by the kernel"},
    {"restored", "Reception", "Restored from the spool"},
    {"queued_memory", "Queue", "In memory"},
    {"queued_disk", "Queue", "On disk"},
    {"queue_dropped", "Queue", "Dropped by the queue"},
    {"spool_damaged", "Queue", "Damaged in the spool"},
    {"processed", "Processing", "Processed"},
    {"tcp_open", "TCP and TLS", "Connections open"},
    {"tcp_accepted", "TCP and TLS", "Connections accepted"},
    {"tcp_refused", "TCP and TLS", "Connections refused (limit)"},
    {"tcp_messages", "TCP and TLS", "Messages received"},
    {"tcp_malformed", "TCP and TLS", "Closed for malformed framing"},
    {"tls_failed", "TCP and TLS", "TLS connections failed"},
};
// Known keys that are numbers but have no row of their own.
constexpr const char* kOtherNumbers[] = {"pid", "written", "started", "queued_memory_bytes",
                                         "queued_disk_bytes"};
constexpr const char* kOutputCounters[] = {"done", "failed", "suspended", "missed"};
// Names the JSON object gives itself, which the file cannot use.
constexpr const char* kReserved[] = {"service", "running", "outputs"};

struct Figure {
  std::string key;
  std::string value;  // as written; a known key's value is a number
};

struct Output {
  std::string number;  // the n of output.<n>.
  std::optional<std::string> name;
  std::vector<Figure> figures;  // every key but the name, in file order
};

struct Figures {
  std::vector<Figure> top;      // in file order
  std::vector<Output> outputs;  // in the order of their first line
  std::uint64_t pid = 0;
  std::int64_t written = 0;
  std::int64_t started = 0;

  const std::string* find(std::string_view key) const {
    for (const Figure& f : top)
      if (f.key == key) return &f.value;
    return nullptr;
  }
};

template <std::size_t N>
bool isOneOf(std::string_view key, const char* const (&keys)[N]) {
  return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

bool isKnownTopKey(std::string_view key) {
  return isOneOf(key, kOtherNumbers) || std::any_of(std::begin(kKnownKeys), std::end(kKnownKeys),
                                                    [&](const KnownKey& k) { return key == k.key; });
}

std::optional<std::uint64_t> unsignedNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A number as JSON writes one (RFC 8259, section 6).
bool isJsonNumber(std::string_view t) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.' && (++i, !digits())) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

bool isKeyName(std::string_view key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  });
}

// Text on one line of a terminal: line breaks and tabs are shown as \xHH too.
std::string oneLine(std::string_view text) {
  std::string plain;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\t') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(c));
      plain += hex;
    } else {
      plain.push_back(c);
    }
  }
  return forTerminal(plain);
}

// Parses the file; on failure the reason, naming the line.
std::optional<std::string> parse(const std::string& text, Figures* figures) {
  std::set<std::string> seen;
  std::map<std::string, std::size_t> outputIndex;
  std::size_t lineNumber = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    ++lineNumber;
    const std::string where = "line " + std::to_string(lineNumber) + " (\"" + oneLine(line.substr(0, 80)) +
                              (line.size() > 80 ? "..." : "") + "\") ";

    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return where + "is not a key=value line";
    const std::string key(line.substr(0, eq));
    const std::string value(line.substr(eq + 1));
    if (!seen.insert(key).second) return where + "repeats the key " + oneLine(key);

    if (key.rfind("output.", 0) != 0) {
      if (!isKeyName(key)) return where + "has no valid key";
      if (isOneOf(key, kReserved)) return where + "uses a name kept for corvctl's own output";
      if (isKnownTopKey(key) && !unsignedNumber(value)) return where + "does not hold a number";
      if (key == "pid") figures->pid = *unsignedNumber(value);
      if (key == "written") figures->written = std::int64_t(*unsignedNumber(value));
      if (key == "started") figures->started = std::int64_t(*unsignedNumber(value));
      figures->top.push_back({key, value});
      continue;
    }

    // output.<n>.<key>
    const std::size_t dot = key.find('.', 7);
    const std::string number = key.substr(7, dot == std::string::npos ? std::string::npos : dot - 7);
    const std::string field = dot == std::string::npos ? std::string() : key.substr(dot + 1);
    const std::optional<std::uint64_t> n = unsignedNumber(number);
    if (!n || *n == 0 || number[0] == '0' || !isKeyName(field)) return where + "names no output's figure";
    auto [it, added] = outputIndex.emplace(number, figures->outputs.size());
    if (added) figures->outputs.push_back({number, std::nullopt, {}});
    Output& output = figures->outputs[it->second];
    if (field == "name") {
      output.name = value;
    } else {
      if (isOneOf(field, kOutputCounters) && !unsignedNumber(value)) return where + "does not hold a number";
      output.figures.push_back({field, value});
    }
  }
  if (lineNumber == 0) return std::string("it is empty");
  for (const char* required : {"pid", "written"})
    if (seen.count(required) == 0) return std::string("it has no ") + required + "= line";
  for (const Output& output : figures->outputs)
    if (!output.name) return "output " + output.number + " has no name line";
  return std::nullopt;
}

// ---- JSON ----

// The length of the well-formed UTF-8 sequence at text[i] (RFC 3629), or 0.
std::size_t utf8Length(std::string_view text, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  std::size_t length;
  std::uint32_t code;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b & 0x3F);
  }
  if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) return 0;  // overlong, surrogate
  if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) return 0;
  return length;
}

// A JSON string of any bytes: control characters (C0, DEL, C1) escaped, valid
// UTF-8 kept, and each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8Length(text, i);
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned control = 0x100;  // none
    if (length == 1 && (c < 0x20 || c == 0x7F)) control = c;
    if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)
      control = static_cast<unsigned char>(text[i + 1]);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (control != 0x100) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", control);
      out += escape;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out + "\"";
}

std::string jsonValue(const std::string& value) { return isJsonNumber(value) ? value : jsonString(value); }

// A known counter's value, as JSON writes a number (no leading zeros).
std::string jsonFigure(const Figure& f, bool known) {
  return known ? std::to_string(*unsignedNumber(f.value)) : jsonValue(f.value);
}

void printJson(const std::string& service, bool running, const Figures& figures) {
  std::string out = "{\"service\":" + jsonString(service) + ",\"running\":" + (running ? "true" : "false");
  for (const Figure& f : figures.top)
    out += "," + jsonString(f.key) + ":" + jsonFigure(f, isKnownTopKey(f.key));
  out += ",\"outputs\":[";
  for (std::size_t i = 0; i < figures.outputs.size(); ++i) {
    const Output& output = figures.outputs[i];
    out += std::string(i > 0 ? "," : "") + "{\"name\":" + jsonString(*output.name);
    for (const Figure& f : output.figures)
      out += "," + jsonString(f.key) + ":" + jsonFigure(f, isOneOf(f.key, kOutputCounters));
    out += "}";
  }
  out += "]}\n";
  std::fputs(out.c_str(), stdout);
}

// ---- the table ----

std::string localTime(std::int64_t seconds) {
  const std::time_t t = std::time_t(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char out[64];
  std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm);
  return out;
}

std::string plainFigure(const Figure& f, bool known) {
  return known ? std::to_string(*unsignedNumber(f.value)) : oneLine(f.value);
}

void printTable(const std::string& service, const std::string& status, const Figures& figures) {
  std::string out = "Service " + oneLine(service) + ", process " + std::to_string(figures.pid);
  if (figures.started > 0) out += ", started " + localTime(figures.started);
  out += "\n" + status + "\n";

  // Sections of label/value rows, the labels aligned across all sections.
  struct Row {
    std::string label, value, note;
  };
  std::vector<std::pair<std::string, std::vector<Row>>> sections;
  auto add = [&](const std::string& section, Row row) {
    if (sections.empty() || sections.back().first != section) sections.push_back({section, {}});
    sections.back().second.push_back(std::move(row));
  };
  for (const KnownKey& k : kKnownKeys) {
    const std::string* value = figures.find(k.key);
    if (value == nullptr) continue;
    std::string note;
    const std::string bytesKey = std::string(k.key) + "_bytes";
    if (const std::string* bytes = figures.find(bytesKey))
      note = "  (" + std::to_string(*unsignedNumber(*bytes)) + " bytes)";
    add(k.section, {k.label, std::to_string(*unsignedNumber(*value)), note});
  }
  for (const Figure& f : figures.top)
    if (!isKnownTopKey(f.key)) add("Other", {f.key, oneLine(f.value), ""});
  // Numbers are right-aligned; a text (a later counter's, perhaps) starts where they do.
  std::size_t labelWidth = 0, numberWidth = 0;
  for (const auto& [section, rows] : sections) {
    for (const Row& row : rows) {
      labelWidth = std::max(labelWidth, row.label.size());
      if (unsignedNumber(row.value)) numberWidth = std::max(numberWidth, row.value.size());
    }
  }
  for (const auto& [section, rows] : sections) {
    out += "\n" + section + "\n";
    for (const Row& row : rows) {
      out += "  " + row.label + std::string(labelWidth - row.label.size() + 2, ' ');
      if (unsignedNumber(row.value)) out += std::string(numberWidth - row.value.size(), ' ');
      out += row.value + row.note + "\n";
    }
  }

  // One row per output: the four counters, then every further key any output
  // has, then the name (last, as it may be long).
  out += "\nOutputs\n";
  if (figures.outputs.empty()) {
    out += "  none has been used yet\n";
    std::fputs(out.c_str(), stdout);
    return;
  }
  std::vector<std::string> columns(std::begin(kOutputCounters), std::end(kOutputCounters));
  for (const Output& output : figures.outputs)
    for (const Figure& f : output.figures)
      if (std::find(columns.begin(), columns.end(), f.key) == columns.end()) columns.push_back(f.key);
  std::vector<std::vector<std::string>> cells;
  for (const Output& output : figures.outputs) {
    std::vector<std::string>& row = cells.emplace_back(columns.size(), "-");
    for (const Figure& f : output.figures) {
      const auto column = std::find(columns.begin(), columns.end(), f.key) - columns.begin();
      row[std::size_t(column)] = plainFigure(f, isOneOf(f.key, kOutputCounters));
    }
  }
  std::vector<std::size_t> widths;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    std::size_t width = columns[c].size();
    for (const auto& row : cells) width = std::max(width, row[c].size());
    widths.push_back(width);
  }
  auto cell = [&](std::size_t c, const std::string& text) {
    out += std::string(widths[c] - std::min(widths[c], text.size()) + 2, ' ') + text;
  };
  for (std::size_t c = 0; c < columns.size(); ++c) cell(c, columns[c]);
  out += "  output\n";
  for (std::size_t r = 0; r < cells.size(); ++r) {
    for (std::size_t c = 0; c < columns.size(); ++c) cell(c, cells[r][c]);
    out += "  " + oneLine(*figures.outputs[r].name) + "\n";
  }
  std::fputs(out.c_str(), stdout);
}

// ---- the service ----

// The service's state as the manager reports it; nothing when it cannot be
// asked (*error then says why: 1060 when there is no such service).
std::optional<DWORD> serviceState(const std::string& name, DWORD* error) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    *error = GetLastError();
    return std::nullopt;
  }
  std::optional<DWORD> state;
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  if (service != nullptr && QueryServiceStatus(service, &status)) {
    state = status.dwCurrentState;
  } else {
    *error = GetLastError();
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return state;
}

// kill() would read 0 and negative numbers as process groups.
bool processAlive(std::uint64_t pid) {
  return pid > 0 && pid <= std::uint64_t(std::numeric_limits<pid_t>::max()) &&
         (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

int fail(const std::string& message) {
  std::fprintf(stderr, "corvctl stats: %s\n", message.c_str());
  return kExitFailure;
}

// The file's bytes; on failure the errno, or EFBIG when it is too large to be ours.
int readFile(const std::string& path, std::string* text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text->size() + std::size_t(n) > kMaxFileSize) {
      const int error = n < 0 ? errno : n > 0 ? EFBIG : 0;
      ::close(fd);
      return error;
    }
    text->append(buffer, std::size_t(n));
  }
}

}  // namespace

int statsCommand(const Args& args) {
  bool json = false;
  std::optional<std::string> name;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "corvctl stats: unknown argument '%s'\n%s", oneLine(a).c_str(), kStatsUsage);
      return kExitUsage;
    } else if (name) {
      std::fprintf(stderr, "corvctl stats: one service name only\n%s", kStatsUsage);
      return kExitUsage;
    } else {
      name = a;
    }
  }
  const std::string service = name.value_or(kDefaultService);
  const std::string path = (platform::serviceStateFolder(service) / "stats").string();

  std::string text;
  if (const int error = readFile(path, &text); error != 0) {
    const std::string reason = std::system_category().message(error);
    if (error == ENOENT || error == ENOTDIR) {
      DWORD queryError = 0;
      if (!serviceState(service, &queryError) && queryError == DWORD(ERROR_SERVICE_DOES_NOT_EXIST))
        return fail(oneLine(service) + " is not an installed service, and there are no statistics of it (" +
                    oneLine(path) + " does not exist).");
      return fail("there are no statistics of " + oneLine(service) + ": " + oneLine(path) +
                  " does not exist. The service has not run since it keeps statistics, or has never run.");
    }
    if (error == EACCES || error == EPERM)
      return fail("cannot read " + oneLine(path) + ": " + reason +
                  ". The service's state folder is open only to the user the service runs as.");
    if (error == EFBIG) return fail(oneLine(path) + " is damaged: it is larger than any statistics file.");
    return fail("cannot read " + oneLine(path) + ": " + reason + ".");
  }

  Figures figures;
  if (const std::optional<std::string> problem = parse(text, &figures))
    return fail(oneLine(path) + " is damaged: " + *problem + ".");

  // The file outlives the process that wrote it: the figures are current only
  // while that process lives and the manager still reports the service active.
  DWORD queryError = 0;
  const std::optional<DWORD> state = serviceState(service, &queryError);
  const bool serviceActive = !state || *state != SERVICE_STOPPED;  // unknown: the process alone tells
  const bool running = serviceActive && processAlive(figures.pid);

  if (json) {
    printJson(service, running, figures);
    return 0;
  }
  std::string status = "Figures as of " + localTime(figures.written) + ".";
  if (!running && state && *state != SERVICE_STOPPED)
    status = "The service runs, but these figures are from an earlier run (process " +
             std::to_string(figures.pid) + "); figures as of " + localTime(figures.written) + ".";
  else if (!running)
    status = "The service is not running; figures as of " + localTime(figures.written) + ".";
  printTable(service, status, figures);
  return 0;
}

}  // namespace corvctl
