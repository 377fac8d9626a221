#include "GetFileVersion.h"

#include <vector>

#include "ansi_text.h"
#include "platform/resource.h"

FileVersion GetFileVersion(const QString& path) {
  const std::string file = toAnsi(path);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
  if (size == 0) return {};
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoA(file.c_str(), handle, size, block.data())) return {};
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO))
    return {};
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  FileVersion version;
  version.major = static_cast<std::int32_t>(info->dwProductVersionMS >> 16);
  version.minor = static_cast<std::int32_t>(info->dwProductVersionMS & 0xFFFF);
  version.build = static_cast<std::int32_t>(info->dwProductVersionLS);
  version.ok = true;
  return version;
}

QString versionText(const FileVersion& version) {
  return QStringLiteral("%1.%2.%3").arg(version.major).arg(version.minor).arg(version.build);
}
