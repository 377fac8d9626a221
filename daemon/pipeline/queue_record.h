// The record of one received message, as the queue keeps it in memory and as
// its spool keeps it on disk: a 48-byte header and the message's bytes with a
// terminating zero, padded to a multiple of 8 bytes so that every header is
// aligned. Numbers are in the machine's byte order (the spool never leaves
// the machine that wrote it).
//
// In memory the checksum is 0; a record gets its checksum when it is written
// to the spool (seal), and a record read back from the spool is used only
// when the magic, the length and the checksum (CRC-32 over everything after
// the checksum field: the rest of the header and the padded bytes) agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace queue {

inline constexpr std::uint32_t kRecordMagic = 0x31515643;  // "CVQ1"
// No record is longer (a message of at most 65535 bytes, or a database row
// of one with its sender); a length above it is damage.
inline constexpr std::uint32_t kMaxRecordText = 128 * 1024;

struct RecordHeader {
  std::uint32_t magic;
  std::uint32_t checksum;
  std::uint32_t length;  // bytes of the message, without the terminating zero
  std::uint16_t flags;
  std::uint8_t family;  // AF_INET or AF_INET6: how much of `address` is used
  std::uint8_t reserved1;
  std::int64_t receivedAt;  // Unix seconds, the moment of reception
  std::uint8_t address[16];  // the sender, in network byte order
  std::uint16_t port;
  std::uint8_t reserved2[6];
};
static_assert(sizeof(RecordHeader) == 48);

inline constexpr std::uint16_t kFlagTruncated = 1;  // the datagram was longer than kept

inline constexpr std::size_t kHeaderSize = sizeof(RecordHeader);

// The bytes a record of a `length`-byte message takes.
constexpr std::size_t recordSpan(std::uint32_t length) {
  return kHeaderSize + ((static_cast<std::size_t>(length) + 1 + 7) & ~std::size_t{7});
}
inline constexpr std::size_t kMaxRecordSpan = recordSpan(kMaxRecordText);

inline const RecordHeader& headerAt(const char* record) { return *reinterpret_cast<const RecordHeader*>(record); }
// The message, zero-terminated.
inline const char* textAt(const char* record) { return record + kHeaderSize; }

// Writes the header of a record of `length` bytes at `out`, which has
// recordSpan(length) bytes, and its zero and padding; returns where its
// `length` bytes go. `header` gives everything but magic, checksum and length.
inline char* startRecord(char* out, RecordHeader header, std::uint32_t length) {
  header.magic = kRecordMagic;
  header.checksum = 0;
  header.length = length;
  std::memcpy(out, &header, kHeaderSize);
  char* bytes = out + kHeaderSize;
  // The zero and the padding: the checksum covers them, so they must be set.
  std::memset(bytes + length, 0, recordSpan(length) - kHeaderSize - length);
  return bytes;
}

// Writes a record of `text` at `out`, which has recordSpan(text.size()) bytes.
inline void writeRecord(char* out, const RecordHeader& header, std::string_view text) {
  std::memcpy(startRecord(out, header, static_cast<std::uint32_t>(text.size())), text.data(), text.size());
}

// The checksum a record of `span` bytes must carry.
std::uint32_t recordChecksum(const char* record, std::size_t span);
// Sets the checksums of the records in [data, data + size), which holds whole
// records only.
void sealRecords(char* data, std::size_t size);

// What stands at `record`, with `available` bytes readable from there.
enum class RecordCheck { kIntact, kDamaged, kIncomplete };
RecordCheck checkRecord(const char* record, std::size_t available);

}  // namespace queue
