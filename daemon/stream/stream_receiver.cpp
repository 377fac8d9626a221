#include "stream/stream_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include "pipeline/MessageQueue.h"
#include "platform/eventlog.h"
#include "pipeline/queue_record.h"
#include "pipeline/receiver.h"
#include "reception/CWinSock.h"
#include "reception/ReceiveThread.h"
#include "service/event_ids.h"
#include "service/statistics.h"
#include "stream/framing.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kReadSize = 64 * 1024;
// Reads of one connection before the others get their turn.
constexpr int kReadsPerTurn = 4;
// Messages read are handed to the queue at least this often (bytes of records).
constexpr std::size_t kFlushAt = queue::kBlockSize / 4;
constexpr std::chrono::milliseconds kBlockedRetry{10};
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::chrono::seconds kStopDrainTime{1};
// At a stop, messages read beyond what the queue's memory takes are held up
// to this much, then the rest stays unread.
constexpr std::size_t kDrainHoldLimit = std::size_t{8} << 20;
constexpr int kBacklog = 128;

std::string errnoText(int error) { return std::generic_category().message(error); }

// "a.b.c.d:port" or "[v6]:port", for the events.
std::string peerText(sockaddr_storage address) {
  unmapIPv4(address);
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    return std::string("[") + text + "]:" + std::to_string(ntohs(v6.sin6_port));
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
}

}  // namespace

std::optional<std::string> PeerEventLimiter::admit(std::string text, Clock::time_point now) {
  if (m_logged && now - m_last < kQuiet) {
    ++m_held;
    return std::nullopt;
  }
  if (m_held > 0) {
    text += " " + std::to_string(m_held) + (m_held == 1 ? " similar event" : " similar events") +
            " before this one were not logged.";
  }
  m_held = 0;
  m_logged = true;
  m_last = now;
  return text;
}

// What the loop waits on: the stop handle, a listener or a connection.
struct Pollable {
  enum Kind { kStop, kListener, kConnection } kind;
};

struct StreamReceiver::Listener : Pollable {
  Listener(const char* name, int portNumber, bool isTls) : Pollable{kListener}, transport(name), port(portNumber), tls(isTls) {}
  const char* transport;  // "TCP" or "TLS"
  int port;
  bool tls;
  int fd = -1;
  bool watched = false;
};

struct StreamReceiver::Connection : Pollable {
  Connection(int socket, bool isTls, std::size_t maxMessage)
      : Pollable{kConnection}, fd(socket), tls(isTls), framer(maxMessage) {}
  int fd;
  bool tls;
  SSL* ssl = nullptr;
  bool handshaking = false;
  bool wantWrite = false;  // OpenSSL waits to write
  bool inReady = false;
  bool closed = false;
  Clock::time_point accepted{};
  Clock::time_point lastActivity{};
  std::string peer;
  queue::RecordHeader header{};
  StreamFramer framer;
};

StreamReceiver::StreamReceiver(StreamSettings settings, queue::MessageQueue& queue, Statistics& counters,
                               StreamEventSink events)
    : m_settings(std::move(settings)), m_queue(queue), m_counters(counters), m_events(std::move(events)) {}

StreamReceiver::~StreamReceiver() {
  for (auto& [key, connection] : m_connections) close(*connection);
  for (Listener* listener : {m_tcp.get(), m_tlsListener.get()}) {
    if (listener != nullptr && listener->fd >= 0) ::close(listener->fd);
  }
  if (m_epoll >= 0) ::close(m_epoll);
}

void StreamReceiver::notify(WORD type, DWORD id, const std::string& text) {
  if (m_events) m_events(type, id, text);
}

