#include "pipeline/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "pipeline/queue_record.h"

namespace queue {

namespace {

constexpr char kSuffix[] = ".spool";
constexpr char kResumeSuffix[] = ".resume";
constexpr std::size_t kReadChunk = 1024 * 1024;

std::string errnoText(int error) { return std::generic_category().message(error); }

bool parseId(const std::string& name, std::uint64_t* id) {
  if (name.size() != 16 + sizeof(kSuffix) - 1 || name.compare(16, std::string::npos, kSuffix) != 0) return false;
  std::uint64_t value = 0;
  for (int i = 0; i < 16; ++i) {
    const char c = name[static_cast<std::size_t>(i)];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return false;
    value = value << 4 | static_cast<std::uint64_t>(digit);
  }
  *id = value;
  return true;
}

std::filesystem::path resumePath(const std::filesystem::path& segment) {
  return std::filesystem::path(segment.string() + kResumeSuffix);
}

// The resume offset of a segment, 0 when it has none or it cannot be read.
std::uint64_t readResumeOffset(const std::filesystem::path& segment) {
  std::FILE* file = std::fopen(resumePath(segment).c_str(), "re");
  if (file == nullptr) return 0;
  unsigned long long offset = 0;
  if (std::fscanf(file, "%llu", &offset) != 1) offset = 0;
  std::fclose(file);
  return offset;
}

}  // namespace

std::uint32_t recordChecksum(const char* record, std::size_t span) {
  const auto* bytes = reinterpret_cast<const Bytef*>(record);
  const std::size_t skipped = offsetof(RecordHeader, checksum) + sizeof(std::uint32_t);
  return static_cast<std::uint32_t>(::crc32(0L, bytes + skipped, static_cast<uInt>(span - skipped)));
}

void sealRecords(char* data, std::size_t size) {
  std::size_t at = 0;
  while (at + kHeaderSize <= size) {
    auto* header = reinterpret_cast<RecordHeader*>(data + at);
    const std::size_t span = recordSpan(header->length);
    header->checksum = recordChecksum(data + at, span);
    at += span;
  }
}

RecordCheck checkRecord(const char* record, std::size_t available) {
  if (available < kHeaderSize) return RecordCheck::kIncomplete;
  const RecordHeader& header = headerAt(record);
  if (header.magic != kRecordMagic || header.length > kMaxRecordText) return RecordCheck::kDamaged;
  const std::size_t span = recordSpan(header.length);
  if (span > available) return RecordCheck::kIncomplete;
  if (record[kHeaderSize + header.length] != '\0') return RecordCheck::kDamaged;
  return recordChecksum(record, span) == header.checksum ? RecordCheck::kIntact : RecordCheck::kDamaged;
}

std::filesystem::path segmentPath(const std::filesystem::path& folder, std::uint64_t id) {
  char name[32];
  std::snprintf(name, sizeof name, "%016" PRIx64 "%s", id, kSuffix);
  return folder / name;
}

bool listSegments(const std::filesystem::path& folder, std::vector<SegmentInfo>& segments, std::string* error) {
  segments.clear();
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code) {
    if (error != nullptr) *error = "the folder " + folder.string() + " cannot be made: " + code.message();
    return false;
  }
  ::chmod(folder.c_str(), 0700);
  std::filesystem::directory_iterator entries(folder, code);
  if (code) {
    if (error != nullptr) *error = "the folder " + folder.string() + " cannot be read: " + code.message();
    return false;
  }
  for (const auto& entry : entries) {
    SegmentInfo segment;
    if (!parseId(entry.path().filename().string(), &segment.id)) continue;
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    segment.path = entry.path();
    segment.end = static_cast<std::uint64_t>(info.st_size);
    segment.begin = std::min(readResumeOffset(segment.path), segment.end);
    segments.push_back(std::move(segment));
  }
  std::sort(segments.begin(), segments.end(),
            [](const SegmentInfo& a, const SegmentInfo& b) { return a.id < b.id; });
  return true;
}

