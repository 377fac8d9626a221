#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

constexpr const char* kUsage =
    "usage: corvctl reg query  KEY [NAME]\n"
    "       corvctl reg get    KEY NAME\n"
    "       corvctl reg add    KEY [NAME TYPE DATA]\n"
    "       corvctl reg delete KEY [NAME]\n"
    "       corvctl reg export KEY FILE\n"
    "       corvctl reg import FILE\n"
    "       corvctl sc query|start|stop|delete NAME\n"
    "       corvctl sc start-auto\n"
    "       corvctl sc run NAME\n"
    "       corvctl events [--source S] [--follow] [--json]\n"
    "       corvctl stats [--json] [NAME] (a service's counters; NAME defaults to TolvaneCorvantel)\n"
    "       corvctl serve                (the remote end of the SSH transport)\n"
    "KEY is HKLM\\... or HKEY_LOCAL_MACHINE\\... (likewise HKCU, HKEY_CURRENT_USER).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return corvctl::kExitUsage;
  }
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const corvctl::Args rest(argv + 2, argv + argc);
  if (std::strcmp(argv[1], "reg") == 0) return corvctl::regCommand(rest);
  if (std::strcmp(argv[1], "events") == 0) return corvctl::eventsCommand(rest);
  if (std::strcmp(argv[1], "sc") == 0) return corvctl::scCommand(rest);
  if (std::strcmp(argv[1], "serve") == 0) return corvctl::serveCommand(rest);
  if (std::strcmp(argv[1], "stats") == 0) return corvctl::statsCommand(rest);
  std::fprintf(stderr, "corvctl: unknown command '%s'\n%s", argv[1], kUsage);
  return corvctl::kExitUsage;
}