bool StreamReceiver::openListener(Listener& listener) {
  if (listener.port > 65535) {
    notify(EVENTLOG_ERROR_TYPE, kEventStreamNotListening,
           std::string("the ") + listener.transport + " port " + std::to_string(listener.port) + " (" +
               (listener.tls ? "nTlsPort" : "nTcpPort") + ") is not a port number (1 to 65535). Syslog over " +
               listener.transport + " is off; reception over UDP goes on.");
    return false;
  }
  // IPv4 and IPv6 senders on one socket where the system has IPv6, as for UDP.
  int error = 0;
  for (const int family : {AF_INET6, AF_INET}) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = errno;
      continue;
    }
    const int on = 1;
    const int off = 0;
    // A restart must not wait for the connections of the last run to leave TIME_WAIT.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
      error = errno;
      ::close(fd);
      continue;
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
      v6.sin6_family = AF_INET6;
      v6.sin6_addr = in6addr_any;
      v6.sin6_port = htons(static_cast<std::uint16_t>(listener.port));
      length = sizeof v6;
    } else {
      auto& v4 = reinterpret_cast<sockaddr_in&>(address);
      v4.sin_family = AF_INET;
      v4.sin_addr.s_addr = htonl(INADDR_ANY);
      v4.sin_port = htons(static_cast<std::uint16_t>(listener.port));
      length = sizeof v4;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, kBacklog) != 0) {
      error = errno;
      ::close(fd);
      // Only a system without IPv6 makes the IPv4 socket worth a try.
      if (family == AF_INET6 && (error == EADDRNOTAVAIL || error == EAFNOSUPPORT)) continue;
      break;
    }
    listener.fd = fd;
    return true;
  }
  notify(EVENTLOG_ERROR_TYPE, kEventStreamNotListening,
         std::string("the ") + listener.transport + " port " + std::to_string(listener.port) +
             " cannot be opened: " + errnoText(error) + ". Syslog over " + listener.transport +
             " is off; reception over UDP goes on.");
  return false;
}

bool StreamReceiver::open() {
  m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (m_epoll < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  if (m_settings.tcpPort > 0) {
    m_tcp = std::make_unique<Listener>("TCP", m_settings.tcpPort, false);
    if (!openListener(*m_tcp)) m_tcp.reset();
  }
  if (m_settings.tlsPort > 0) {
    std::string problem;
    m_tls = TlsContext::load(m_settings.tls, problem);
    if (!m_tls) {
      notify(EVENTLOG_ERROR_TYPE, kEventTlsOff,
             problem + (m_tcp ? ". Reception over UDP and TCP goes on." : ". Reception over UDP goes on."));
    } else {
      SSL_CTX_set_options(m_tls->get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
      m_tlsListener = std::make_unique<Listener>("TLS", m_settings.tlsPort, true);
      if (!openListener(*m_tlsListener)) m_tlsListener.reset();
    }
  }
  if (!m_tcp && !m_tlsListener) return false;

  // Every connection is a descriptor: the limit of the process must not
  // refuse them before the setting does.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max &&
      files.rlim_cur < m_settings.maxConnections + 256) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, m_settings.maxConnections + 256);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  std::string text;
  if (m_tcp) text += "over TCP on port " + std::to_string(m_tcp->port);
  if (m_tlsListener) {
    if (!text.empty()) text += ", ";
    text += "over TLS on port " + std::to_string(m_tlsListener->port) + " with the certificate " +
            m_settings.tls.certificate +
            (m_tls->requiresPeerCertificate()
                 ? "; senders need a certificate from an authority in " + m_settings.tls.authorities
                 : std::string("; senders need no certificate"));
  }
  notify(EVENTLOG_INFORMATION_TYPE, kEventStreamListening,
         text + ". At most " + std::to_string(m_settings.maxConnections) + " connections at once.");
  return true;
}

void StreamReceiver::watch(Connection& connection, bool forWriting) {
  if (connection.wantWrite == forWriting) return;
  connection.wantWrite = forWriting;
  epoll_event event{};
  event.events = EPOLLIN | (forWriting ? EPOLLOUT : 0u);
  event.data.ptr = static_cast<Pollable*>(&connection);
  ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, connection.fd, &event);
}

