// The byte layouts of resources: the container in the "corvres" section, the
// message table and the version block. Shared by corvrc, which writes them,
// and the loader, which reads them.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/resource.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr BYTE kMagic[8] = {'C', 'O', 'R', 'V', 'R', 'E', 'S', 1};
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kEntryHeaderSize = 16;

std::size_t align(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

void put16(std::vector<BYTE>& out, std::size_t at, WORD v) {
  out[at] = BYTE(v);
  out[at + 1] = BYTE(v >> 8);
}
void put32(std::vector<BYTE>& out, std::size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) out[at + i] = BYTE(v >> (8 * i));
}
void append16(std::vector<BYTE>& out, WORD v) {
  out.push_back(BYTE(v));
  out.push_back(BYTE(v >> 8));
}
void append32(std::vector<BYTE>& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}
WORD get16(const BYTE* p) { return WORD(p[0] | (p[1] << 8)); }
DWORD get32(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

void padTo(std::vector<BYTE>& out, std::size_t to) { out.resize(align(out.size(), to), 0); }

}  // namespace

std::vector<BYTE> encodeResourceContainer(const std::vector<ResourceEntry>& entries) {
  std::vector<BYTE> out(kMagic, kMagic + sizeof kMagic);
  append32(out, 0);  // total length, known at the end
  append32(out, DWORD(entries.size()));
  for (const ResourceEntry& e : entries) {
    append32(out, e.type);
    append32(out, e.id);
    append32(out, e.language);
    append32(out, DWORD(e.data.size()));
    out.insert(out.end(), e.data.begin(), e.data.end());
    padTo(out, 4);
  }
  padTo(out, 8);
  put32(out, 8, DWORD(out.size()));
  return out;
}

std::optional<std::vector<ResourceEntry>> decodeResourceSection(const BYTE* data, std::size_t size) {
  std::vector<ResourceEntry> entries;
  std::size_t at = 0;
  while (at < size) {
    if (data[at] == 0) {  // alignment between the containers of several objects
      ++at;
      continue;
    }
    if (at % 8 != 0 || size - at < kHeaderSize || std::memcmp(data + at, kMagic, sizeof kMagic) != 0)
      return std::nullopt;
    const std::size_t total = get32(data + at + 8);
    const std::size_t count = get32(data + at + 12);
    if (total < kHeaderSize || total > size - at) return std::nullopt;
    const BYTE* c = data + at;
    std::size_t pos = kHeaderSize;
    for (std::size_t i = 0; i < count; ++i) {
      if (total - pos < kEntryHeaderSize) return std::nullopt;
      ResourceEntry e;
      e.type = get32(c + pos);
      e.id = get32(c + pos + 4);
      e.language = get32(c + pos + 8);
      const std::size_t length = get32(c + pos + 12);
      pos += kEntryHeaderSize;
      if (length > total - pos) return std::nullopt;
      e.data.assign(c + pos, c + pos + length);
      pos = std::min(total, align(pos + length, 4));
      entries.push_back(std::move(e));
    }
    at += total;
  }
  return entries;
}

// MESSAGE_RESOURCE_DATA: DWORD NumberOfBlocks, then per block LowId, HighId,
// OffsetToEntries (from the table's start); entries are WORD Length (the whole
// entry), WORD Flags (0 ANSI, 1 UTF-16), zero-terminated text padded to 4.
std::optional<std::vector<BYTE>> buildMessageTable(const std::map<DWORD, std::string>& messages) {
  std::vector<std::pair<DWORD, DWORD>> runs;
  for (const auto& [id, text] : messages) {
    if (!runs.empty() && runs.back().second + 1 == id)
      runs.back().second = id;
    else
      runs.emplace_back(id, id);
  }
  std::vector<BYTE> out;
  append32(out, DWORD(runs.size()));
  const std::size_t blocksAt = out.size();
  out.resize(out.size() + runs.size() * 12, 0);
  for (std::size_t b = 0; b < runs.size(); ++b) {
    put32(out, blocksAt + b * 12, runs[b].first);
    put32(out, blocksAt + b * 12 + 4, runs[b].second);
    put32(out, blocksAt + b * 12 + 8, DWORD(out.size()));
    for (DWORD id = runs[b].first;; ++id) {
      const std::string& text = messages.at(id);
      const std::size_t length = align(4 + text.size() + 1, 4);
      if (length > 0xFFFF) return std::nullopt;  // Length is a WORD
      const std::size_t at = out.size();
      out.resize(at + length, 0);
      put16(out, at, WORD(length));
      put16(out, at + 2, 0);
      std::memcpy(out.data() + at + 4, text.data(), text.size());
      if (id == runs[b].second) break;
    }
  }
  return out;
}

