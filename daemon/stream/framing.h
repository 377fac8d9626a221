// StreamFramer: cuts the byte stream of one syslog connection over TCP or TLS
// into messages (RFC 6587). Each message chooses its framing by its first
// byte: a digit 1 to 9 starts octet counting ("LEN SP MSG", the count in
// decimal), anything else a message that ends at LF (non-transparent framing;
// a CR before the LF is not part of the message). Empty messages are skipped.
//
// A message longer than the limit keeps its first `maxMessage` bytes and is
// flagged as cut; the rest of it is skipped and the connection goes on. An
// octet count that is not followed by a space, or that has more digits than
// any message can need, is malformed framing: the framer stops and the
// connection should be closed, since nothing after it can be trusted to start
// a message.
//
// The input may be split anywhere: feeding a stream in one piece or in any
// number of pieces delivers the same messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class StreamFramer {
 public:
  // `text` is valid only during the call.
  using Deliver = std::function<void(std::string_view text, bool truncated)>;

  // The longest octet count accepted: nine digits.
  static constexpr std::uint64_t kMaxOctetCount = 999'999'999;

  explicit StreamFramer(std::size_t maxMessage);

  // Delivers every message completed by `size` more bytes. False once the
  // framing is malformed (error() says how); later calls then do nothing.
  bool feed(const char* data, std::size_t size, const Deliver& deliver);
  // The stream has ended: a message it cut short is delivered as far as it
  // came (a counted one flagged as cut).
  void finish(const Deliver& deliver);

  bool broken() const { return m_state == State::kBroken; }
  const std::string& error() const { return m_error; }
  // True between messages: nothing of a message is held.
  bool idle() const { return m_state == State::kStart; }

 private:
  enum class State { kStart, kCount, kOctets, kLine, kBroken };

  void emitLine(const Deliver& deliver, std::string_view text, bool cut);
  bool fail(std::string error);

  const std::size_t m_max;
  State m_state = State::kStart;
  std::string m_message;         // the part of the current message kept so far
  bool m_cut = false;            // bytes of the current message were skipped
  std::uint64_t m_remaining = 0;  // octets of the counted message still to come
  int m_digits = 0;
  std::string m_error;
};
