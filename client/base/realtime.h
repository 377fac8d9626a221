// The realtime display's parts without widgets: reading one datagram into a
// row, the facility and priority names with their cell colours, the client's
// own log file, host name look-up, the named object that guards the realtime
// port, the CSV text of rows, and the grid's model, a ring buffer of the
// newest rows.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "platform/types.h"

namespace Realtime {

// The most bytes of one datagram that are kept.
inline constexpr int kMaxDatagramBytes = 20000;

// Splits a received text into facility, priority and message text. A text
// that starts with "<" has its run of digits read as the PRI number (no
// digits: 0; a run too long for 32 bits wraps around as the service's own
// reading does), priority = PRI AND 7, facility = (PRI >> 3) AND 127; the
// message is what follows the character after the digits, whatever that
// character is. Any other text has facility 0, priority 0 and is the message.
void SplitSyslogBuf(const QString& szInBuf, std::int32_t& iFac, std::int32_t& iPrio, QString& szMsg);

// Name and cell colour of a facility (0..23) or priority (0..7) code. A code
// outside the table gives an empty name and leaves `colour` as it was.
QString FacilityName(std::int32_t code, QColor& colour);
QString PriorityName(std::int32_t code, QColor& colour);
QString FacilityName(std::int32_t code);
QString PriorityName(std::int32_t code);
// The codes by exact name; an unknown or empty name gives 0.
std::int32_t FacilityNumber(const QString& name);
std::int32_t PriorityNumber(const QString& name);

// The text of grid column 1: the local date in the system's short format, a
// blank, the local time with seconds (the system's long format without its
// time zone).
QString ReceptionTimeText(const QDateTime& local);

// One message as the grid shows it.
struct Row {
  std::int32_t number = 0;  // the running number
  QString time;             // ReceptionTimeText
  std::int32_t facility = 0;
  std::int32_t priority = 0;
  QString source;  // the sender's address, or its host name
  QString message;

  bool operator==(const Row&) const = default;
};

// The client's log file for `when`: szFileBaseName "-" Y "-" M "-" D "."
// szFileExtension when nUnique is not 0 (numbers without leading zeros),
// szFileBaseName "." szFileExtension otherwise.
QString ClientLogFileName(const QDate& when);

// What became of one log line.
enum class LogWrite {
  Written,
  PathNotFound,  // the folder is missing: the caller turns writing off (text 1010)
  Failed,        // any other failure (text 1011 with `error`); writing stays on
};
// Appends the row's line ("date time, source, facility, priority, message"
// with CR LF) to the client's log file of today, writing the header line
// "DateTime, Source, Facility, Priority, Message" first into an empty file.
// `error` receives the system's error number and text on failure.
LogWrite WriteClientLogLine(const Row& row, int* errorNumber = nullptr, QString* errorText = nullptr);

// The host name of a dotted IPv4 (or IPv6) address, or empty when it has
// none or the look-up fails. Answers, failures included, are kept for a
// minute, so that a sender whose look-up hangs costs one wait a minute, not
// one per message.
QString ResolveHostName(const QString& address);
void forgetResolvedNames();  // tests

// The named object "Global\Corvantel-<port>" that one realtime display per
// port holds across user sessions. Claim gives the handle, or null with
// `alreadyHeld` set when another holds it (or null with it clear when the
// object cannot be made at all, which does not stop the display).
HANDLE ClaimRealtimePort(std::int32_t port, bool& alreadyHeld);
void ReleaseRealtimePort(HANDLE& handle);

// The CSV text of rows first..last (indexes into `row`, any order of the two
// limits accepted as given: last below first gives the header line alone):
// the header line, then per row time, source, facility code, priority code
// and message, joined by ", ", each line ending in CR LF, nothing quoted.
// `progress` is called once per step of (last - first) / 100 rows (every row
// when that rounds to 0).
QString BuildCsvText(const std::function<const Row&(int)>& row, int first, int last,
                     const std::function<void()>& progress = {});

// The grid's rows, newest first, at most `capacity` of them. New rows wait in
// a batch until flush(), which inserts them at the top in one step and drops
// the oldest beyond the capacity, so that a burst costs one change of the
// view per flush. Column 0 the number, 1 the time, 2 the facility name and 3
// the priority name (with their colours as background, a facility outside the
// table on black, and black or white text, whichever reads on the colour), 4
// the source, 5 the message; display texts are plain.
class Model : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit Model(QObject* parent = nullptr);

  // The column headers in column order, set by the page: an empty one for
  // column 0, then texts 351 to 355.
  void setHeaders(const QStringList& headers);

  // The capacity read at each flush (nMessageBufferSize; at least 1).
  void setCapacity(std::int64_t capacity);
  std::int64_t capacity() const { return m_capacity; }

  void append(Row row);
  std::size_t pending() const { return m_pending.size(); }
  // Inserts the waiting rows at the top; returns how many were inserted.
  int flush();
  // Every row gone (the waiting ones too).
  void clear();

  const Row& at(int row) const;  // 0 is the newest

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  // Moves the rows into a ring of `size` slots (at least m_count), row 0 first.
  // The ring grows with the rows, never to the capacity at once, which may be
  // two thousand million.
  void resizeRing(std::size_t size);

  // A ring: m_rows[(m_head + i) % m_rows.size()] is row i, for i < m_count.
  std::vector<Row> m_rows;
  std::size_t m_head = 0;
  std::size_t m_count = 0;
  std::deque<Row> m_pending;  // oldest first, at most the capacity
  std::int64_t m_capacity = 60;
  QStringList m_headers;
};

}  // namespace Realtime
