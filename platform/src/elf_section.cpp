#include "elf_section.h"

#include <elf.h>

#include <cstring>

namespace platform {

namespace {

class MemorySource final : public ByteSource {
 public:
  MemorySource(const BYTE* data, std::size_t size) : m_data(data), m_size(size) {}
  std::uint64_t size() const override { return m_size; }
  bool read(std::uint64_t offset, std::size_t length, void* out) const override {
    if (offset > m_size || length > m_size - offset) return false;
    std::memcpy(out, m_data + offset, length);
    return true;
  }

 private:
  const BYTE* m_data;
  std::size_t m_size;
};

// offset + length lies inside [0, total), computed without overflow.
bool inside(std::uint64_t offset, std::uint64_t length, std::uint64_t total) {
  return offset <= total && length <= total - offset;
}

ElfSectionResult malformed() {
  ElfSectionResult r;
  r.error = ERROR_BAD_EXE_FORMAT;
  return r;
}

}  // namespace

ElfSectionResult readElfSection(const ByteSource& source, const std::string& name) {
  const std::uint64_t fileSize = source.size();
  Elf64_Ehdr eh;
  if (!source.read(0, sizeof eh, &eh)) return malformed();
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB)
    return malformed();
  // A file without section headers is still an ELF file; it just has no resources.
  if (eh.e_shoff == 0) return {};
  if (eh.e_shentsize < sizeof(Elf64_Shdr)) return malformed();

  auto sectionHeader = [&](std::uint64_t index, Elf64_Shdr& out) {
    const std::uint64_t at = eh.e_shoff + index * eh.e_shentsize;  // index is bounded below
    return source.read(at, sizeof out, &out);
  };

  // Extended numbering: with 0xff00 or more sections, the real count and the
  // string table index are kept in section 0.
  std::uint64_t count = eh.e_shnum;
  std::uint64_t strIndex = eh.e_shstrndx;
  if (count == 0 || strIndex == SHN_XINDEX) {
    Elf64_Shdr first;
    if (!inside(eh.e_shoff, sizeof first, fileSize) || !sectionHeader(0, first)) return malformed();
    if (count == 0) count = first.sh_size;
    if (strIndex == SHN_XINDEX) strIndex = first.sh_link;
  }
  if (count == 0) return {};
  if (eh.e_shoff > fileSize || count > (fileSize - eh.e_shoff) / eh.e_shentsize) return malformed();
  if (strIndex == SHN_UNDEF || strIndex >= count) return malformed();

  Elf64_Shdr strHeader;
  if (!sectionHeader(strIndex, strHeader)) return malformed();
  if (strHeader.sh_type == SHT_NOBITS || !inside(strHeader.sh_offset, strHeader.sh_size, fileSize) ||
      strHeader.sh_size > kMaxSectionSize)
    return malformed();
  std::vector<char> names(strHeader.sh_size);
  if (!names.empty() && !source.read(strHeader.sh_offset, names.size(), names.data())) return malformed();

  for (std::uint64_t i = 1; i < count; ++i) {
    Elf64_Shdr sh;
    if (!sectionHeader(i, sh)) return malformed();
    if (sh.sh_name >= names.size()) return malformed();
    const char* candidate = names.data() + sh.sh_name;
    const std::size_t room = names.size() - sh.sh_name;
    const std::size_t len = strnlen(candidate, room);
    if (len == room) return malformed();  // the name runs off the end of the string table
    if (name != std::string_view(candidate, len)) continue;

    if (sh.sh_type == SHT_NOBITS || !inside(sh.sh_offset, sh.sh_size, fileSize) ||
        sh.sh_size > kMaxSectionSize)
      return malformed();
    ElfSectionResult r;
    r.found = true;
    r.data.resize(sh.sh_size);
    if (!r.data.empty() && !source.read(sh.sh_offset, r.data.size(), r.data.data())) {
      r.error = ERROR_READ_FAULT;
      r.found = false;
      r.data.clear();
    }
    return r;
  }
  return {};
}

ElfSectionResult readElfSection(const BYTE* image, std::size_t size, const std::string& name) {
  return readElfSection(MemorySource(image, size), name);
}

}  // namespace platform
