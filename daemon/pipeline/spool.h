// The queue's spool on disk: a folder of segment files, each a run of whole
// records (queue_record.h) written in arrival order. A segment is named by
// the sequence number of its first part, sixteen hexadecimal digits and
// ".spool", so that reading the names in order reads the records in arrival
// order. A segment read in part keeps a resume file beside it,
// "<name>.resume", holding the offset where reading goes on.
//
// Nothing here is fatal: a damaged record is skipped and counted, a segment
// that cannot be read is reported and left where it is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace queue {

struct SegmentInfo {
  std::uint64_t id = 0;
  std::filesystem::path path;
  std::uint64_t begin = 0;  // where reading starts (the resume offset, else 0)
  std::uint64_t end = 0;    // the file's size
};

std::filesystem::path segmentPath(const std::filesystem::path& folder, std::uint64_t id);

// Makes the folder (owner-only) when it is missing and lists its segments in
// order. False, with the reason in `error`, when the folder cannot be made or
// read; files that are not segments are left alone.
bool listSegments(const std::filesystem::path& folder, std::vector<SegmentInfo>& segments, std::string* error);

// Records, atomically, that reading `segment` goes on at `offset`.
bool writeResumeOffset(const std::filesystem::path& segment, std::uint64_t offset, std::string* error);

// Removes a segment and its resume file; false (with the reason) when the
// segment stays.
bool removeSegment(const std::filesystem::path& segment, std::string* error);

// Reads the records of a byte range of one segment in order, skipping damage:
// a region that holds no intact record (a wrong magic or length, a checksum
// that does not match, a record cut short at the end) counts as one damaged
// record, and reading goes on at the next intact record after it.
class SegmentReader {
 public:
  SegmentReader() = default;
  ~SegmentReader();
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  // False, with the reason, when the file cannot be opened.
  bool open(const std::filesystem::path& segment, std::uint64_t begin, std::uint64_t end, std::string* error);
  void close();

  // The next intact record, valid until the next call; null at the end of the
  // range or when reading fails (failed() then says why).
  const char* next();
  // The file offset of the next record to read.
  std::uint64_t position() const { return m_position; }
  // Damaged regions met since open.
  std::uint64_t damaged() const { return m_damaged; }
  const std::string& failed() const { return m_failure; }

 private:
  // Makes at least `wanted` bytes from m_position readable in the buffer, or
  // as many as the range still has; false when reading fails.
  bool fill(std::size_t wanted);

  int m_fd = -1;
  std::vector<char> m_buffer;
  std::uint64_t m_bufferOffset = 0;  // file offset of m_buffer[0]
  std::size_t m_bufferUsed = 0;
  std::uint64_t m_position = 0;
  std::uint64_t m_end = 0;
  std::uint64_t m_damaged = 0;
  bool m_inDamage = false;
  std::string m_failure;
};

}  // namespace queue
