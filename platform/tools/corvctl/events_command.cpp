// corvctl events [--source S] [--follow] [--json]: the Application log,
// formatted as a viewer shows it.
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

#include "commands.h"
#include "platform/eventlog.h"
#include "platform/resource.h"
#include "platform/text.h"

namespace corvctl {

std::string forTerminal(const std::string& text) {
  std::string out;
  const std::u16string wide = platform::toWide(text);
  auto escape = [&](unsigned value) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", value);
    out += hex;
  };
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const char16_t c = wide[i];
    if (c == u'\r') {
      out.push_back('\n');
      if (i + 1 < wide.size() && wide[i + 1] == u'\n') ++i;
    } else if (c == u'\n' || c == u'\t') {
      out.push_back(char(c));
    } else if (c < 0x20 || c == 0x7F) {
      escape(c);
    } else if (c >= 0x80 && c <= 0x9F) {  // C1 controls, which some terminals obey
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", unsigned(c));
      out += code;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      escape(c - 0xDC00);  // a byte that is not part of UTF-8
    } else {
      const std::size_t len = (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) ? 2 : 1;
      out += platform::toAnsi(std::u16string_view(wide).substr(i, len));
      i += len - 1;
    }
  }
  return out;
}

namespace {

constexpr int kPollIntervalMs = 200;
constexpr std::size_t kBatch = 1000;

volatile std::sig_atomic_t g_stop = 0;
void onStopSignal(int) { g_stop = 1; }

struct Options {
  std::optional<std::string> source;
  bool follow = false;
  bool json = false;
};

std::string localTime(std::int64_t seconds, bool iso) {
  const std::time_t t = std::time_t(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char out[64];
  std::strftime(out, sizeof out, iso ? "%Y-%m-%dT%H:%M:%S%z" : "%Y-%m-%d %H:%M:%S", &tm);
  std::string text = out;
  if (iso && text.size() > 5) text.insert(text.size() - 2, ":");  // +0200 -> +02:00, as ISO 8601 writes it
  return text;
}


// A JSON string. Bytes that are not UTF-8 are written as \udcHH (the byte
// 0xHH), the same mapping the platform's ANSI code page uses, so that a reader
// can recover every byte.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  const std::u16string wide = platform::toWide(text);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const char16_t c = wide[i];
    char esc[8];
    switch (c) {
      case u'"':
        out += "\\\"";
        break;
      case u'\\':
        out += "\\\\";
        break;
      case u'\n':
        out += "\\n";
        break;
      case u'\r':
        out += "\\r";
        break;
      case u'\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F || (c >= 0xDC00 && c <= 0xDFFF)) {
          std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(c));
          out += esc;
        } else {
          const std::size_t len = (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) ? 2 : 1;
          out += platform::toAnsi(std::u16string_view(wide).substr(i, len));
          i += len - 1;
        }
    }
  }
  return out + "\"";
}

void printText(const platform::EventRecord& r) {
  std::string message = forTerminal(platform::formatEvent(r));
  while (!message.empty() && message.back() == '\n') message.pop_back();
  std::printf("Record %llu  %s  %s  source %s  event %lu  computer %s\n", (unsigned long long)r.recordNumber,
              localTime(r.timeGenerated, false).c_str(), platform::eventTypeName(r.type).c_str(),
              forTerminal(r.source).c_str(), (unsigned long)r.eventId, forTerminal(r.computer).c_str());
  std::size_t at = 0;
  while (at <= message.size() && !message.empty()) {
    const std::size_t end = std::min(message.find('\n', at), message.size());
    const std::string line = message.substr(at, end - at);
    std::printf(line.empty() ? "\n" : "    %s\n", line.c_str());
    at = end + 1;
  }
  std::printf("\n");
}

void printJson(const platform::EventRecord& r) {
  std::string line = "{\"record\":" + std::to_string(r.recordNumber) +
                     ",\"timeGenerated\":" + std::to_string(r.timeGenerated) +
                     ",\"timeWritten\":" + std::to_string(r.timeWritten) +
                     ",\"time\":" + jsonString(localTime(r.timeGenerated, true)) +
                     ",\"type\":" + std::to_string(r.type) +
                     ",\"typeName\":" + jsonString(platform::eventTypeName(r.type)) +
                     ",\"source\":" + jsonString(r.source) + ",\"category\":" + std::to_string(r.category) +
                     ",\"eventId\":" + std::to_string(r.eventId) + ",\"computer\":" + jsonString(r.computer) +
                     ",\"message\":" + jsonString(platform::formatEvent(r)) + ",\"strings\":[";
  for (std::size_t i = 0; i < r.strings.size(); ++i) line += (i > 0 ? "," : "") + jsonString(r.strings[i]);
  line += "],\"data\":\"";
  for (BYTE b : r.data) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", unsigned(b));
    line += hex;
  }
  line += "\"}\n";
  std::fputs(line.c_str(), stdout);
}

// Prints every record after *last; false when the log cannot be read.
bool printNew(const Options& options, std::uint64_t& last) {
  std::vector<platform::EventRecord> records;
  do {
    const LONG error = platform::readEvents(last, options.source, records, kBatch);
    if (error != ERROR_SUCCESS) {
      char text[256] = "";
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(error), 0,
                     text, sizeof text, nullptr);
      std::fprintf(stderr, "corvctl events: cannot read the event log: %s", text);
      return false;
    }
    for (const auto& r : records) {
      options.json ? printJson(r) : printText(r);
      last = r.recordNumber;
    }
  } while (records.size() == kBatch);
  std::fflush(stdout);
  return true;
}

}  // namespace

int eventsCommand(const Args& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--follow") {
      options.follow = true;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--source" && i + 1 < args.size()) {
      options.source = args[++i];
    } else if (a.rfind("--source=", 0) == 0) {
      options.source = a.substr(9);
    } else {
      std::fprintf(stderr,
                   "corvctl events: %s '%s'\nusage: corvctl events [--source S] [--follow] [--json]\n",
                   a == "--source" ? "missing value for" : "unknown argument", a.c_str());
      return kExitUsage;
    }
  }

  std::uint64_t last = 0;
  if (!printNew(options, last)) return kExitFailure;
  if (!options.follow) return 0;

  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  while (!g_stop) {
    poll(nullptr, 0, kPollIntervalMs);  // interrupted early by the stop signal
    if (!g_stop && !printNew(options, last)) return kExitFailure;
  }
  return 0;
}

}  // namespace corvctl
