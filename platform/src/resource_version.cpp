// Version resources: GetFileVersionInfo and VerQueryValue over a VS_VERSIONINFO
// block laid out as Windows lays it out.
#include <cstring>
#include <mutex>
#include <set>

#include "platform/resource.h"
#include "platform/text.h"
#include "resource_module.h"

namespace {

constexpr DWORD kVersionType = 16;

WORD get16(const BYTE* p) { return WORD(p[0] | (p[1] << 8)); }
std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t(3); }

// One node of the block, checked against the bytes that hold it.
struct Node {
  const BYTE* base = nullptr;  // start of the node
  std::size_t length = 0;      // wLength
  WORD valueLength = 0;
  WORD type = 0;
  std::u16string key;
  std::size_t valueOffset = 0;     // from base
  std::size_t childrenOffset = 0;  // from base
};

// Parses the node at base, which has room bytes available; false when damaged.
bool parseNode(const BYTE* base, std::size_t room, Node& node) {
  if (room < 6) return false;
  node.base = base;
  node.length = get16(base);
  node.valueLength = get16(base + 2);
  node.type = get16(base + 4);
  if (node.length < 6 || node.length > room) return false;
  node.key.clear();
  std::size_t at = 6;
  for (;; at += 2) {
    if (at + 2 > node.length) return false;  // the key must end inside the node
    const char16_t c = char16_t(get16(base + at));
    if (c == 0) break;
    node.key.push_back(c);
  }
  node.valueOffset = align4(at + 2);
  const std::size_t valueBytes = node.type == 1 ? std::size_t(node.valueLength) * 2 : node.valueLength;
  if (node.valueOffset > node.length || valueBytes > node.length - node.valueOffset) {
    // Some writers count a text value's length in bytes; a value that overruns
    // the node is damage either way.
    return false;
  }
  node.childrenOffset = align4(node.valueOffset + valueBytes);
  return true;
}

bool findChild(const Node& parent, std::u16string_view key, Node& child) {
  std::size_t at = parent.childrenOffset;
  while (at < parent.length) {
    if (!parseNode(parent.base + at, parent.length - at, child)) return false;
    if (platform::equalsAsciiNoCase(child.key, key)) return true;
    at = align4(at + child.length);
  }
  return false;
}

// Walks "\a\b\c" from the root; the root itself is "\" or "".
bool locate(LPCVOID block, std::u16string_view path, Node& node) {
  if (block == nullptr) return false;
  const auto* base = static_cast<const BYTE*>(block);
  // The block's own wLength is all we know of the caller's buffer, which
  // GetFileVersionInfo filled with at least that many bytes.
  if (!parseNode(base, get16(base), node)) return false;
  std::size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && path[at] == u'\\') ++at;
    if (at == path.size()) break;
    const std::size_t end = std::min(path.find(u'\\', at), path.size());
    Node child;
    if (!findChild(node, path.substr(at, end - at), child)) return false;
    node = child;
    at = end;
  }
  return true;
}

BOOL fail(LPVOID* buffer, PUINT length) {
  if (buffer != nullptr) *buffer = nullptr;
  if (length != nullptr) *length = 0;
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return FALSE;
}

// The version resource of a file, copied out of its module.
std::optional<std::vector<BYTE>> versionResource(const std::string& path) {
  const platform::LoadResult loaded = platform::loadModuleFile(path);
  if (!loaded.module) {
    SetLastError(DWORD(loaded.error));
    return std::nullopt;
  }
  LONG error = 0;
  const auto* entry = platform::findEntry(*loaded.module, kVersionType, 1, std::nullopt, error);
  if (entry == nullptr || entry->data.size() < 6 || get16(entry->data.data()) > entry->data.size()) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return std::nullopt;
  }
  return entry->data;
}

DWORD versionInfoSize(const std::string& path, LPDWORD handle) {
  if (handle != nullptr) *handle = 0;
  const auto data = versionResource(path);
  if (!data) return 0;
  SetLastError(ERROR_SUCCESS);
  return DWORD(data->size());
}

BOOL versionInfo(const std::string& path, DWORD size, LPVOID out) {
  const auto data = versionResource(path);
  if (!data) return FALSE;
  if (out == nullptr || size < data->size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(out, data->data(), data->size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// Strings returned by VerQueryValueA: one copy of each, for the process's life,
// so the pointer stays valid as long as the caller's block (and longer).
const std::string& internAnsi(std::string text) {
  static std::mutex mutex;
  static std::set<std::string> store;
  std::lock_guard lock(mutex);
  return *store.insert(std::move(text)).first;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle) {
  return versionInfoSize(fileName != nullptr ? fileName : "", handle);
}
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
  return versionInfoSize(fileName != nullptr ? platform::toAnsi(fileName) : "", handle);
}
BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD, DWORD size, LPVOID data) {
  return versionInfo(fileName != nullptr ? fileName : "", size, data);
}
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD size, LPVOID data) {
  return versionInfo(fileName != nullptr ? platform::toAnsi(fileName) : "", size, data);
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length) {
  Node node;
  if (buffer == nullptr || subBlock == nullptr || !locate(block, subBlock, node)) return fail(buffer, length);
  if (node.valueLength == 0) return fail(buffer, length);
  *buffer = const_cast<BYTE*>(node.base + node.valueOffset);
  if (length != nullptr) *length = node.valueLength;
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length) {
  Node node;
  if (buffer == nullptr || subBlock == nullptr || !locate(block, platform::toWide(subBlock), node) ||
      node.valueLength == 0)
    return fail(buffer, length);
  const BYTE* value = node.base + node.valueOffset;
  if (node.type != 1) {
    *buffer = const_cast<BYTE*>(value);
    if (length != nullptr) *length = node.valueLength;
    return TRUE;
  }
  std::u16string wide;
  for (WORD i = 0; i < node.valueLength; ++i) {
    const char16_t c = char16_t(get16(value + 2 * i));
    if (c == 0) break;
    wide.push_back(c);
  }
  const std::string& ansi = internAnsi(platform::toAnsi(wide));
  *buffer = const_cast<char*>(ansi.c_str());
  if (length != nullptr) *length = UINT(ansi.size() + 1);
  return TRUE;
}
