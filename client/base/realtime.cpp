#include "realtime.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBrush>
#include <QFile>
#include <QLocale>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "ansi_text.h"
#include "client_settings.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"

namespace Realtime {

namespace {

constexpr char kHeaderLine[] = "DateTime, Source, Facility, Priority, Message";
constexpr char kLineEnd[] = "\r\n";
constexpr char kFieldSeparator[] = ", ";

struct NamedColour {
  const char* name;
  QRgb colour;
};

constexpr QRgb kDarkGrey = qRgb(0xDD, 0xDD, 0xDD);
constexpr QRgb kLightGrey = qRgb(0xEE, 0xEE, 0xEE);

// Even codes on the darker grey, odd ones on the lighter, so that neighbouring
// facilities can be told apart.
constexpr std::array<NamedColour, 24> kFacilities{{
    {"KERN", kDarkGrey},
    {"USER", kLightGrey},
    {"MAIL", kDarkGrey},
    {"DAEMON", kLightGrey},
    {"AUTH", kDarkGrey},
    {"SYSLOG", kLightGrey},
    {"LPR", kDarkGrey},
    {"NEWS", kLightGrey},
    {"UUCP", kDarkGrey},
    {"CRON", kLightGrey},
    {"SYSTEMRESERVED10", kDarkGrey},
    {"SYSTEMRESERVED11", kLightGrey},
    {"SYSTEMRESERVED12", kDarkGrey},
    {"SYSTEMRESERVED13", kLightGrey},
    {"SYSTEMRESERVED14", kDarkGrey},
    {"SYSTEMRESERVED15", kLightGrey},
    {"LOCAL0", kDarkGrey},
    {"LOCAL1", kLightGrey},
    {"LOCAL2", kDarkGrey},
    {"LOCAL3", kLightGrey},
    {"LOCAL4", kDarkGrey},
    {"LOCAL5", kLightGrey},
    {"LOCAL6", kDarkGrey},
    {"LOCAL7", kLightGrey},
}};

constexpr std::array<NamedColour, 8> kPriorities{{
    {"EMERGENCY", qRgb(0xDD, 0x10, 0x10)},
    {"ALERT", qRgb(0xDD, 0x00, 0xDD)},
    {"CRIT", qRgb(0xDD, 0x99, 0x10)},
    {"ERROR", qRgb(0xFF, 0x44, 0x44)},
    {"WARNING", qRgb(0xFF, 0xFF, 0x00)},
    {"NOTICE", qRgb(0x00, 0xDD, 0x10)},
    {"INFO", qRgb(0xDD, 0x88, 0xEE)},
    {"DEBUG", qRgb(0x33, 0x33, 0xFF)},
}};

template <std::size_t N>
QString nameOf(const std::array<NamedColour, N>& table, std::int32_t code, QColor* colour) {
  if (code < 0 || static_cast<std::size_t>(code) >= N) return {};
  if (colour != nullptr) *colour = QColor::fromRgb(table[code].colour);
  return QString::fromLatin1(table[code].name);
}

template <std::size_t N>
std::int32_t numberOf(const std::array<NamedColour, N>& table, const QString& name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name == QLatin1StringView(table[i].name)) return static_cast<std::int32_t>(i);
  }
  return 0;
}

// The long time format less its time-zone part ("t", or "(t)" as some
// languages write it): rows carry the local time of reception, and a zone name
// would only lengthen every one of them. Quoted literal text is kept.
QString timeFormatWithoutZone(const QString& format) {
  QString out;
  bool quoted = false;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c == u'\'') quoted = !quoted;
    if (quoted || c != u't') {
      out += c;
      continue;
    }
    while (i + 1 < format.size() && format[i + 1] == u't') ++i;
    if (out.endsWith(u'(') && i + 1 < format.size() && format[i + 1] == u')') {
      out.chop(1);
      ++i;
    }
    while (out.endsWith(u' ')) out.chop(1);
  }
  return out.trimmed();
}

QString joinFields(const QString& time, const QString& source, std::int32_t facility, std::int32_t priority,
                   const QString& message) {
  const QString sep = QString::fromLatin1(kFieldSeparator);
  return time + sep + source + sep + QString::number(facility) + sep + QString::number(priority) + sep +
         message + QString::fromLatin1(kLineEnd);
}

