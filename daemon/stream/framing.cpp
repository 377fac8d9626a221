#include "stream/framing.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kMaxCountDigits = 9;

std::string describeByte(unsigned char c) {
  if (c >= 0x21 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  static const char kHex[] = "0123456789ABCDEF";
  return std::string("byte 0x") + kHex[c >> 4] + kHex[c & 15];
}

}  // namespace

StreamFramer::StreamFramer(std::size_t maxMessage) : m_max(std::max<std::size_t>(maxMessage, 1)) {}

bool StreamFramer::fail(std::string error) {
  m_state = State::kBroken;
  m_error = std::move(error);
  m_message.clear();
  m_message.shrink_to_fit();
  return false;
}

void StreamFramer::emitLine(const Deliver& deliver, std::string_view text, bool cut) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.size() > m_max) {
    text = text.substr(0, m_max);
    cut = true;
  }
  if (!text.empty() || cut) deliver(text, cut);
}

bool StreamFramer::feed(const char* data, std::size_t size, const Deliver& deliver) {
  const char* at = data;
  const char* const end = data + size;
  while (at < end) {
    switch (m_state) {
      case State::kBroken:
        return false;

      case State::kStart:
        m_message.clear();
        m_cut = false;
        if (*at >= '1' && *at <= '9') {
          m_state = State::kCount;
          m_remaining = 0;
          m_digits = 0;
        } else {
          m_state = State::kLine;
        }
        break;

      case State::kCount: {
        const unsigned char c = static_cast<unsigned char>(*at);
        if (c >= '0' && c <= '9') {
          if (++m_digits > kMaxCountDigits) {
            return fail("an octet count longer than " + std::to_string(kMaxCountDigits) + " digits");
          }
          m_remaining = m_remaining * 10 + (c - '0');
          ++at;
          break;
        }
        if (c != ' ') return fail("an octet count followed by " + describeByte(c) + " instead of a space");
        ++at;
        m_state = State::kOctets;
        break;
      }

      case State::kOctets: {
        const std::size_t available = std::min<std::uint64_t>(static_cast<std::size_t>(end - at), m_remaining);
        if (m_message.empty() && !m_cut && available == m_remaining) {
          // The whole message is in this piece: no copy.
          const bool cut = available > m_max;
          deliver(std::string_view(at, cut ? m_max : available), cut);
        } else {
          const std::size_t kept = std::min(available, m_max - std::min(m_max, m_message.size()));
          m_message.append(at, kept);
          if (kept < available) m_cut = true;
          if (available == m_remaining) deliver(m_message, m_cut);
        }
        at += available;
        m_remaining -= available;
        if (m_remaining == 0) m_state = State::kStart;
        break;
      }

      case State::kLine: {
        const char* lf = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        const char* stop = lf != nullptr ? lf : end;
        if (lf != nullptr && m_message.empty() && !m_cut) {
          emitLine(deliver, std::string_view(at, static_cast<std::size_t>(lf - at)), false);
        } else {
          // One byte beyond the limit is kept, so that a CR there (ending a
          // message of exactly the limit) does not count as cut.
          const std::size_t length = static_cast<std::size_t>(stop - at);
          const std::size_t kept = std::min(length, m_max + 1 - std::min(m_max + 1, m_message.size()));
          m_message.append(at, kept);
          if (kept < length) m_cut = true;
          if (lf != nullptr) emitLine(deliver, m_message, m_cut);
        }
        if (lf == nullptr) return true;
        at = lf + 1;
        m_state = State::kStart;
        break;
      }
    }
  }
  return m_state != State::kBroken;
}

void StreamFramer::finish(const Deliver& deliver) {
  if (m_state == State::kLine) emitLine(deliver, m_message, m_cut);
  if (m_state == State::kOctets && !m_message.empty()) deliver(m_message, true);
  m_state = State::kStart;
  m_message.clear();
  m_cut = false;
}
