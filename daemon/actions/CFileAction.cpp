#include "actions/CFileAction.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <system_error>

#include "actions/file_output.h"
#include "rules/CActionListEntry.h"

namespace {

TimeValue systemClock() { return static_cast<TimeValue>(std::time(nullptr)); }

FileActionClock g_clock = systemClock;

// A calendar conversion kept for the second it was made for: messages arrive
// many per second, and the conversion (with its look at the zone rules) is the
// costliest step of a line.
struct CalendarCache {
  TimeValue second = 0;
  bool valid = false;
  std::tm fields{};
};

// Receive thread only, like the rest of the file action.
CalendarCache g_nameLocal, g_nameUtc, g_lineLocal;

const std::tm& calendar(CalendarCache& cache, TimeValue when, bool utc) {
  if (!cache.valid || cache.second != when) {
    const std::time_t t = static_cast<std::time_t>(when);
    if (utc) {
      gmtime_r(&t, &cache.fields);
    } else {
      tzset();  // localtime_r alone need not notice a changed zone
      localtime_r(&t, &cache.fields);
    }
    cache.second = when;
    cache.valid = true;
  }
  return cache.fields;
}

// "%0*d": at least `width` digits, zeros in front.
void appendPadded(std::string& out, int value, int width) {
  if (width == 2 && value >= 0 && value < 100) {  // months, days and times: every line has five
    const char pair[2] = {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
    out.append(pair, 2);
    return;
  }
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  for (int n = static_cast<int>(end - digits); n < width; ++n) out.push_back('0');
  out.append(digits, end);
}

void appendUnsigned(std::string& out, std::int32_t value) {
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(value)).ptr;
  out.append(digits, end);
}

// The text with every control character but TAB (below 0x20, and 0x7F) as '#'
// and its three octal digits ("#012" for LF): one message stays one line, and
// what a sender put in cannot pose as a line of another sender or reach the
// terminal of whoever reads the file.
// True when one of the eight bytes of `word` is below 0x20 or 0x7F; a
// message rarely has one, so eight bytes are passed over at once.
bool mayNeedEscape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const std::uint64_t below = (word - kOnes * 0x20) & ~word & kHighs;
  const std::uint64_t del = word ^ (kOnes * 0x7F);
  return (below | ((del - kOnes) & ~del & kHighs)) != 0;
}

void appendEscaped(std::string& out, const char* text, std::size_t length) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (i + 8 <= length) {
      std::uint64_t word;
      std::memcpy(&word, text + i, sizeof word);
      if (!mayNeedEscape(word)) {
        i += 7;
        continue;
      }
    }
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c >= 0x20 && c != 0x7F) || c == '\t') continue;
    out.append(text + start, i - start);
    const char escape[4] = {'#', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
                            static_cast<char>('0' + (c & 7))};
    out.append(escape, sizeof escape);
    start = i + 1;
  }
  out.append(text + start, length - start);
}

void appendDate(std::string& out, const std::tm& fields, char separator) {
  appendPadded(out, fields.tm_year + 1900, 4);
  out.push_back(separator);
  appendPadded(out, fields.tm_mon + 1, 2);
  out.push_back(separator);
  appendPadded(out, fields.tm_mday, 2);
}

}  // namespace

void CFileAction::Execute(const SyslogMessage& message, const ActionSettings& settings,
                          const CActionListEntry& entry) {
  // Reused for every message: the name is composed without allocating once the
  // buffer has grown.
  static std::string name;
  if (!buildLogFileName(settings, entry, g_clock(), name)) {
    reportFileOutputFailure(name, std::generic_category().message(ENAMETOOLONG));
    return;
  }
  std::string* buffer = fileOutputBuffer(name);
  if (buffer == nullptr) return;  // the file cannot be opened: the line is lost (and logged)
  appendFileLine(settings, message, *buffer);
  fileLineAppended(name);
}

bool buildLogFileName(const ActionSettings& settings, const CActionListEntry& entry, TimeValue now,
                      std::string& name) {
  name.assign(settings.logFilePath);
  name.push_back('/');
  if (entry.hasParameter()) {
    const CTolvaneString& parameter = entry.getParameter();
    name.append(parameter.getNarrow(), static_cast<std::size_t>(parameter.getNarrowLength()));
  } else {
    name.append(settings.logFileName);
  }
  if (settings.uniqueFileName != 0) {
    // The date part of one second is composed once, for every message of it.
    static std::string date[2];
    static TimeValue dateSecond[2] = {0, 0};
    const bool utc = settings.useUtc != 0;
    std::string& part = date[utc ? 1 : 0];
    if (part.empty() || dateSecond[utc ? 1 : 0] != now) {
      part.assign(1, '-');
      appendDate(part, calendar(utc ? g_nameUtc : g_nameLocal, now, utc), '-');
      dateSecond[utc ? 1 : 0] = now;
    }
    name.append(part);
  }
  name.push_back('.');
  name.append(settings.logFileExtension);
  return name.size() <= kMaxLogFileName;
}

void appendFileLine(const ActionSettings& settings, const SyslogMessage& message, std::string& line) {
  if (settings.fileDateTime == 1) {
    // The date and time columns of one second are composed once: a burst
    // gives thousands of lines the same ones.
    static std::string stamp;
    static TimeValue stampSecond = 0;
    const TimeValue when = message.getReceivedAt();
    if (stamp.empty() || stampSecond != when) {
      const std::tm& fields = calendar(g_lineLocal, when, false);
      stamp.clear();
      appendDate(stamp, fields, '-');
      stamp.push_back(',');
      appendPadded(stamp, fields.tm_hour, 2);
      stamp.push_back(':');
      appendPadded(stamp, fields.tm_min, 2);
      stamp.push_back(':');
      appendPadded(stamp, fields.tm_sec, 2);
      stamp.push_back(',');
      stampSecond = when;
    }
    line.append(stamp);
  }
  const bool escape = settings.fileEscapeControlChars != 0;
  const auto appendText = [&](const char* text, std::size_t length) {
    if (escape) {
      appendEscaped(line, text, length);
    } else {
      line.append(text, length);
    }
  };
  const CTolvaneString& host = message.getFromHost();  // a resolved name is the sender's word too
  appendText(host.getNarrow(), static_cast<std::size_t>(host.getNarrowLength()));
  line.push_back(',');
  if (settings.fileFacility == 1) {
    appendUnsigned(line, message.getFacility());
    line.push_back(',');
  }
  if (settings.filePriority == 1) {
    appendUnsigned(line, message.getPriority());
    line.push_back(',');
  }
  const char* text = message.getMessageA();
  appendText(text, std::strlen(text));
  line.push_back('\n');
}

void setFileActionClockForTesting(FileActionClock clock) { g_clock = clock != nullptr ? clock : systemClock; }
