// GetFileVersion: the product version recorded in a program file's version
// resource.
#pragma once

#include <QString>
#include <cstdint>

struct FileVersion {
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t build = 0;
  bool ok = false;  // false: no readable version resource; the numbers are then 0
};

// Reads the file's version resource and takes its product version: major and
// minor from the high and low 16 bits of the most significant 32 bits, build
// from the whole least significant 32 bits (so 3.70.0.124 gives 3, 70, 124).
// A missing file, a file without a version resource or any other failure gives
// 0, 0, 0 and false.
FileVersion GetFileVersion(const QString& path);

// The version as the client writes it: "major.minor.build" ("0.0.0" when unknown).
QString versionText(const FileVersion& version);
