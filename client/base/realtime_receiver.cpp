#include "realtime_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/winsock.h"
#include "realtime.h"

namespace Realtime {

namespace {

constexpr int kBatch = 64;
constexpr int kReceiveBuffer = 8 * 1024 * 1024;  // the kernel may grant less
constexpr int kPollMs = 100;                     // how soon a stop is seen

int bindSocket(int family, int port, int& error) {
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  if (family == AF_INET6) {
    const int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  sockaddr_storage address{};
  socklen_t length = 0;
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    in6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_ANY);
    in4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(sockaddr_in);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

QString senderText(const sockaddr_storage& from) {
  char text[INET6_ADDRSTRLEN] = {};
  if (from.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(from).sin_addr, text, sizeof text);
  } else if (from.ss_family == AF_INET6) {
    const in6_addr& address = reinterpret_cast<const sockaddr_in6&>(from).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address))
      ::inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
    else
      ::inet_ntop(AF_INET6, &address, text, sizeof text);
  }
  return QString::fromLatin1(text);
}

}  // namespace

Receiver::~Receiver() { stop(); }

int Receiver::start(int port, std::function<void()> arrived) {
  stop();
  int error = 0;
  m_socket = bindSocket(AF_INET6, port, error);
  if (m_socket < 0 && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL)) m_socket = bindSocket(AF_INET, port, error);
  if (m_socket < 0) return platform::wsaErrorFromErrno(error);
  m_arrived = std::move(arrived);
  m_dropped = 0;
  {
    std::lock_guard guard(m_lock);
    m_waiting.clear();
  }
  m_stopping = false;
  m_thread = std::thread([this] { run(); });
  return 0;
}

void Receiver::stop() {
  if (m_thread.joinable()) {
    m_stopping = true;
    m_thread.join();
  }
  if (m_socket >= 0) ::close(m_socket);
  m_socket = -1;
}

std::vector<Datagram> Receiver::take() {
  std::vector<Datagram> taken;
  std::lock_guard guard(m_lock);
  taken.swap(m_waiting);
  return taken;
}

void Receiver::run() {
  std::vector<char> buffers(static_cast<std::size_t>(kBatch) * kMaxDatagramBytes);
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  sockaddr_storage senders[kBatch];
  std::vector<Datagram> batch;
  batch.reserve(kBatch);
  while (!m_stopping) {
    pollfd ready{m_socket, POLLIN, 0};
    if (::poll(&ready, 1, kPollMs) <= 0) continue;
    for (int i = 0; i < kBatch; ++i) {
      vectors[i] = {buffers.data() + static_cast<std::size_t>(i) * kMaxDatagramBytes, kMaxDatagramBytes};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    }
    const int count = ::recvmmsg(m_socket, messages, kBatch, MSG_DONTWAIT, nullptr);
    if (count <= 0) {
      // A pending socket error (an ICMP answer, say) is taken and the loop
      // goes on; a short pause keeps an error that repeats from spinning.
      if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        int pending = 0;
        socklen_t size = sizeof pending;
        ::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &pending, &size);
        ::poll(nullptr, 0, 10);
      }
      continue;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    batch.clear();
    for (int i = 0; i < count; ++i) {
      // A longer datagram keeps its first kMaxDatagramBytes.
      const auto length = std::min<unsigned>(messages[i].msg_len, kMaxDatagramBytes);
      batch.push_back({QByteArray(static_cast<const char*>(vectors[i].iov_base), static_cast<qsizetype>(length)),
                       senderText(senders[i]), now});
    }
    bool wasEmpty = false;
    {
      std::lock_guard guard(m_lock);
      wasEmpty = m_waiting.empty();
      for (Datagram& datagram : batch) {
        if (m_waiting.size() >= kMaxWaiting) {
          ++m_dropped;
          continue;
        }
        m_waiting.push_back(std::move(datagram));
      }
    }
    if (wasEmpty && m_arrived) m_arrived();
  }
}

}  // namespace Realtime