void StreamReceiver::acceptAll(Listener& listener, Clock::time_point now) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Taken and closed is impossible without a descriptor: the listeners
        // rest a moment, and the senders wait in the backlog.
        const int error = errno;
        m_acceptPausedUntil = now + kAcceptPause;
        for (Listener* each : {m_tcp.get(), m_tlsListener.get()}) {
          if (each != nullptr && each->watched) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, each->fd, nullptr);
            each->watched = false;
          }
        }
        if (!m_refusing) {
          m_refusing = true;
          notify(EVENTLOG_WARNING_TYPE, kEventStreamRefusing,
                 "the process cannot take another connection (" + errnoText(error) + ") with " +
                     std::to_string(m_connections.size() - m_closed.size()) +
                     " open. New connections wait until one of the open ones ends.");
        }
      }
      return;
    }
    if (m_connections.size() - m_closed.size() >= m_settings.maxConnections) {
      // Counted before the peer can see the close.
      count(m_counters.streamRefused);
      ::close(fd);
      if (!m_refusing) {
        m_refusing = true;
        notify(EVENTLOG_WARNING_TYPE, kEventStreamRefusing,
               "the limit of " + std::to_string(m_settings.maxConnections) +
                   " open connections (nTcpMaxConnections) is reached. Further connections are closed as "
                   "soon as they are taken until one of the open ones ends; the statistics count them "
                   "(tcp_refused).");
      }
      continue;
    }
    auto connection = std::make_unique<Connection>(fd, listener.tls, m_settings.maxMessage);
    connection->accepted = connection->lastActivity = now;
    connection->peer = peerText(peer);
    recordSender(peer, connection->header);
    const int on = 1;
    // A peer that vanished without a word is found and its connection closed.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    if (listener.tls) {
      connection->ssl = SSL_new(m_tls->get());
      if (connection->ssl == nullptr || SSL_set_fd(connection->ssl, fd) != 1) {
        if (connection->ssl != nullptr) SSL_free(connection->ssl);
        ::close(fd);
        takeTlsErrors({});
        continue;
      }
      SSL_set_accept_state(connection->ssl);
      connection->handshaking = true;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = static_cast<Pollable*>(connection.get());
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
      if (connection->ssl != nullptr) SSL_free(connection->ssl);
      ::close(fd);
      continue;
    }
    count(m_counters.streamAccepted);
    count(m_counters.streamOpen);
    Connection* key = connection.get();
    m_connections.emplace(key, std::move(connection));
  }
}

void StreamReceiver::append(Connection& connection, std::string_view text, bool truncated) {
  const std::size_t span = queue::recordSpan(static_cast<std::uint32_t>(text.size()));
  if (m_chunks.empty() || m_chunks.back().bytes + span > queue::kBlockSize) m_chunks.push_back({});
  if (m_pendingUsed + span > m_pending.size()) {
    m_pending.resize(std::max({m_pending.size() * 2, m_pendingUsed + span, queue::kBlockSize}));
  }
  connection.header.flags = truncated ? queue::kFlagTruncated : 0;
  queue::writeRecord(m_pending.data() + m_pendingUsed, connection.header, text);
  m_pendingUsed += span;
  m_chunks.back().bytes += span;
  ++m_chunks.back().records;
  count(m_counters.streamMessages);
}

bool StreamReceiver::flush(bool evenBeyondLimit) {
  while (m_flushedChunks < m_chunks.size()) {
    const Chunk& chunk = m_chunks[m_flushedChunks];
    if (!m_queue.append(m_pending.data() + m_flushedBytes, chunk.bytes, chunk.records, evenBeyondLimit)) {
      m_blocked = true;
      return false;
    }
    m_flushedBytes += chunk.bytes;
    ++m_flushedChunks;
  }
  m_chunks.clear();
  m_flushedChunks = 0;
  m_flushedBytes = 0;
  m_pendingUsed = 0;
  m_blocked = false;
  // What a run of tiny messages grew is given back.
  if (m_pending.size() > 4 * queue::kBlockSize) {
    m_pending.resize(queue::kBlockSize);
    m_pending.shrink_to_fit();
  }
  return true;
}

void StreamReceiver::close(Connection& connection) {
  if (connection.closed) return;
  // What the peer sent of a message before the end is delivered as it came.
  if (!connection.framer.broken()) {
    connection.framer.finish(
        [&](std::string_view text, bool truncated) { append(connection, text, truncated); });
  }
  if (connection.ssl != nullptr) {
    SSL_free(connection.ssl);
    connection.ssl = nullptr;
  }
  if (m_epoll >= 0) ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, connection.fd, nullptr);
  uncount(m_counters.streamOpen);
  ::close(connection.fd);
  connection.closed = true;
  m_closed.push_back(&connection);
}

