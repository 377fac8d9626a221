// The realtime display's UDP socket. A thread of its own takes datagrams from
// the socket as fast as they come (recvmmsg, a large receive buffer) and
// stamps each with its sender and time of reception; the window thread takes
// them in batches. So a window that is busy painting, or held by a message
// box, does not make the kernel drop datagrams: they wait in the queue.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Realtime {

struct Datagram {
  QByteArray bytes;  // at most kMaxDatagramBytes of it
  QString sender;    // dotted IPv4 (never "::ffff:"), or IPv6 in its short form
  QDateTime receivedAt;  // UTC: cheap to take; turned into local time once a second for display
};

class Receiver {
 public:
  // The most datagrams that wait for the window; beyond it the newest are
  // dropped and counted.
  static constexpr std::size_t kMaxWaiting = 500000;

  Receiver() = default;
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Binds `port` on every local address (IPv6 and IPv4 where the system has
  // both, IPv4 alone otherwise), without sharing it, and starts the thread.
  // 0 when receiving; otherwise the Windows Sockets code of the failure
  // (10048 for a port in use, 10013 for one the user may not open).
  // `arrived` is called from the receiving thread when datagrams begin to wait
  // (not for every datagram): it should post to the window thread.
  int start(int port, std::function<void()> arrived);
  // Closes the socket; what was received before stays to be taken.
  void stop();
  bool isOpen() const { return m_socket >= 0; }

  // What waits, oldest first; the queue is empty afterwards.
  std::vector<Datagram> take();
  // Datagrams dropped because the queue was full, since the last start.
  std::uint64_t dropped() const { return m_dropped.load(); }

 private:
  void run();

  int m_socket = -1;
  std::thread m_thread;
  std::atomic<bool> m_stopping{false};
  std::mutex m_lock;
  std::vector<Datagram> m_waiting;
  std::atomic<std::uint64_t> m_dropped{0};
  std::function<void()> m_arrived;
};

}  // namespace Realtime
