#include "service/statistics.h"

namespace {

void line(std::string& out, std::string_view key, std::uint64_t value) {
  out.append(key);
  out += '=';
  out += std::to_string(value);
  out += '\n';
}

// A name on one line: control characters become '?'.
std::string oneLine(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return result;
}

}  // namespace

OutputCounters& Statistics::output(std::string_view name) {
  std::lock_guard lock(m_outputsMutex);
  for (OutputCounters& output : m_outputs) {
    if (output.name == name) return output;
  }
  return m_outputs.emplace_back(std::string(name));
}

OutputCounters& Statistics::output(std::string_view name, std::vector<std::pair<std::string, Counter*>> extra) {
  std::lock_guard lock(m_outputsMutex);
  for (OutputCounters& output : m_outputs) {
    if (output.name != name) continue;
    if (output.extra.empty()) output.extra = std::move(extra);
    return output;
  }
  OutputCounters& made = m_outputs.emplace_back(std::string(name));
  made.extra = std::move(extra);
  return made;
}

void Statistics::forEachOutput(const std::function<void(const OutputCounters&)>& visit) const {
  std::lock_guard lock(m_outputsMutex);
  for (const OutputCounters& output : m_outputs) visit(output);
}

std::string Statistics::render(long pid, std::time_t written) const {
  std::string out;
  out.reserve(1024);
  line(out, "pid", static_cast<std::uint64_t>(pid));
  line(out, "written", static_cast<std::uint64_t>(written));
  line(out, "started", static_cast<std::uint64_t>(started));
  line(out, "received", read(received));
  line(out, "kernel_dropped", read(kernelDropped));
  line(out, "restored", read(restored));
  line(out, "queued_memory", read(queuedMemory));
  line(out, "queued_memory_bytes", read(queuedMemoryBytes));
  line(out, "queued_disk", read(queuedDisk));
  line(out, "queued_disk_bytes", read(queuedDiskBytes));
  line(out, "queue_dropped", read(queueDropped));
  line(out, "spool_damaged", read(spoolDamaged));
  line(out, "processed", read(processed));
  line(out, "tcp_open", read(streamOpen));
  line(out, "tcp_accepted", read(streamAccepted));
  line(out, "tcp_refused", read(streamRefused));
  line(out, "tcp_messages", read(streamMessages));
  line(out, "tcp_malformed", read(streamMalformed));
  line(out, "tls_failed", read(tlsFailed));
  int number = 0;
  forEachOutput([&](const OutputCounters& output) {
    const std::string prefix = "output." + std::to_string(++number) + ".";
    out += prefix + "name=" + oneLine(output.name) + "\n";
    line(out, prefix + "done", read(output.done));
    line(out, prefix + "failed", read(output.failed));
    line(out, prefix + "suspended", read(output.suspended));
    line(out, prefix + "missed", read(output.missed));
    for (const auto& [key, counter] : output.extra) line(out, prefix + key, read(*counter));
  });
  return out;
}

void Statistics::resetForTesting() { reset(); }

void Statistics::reset() {
  for (Counter* counter : {&received, &kernelDropped, &restored, &queuedMemory, &queuedMemoryBytes, &queuedDisk,
                           &queuedDiskBytes, &queueDropped, &spoolDamaged, &processed, &streamOpen,
                           &streamAccepted, &streamRefused, &streamMessages, &streamMalformed, &tlsFailed}) {
    counter->store(0);
  }
  started = 0;
  // Outputs stay (callers keep references to them), with their counters at 0.
  std::lock_guard lock(m_outputsMutex);
  for (OutputCounters& output : m_outputs) {
    for (Counter* counter : {&output.done, &output.failed, &output.suspended, &output.missed}) counter->store(0);
  }
}

Statistics& statistics() {
  // Never destroyed: an abandoned action may still count while the process exits.
  static Statistics* const instance = new Statistics;
  return *instance;
}