LogWrite logFailure(int error, int* errorNumber, QString* errorText) {
  if (errorNumber != nullptr) *errorNumber = error;
  if (errorText != nullptr) *errorText = QString::fromLocal8Bit(std::strerror(error));
  // A missing folder (or a file where a folder should be) will not mend itself
  // by trying again with the next message.
  return error == ENOENT || error == ENOTDIR ? LogWrite::PathNotFound : LogWrite::Failed;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Host names by address. A sender whose look-up times out would otherwise
// hold the window for that time with every one of its messages.
constexpr auto kResolvedLifetime = std::chrono::seconds(60);

struct ResolvedName {
  QString name;
  std::chrono::steady_clock::time_point at;
};

struct ResolvedNames {
  std::mutex lock;
  QHash<QString, ResolvedName> names;
  std::chrono::steady_clock::time_point lastSweep = std::chrono::steady_clock::now();
};

ResolvedNames& resolvedNames() {
  static ResolvedNames names;
  return names;
}

QString lookUpHostName(const QString& address) {
  const QByteArray text = address.toLatin1();
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, text.constData(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    length = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, text.constData(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    length = sizeof(sockaddr_in6);
  } else {
    return {};
  }
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
    return {};
  return fromAnsi(host);
}

}  // namespace

void SplitSyslogBuf(const QString& szInBuf, std::int32_t& iFac, std::int32_t& iPrio, QString& szMsg) {
  if (!szInBuf.startsWith(u'<')) {
    iFac = 0;
    iPrio = 0;
    szMsg = szInBuf;
    return;
  }
  // Unsigned, so that a run of digits too long for 32 bits wraps around as the
  // service's reading does instead of overflowing.
  std::uint32_t accumulated = 0;
  qsizetype i = 1;
  while (i < szInBuf.size() && szInBuf[i] >= u'0' && szInBuf[i] <= u'9') {
    accumulated = accumulated * 10u + static_cast<std::uint32_t>(szInBuf[i].unicode() - u'0');
    ++i;
  }
  const auto value = static_cast<std::int32_t>(accumulated);
  iFac = (value >> 3) & 127;
  iPrio = value & 7;
  szMsg = szInBuf.mid(i + 1);
}

QString FacilityName(std::int32_t code, QColor& colour) { return nameOf(kFacilities, code, &colour); }
QString PriorityName(std::int32_t code, QColor& colour) { return nameOf(kPriorities, code, &colour); }
QString FacilityName(std::int32_t code) { return nameOf(kFacilities, code, nullptr); }
QString PriorityName(std::int32_t code) { return nameOf(kPriorities, code, nullptr); }
std::int32_t FacilityNumber(const QString& name) { return numberOf(kFacilities, name); }
std::int32_t PriorityNumber(const QString& name) { return numberOf(kPriorities, name); }

QString ReceptionTimeText(const QDateTime& local) {
  const QLocale locale = QLocale::system();
  return locale.toString(local.date(), QLocale::ShortFormat) + u' ' +
         locale.toString(local.time(), timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

QString ClientLogFileName(const QDate& when) {
  QString name = ClientSettings::szFileBaseName;
  if (ClientSettings::nUnique != 0) {
    name += u'-' + QString::number(when.year()) + u'-' + QString::number(when.month()) + u'-' +
            QString::number(when.day());
  }
  return name + u'.' + ClientSettings::szFileExtension;
}

LogWrite WriteClientLogLine(const Row& row, int* errorNumber, QString* errorText) {
  const QByteArray path = QFile::encodeName(ClientLogFileName(QDate::currentDate()));
  const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return logFailure(errno, errorNumber, errorText);

  std::string bytes;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const int error = errno;
    ::close(fd);
    return logFailure(error, errorNumber, errorText);
  }
  if (status.st_size == 0) bytes = std::string(kHeaderLine) + kLineEnd;
  bytes += toAnsi(joinFields(row.time, row.source, row.facility, row.priority, row.message));

  if (!writeAll(fd, bytes)) {
    const int error = errno;
    ::close(fd);
    return logFailure(error, errorNumber, errorText);
  }
  // Some file systems report a failed write only here.
  if (::close(fd) != 0 && errno != EINTR) return logFailure(errno, errorNumber, errorText);
  return LogWrite::Written;
}

QString ResolveHostName(const QString& address) {
  using Clock = std::chrono::steady_clock;
  ResolvedNames& cache = resolvedNames();
  {
    std::lock_guard guard(cache.lock);
    const auto found = cache.names.constFind(address);
    if (found != cache.names.cend() && Clock::now() - found->at < kResolvedLifetime) return found->name;
  }
  // Not under the lock: a slow look-up must not hold up the others.
  const QString name = lookUpHostName(address);
  const auto now = Clock::now();
  std::lock_guard guard(cache.lock);
  // Senders come and go; their stale answers go once a minute.
  if (now - cache.lastSweep >= kResolvedLifetime) {
    cache.names.removeIf([&](const auto& entry) { return now - entry.value().at >= kResolvedLifetime; });
    cache.lastSweep = now;
  }
  cache.names.insert(address, ResolvedName{name, now});
  return name;
}

void forgetResolvedNames() {
  ResolvedNames& cache = resolvedNames();
  std::lock_guard guard(cache.lock);
  cache.names.clear();
}

HANDLE ClaimRealtimePort(std::int32_t port, bool& alreadyHeld) {
  alreadyHeld = false;
  const std::string name = "Global\\Corvantel-" + std::to_string(port);
  HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
  if (handle == nullptr) return nullptr;
  if (GetLastError() == static_cast<DWORD>(ERROR_ALREADY_EXISTS)) {
    alreadyHeld = true;
    CloseHandle(handle);
    return nullptr;
  }
  return handle;
}

void ReleaseRealtimePort(HANDLE& handle) {
  if (handle == nullptr) return;
  CloseHandle(handle);
  handle = nullptr;
}

QString BuildCsvText(const std::function<const Row&(int)>& row, int first, int last,
                     const std::function<void()>& progress) {
  QString text = QString::fromLatin1(kHeaderLine) + QString::fromLatin1(kLineEnd);
  if (last < first) return text;
  // Counted from the first exported row, so that a selection far down the grid
  // advances the bar in even steps as well.
  const std::int64_t step = qRound64((static_cast<std::int64_t>(last) - first) / 100.0);
  std::int64_t threshold = step;
  for (std::int64_t r = first; r <= last; ++r) {
    if (progress && r - first + 1 >= threshold) {
      progress();
      threshold += step;
    }
    const Row& current = row(static_cast<int>(r));
    text += joinFields(current.time, current.source, FacilityNumber(FacilityName(current.facility)),
                       PriorityNumber(PriorityName(current.priority)), current.message);
  }
  return text;
}

// ---------------------------------------------------------------------------

namespace {

constexpr int kColumns = 6;
constexpr std::size_t kMinRing = 64;

// Text that stays readable on a cell's colour: white on the dark ones.
QColor textColourOn(const QColor& background) {
  const int luma = (299 * background.red() + 587 * background.green() + 114 * background.blue()) / 1000;
  return luma < 128 ? QColor(Qt::white) : QColor(Qt::black);
}

}  // namespace

Model::Model(QObject* parent) : QAbstractTableModel(parent) {}

void Model::setHeaders(const QStringList& headers) {
  m_headers = headers;
  emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

void Model::setCapacity(std::int64_t capacity) {
  m_capacity = std::clamp<std::int64_t>(capacity, 1, INT_MAX);
}

void Model::append(Row row) {
  const auto capacity = static_cast<std::size_t>(m_capacity);
  while (m_pending.size() >= capacity) m_pending.pop_front();
  m_pending.push_back(std::move(row));
}

int Model::flush() {
  const auto capacity = static_cast<std::size_t>(m_capacity);
  while (m_pending.size() > capacity) m_pending.pop_front();
  const std::size_t incoming = m_pending.size();

  // The oldest rows leave before the new ones come, so that the view never
  // sees more rows than the buffer holds.
  const std::size_t keep = std::min(m_count, capacity - incoming);
  if (keep < m_count) {
    beginRemoveRows(QModelIndex(), static_cast<int>(keep), static_cast<int>(m_count - 1));
    for (std::size_t i = keep; i < m_count; ++i) m_rows[(m_head + i) % m_rows.size()] = Row{};
    m_count = keep;
    endRemoveRows();
  }

  // The ring grows with the rows, never to the capacity at once, and gives
  // back what a lowered capacity no longer needs.
  const std::size_t needed = m_count + incoming;
  if (m_rows.size() < needed) {
    resizeRing(std::min(capacity, std::max({needed, 2 * m_rows.size(), kMinRing})));
  } else if (m_rows.size() > capacity) {
    resizeRing(std::min(capacity, std::max(2 * needed, kMinRing)));
  }
  if (incoming == 0) return 0;

  beginInsertRows(QModelIndex(), 0, static_cast<int>(incoming - 1));
  for (Row& row : m_pending) {  // oldest first, so that the newest ends on top
    m_head = (m_head + m_rows.size() - 1) % m_rows.size();
    m_rows[m_head] = std::move(row);
  }
  m_count += incoming;
  m_pending.clear();
  endInsertRows();
  return static_cast<int>(incoming);
}

void Model::resizeRing(std::size_t size) {
  std::vector<Row> rows(size);
  for (std::size_t i = 0; i < m_count; ++i) rows[i] = std::move(m_rows[(m_head + i) % m_rows.size()]);
  m_rows = std::move(rows);
  m_head = 0;
}

void Model::clear() {
  m_pending.clear();
  if (m_count == 0) return;
  beginRemoveRows(QModelIndex(), 0, static_cast<int>(m_count - 1));
  m_rows = {};
  m_head = 0;
  m_count = 0;
  endRemoveRows();
}

const Row& Model::at(int row) const {
  Q_ASSERT(row >= 0 && static_cast<std::size_t>(row) < m_count);
  return m_rows[(m_head + static_cast<std::size_t>(row)) % m_rows.size()];
}

int Model::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_count);
}

int Model::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant Model::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
  const Row& row = at(index.row());
  const int column = index.column();

  if (role == Qt::DisplayRole) {
    switch (column) {
      case 0:
        return QString::number(row.number);
      case 1:
        return row.time;
      case 2:
        return FacilityName(row.facility);
      case 3:
        return PriorityName(row.priority);
      case 4:
        return row.source;
      default:
        return row.message;
    }
  }
  if ((role == Qt::BackgroundRole || role == Qt::ForegroundRole) && (column == 2 || column == 3)) {
    QColor colour(Qt::black);  // a code outside the table
    if (column == 2) {
      FacilityName(row.facility, colour);
    } else {
      PriorityName(row.priority, colour);
    }
    return QBrush(role == Qt::BackgroundRole ? colour : textColourOn(colour));
  }
  return {};
}

QVariant Model::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return m_headers.value(section);
}

}  // namespace Realtime
