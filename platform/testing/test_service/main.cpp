// corvantel_test_service: a service for the manager's tests. It reports
// START_PENDING then RUNNING, and on STOP reports STOP_PENDING and, after its
// main thread wakes, STOPPED. Options make it misbehave:
//   --pid-file=PATH     write the process id there first
//   --exit-early        end the process before reporting anything
//   --no-report         never report a status
//   --refuse-stop       run without accepting the stop control
//   --stop-delay-ms=N   stay STOP_PENDING that long
//   --linger-ms=N       after reporting STOPPED, keep running that long
// It prints its ServiceMain arguments to standard output, and when the
// dispatcher fails, "dispatcher failed <code>" (exit status 0, as the daemon).
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/service.h"

namespace {

struct Options {
  std::string pidFile;
  bool exitEarly = false, noReport = false, refuseStop = false;
  int stopDelayMs = 0;
  int lingerMs = 0;
} g_options;

SERVICE_STATUS_HANDLE g_handle = nullptr;
std::mutex g_mutex;
std::condition_variable g_wake;
bool g_stopRequested = false;
SERVICE_STATUS g_status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};

void report(DWORD state) {
  std::lock_guard lock(g_mutex);
  g_status.dwCurrentState = state;
  SetServiceStatus(g_handle, &g_status);
}

void handler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING);
    std::lock_guard lock(g_mutex);
    g_stopRequested = true;
    g_wake.notify_all();
  }
}

void serviceMain(DWORD argc, LPSTR* argv) {
  std::printf("ServiceMain");
  for (DWORD i = 0; i < argc; ++i) std::printf(" [%s]", argv[i]);
  std::printf("\n");
  std::fflush(stdout);
  if (!g_options.pidFile.empty()) {
    FILE* f = std::fopen(g_options.pidFile.c_str(), "w");
    if (f != nullptr) std::fprintf(f, "%ld\n", long(getpid())), std::fclose(f);
  }
  if (g_options.exitEarly) _exit(3);
  g_handle = RegisterServiceCtrlHandlerA(argv[0], handler);
  if (g_handle == nullptr) return;
  if (g_options.noReport) {
    for (;;) pause();
  }
  report(SERVICE_START_PENDING);
  g_status.dwControlsAccepted = g_options.refuseStop ? 0 : SERVICE_ACCEPT_STOP;
  report(SERVICE_RUNNING);
  std::unique_lock lock(g_mutex);
  g_wake.wait(lock, [] { return g_stopRequested; });
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(g_options.stopDelayMs));
  report(SERVICE_STOPPED);
  std::this_thread::sleep_for(std::chrono::milliseconds(g_options.lingerMs));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--pid-file=", 0) == 0)
      g_options.pidFile = arg.substr(11);
    else if (arg == "--exit-early")
      g_options.exitEarly = true;
    else if (arg == "--no-report")
      g_options.noReport = true;
    else if (arg == "--refuse-stop")
      g_options.refuseStop = true;
    else if (arg.rfind("--stop-delay-ms=", 0) == 0)
      g_options.stopDelayMs = std::atoi(arg.c_str() + 16);
    else if (arg.rfind("--linger-ms=", 0) == 0)
      g_options.lingerMs = std::atoi(arg.c_str() + 12);
  }
  char name[] = "CorvTestService";
  const SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    std::printf("dispatcher failed %lu\n", static_cast<unsigned long>(GetLastError()));
    return 0;
  }
  std::printf("dispatcher returned\n");
  return 0;
}
