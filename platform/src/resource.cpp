// Loading a program file's resources: modules, FindResource and friends, the
// program's own path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "elf_section.h"
#include "platform/resource.h"
#include "platform/text.h"
#include "resource_module.h"

namespace platform {

namespace {

LONG errnoToError(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EISDIR:
      return ERROR_BAD_EXE_FORMAT;
    default:
      return ERROR_READ_FAULT;
  }
}

class FileSource final : public ByteSource {
 public:
  FileSource(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
  std::uint64_t size() const override { return m_size; }
  bool read(std::uint64_t offset, std::size_t length, void* out) const override {
    if (offset > m_size || length > m_size - offset) return false;
    auto* p = static_cast<char*>(out);
    while (length > 0) {
      const ssize_t n = pread(m_fd, p, length, off_t(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // a file that shrank under us is as bad as a short one
      p += n;
      offset += std::uint64_t(n);
      length -= std::size_t(n);
    }
    return true;
  }

 private:
  int m_fd;
  std::uint64_t m_size;
};

// Live modules, so that a stale or foreign handle is refused instead of read.
std::mutex g_modulesMutex;
std::set<const Module*>& liveModules() {
  static std::set<const Module*> modules;
  return modules;
}

}  // namespace

LoadResult loadModuleFile(const std::string& path) {
  LoadResult result;
  int fd;
  do fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    result.error = errnoToError(errno);
    return result;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    result.error = ERROR_BAD_EXE_FORMAT;
    return result;
  }
  const ElfSectionResult section =
      readElfSection(FileSource(fd, std::uint64_t(st.st_size)), kResourceSectionName);
  close(fd);
  if (section.error != ERROR_SUCCESS) {
    result.error = section.error;
    return result;
  }
  auto module = std::make_unique<Module>();
  module->path = path;
  if (section.found) {
    auto entries = decodeResourceSection(section.data.data(), section.data.size());
    if (!entries) {
      result.error = ERROR_INVALID_DATA;
      return result;
    }
    module->entries = std::move(*entries);
  }
  result.module = std::move(module);
  return result;
}

const ResourceEntry* findEntry(const Module& module, DWORD type, DWORD id, std::optional<WORD> language,
                               LONG& error) {
  const ResourceEntry* firstOfId = nullptr;
  bool typeSeen = false;
  for (const ResourceEntry& e : module.entries) {
    if (e.type != type) continue;
    typeSeen = true;
    if (e.id != id) continue;
    if (language ? e.language == *language : e.language == kLanguageEnglishUs) return &e;
    if (firstOfId == nullptr) firstOfId = &e;
  }
  if (firstOfId != nullptr && !language) return firstOfId;
  error = firstOfId != nullptr     ? ERROR_RESOURCE_LANG_NOT_FOUND
          : typeSeen               ? ERROR_RESOURCE_NAME_NOT_FOUND
          : module.entries.empty() ? ERROR_RESOURCE_DATA_NOT_FOUND
                                   : ERROR_RESOURCE_TYPE_NOT_FOUND;
  return nullptr;
}

const Module* selfModule() {
  // The program's own file does not change while it runs: load it once.
  static const std::unique_ptr<Module> self = [] {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::unique_ptr<Module>();
    return loadModuleFile(std::string(path, std::size_t(n))).module;
  }();
  return self.get();
}

const Module* resolveModule(HMODULE handle) {
  if (handle == nullptr) return selfModule();
  const auto* module = reinterpret_cast<const Module*>(handle);
  std::lock_guard lock(g_modulesMutex);
  return liveModules().count(module) != 0 ? module : nullptr;
}

std::optional<std::string> loadMessageText(const std::string& path, DWORD id) {
  const LoadResult loaded = loadModuleFile(path);
  if (!loaded.module) return std::nullopt;
  LONG error = 0;
  const ResourceEntry* table = findEntry(*loaded.module, 11, 1, std::nullopt, error);
  if (table == nullptr) return std::nullopt;
  return findMessage(table->data.data(), table->data.size(), id);
}

}  // namespace platform

using platform::Module;

namespace {

// A resource type or name: an integer (MAKEINTRESOURCE) or "#<digits>".
template <typename Char>
std::optional<DWORD> resourceNumber(const Char* name) {
  if (name == nullptr) return std::nullopt;
  if (IS_INTRESOURCE(name)) return DWORD(reinterpret_cast<std::uintptr_t>(name));
  if (name[0] != '#' || name[1] == 0) return std::nullopt;
  DWORD value = 0;
  for (const Char* p = name + 1; *p != 0; ++p) {
    if (*p < '0' || *p > '9' || value > 0xFFFF) return std::nullopt;
    value = value * 10 + DWORD(*p - '0');
  }
  return value <= 0xFFFF ? std::optional<DWORD>(value) : std::nullopt;
}

HMODULE loadLibrary(const std::string& path, HANDLE file, DWORD flags) {
  constexpr DWORD kDataFlags =
      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
  if (file != nullptr || (flags & kDataFlags) == 0 || path.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  platform::LoadResult loaded = platform::loadModuleFile(path);
  if (!loaded.module) {
    SetLastError(DWORD(loaded.error));
    return nullptr;
  }
  Module* module = loaded.module.release();
  {
    std::lock_guard lock(platform::g_modulesMutex);
    platform::liveModules().insert(module);
  }
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HMODULE>(module);
}

template <typename Char>
HRSRC findResource(HMODULE handle, const Char* type, const Char* name, std::optional<WORD> language) {
  const Module* module = platform::resolveModule(handle);
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const auto typeNumber = resourceNumber(type);
  const auto nameNumber = resourceNumber(name);
  if (!typeNumber) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  if (!nameNumber) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  LONG error = 0;
  const auto* entry = platform::findEntry(*module, *typeNumber, *nameNumber, language, error);
  if (entry == nullptr) SetLastError(DWORD(error));
  return reinterpret_cast<HRSRC>(const_cast<platform::ResourceEntry*>(entry));
}

// The entry behind a resource handle, if it belongs to the module.
const platform::ResourceEntry* entryOf(HMODULE handle, HRSRC resource) {
  const Module* module = platform::resolveModule(handle);
  if (module == nullptr || resource == nullptr) return nullptr;
  const auto* entry = reinterpret_cast<const platform::ResourceEntry*>(resource);
  for (const auto& e : module->entries)
    if (&e == entry) return entry;
  return nullptr;
}

}  // namespace

HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags) {
  return loadLibrary(fileName != nullptr ? fileName : "", file, flags);
}

HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags) {
  return loadLibrary(fileName != nullptr ? platform::toAnsi(fileName) : "", file, flags);
}