void StreamReceiver::tlsFailed(Connection& connection, const std::string& what, Clock::time_point now) {
  count(m_counters.tlsFailed);
  if (auto text = m_tlsEvents.admit("the connection from " + connection.peer + " " + what + ".", now)) {
    notify(EVENTLOG_WARNING_TYPE, kEventTlsFailed, *text);
  }
  close(connection);
}

std::string StreamReceiver::tlsReason(Connection& connection, int result) {
  const int error = SSL_get_error(connection.ssl, result);
  if (error == SSL_ERROR_SYSCALL) {
    const int saved = errno;
    std::string reasons = takeTlsErrors({});
    if (!reasons.empty()) return reasons;
    return saved != 0 ? errnoText(saved) : std::string("the peer closed the connection");
  }
  std::string reasons = takeTlsErrors("no reason given");
  const long verified = SSL_get_verify_result(connection.ssl);
  if (verified != X509_V_OK) {
    reasons += " (certificate: " + std::string(X509_verify_cert_error_string(verified)) + ")";
  }
  return reasons;
}

bool StreamReceiver::handshake(Connection& connection, Clock::time_point now) {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_do_handshake(connection.ssl);
  if (result == 1) {
    connection.handshaking = false;
    connection.lastActivity = now;
    watch(connection, false);
    return true;
  }
  switch (SSL_get_error(connection.ssl, result)) {
    case SSL_ERROR_WANT_READ:
      watch(connection, false);
      return false;
    case SSL_ERROR_WANT_WRITE:
      watch(connection, true);
      return false;
    default:
      tlsFailed(connection, "failed in the handshake: " + tlsReason(connection, result), now);
      return false;
  }
}

long StreamReceiver::readOnce(Connection& connection, char* buffer, std::size_t size, Clock::time_point now) {
  if (!connection.tls) {
    for (;;) {
      const ssize_t got = ::recv(connection.fd, buffer, size, 0);
      if (got > 0) return got;
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
      // The end of the stream, or a reset: nothing to report.
      close(connection);
      return -1;
    }
  }
  ERR_clear_error();
  errno = 0;
  const int got = SSL_read(connection.ssl, buffer, static_cast<int>(std::min<std::size_t>(size, INT32_MAX)));
  if (got > 0) {
    watch(connection, false);
    return got;
  }
  switch (SSL_get_error(connection.ssl, got)) {
    case SSL_ERROR_WANT_READ:
      watch(connection, false);
      return 0;
    case SSL_ERROR_WANT_WRITE:
      watch(connection, true);
      return 0;
    case SSL_ERROR_ZERO_RETURN:
      close(connection);
      return -1;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0) {
        // A reset or a vanished peer, as over TCP.
        close(connection);
        return -1;
      }
      [[fallthrough]];
    default:
      tlsFailed(connection, "failed: " + tlsReason(connection, got), now);
      return -1;
  }
}

bool StreamReceiver::serve(Connection& connection, Clock::time_point now, Clock::time_point drainUntil) {
  const bool draining = drainUntil != Clock::time_point{};
  if (connection.handshaking && !handshake(connection, now)) return !connection.closed;
  char buffer[kReadSize];
  const auto deliver = [&](std::string_view text, bool truncated) { append(connection, text, truncated); };
  for (int reads = 0;; ++reads) {
    if (draining ? Clock::now() >= drainUntil : (reads == kReadsPerTurn || m_blocked)) break;
    if (draining && m_blocked && m_pendingUsed >= kDrainHoldLimit) break;
    const long got = readOnce(connection, buffer, sizeof buffer, now);
    if (got < 0) return false;
    if (got == 0) break;
    connection.lastActivity = now;
    connection.header.receivedAt = static_cast<std::int64_t>(std::time(nullptr));
    if (!connection.framer.feed(buffer, static_cast<std::size_t>(got), deliver)) {
      count(m_counters.streamMalformed);
      if (auto text = m_malformedEvents.admit(
              "the sender " + connection.peer + " over " + (connection.tls ? "TLS" : "TCP") +
                  " broke the framing of its messages (" + connection.framer.error() +
                  "); what it sent before was received.",
              now)) {
        notify(EVENTLOG_WARNING_TYPE, kEventStreamMalformed, *text);
      }
      close(connection);
      return false;
    }
    if (m_pendingUsed >= kFlushAt && !flush(false) && draining && m_pendingUsed >= kDrainHoldLimit) break;
  }
  if (connection.tls && !connection.inReady && SSL_has_pending(connection.ssl) == 1) {
    connection.inReady = true;
    m_ready.push_back(&connection);
  }
  return true;
}