bool writeResumeOffset(const std::filesystem::path& segment, std::uint64_t offset, std::string* error) {
  const std::filesystem::path target = resumePath(segment);
  const std::filesystem::path temporary(target.string() + ".new");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool written = fd >= 0;
  if (written) {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%" PRIu64 "\n", offset);
    written = ::write(fd, text, static_cast<std::size_t>(length)) == length && ::fsync(fd) == 0;
    if (::close(fd) != 0) written = false;
  }
  if (written && ::rename(temporary.c_str(), target.c_str()) == 0) return true;
  if (error != nullptr) *error = target.string() + ": " + errnoText(errno);
  ::unlink(temporary.c_str());
  return false;
}

bool removeSegment(const std::filesystem::path& segment, std::string* error) {
  ::unlink(resumePath(segment).c_str());
  if (::unlink(segment.c_str()) == 0 || errno == ENOENT) return true;
  if (error != nullptr) *error = segment.string() + ": " + errnoText(errno);
  return false;
}

SegmentReader::~SegmentReader() { close(); }

bool SegmentReader::open(const std::filesystem::path& segment, std::uint64_t begin, std::uint64_t end,
                         std::string* error) {
  close();
  m_fd = ::open(segment.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) {
    if (error != nullptr) *error = segment.string() + ": " + errnoText(errno);
    return false;
  }
  if (m_buffer.size() < kReadChunk + kMaxRecordSpan) m_buffer.resize(kReadChunk + kMaxRecordSpan);
  m_bufferOffset = m_position = begin;
  m_bufferUsed = 0;
  m_end = end;
  m_damaged = 0;
  m_inDamage = false;
  m_failure.clear();
  return true;
}

void SegmentReader::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool SegmentReader::fill(std::size_t wanted) {
  const std::size_t skipped = static_cast<std::size_t>(m_position - m_bufferOffset);
  std::size_t have = m_bufferUsed - skipped;
  const std::uint64_t left = m_end - m_position;
  if (wanted > left) wanted = static_cast<std::size_t>(left);
  if (have >= wanted) return true;
  std::memmove(m_buffer.data(), m_buffer.data() + skipped, have);
  m_bufferOffset = m_position;
  m_bufferUsed = have;
  while (m_bufferUsed < wanted) {
    const std::size_t room = std::min<std::uint64_t>(m_buffer.size() - m_bufferUsed, m_end - m_position - m_bufferUsed);
    const ssize_t got = ::pread(m_fd, m_buffer.data() + m_bufferUsed, room,
                                static_cast<off_t>(m_bufferOffset + m_bufferUsed));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // A file shorter than its range: the rest counts as cut short.
      if (got == 0) {
        m_end = m_bufferOffset + m_bufferUsed;
        return true;
      }
      m_failure = errnoText(errno);
      return false;
    }
    m_bufferUsed += static_cast<std::size_t>(got);
  }
  return true;
}

const char* SegmentReader::next() {
  while (m_fd >= 0 && m_position < m_end) {
    // Enough for the largest record, read in large chunks.
    if (!fill(kMaxRecordSpan)) return nullptr;
    const std::size_t available = m_bufferUsed - static_cast<std::size_t>(m_position - m_bufferOffset);
    if (available == 0) break;
    const char* record = m_buffer.data() + (m_position - m_bufferOffset);
    const RecordCheck check = checkRecord(record, available);
    if (check == RecordCheck::kIntact) {
      m_position += recordSpan(headerAt(record).length);
      m_inDamage = false;
      return record;
    }
    // Damaged, or cut short by the end of the range: every record starts on a
    // multiple of 8, so the next one is looked for there.
    if (!m_inDamage) ++m_damaged;
    m_inDamage = true;
    m_position = std::min<std::uint64_t>(m_position + 8, m_end);
  }
  m_inDamage = false;
  return nullptr;
}

}  // namespace queue
