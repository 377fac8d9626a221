#include "actions/log_retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <system_error>

#include "rules/CRuleBase.h"
#include "rules/action_factory.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

constexpr TimeValue kSecondsPerDay = 24 * 60 * 60;
constexpr std::size_t kDateLength = 10;  // YYYY-MM-DD

RetentionUnlink g_unlink = ::unlinkat;

bool digits(std::string_view text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int number(std::string_view text) {
  int value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value;
}

// Days since 1970-01-01 of a calendar date; false when the date does not exist
// (timegm carries 31 April over into May, which the round trip shows).
bool dayNumber(int year, int month, int day, std::int64_t& result) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = 12;  // far from any edge of the day
  const std::time_t t = timegm(&fields);
  if (fields.tm_year != year - 1900 || fields.tm_mon != month - 1 || fields.tm_mday != day) return false;
  result = static_cast<std::int64_t>(t) / kSecondsPerDay;
  return true;
}

std::int64_t today(TimeValue now, bool utc) {
  const std::time_t t = static_cast<std::time_t>(now);
  std::tm fields{};
  if (utc) {
    gmtime_r(&t, &fields);
  } else {
    tzset();  // as the file names do: a changed zone is noticed
    localtime_r(&t, &fields);
  }
  std::int64_t day = 0;
  dayNumber(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, day);
  return day;
}

void reportFailure(std::size_t& reported, const std::string& path, const std::string& reason) {
  if (reported >= kMaxReportedFailures) return;
  ++reported;
  logDaemonEvent(EVENTLOG_WARNING_TYPE, kEventOldLogFileNotRemoved, {path.c_str(), reason.c_str()});
}

}  // namespace

bool parseDatedLogFileName(std::string_view name, std::string_view extension, std::string_view& base,
                           std::int64_t& day) {
  // "<base>-YYYY-MM-DD.<extension>", read from the end: the base may hold
  // dashes and dots of its own.
  const std::size_t tail = 1 + kDateLength + 1 + extension.size();  // "-" date "." extension
  if (name.size() <= tail) return false;                            // the base is never empty
  const std::size_t dash = name.size() - tail;
  const std::string_view date = name.substr(dash + 1, kDateLength);
  if (name[dash] != '-' || name[dash + 1 + kDateLength] != '.' ||
      name.substr(dash + 2 + kDateLength) != extension)
    return false;
  if (!digits(date.substr(0, 4)) || date[4] != '-' || !digits(date.substr(5, 2)) || date[7] != '-' ||
      !digits(date.substr(8, 2)))
    return false;
  if (!dayNumber(number(date.substr(0, 4)), number(date.substr(5, 2)), number(date.substr(8, 2)), day))
    return false;
  base = name.substr(0, dash);
  return true;
}

void setLogRetentionUnlinkForTesting(RetentionUnlink unlink) {
  g_unlink = unlink != nullptr ? unlink : ::unlinkat;
}

std::set<std::string, std::less<>> fileActionBaseNames(const CRuleBase& rules) {
  std::set<std::string, std::less<>> names;
  for (std::size_t r = 0; r < rules.size(); ++r) {
    const CActionList& actions = rules.at(r).getActions();
    for (std::size_t a = 0; a < actions.size(); ++a) {
      const CActionListEntry& entry = actions.at(a);
      if (entry.getType() != kActionFile || !entry.hasParameter()) continue;
      const std::string_view name(entry.getParameter().getNarrow(),
                                  static_cast<std::size_t>(entry.getParameter().getNarrowLength()));
      if (!name.empty() && name.find('/') == std::string_view::npos) names.emplace(name);
    }
  }
  return names;
}

LogRetention::LogRetention(const ActionSettings& settings, std::uint32_t keepDays)
    : m_folder(settings.logFilePath),
      m_baseName(settings.logFileName),
      m_extension(settings.logFileExtension),
      m_utc(settings.useUtc != 0),
      m_keepDays(keepDays) {}

void LogRetention::run(TimeValue now, const CRuleBase& rules) {
  m_nextRun = now + kRetentionInterval;
  std::set<std::string, std::less<>> names = fileActionBaseNames(rules);
  names.insert(m_baseName);
  removeOldFiles(now, names);
}

LogRetention::Outcome LogRetention::removeOldFiles(TimeValue now,
                                                   const std::set<std::string, std::less<>>& baseNames) {
  Outcome outcome;
  std::size_t reported = 0;
  // The folder is opened once and every name is looked at and removed
  // relative to it, without following a symbolic link in the folder.
  const int folder = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    if (errno != ENOENT) {
      reportFailure(reported, m_folder,
                    "The folder cannot be read: " + std::generic_category().message(errno));
      ++outcome.failed;
    }
    return outcome;
  }
  DIR* listing = ::fdopendir(folder);
  if (listing == nullptr) {
    const int error = errno;
    ::close(folder);
    reportFailure(reported, m_folder, "The folder cannot be read: " + std::generic_category().message(error));
    ++outcome.failed;
    return outcome;
  }
  // Older than the limit: more than m_keepDays days before today.
  const std::int64_t newestToRemove = today(now, m_utc) - static_cast<std::int64_t>(m_keepDays) - 1;
  while (const dirent* item = ::readdir(listing)) {
    const std::string_view name(item->d_name);
    std::string_view base;
    std::int64_t day = 0;
    if (!parseDatedLogFileName(name, m_extension, base, day) || day > newestToRemove) continue;
    if (baseNames.find(base) == baseNames.end()) continue;
    struct stat status {};
    if (::fstatat(folder, item->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
      continue;
    if (g_unlink(folder, item->d_name, 0) == 0) {
      ++outcome.removed;
    } else if (errno != ENOENT) {  // gone meanwhile: nothing left to do
      reportFailure(reported, m_folder + "/" + std::string(name), std::generic_category().message(errno));
      ++outcome.failed;
    }
  }
  ::closedir(listing);  // closes `folder` too
  if (outcome.removed > 0 || outcome.failed > 0) {
    const std::string removed = std::to_string(outcome.removed);
    const std::string found = std::to_string(outcome.removed + outcome.failed);
    const std::string days = std::to_string(m_keepDays);
    logDaemonEvent(EVENTLOG_INFORMATION_TYPE, kEventOldLogFilesRemoved,
                   {removed.c_str(), found.c_str(), days.c_str(), m_folder.c_str()});
  }
  return outcome;
}
