// Program files are read for their resources by anyone who views the event
// log, including files named by a registry value. Whatever a file holds, the
// readers must give an answer or an error, never crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../platform/src/elf_section.h"
#include "platform/resource.h"

namespace {

void readResources(const BYTE* data, std::size_t size) {
  const auto entries = platform::decodeResourceSection(data, size);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (entry.type == 11) {
      platform::readMessageTable(entry.data.data(), entry.data.size());
      platform::findMessage(entry.data.data(), entry.data.size(), 8);
    } else if (entry.type == 16) {
      // VerQueryValue trusts a block as far as its own total length, as
      // GetFileVersionInfo checks before it hands one out; do the same.
      if (entry.data.size() < 6) continue;
      const std::size_t total = entry.data[0] | (entry.data[1] << 8);
      if (total > entry.data.size()) continue;
      std::vector<BYTE> block(entry.data);
      LPVOID value = nullptr;
      UINT length = 0;
      VerQueryValueA(block.data(), "\\", &value, &length);
      VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\ProductVersion", &value, &length);
      VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input is read two ways: as a whole ELF file, and as the bytes of a
  // resource section (most inputs are not ELF files, so the second way reaches
  // the container and table parsers far more often).
  const auto section = platform::readElfSection(data, size, platform::kResourceSectionName);
  if (section.found) readResources(section.data.data(), section.data.size());
  readResources(data, size);

  std::vector<std::string> inserts = {"one", "two"};
  platform::expandMessage(std::string_view(reinterpret_cast<const char*>(data), size), inserts);
  return 0;
}