namespace {

// Calls visit(id, text) for every entry; false when the table is damaged.
template <typename Visit>
bool walkMessageTable(const BYTE* table, std::size_t size, Visit&& visit) {
  if (size < 4) return false;
  const DWORD blocks = get32(table);
  if (blocks > (size - 4) / 12) return false;
  for (DWORD b = 0; b < blocks; ++b) {
    const BYTE* block = table + 4 + b * 12;
    const DWORD low = get32(block), high = get32(block + 4);
    std::size_t at = get32(block + 8);
    if (high < low) return false;
    for (DWORD id = low;; ++id) {
      if (at > size || size - at < 4) return false;
      const std::size_t length = get16(table + at);
      const WORD flags = get16(table + at + 2);
      if (length < 4 || length > size - at) return false;
      const BYTE* text = table + at + 4;
      const std::size_t room = length - 4;
      std::string value;
      if (flags & 1) {
        std::u16string wide;
        for (std::size_t i = 0; i + 1 < room; i += 2) {
          const char16_t c = char16_t(get16(text + i));
          if (c == 0) break;
          wide.push_back(c);
        }
        value = toAnsi(wide);
      } else {
        value.assign(reinterpret_cast<const char*>(text), strnlen(reinterpret_cast<const char*>(text), room));
      }
      if (!visit(id, std::move(value))) return true;  // the visitor has what it wanted
      at += length;
      if (id == high) break;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> findMessage(const BYTE* table, std::size_t size, DWORD id) {
  std::optional<std::string> found;
  walkMessageTable(table, size, [&](DWORD entryId, std::string text) {
    if (entryId != id) return true;
    found = std::move(text);
    return false;
  });
  return found;
}

std::optional<std::map<DWORD, std::string>> readMessageTable(const BYTE* table, std::size_t size) {
  std::map<DWORD, std::string> all;
  if (!walkMessageTable(table, size, [&](DWORD id, std::string text) {
        all.emplace(id, std::move(text));
        return true;
      }))
    return std::nullopt;
  return all;
}

namespace {

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, the key in
// UTF-16 with its terminator, padding to 4, the value, padding, the children.
// wLength counts the node without the padding after it; children start 4-aligned.
struct VersionNode {
  std::u16string key;
  WORD type = 1;            // 1 text, 0 binary
  std::vector<BYTE> value;  // raw value bytes
  WORD valueLength = 0;     // in WORDs for text, in bytes for binary
  std::vector<VersionNode> children;
};

void emit(std::vector<BYTE>& out, const VersionNode& node) {
  padTo(out, 4);
  const std::size_t start = out.size();
  append16(out, 0);
  append16(out, node.valueLength);
  append16(out, node.type);
  for (char16_t c : node.key) append16(out, c);
  append16(out, 0);
  padTo(out, 4);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) emit(out, child);
  put16(out, start, WORD(out.size() - start));
}

VersionNode textNode(const std::string& key, const std::string& value) {
  VersionNode n;
  n.key = toWide(key);
  const std::u16string wide = toWide(value);
  for (char16_t c : wide) append16(n.value, c);
  append16(n.value, 0);
  n.valueLength = WORD(wide.size() + 1);
  return n;
}

}  // namespace

std::vector<BYTE> buildVersionInfo(const VersionInfoSource& source) {
  auto ms = [](const WORD v[4]) { return DWORD(v[0]) << 16 | v[1]; };
  auto ls = [](const WORD v[4]) { return DWORD(v[2]) << 16 | v[3]; };
  VS_FIXEDFILEINFO fixed{};
  fixed.dwSignature = kFixedFileInfoSignature;
  fixed.dwStrucVersion = 0x00010000;
  fixed.dwFileVersionMS = ms(source.fileVersion);
  fixed.dwFileVersionLS = ls(source.fileVersion);
  fixed.dwProductVersionMS = ms(source.productVersion);
  fixed.dwProductVersionLS = ls(source.productVersion);
  fixed.dwFileFlagsMask = 0x3F;
  fixed.dwFileType = VFT_APP;

  VersionNode root;
  root.key = u"VS_VERSION_INFO";
  root.type = 0;
  root.valueLength = sizeof fixed;
  for (DWORD v :
       {fixed.dwSignature, fixed.dwStrucVersion, fixed.dwFileVersionMS, fixed.dwFileVersionLS,
        fixed.dwProductVersionMS, fixed.dwProductVersionLS, fixed.dwFileFlagsMask, fixed.dwFileFlags,
        fixed.dwFileOS, fixed.dwFileType, fixed.dwFileSubtype, fixed.dwFileDateMS, fixed.dwFileDateLS})
    append32(root.value, v);

  char tableKey[9];
  std::snprintf(tableKey, sizeof tableKey, "%04x%04x", unsigned(source.language), unsigned(source.codePage));
  VersionNode table;
  table.key = toWide(tableKey);
  for (const auto& [key, value] : source.strings) table.children.push_back(textNode(key, value));
  VersionNode stringInfo;
  stringInfo.key = u"StringFileInfo";
  stringInfo.children.push_back(std::move(table));

  VersionNode translation;
  translation.key = u"Translation";
  translation.type = 0;
  translation.valueLength = 4;
  append16(translation.value, source.language);
  append16(translation.value, source.codePage);
  VersionNode varInfo;
  varInfo.key = u"VarFileInfo";
  varInfo.children.push_back(std::move(translation));

  root.children.push_back(std::move(stringInfo));
  root.children.push_back(std::move(varInfo));
  std::vector<BYTE> out;
  emit(out, root);
  return out;
}

}  // namespace platform
