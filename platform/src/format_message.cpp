// FormatMessage: message tables, the system error texts and insert expansion.
#include <cstdlib>
#include <cstring>

#include "platform/resource.h"
#include "platform/text.h"
#include "resource_module.h"

namespace platform {

namespace {

struct SystemText {
  DWORD code;
  const char* text;
};

// The Windows error codes the platform reports, with their Windows texts.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {13, "The data is invalid."},
    {29, "The system cannot write to the specified device."},
    {53, "The network path was not found."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1056, "An instance of the service is already running."},
    {1058,
     "The service cannot be started, either because it is disabled or because it has no enabled devices "
     "associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1065, "The database specified does not exist."},
    {1067, "The process terminated unexpectedly."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
};

}  // namespace

std::optional<std::string> systemErrorText(DWORD code) {
  for (const SystemText& t : kSystemTexts)
    if (t.code == code) return std::string(t.text) + "\r\n";
  return std::nullopt;
}

std::string expandMessage(std::string_view pattern, const std::vector<std::string>& inserts,
                          bool ignoreInserts) {
  std::string out;
  out.reserve(pattern.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 == pattern.size()) {
      out.push_back(c);
      continue;
    }
    const char next = pattern[++i];
    if (next >= '1' && next <= '9') {
      const std::size_t start = i - 1;
      std::size_t number = std::size_t(next - '0');
      if (i + 1 < pattern.size() && pattern[i + 1] >= '0' && pattern[i + 1] <= '9')
        number = number * 10 + std::size_t(pattern[++i] - '0');
      // An optional printf format in exclamation marks follows the number.
      if (i + 1 < pattern.size() && pattern[i + 1] == '!') {
        const std::size_t close = pattern.find('!', i + 2);
        if (close != std::string_view::npos) i = close;
      }
      if (ignoreInserts || number > inserts.size())
        out.append(pattern.substr(start, i + 1 - start));
      else
        out.append(inserts[number - 1]);
      continue;
    }
    switch (next) {
      case '0':
        return out;
      case 'n':
        out.append("\r\n");
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'b':
        out.push_back(' ');
        break;
      default:  // %%, %., %! and any other character stand for themselves
        out.push_back(next);
        break;
    }
  }
  return out;
}

}  // namespace platform

namespace {

template <typename Char>
std::vector<std::string> collectInserts(void* arguments) {
  std::vector<std::string> inserts;
  const auto* const* array = static_cast<const Char* const*>(arguments);
  for (std::size_t i = 0; array != nullptr && i < 99 && array[i] != nullptr; ++i) {
    if constexpr (sizeof(Char) == 1)
      inserts.emplace_back(array[i]);
    else
      inserts.push_back(platform::toAnsi(array[i]));
  }
  return inserts;
}

// The text of the message before expansion, or nullopt with the last error set.
std::optional<std::string> messagePattern(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                          bool wideSource) {
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (source == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return std::nullopt;
    }
    return wideSource ? platform::toAnsi(static_cast<const WCHAR*>(source))
                      : std::string(static_cast<const char*>(source));
  }
  LONG error = ERROR_MR_MID_NOT_FOUND;
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    const platform::Module* module = platform::resolveModule(static_cast<HMODULE>(const_cast<void*>(source)));
    if (module == nullptr) {
      error = ERROR_INVALID_HANDLE;
    } else {
      const auto language = languageId != 0 ? std::optional<WORD>(WORD(languageId)) : std::nullopt;
      const platform::ResourceEntry* table = platform::findEntry(*module, 11, 1, language, error);
      if (table != nullptr) {
        if (auto text = platform::findMessage(table->data.data(), table->data.size(), messageId)) return text;
        error = ERROR_MR_MID_NOT_FOUND;
      }
    }
  }
  if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    if (auto text = platform::systemErrorText(messageId)) return text;
    return "Unknown error " + std::to_string(messageId);
  }
  SetLastError(DWORD(error));
  return std::nullopt;
}

template <typename Char>
DWORD formatMessage(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, Char* buffer, DWORD size,
                    void* arguments) {
  const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  if (buffer == nullptr ||
      (!ignoreInserts && arguments != nullptr && !(flags & FORMAT_MESSAGE_ARGUMENT_ARRAY))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto pattern = messagePattern(flags, source, messageId, languageId, sizeof(Char) == 2);
  if (!pattern) return 0;
  const std::string text = platform::expandMessage(
      *pattern, ignoreInserts ? std::vector<std::string>{} : collectInserts<Char>(arguments), ignoreInserts);
  std::basic_string<Char> result;
  if constexpr (sizeof(Char) == 1)
    result = text;
  else
    result = platform::toWide(text);

  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    const std::size_t count = std::max<std::size_t>(result.size() + 1, size);
    auto* storage = static_cast<Char*>(std::calloc(count, sizeof(Char)));
    if (storage == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(storage, result.data(), result.size() * sizeof(Char));
    *reinterpret_cast<Char**>(buffer) = storage;
  } else {
    if (result.size() + 1 > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, result.data(), result.size() * sizeof(Char));
    buffer[result.size()] = 0;
  }
  SetLastError(ERROR_SUCCESS);
  return DWORD(result.size());
}

}  // namespace

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments) {
  return formatMessage(flags, source, messageId, languageId, buffer, size, arguments);
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments) {
  return formatMessage(flags, source, messageId, languageId, buffer, size, arguments);
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
