// The connections' thread: syslog over TCP (RFC 6587) and over TLS (RFC 5425).
//
// One loop takes connections on the listeners and reads every connection as
// its bytes arrive, none waiting for another (a slow or silent sender, or a
// handshake that never ends, costs its own connection only). The framer cuts
// the bytes into messages, which go to the queue as the receiving thread's
// datagrams do, with the peer as sender. It reads only while the queue's
// memory has room: beyond it the connections wait, TCP's flow control slows
// their senders, and nothing is dropped.
//
// Limits: the longest message (the rest of a longer one is skipped), the
// connections open at once (more are closed as soon as they are taken), the
// time a connection may stay silent and the time a TLS handshake may take.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/types.h"
#include "stream/tls_context.h"

class ReceiveStop;
class Statistics;
namespace queue {
class MessageQueue;
}

struct StreamSettings {
  int tcpPort = 0;  // 0: no TCP
  int tlsPort = 0;  // 0: no TLS
  TlsFiles tls;
  std::size_t maxMessage = 32767;
  std::size_t maxConnections = 500;
  std::chrono::seconds idleTimeout{3600};  // 0: never
  std::chrono::milliseconds handshakeTimeout{10000};
};

// Something to tell the administrator: the event's type, identifier and text.
using StreamEventSink = std::function<void(WORD type, DWORD id, const std::string& text)>;

// Events a peer can cause as often as it likes: the first is logged, those of
// the next minute are only counted, and the next one logged says how many.
class PeerEventLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kQuiet{60};
  // The text to log now, or nothing when this one is only counted.
  std::optional<std::string> admit(std::string text, Clock::time_point now);

 private:
  bool m_logged = false;
  Clock::time_point m_last{};
  std::uint64_t m_held = 0;
};

class StreamReceiver {
 public:
  StreamReceiver(StreamSettings settings, queue::MessageQueue& queue, Statistics& counters,
                 StreamEventSink events);
  ~StreamReceiver();
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;

  // Opens what the settings ask for. A port that cannot be opened, or TLS
  // files that cannot be used, are reported and leave that listener off;
  // true when at least one listens.
  bool open();
  // Runs until a stop is requested; then takes what the connections still
  // hold (for at most a second), hands every message read to the queue, and
  // closes the connections and listeners.
  void run(const ReceiveStop& stop);

 private:
  struct Listener;
  struct Connection;
  using Clock = std::chrono::steady_clock;

  bool openListener(Listener& listener);
  void acceptAll(Listener& listener, Clock::time_point now);
  // Reads what `connection` has, up to a share so that the others get
  // theirs; with a `drainUntil` (at a stop) all it has until then. False when
  // the connection was closed.
  bool serve(Connection& connection, Clock::time_point now, Clock::time_point drainUntil);
  // True once the handshake is done; false while it goes on or when it failed
  // (the connection is closed then).
  bool handshake(Connection& connection, Clock::time_point now);
  // Reads once: the bytes read, 0 when nothing is there now, -1 when the
  // connection ended or failed (it is closed then).
  long readOnce(Connection& connection, char* buffer, std::size_t size, Clock::time_point now);
  // Delivers what the framer holds of a message, closes the connection, and
  // leaves it to release().
  void close(Connection& connection);
  void tlsFailed(Connection& connection, const std::string& what, Clock::time_point now);
  std::string tlsReason(Connection& connection, int result);
  void watch(Connection& connection, bool forWriting);
  void expire(Clock::time_point now);
  // Frees the connections closed since the last call.
  void release();
  void append(Connection& connection, std::string_view text, bool truncated);
  // Hands the messages read to the queue; false (and m_blocked) while its
  // memory has no room for them.
  bool flush(bool evenBeyondLimit);
  void notify(WORD type, DWORD id, const std::string& text);

  const StreamSettings m_settings;
  queue::MessageQueue& m_queue;
  Statistics& m_counters;
  StreamEventSink m_events;
  std::unique_ptr<TlsContext> m_tls;
  std::unique_ptr<Listener> m_tcp;
  std::unique_ptr<Listener> m_tlsListener;
  int m_epoll = -1;
  std::unordered_map<Connection*, std::unique_ptr<Connection>> m_connections;
  std::vector<Connection*> m_ready;  // TLS connections with bytes OpenSSL holds
  std::vector<Connection*> m_closed;  // to free once the loop is done with them

  // Messages read but not yet in the queue: whole records, in chunks of at
  // most a queue block.
  struct Chunk {
    std::size_t bytes = 0;
    std::uint64_t records = 0;
  };
  std::vector<char> m_pending;
  std::size_t m_pendingUsed = 0;
  std::vector<Chunk> m_chunks;
  std::size_t m_flushedChunks = 0;
  std::size_t m_flushedBytes = 0;

  bool m_blocked = false;   // the queue took no more: nothing is read
  bool m_refusing = false;  // an episode of refused connections is on
  Clock::time_point m_acceptPausedUntil{};
  PeerEventLimiter m_malformedEvents;
  PeerEventLimiter m_tlsEvents;
};