void StreamReceiver::expire(Clock::time_point now) {
  for (auto& [key, connection] : m_connections) {
    if (connection->closed) continue;
    if (connection->handshaking && now - connection->accepted >= m_settings.handshakeTimeout) {
      tlsFailed(*connection,
                "did not finish its handshake within " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_settings.handshakeTimeout).count()) +
                    " s",
                now);
    } else if (m_settings.idleTimeout.count() > 0 && now - connection->lastActivity >= m_settings.idleTimeout) {
      close(*connection);
    }
  }
}

void StreamReceiver::release() {
  for (Connection* connection : m_closed) {
    m_ready.erase(std::remove(m_ready.begin(), m_ready.end(), connection), m_ready.end());
    m_connections.erase(connection);
  }
  m_closed.clear();
}

void StreamReceiver::run(const ReceiveStop& stop) {
  Pollable stopTag{Pollable::kStop};
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = &stopTag;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, stop.getWakeHandle(), &event);
  const auto watchListeners = [&] {
    for (Listener* listener : {m_tcp.get(), m_tlsListener.get()}) {
      if (listener == nullptr || listener->watched) continue;
      epoll_event added{};
      added.events = EPOLLIN;
      added.data.ptr = static_cast<Pollable*>(listener);
      listener->watched = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, listener->fd, &added) == 0;
    }
  };
  watchListeners();

  epoll_event events[64];
  Clock::time_point nextExpiry = Clock::now() + 1s;
  while (!stop.isRequested()) {
    if (m_blocked && !flush(false)) {
      // The queue's memory is full: the connections wait (and are not idle).
      stop.pause(kBlockedRetry);
      continue;
    }
    Clock::time_point now = Clock::now();
    if (m_acceptPausedUntil != Clock::time_point{} && now >= m_acceptPausedUntil) {
      m_acceptPausedUntil = {};
      watchListeners();
    }
    const int count = ::epoll_wait(m_epoll, events, 64, m_ready.empty() ? 1000 : 0);
    if (count < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "epoll_wait");
    now = Clock::now();
    for (int i = 0; i < count; ++i) {
      auto* target = static_cast<Pollable*>(events[i].data.ptr);
      if (target->kind == Pollable::kListener) {
        acceptAll(*static_cast<Listener*>(target), now);
      } else if (target->kind == Pollable::kConnection) {
        auto& connection = *static_cast<Connection*>(target);
        if (connection.closed || m_blocked) continue;  // a plain connection is reported again
        serve(connection, now, {});
      }
    }
    // Connections whose bytes OpenSSL already holds, which epoll cannot see.
    std::vector<Connection*> ready;
    ready.swap(m_ready);
    for (Connection* connection : ready) {
      connection->inReady = false;
      if (connection->closed) continue;
      if (m_blocked) {
        connection->inReady = true;
        m_ready.push_back(connection);
        continue;
      }
      serve(*connection, now, {});
    }
    if (!m_blocked) flush(false);
    if (now >= nextExpiry) {
      if (!m_blocked) expire(now);
      nextExpiry = now + 1s;
    }
    release();
    if (m_refusing && m_acceptPausedUntil == Clock::time_point{} &&
        m_connections.size() < m_settings.maxConnections) {
      m_refusing = false;
    }
  }

  // The stop: what the connections hold is taken, for at most a second.
  const Clock::time_point drainUntil = Clock::now() + kStopDrainTime;
  for (auto& [key, connection] : m_connections) {
    if (!connection->closed && !connection->handshaking) serve(*connection, Clock::now(), drainUntil);
  }
  for (auto& [key, connection] : m_connections) close(*connection);
  release();
  flush(true);
  ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, stop.getWakeHandle(), nullptr);
}
