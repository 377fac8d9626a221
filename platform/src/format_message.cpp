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

// Every Windows error code the platform reports (registry, service control
// manager, files, resources, Windows Sockets), with its Windows text, so that
// a program shows the same words for a failure as on Windows. Ordered by code.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {53, "The network path was not found."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {288, "Attempt to release mutex not owned by caller."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, "
     "or the system's memory image of the file is corrupted, or the file could not be recovered because the "
     "alternate copy or log was absent or corrupted."},
    {1016,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
     "write out, or flush, one of the files that contain the system's image of the registry."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1020, "Cannot create a symbolic link in a registry key that already has subkeys or values."},
    {1051, "A stop control has been sent to a service that other running services are dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1054, "A thread could not be created for the service."},
    {1056, "An instance of the service is already running."},
    {1058,
     "The service cannot be started, either because it is disabled or because it has no enabled devices "
     "associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1065, "The database specified does not exist."},
    {1066, "The service has returned a service-specific error code."},
    {1067, "The process terminated unexpectedly."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1213, "The format of the specified service name is invalid."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {1815, "The specified resource language ID cannot be found in the image file."},
    {6701, "The requested operation was made in the context of a transaction that is no longer active."},
    {6702, "The requested operation is not valid on the Transaction object in its current state."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014,
     "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10039, "A required address was omitted from an operation on a socket."},
    {10040,
     "A message sent on a datagram socket was larger than the internal message buffer or some other network "
     "limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
    {10041,
     "A protocol was specified in the socket function call that does not support the semantics of the "
     "socket type requested."},
    {10042,
     "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt "
     "call."},
    {10043,
     "The requested protocol has not been configured into the system, or no implementation for it exists."},
    {10044, "The support for the specified socket type does not exist in this address family."},
    {10045, "The attempted operation is not supported for the type of object referenced."},
    {10046,
     "The protocol family has not been configured into the system or no implementation for it exists."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10052,
     "The connection has been broken due to keep-alive activity detecting a failure while the operation was "
     "in progress."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055,
     "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
     "because a queue was full."},
    {10056, "A connect request was made on an already connected socket."},
    {10057,
     "A request to send or receive data was disallowed because the socket is not connected and (when "
     "sending on a datagram socket using a sendto call) no address was supplied."},
    {10058,
     "A request to send or receive data was disallowed because the socket had already been shut down in "
     "that direction with a previous shutdown call."},
    {10059, "Too many references to some kernel object."},
    {10060,
     "A connection attempt failed because the connected party did not properly respond after a period of "
     "time, or established connection failed because connected host has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10062, "Cannot translate name."},
    {10063, "Name component or name was too long."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10092, "The Windows Sockets version requested is not supported."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {10107, "A system call that should never fail has failed."},
    {10109, "The specified class was not found."},
    {11001, "No such host is known."},
    {11002,
     "This is usually a temporary error during hostname resolution and means that the local server did not "
     "receive a response from an authoritative server."},
    {11003, "A non-recoverable error occurred during a database lookup."},
    {11004, "The requested name is valid, but no data of the requested type was found."},
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
