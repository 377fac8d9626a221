// LogRetention: removes the file action's dated log files once they are older
// than nKeepDays, at the first call and then once a day.
//
// Only files that the daemon itself names are touched: regular files (never
// symbolic links, folders or anything else) directly in the log folder whose
// names are "<base>-YYYY-MM-DD.<extension>" with a real calendar date, where
// base is the configured base name or the parameter of a write-to-file action
// of the rule base, and extension the configured one. The date is read from
// the name, not from the file's times, and today is the local date or, with
// settings.useUtc, the UTC date, as the file names take it. A file dated more
// than keepDays days before today is removed: with 7, today's file and those
// of the 7 days before stay. A parameter that names a sub-folder ("a/b") puts
// its files outside the log folder; they are left alone.
//
// A run that removed or failed to remove anything logs one information event
// 190 with the counts; each file that could not be removed (and a log folder
// that cannot be read) logs a warning 191 with the reason, at most
// kMaxReportedFailures per run. A missing log folder is not reported: the file
// action reports its own failures.
//
// Processing thread only; nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "reception/message_time.h"
#include "rules/ActionSettings.h"

class CRuleBase;

inline constexpr TimeValue kRetentionInterval = 24 * 60 * 60;
inline constexpr std::size_t kMaxReportedFailures = 5;

class LogRetention {
 public:
  // keepDays 0 keeps every file: the object then never looks at the folder.
  LogRetention(const ActionSettings& settings, std::uint32_t keepDays);

  // Called by the processing thread with the current time at start and after
  // every batch; costs one comparison unless a run is due (at the first call,
  // then kRetentionInterval after the last run, or at once when the clock was
  // set back by more than that). `rules` gives the base names of the
  // write-to-file actions' own files.
  void onBatch(TimeValue now, const CRuleBase& rules) {
    if (m_keepDays != 0 && (now >= m_nextRun || m_nextRun - now > kRetentionInterval)) run(now, rules);
  }

  struct Outcome {
    std::size_t removed = 0;
    std::size_t failed = 0;
  };
  // One pass over the log folder now, whatever the schedule, with the given
  // base names; logs the events described above.
  Outcome removeOldFiles(TimeValue now, const std::set<std::string, std::less<>>& baseNames);

 private:
  void run(TimeValue now, const CRuleBase& rules);

  std::string m_folder;
  std::string m_baseName;
  std::string m_extension;
  bool m_utc;
  std::uint32_t m_keepDays;
  TimeValue m_nextRun = 0;
};

// The base names of the dated files the rule base's write-to-file actions
// write: each action's parameter that is not empty and names no sub-folder.
// The configured base name is not included.
std::set<std::string, std::less<>> fileActionBaseNames(const CRuleBase& rules);

// The date of a file name "<base>-YYYY-MM-DD.<extension>" as days since
// 1970-01-01, with the base it carries in `base`; false when the name does not
// have that form, the date does not exist, or the extension differs.
bool parseDatedLogFileName(std::string_view name, std::string_view extension, std::string_view& base,
                           std::int64_t& day);

// The call that removes a file, unlinkat(2) unless replaced. Tests only (a
// file that cannot be removed, also when the test runs as root): pass null to
// restore it.
using RetentionUnlink = int (*)(int folder, const char* name, int flags);
void setLogRetentionUnlinkForTesting(RetentionUnlink unlink);
