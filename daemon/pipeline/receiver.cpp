#include "pipeline/receiver.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>

#include "pipeline/MessageQueue.h"
#include "reception/CUDPServer.h"
#include "reception/ReceiveThread.h"
#include "service/statistics.h"

namespace {

constexpr unsigned kSlots = CUDPServer::kBatchCapacity;
constexpr std::chrono::milliseconds kFailurePause{100};
constexpr std::chrono::seconds kStopDrainTime{1};
constexpr std::chrono::milliseconds kRetryPublish{10};

// The buffers of one receive call: each slot has room for a whole datagram.
struct Slots {
  mmsghdr headers[kSlots] = {};
  iovec parts[kSlots] = {};
  sockaddr_storage senders[kSlots] = {};
  char buffers[kSlots][CUDPServer::kReceiveBufferSize];

  Slots() {
    for (unsigned i = 0; i < kSlots; ++i) {
      parts[i].iov_base = buffers[i];
      parts[i].iov_len = CUDPServer::kReceiveBufferSize - 1;  // a longer datagram keeps its first 32767 bytes
      headers[i].msg_hdr.msg_iov = &parts[i];
      headers[i].msg_hdr.msg_iovlen = 1;
      headers[i].msg_hdr.msg_name = &senders[i];
    }
  }
  void prepare() {
    for (unsigned i = 0; i < kSlots; ++i) {
      headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
      headers[i].msg_hdr.msg_flags = 0;
    }
  }
};

// The kernel's running count of datagrams it dropped on the socket for want
// of buffer space (the count SO_RXQ_OVFL would attach to every datagram, read
// here once in a while instead: a control message per datagram costs more
// than the rest of taking it).
class KernelDrops {
 public:
  explicit KernelDrops(int socket) : m_socket(socket) {}
  void sample(Counter& counter) {
    std::uint32_t values[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof(values);
    if (::getsockopt(m_socket, SOL_SOCKET, SO_MEMINFO, values, &length) != 0 ||
        length < (SK_MEMINFO_DROPS + 1) * sizeof(std::uint32_t)) {
      return;
    }
    const std::uint32_t drops = values[SK_MEMINFO_DROPS];
    count(counter, static_cast<std::uint32_t>(drops - m_seen));
    m_seen = drops;
  }

 private:
  const int m_socket;
  std::uint32_t m_seen = 0;  // the socket is new: it has dropped nothing before
};

}  // namespace

void recordSender(const sockaddr_storage& from, queue::RecordHeader& header) {
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
  if (from.ss_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
    header.family = AF_INET6;
    std::memcpy(header.address, &v6.sin6_addr, 16);
    header.port = ntohs(v6.sin6_port);
    return;
  }
  header.family = AF_INET;
  if (from.ss_family == AF_INET6) {
    std::memcpy(header.address, &v6.sin6_addr.s6_addr[12], 4);
    header.port = ntohs(v6.sin6_port);
  } else {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
    std::memcpy(header.address, &v4.sin_addr, 4);
    header.port = ntohs(v4.sin_port);
  }
  // The header is reused from record to record: what an IPv6 sender left
  // behind must not follow an IPv4 address into the record.
  std::memset(header.address + 4, 0, 12);
}

void runReceiver(CUDPServer& server, queue::MessageQueue& queue, const ReceiveStop& stop, Statistics& counters) {
  const auto slots = std::make_unique<Slots>();
  const int socket = server.getSocket().getSock();
  KernelDrops kernelDrops(socket);
  unsigned batches = 0;
  int failuresInARow = 0;
  std::chrono::steady_clock::time_point drainUntil{};
  bool draining = false;
  queue::RecordHeader header{};
  for (;;) {
    if (stop.isRequested() && !draining) {
      draining = true;
      drainUntil = std::chrono::steady_clock::now() + kStopDrainTime;
    }
    if (draining && std::chrono::steady_clock::now() >= drainUntil) break;
    slots->prepare();
    const int taken = server.receiveBatch(slots->headers, kSlots, MSG_DONTWAIT);
    if (taken > 0) {
      failuresInARow = 0;
      header.receivedAt = static_cast<std::int64_t>(std::time(nullptr));
      std::uint64_t dropped = 0;
      for (int i = 0; i < taken; ++i) {
        const mmsghdr& received = slots->headers[i];
        const std::uint32_t length = received.msg_len;
        const std::size_t span = queue::recordSpan(length);
        char* room = queue.reserve(span);
        if (room == nullptr) {
          ++dropped;
          continue;
        }
        header.flags = (received.msg_hdr.msg_flags & MSG_TRUNC) != 0 ? queue::kFlagTruncated : 0;
        recordSender(slots->senders[i], header);
        queue::writeRecord(room, header, std::string_view(slots->buffers[i], length));
        queue.commit(span);
      }
      if (dropped > 0) queue.drop(dropped);
      if (++batches % 64 == 0) kernelDrops.sample(counters.kernelDropped);
      if (queue.consumerWaiting()) queue.publish();
      continue;
    }
    if (taken < 0 && errno == EINTR) continue;
    if (taken < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The socket is empty: what was taken goes to the consumer before the
      // wait, and a stop ends here once the socket has been emptied.
      queue.publish();
      kernelDrops.sample(counters.kernelDropped);
      if (draining) break;
      // Records the full queue could not take yet are offered again soon.
      pollfd waits[2] = {{socket, POLLIN, 0}, {stop.getWakeHandle(), POLLIN, 0}};
      const int timeout = queue.holdsRecords() ? static_cast<int>(kRetryPublish.count()) : -1;
      if (::poll(waits, 2, timeout) < 0 && errno != EINTR) stop.pause(kFailurePause);
      continue;
    }
    // A failed receive (an error queued on the socket, or the socket gone).
    if (draining) break;
    if (++failuresInARow > 1) stop.pause(kFailurePause);
  }
  queue.closeInput();
}