BOOL FreeLibrary(HMODULE handle) {
  const auto* module = reinterpret_cast<const Module*>(handle);
  {
    std::lock_guard lock(platform::g_modulesMutex);
    if (handle == nullptr || platform::liveModules().erase(module) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  delete module;
  return TRUE;
}

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  return findResource(module, type, name, std::nullopt);
}
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  return findResource(module, type, name, std::nullopt);
}
HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
  return findResource(module, type, name, std::optional<WORD>(language));
}
HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
  return findResource(module, type, name, std::optional<WORD>(language));
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  const auto* entry = entryOf(module, resource);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // An empty resource still needs a non-null handle.
  static const BYTE kEmpty = 0;
  return const_cast<BYTE*>(entry->data.empty() ? &kEmpty : entry->data.data());
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  const auto* entry = entryOf(module, resource);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return DWORD(entry->data.size());
}

namespace {

template <typename Char>
DWORD moduleFileName(HMODULE module, Char* out, DWORD size, std::basic_string<Char> (*convert)(std::string)) {
  if (module != nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || std::size_t(n) == sizeof path) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  const std::basic_string<Char> name = convert(std::string(path, std::size_t(n)));
  if (out == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (name.size() >= size) {
    std::copy_n(name.data(), size - 1, out);
    out[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::copy(name.begin(), name.end(), out);
  out[name.size()] = 0;
  SetLastError(ERROR_SUCCESS);
  return DWORD(name.size());
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  return moduleFileName<char>(module, fileName, size, [](std::string s) { return s; });
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  return moduleFileName<char16_t>(module, fileName, size, [](std::string s) { return platform::toWide(s); });
}
