// corvantd: entry point.
//
// Started from a command line with -h it prints its help and exits. Started any
// other way it would hand itself to the service control manager; until the
// service framework is in place there is no manager to hand over to, which is
// the case of a program not started by the manager: exit 0 without output.
#include <cstdio>
#include <strings.h>

namespace {

constexpr const char* kServiceName = "TolvaneCorvantel";
constexpr const char* kProgramWord = "Mistrand";
constexpr int kMajorVersion = 3;
constexpr int kMinorVersion = 70;
constexpr int kBuildNumber = 124;
constexpr const char* kReleaseLabel = "Final Release";

void printHelp() {
  std::printf("%s Version %d.%d Build %d (%s)\n", kServiceName, kMajorVersion, kMinorVersion, kBuildNumber,
              kReleaseLabel);
  std::printf("Usage: %s -h  --> This help message.\n", kProgramWord);
  std::printf("       %s -v  --> Show version information.\n", kProgramWord);
  std::printf("       %s -i  --> Install service.\n", kProgramWord);
  std::printf("       %s -u  --> Remove (uninstall) service.\n", kProgramWord);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcasecmp(argv[1], "-h") == 0) {
    printHelp();
    return 0;
  }
  return 0;
}
