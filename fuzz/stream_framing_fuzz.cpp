// Arbitrary connection streams through the framer: fed whole, and fed in
// pieces cut where the input's first bytes say, the same messages come out,
// none longer than the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "stream/framing.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

struct Result {
  std::vector<std::string> messages;
  bool ok = true;
};

Result run(const char* data, std::size_t size, std::size_t max, std::size_t pieceLength) {
  StreamFramer framer(max);
  Result result;
  const auto deliver = [&](std::string_view text, bool truncated) {
    check(text.size() <= max);
    check(!text.empty() || truncated);
    result.messages.emplace_back(std::string(text) + (truncated ? "\x01" : "\x02"));
  };
  for (std::size_t at = 0; at < size; at += pieceLength) {
    const std::size_t length = size - at < pieceLength ? size - at : pieceLength;
    result.ok = framer.feed(data + at, length, deliver) && result.ok;
  }
  if (result.ok) framer.finish(deliver);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 2) return 0;
  // The first byte picks the limit, the second the length of the pieces.
  const std::size_t max = 1 + bytes[0] % 64;
  const std::size_t piece = 1 + bytes[1] % 16;
  const char* data = reinterpret_cast<const char*>(bytes + 2);
  size -= 2;
  const Result whole = run(data, size, max, size == 0 ? 1 : size);
  const Result pieces = run(data, size, max, piece);
  check(whole.ok == pieces.ok);
  check(whole.messages == pieces.messages);
  return 0;
}
