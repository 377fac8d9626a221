// ReceiveThread: the service's worker. It opens the syslog port and the queue
// (reading back what the spool kept from the last run), then runs two threads:
// the receiving thread, which only takes datagrams from the socket into the
// queue (pipeline/receiver.h), and the processing thread, which takes them in
// arrival order, fills the one reused SyslogMessage, stamps it, reloads the
// rule base when asked to, and hands the message to the rule base. Lines that
// the file action collected are written after each part of the queue, before
// the processing thread waits for the next.
//
// It ends when the service asks it to stop (ReceiveStop) or when a failure
// escapes the per-message guard: the receiving thread empties the socket into
// the queue, the processing thread finishes the message in hand and starts no
// other, and what is still queued goes to the spool for the next start. It
// then writes out and closes the file outputs and logs the figures of the run.
// A failure is logged, and the thread clears the service's running flag so
// that the service stops.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/types.h"

class CQuenraSrvc;
class CSyslogServer;

// A stop request for the receive thread, made on another thread: a flag that
// the loop checks before each message and a wake handle (an eventfd) that ends
// the loop's wait for datagrams.
class ReceiveStop {
 public:
  // Throws std::system_error when no eventfd can be made.
  ReceiveStop();
  ~ReceiveStop();
  ReceiveStop(const ReceiveStop&) = delete;
  ReceiveStop& operator=(const ReceiveStop&) = delete;

  // Any thread; once requested it stays so until reset.
  void request();
  bool isRequested() const { return m_requested.load(std::memory_order_acquire); }
  // Only while no receive thread runs.
  void reset();
  // Readable from the request on.
  int getWakeHandle() const { return m_eventFd; }
  // Sleeps up to `time`; returns at once when a stop is requested.
  void pause(std::chrono::milliseconds time) const;

 private:
  std::atomic<bool> m_requested{false};
  int m_eventFd;
};

// The receive buffer the socket asks for unless the Parameters value
// nReceiveBufferSize names another size: holds about 30000 short datagrams.
inline constexpr int kDefaultSocketBufferBytes = 8 * 1024 * 1024;

// Where the queue keeps its spool: <platform root>/spool/queue.
std::filesystem::path queueSpoolFolder();

// The thread procedure; `service` is the CQuenraSrvc. Returns 0.
DWORD ReceiveThread(LPVOID service);

// ReceiveThread with the server made by `makeServer`, so that tests can put a
// server with a failing socket in its place.
using SyslogServerFactory = std::function<std::unique_ptr<CSyslogServer>()>;
DWORD runReceiveThread(CQuenraSrvc& service, const SyslogServerFactory& makeServer);
