// Statistics: the daemon's counters of every stage, kept in memory by the
// threads that count (relaxed atomics: a reader may see one counter a message
// ahead of another, never a torn value) and written to the service's state
// folder once a second for `corvctl stats`.
//
// The stages add up: received + restored = processed + queued in memory +
// queued on disk + dropped by the queue + damaged in the spool, at every
// moment the processing thread is between two messages.
//
// The file ("stats" in the state folder, replaced atomically) holds one
// "key=value" line per counter, in this order:
//   pid, written (Unix seconds), started (Unix seconds),
//   received, kernel_dropped, restored, queued_memory, queued_memory_bytes,
//   queued_disk, queued_disk_bytes, queue_dropped, spool_damaged, processed,
//   tcp_open, tcp_accepted, tcp_refused, tcp_messages, tcp_malformed, tls_failed,
// then for each output in the order it was first used
//   output.<n>.name (the text up to the end of the line), output.<n>.done,
//   output.<n>.failed, output.<n>.suspended, output.<n>.missed
// and any further output.<n>.<key> lines an output adds (numbers).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using Counter = std::atomic<std::uint64_t>;

inline void count(Counter& counter, std::uint64_t amount = 1) {
  counter.fetch_add(amount, std::memory_order_relaxed);
}
inline void uncount(Counter& counter, std::uint64_t amount = 1) {
  counter.fetch_sub(amount, std::memory_order_relaxed);
}
inline std::uint64_t read(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

// The counters of one output: an action type with its target, named as the
// events name it ("file", "event log", "forward 10.0.0.5", "mail
// smtp.example.com:25", "database Syslog").
struct OutputCounters {
  explicit OutputCounters(std::string outputName) : name(std::move(outputName)) {}
  const std::string name;
  Counter done{0};       // messages the output took
  Counter failed{0};     // messages it failed for (its message's rest was skipped)
  Counter suspended{0};  // times it was suspended after a failure the next message would meet
  Counter missed{0};     // messages that met it suspended
  // Further counters of this output (a database's rows, batches, ...), shown
  // after the four above; added once, before any thread reads them.
  std::vector<std::pair<std::string, Counter*>> extra;
};

class Statistics {
 public:
  Counter received{0};           // datagrams and frames taken from the sockets
  Counter kernelDropped{0};      // lost in the kernel before we could take them (SO_RXQ_OVFL)
  Counter restored{0};           // found in the spool at start
  Counter queuedMemory{0};       // waiting in memory now
  Counter queuedMemoryBytes{0};
  Counter queuedDisk{0};         // waiting in the spool now
  Counter queuedDiskBytes{0};
  Counter queueDropped{0};       // refused because memory and spool were full
  Counter spoolDamaged{0};       // spool records skipped as damaged
  Counter processed{0};          // messages the processing thread finished
  // Syslog over TCP and TLS (its messages count in `received` as well).
  Counter streamOpen{0};         // connections open now
  Counter streamAccepted{0};     // connections taken
  Counter streamRefused{0};      // connections closed at once: the limit was reached
  Counter streamMessages{0};     // messages taken from connections
  Counter streamMalformed{0};    // connections closed for malformed framing
  Counter tlsFailed{0};          // TLS connections that failed (handshake or later)

  std::time_t started = 0;  // set once at start

  // The counters of the output named `name`, made on first use; the reference
  // stays valid for the life of the process. Any thread.
  OutputCounters& output(std::string_view name);
  // The same, with further counters (see OutputCounters::extra) given to an
  // output that has none yet.
  OutputCounters& output(std::string_view name, std::vector<std::pair<std::string, Counter*>> extra);
  // Calls `visit` for each output in the order it was first used.
  void forEachOutput(const std::function<void(const OutputCounters&)>& visit) const;

  // Every counter back to 0 (the outputs stay).
  void reset();

  // The file's text (see above).
  std::string render(long pid, std::time_t written) const;

  // Tests only: every counter back to 0 (outputs stay known).
  void resetForTesting();

 private:
  mutable std::mutex m_outputsMutex;
  std::deque<OutputCounters> m_outputs;  // a deque never moves its elements
};

// The process-wide counters.
Statistics& statistics();
