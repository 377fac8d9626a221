// corvres_sample: a program with a message table of its own, as an event
// source's message file. Tests run it to register a source and write events.
//
//   corvres_sample install SOURCE                 register SOURCE with this program as message file
//   corvres_sample report SOURCE ID TYPE [INSERT...]   write one event of the Application log
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/resource.h"

namespace {

int install(const char* source) {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n == sizeof path) return 1;
  const std::string keyPath = std::string(platform::kApplicationLogKey) + "\\" + source;
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS) return 1;
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const bool ok = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                                 reinterpret_cast<const BYTE*>(path), n + 1) == ERROR_SUCCESS &&
                  RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                 sizeof types) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok ? 0 : 1;
}

int report(int argc, char** argv) {
  HANDLE source = RegisterEventSourceA(nullptr, argv[2]);
  if (source == nullptr) return 1;
  std::vector<LPCSTR> inserts(argv + 5, argv + argc);
  const BOOL ok = ReportEventA(source, WORD(std::atoi(argv[4])), 0, DWORD(std::strtoul(argv[3], nullptr, 10)),
                               nullptr, WORD(inserts.size()), 0, inserts.data(), nullptr);
  DeregisterEventSource(source);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) return install(argv[2]);
  if (argc >= 5 && std::strcmp(argv[1], "report") == 0) return report(argc, argv);
  std::fputs("usage: corvres_sample install SOURCE | report SOURCE ID TYPE [INSERT...]\n", stderr);
  return 2;
}
