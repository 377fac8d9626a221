// Reads one named section out of an ELF64 little-endian file, without trusting
// anything the file says: every offset, size and count is checked against the
// file's real size before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/resource.h"

namespace platform {

// Random access to the bytes of a file, or of a buffer in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly length bytes at offset; false when they are not all there.
  virtual bool read(std::uint64_t offset, std::size_t length, void* out) const = 0;
};

struct ElfSectionResult {
  LONG error = ERROR_SUCCESS;  // ERROR_BAD_EXE_FORMAT, ERROR_READ_FAULT or ERROR_SUCCESS
  bool found = false;          // the file is well formed; found tells whether it has the section
  std::vector<BYTE> data;
};

// Sections larger than this are refused as damaged: resources are small.
inline constexpr std::uint64_t kMaxSectionSize = 64ull << 20;

ElfSectionResult readElfSection(const ByteSource& source, const std::string& name);
ElfSectionResult readElfSection(const BYTE* image, std::size_t size, const std::string& name);

}  // namespace platform
