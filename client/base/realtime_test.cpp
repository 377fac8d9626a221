#include "realtime.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimeZone>
#include <cerrno>
#include <deque>
#include <random>
#include <vector>

#include "ansi_text.h"
#include "client_settings.h"

namespace {

using namespace Realtime;

TEST(RealtimeTextTest, SplitReadsThePriNumberAsTheServiceDoes) {
  struct Case {
    const char* text;
    std::int32_t facility, priority;
    const char* message;
  };
  // The last three wrap around in 32 bits.
  const Case cases[] = {{"<13>Hello", 1, 5, "Hello"},
                        {"<>x", 0, 0, "x"},
                        {"Hello", 0, 0, "Hello"},
                        {"<13 Hello", 1, 5, "Hello"},
                        {"<13", 1, 5, ""},
                        {"<999>x", 124, 7, "x"},
                        {"<4294967296>x", 0, 0, "x"},
                        {"<4294967295>x", 127, 7, "x"},
                        {"<1234567890123456789012345678901234567890>x", 90, 2, "x"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::int32_t facility = -1, priority = -1;
    QString message;
    SplitSyslogBuf(QString::fromLatin1(c.text), facility, priority, message);
    EXPECT_EQ(facility, c.facility);
    EXPECT_EQ(priority, c.priority);
    EXPECT_EQ(message, c.message);
  }
}

constexpr char kFacilityNames[] =
    "KERN USER MAIL DAEMON AUTH SYSLOG LPR NEWS UUCP CRON SYSTEMRESERVED10 SYSTEMRESERVED11 SYSTEMRESERVED12 "
    "SYSTEMRESERVED13 SYSTEMRESERVED14 SYSTEMRESERVED15 LOCAL0 LOCAL1 LOCAL2 LOCAL3 LOCAL4 LOCAL5 LOCAL6 "
    "LOCAL7";

TEST(RealtimeTextTest, NamesColoursAndReverseLookUps) {
  const QStringList facilities = QString(kFacilityNames).split(' ');
  for (int code = 0; code < 24; ++code) {
    QColor colour;
    EXPECT_EQ(FacilityName(code, colour), facilities[code]);
    EXPECT_EQ(colour, code % 2 == 0 ? QColor(0xDD, 0xDD, 0xDD) : QColor(0xEE, 0xEE, 0xEE)) << code;
    EXPECT_EQ(FacilityNumber(facilities[code]), code);
  }
  const std::pair<const char*, QRgb> priorities[] = {
      {"EMERGENCY", 0xDD1010}, {"ALERT", 0xDD00DD},  {"CRIT", 0xDD9910}, {"ERROR", 0xFF4444},
      {"WARNING", 0xFFFF00},   {"NOTICE", 0x00DD10}, {"INFO", 0xDD88EE}, {"DEBUG", 0x3333FF}};
  for (int code = 0; code < 8; ++code) {
    QColor colour;
    EXPECT_EQ(PriorityName(code, colour), priorities[code].first);
    EXPECT_EQ(colour, QColor(priorities[code].second)) << code;
    EXPECT_EQ(PriorityNumber(priorities[code].first), code);
  }
  QColor kept(1, 2, 3);
  EXPECT_EQ(FacilityName(24, kept), "");
  EXPECT_EQ(FacilityName(-1, kept), "");
  EXPECT_EQ(PriorityName(8, kept), "");
  EXPECT_EQ(kept, QColor(1, 2, 3));
  for (const char* unknown : {"local7", "LOCAL7 ", "", "NOTICE"}) EXPECT_EQ(FacilityNumber(unknown), 0);
  for (const char* unknown : {"Debug", "", "USER"}) EXPECT_EQ(PriorityNumber(unknown), 0);
}

TEST(RealtimeTextTest, ReceptionTimeIsShortDateAndTimeWithSecondsWithoutZone) {
  const QDateTime when(QDate(2002, 3, 7), QTime(14, 5, 9), QTimeZone::utc());
  const QString text = ReceptionTimeText(when);
  EXPECT_TRUE(text.startsWith(QLocale::system().toString(when.date(), QLocale::ShortFormat) + " "))
      << qPrintable(text);
  EXPECT_TRUE(text.contains("05") && text.contains("09")) << qPrintable(text);
  EXPECT_FALSE(text.contains("UTC")) << qPrintable(text);
  EXPECT_EQ(text, text.trimmed());
}

TEST(RealtimeTextTest, CsvRowsInOrderWithCodesAndNothingQuoted) {
  const std::vector<Row> rows = {{3, "07.03.2002 14:05:11", 1, 5, "10.0.0.5", "Hello"},
                                 {2, "07.03.2002 14:05:10", 124, 7, "gateway", "a, b, c"},
                                 {1, "07.03.2002 14:05:09", 23, 0, "10.0.0.6", ""}};
  auto at = [&](int i) -> const Row& { return rows.at(static_cast<std::size_t>(i)); };
  const QString header = "DateTime, Source, Facility, Priority, Message\r\n";
  EXPECT_EQ(BuildCsvText(at, 0, 2), header +
                                        "07.03.2002 14:05:11, 10.0.0.5, 1, 5, Hello\r\n"
                                        "07.03.2002 14:05:10, gateway, 0, 7, a, b, c\r\n"
                                        "07.03.2002 14:05:09, 10.0.0.6, 23, 0, \r\n");
  EXPECT_EQ(BuildCsvText(at, 0, -1), header);  // an empty grid
  EXPECT_EQ(BuildCsvText(at, 2, 0), header);

  // The progress advances about a hundred times, or once per row for few rows,
  // wherever the rows start.
  int calls = 0;
  auto count = [&] { ++calls; };
  auto any = [&](int) -> const Row& { return rows[0]; };
  for (auto [first, last, expected] : {std::tuple{0, 999, 100}, {500, 1499, 100}, {0, 49, 50}, {0, -1, 0}}) {
    calls = 0;
    BuildCsvText(any, first, last, count);
    EXPECT_EQ(calls, expected) << first << ".." << last;
  }
}

class RealtimeLogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_folder.isValid());
    ClientSettings::resetToDefaults();
    ClientSettings::szFileBaseName = m_folder.filePath("realtime");
  }
  void TearDown() override { ClientSettings::resetToDefaults(); }

  QByteArray contents(const QString& name) {
    QFile file(m_folder.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
  }
  static Row row(const QString& message) { return {1, "07.03.2002 14:05:09", 1, 5, "10.0.0.5", message}; }

  QTemporaryDir m_folder;
};

TEST_F(RealtimeLogFileTest, FileNameCarriesTheDateOnlyWhenUnique) {
  EXPECT_EQ(ClientLogFileName(QDate(2002, 3, 7)), m_folder.filePath("realtime.txt"));
  ClientSettings::nUnique = 1;
  ClientSettings::szFileExtension = "log";
  EXPECT_EQ(ClientLogFileName(QDate(2002, 12, 31)), m_folder.filePath("realtime-2002-12-31.log"));
  ClientSettings::szFileBaseName = ClientSettings::kDefaultFileBaseName;
  ClientSettings::szFileExtension = ClientSettings::kDefaultFileExtension;
  EXPECT_EQ(ClientLogFileName(QDate(2002, 3, 7)), "Syslog-2002-3-7.txt");
}

TEST_F(RealtimeLogFileTest, HeaderGoesOnceIntoAnEmptyFileAndBytesStayAsReceived) {
  ASSERT_EQ(WriteClientLogLine(row("Hello")), LogWrite::Written);
  Row other = row(fromAnsi("a, caf\xE9"));  // not UTF-8: the byte goes back as it came
  other.facility = 124;
  ASSERT_EQ(WriteClientLogLine(other), LogWrite::Written);
  EXPECT_EQ(contents("realtime.txt"),
            "DateTime, Source, Facility, Priority, Message\r\n"
            "07.03.2002 14:05:09, 10.0.0.5, 1, 5, Hello\r\n"
            "07.03.2002 14:05:09, 10.0.0.5, 124, 5, a, caf\xE9\r\n");

  // The settings are read per line: a new name is a new file with its header.
  ClientSettings::szFileExtension = "log";
  ASSERT_EQ(WriteClientLogLine(row("Next")), LogWrite::Written);
  EXPECT_EQ(contents("realtime.log"),
            "DateTime, Source, Facility, Priority, Message\r\n"
            "07.03.2002 14:05:09, 10.0.0.5, 1, 5, Next\r\n");
}

TEST_F(RealtimeLogFileTest, MissingFolderAndUnwritableFileAreReportedApart) {
  ClientSettings::szFileBaseName = m_folder.filePath("missing/realtime");
  int error = 0;
  QString text;
  EXPECT_EQ(WriteClientLogLine(row("x"), &error, &text), LogWrite::PathNotFound);
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(text.isEmpty());

  ClientSettings::szFileBaseName = m_folder.filePath("taken");
  ASSERT_TRUE(QDir(m_folder.path()).mkdir("taken.txt"));  // a folder where the file should be
  text.clear();
  EXPECT_EQ(WriteClientLogLine(row("x"), &error, &text), LogWrite::Failed);
  EXPECT_EQ(error, EISDIR);
  EXPECT_FALSE(text.isEmpty());
}

TEST(RealtimeSystemTest, HostNamesOfKnownAddressesOnly) {
  forgetResolvedNames();
  EXPECT_EQ(ResolveHostName("127.0.0.1"), "localhost");  // from the hosts file
  EXPECT_EQ(ResolveHostName("127.0.0.1"), "localhost");  // kept
  EXPECT_EQ(ResolveHostName("not an address"), "");
  EXPECT_EQ(ResolveHostName("192.0.2.1"), "");  // the documentation range has no names
  forgetResolvedNames();
}

TEST(RealtimeSystemTest, SecondClaimOfAPortIsRefusedUntilTheFirstIsReleased) {
  QTemporaryDir folder;
  qputenv("CORVANTEL_MUTEX_DIR", QFile::encodeName(folder.filePath("locks")));
  bool held = true;
  HANDLE first = ClaimRealtimePort(5514, held);
  EXPECT_TRUE(first != nullptr && !held);
  EXPECT_EQ(ClaimRealtimePort(5514, held), nullptr);
  EXPECT_TRUE(held);
  HANDLE otherPort = ClaimRealtimePort(5515, held);
  EXPECT_TRUE(otherPort != nullptr && !held);
  ReleaseRealtimePort(otherPort);
  ReleaseRealtimePort(first);
  EXPECT_EQ(first, nullptr);
  HANDLE again = ClaimRealtimePort(5514, held);
  EXPECT_TRUE(again != nullptr && !held);
  ReleaseRealtimePort(again);

  // An object that cannot be made at all is not one that another holds.
  QFile plain(folder.filePath("plain"));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  qputenv("CORVANTEL_MUTEX_DIR", QFile::encodeName(folder.filePath("plain/locks")));
  EXPECT_EQ(ClaimRealtimePort(5514, held), nullptr);
  EXPECT_FALSE(held);
  qunsetenv("CORVANTEL_MUTEX_DIR");
}

// The grid's model, watched by Qt's model tester throughout.
class RealtimeModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_warnings.clear();
    m_previousHandler =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
          if (QByteArrayView(context.category) == "qt.modeltest") s_warnings << text;
        });
    m_tester = std::make_unique<QAbstractItemModelTester>(
        &m_model, QAbstractItemModelTester::FailureReportingMode::Warning);
  }
  void TearDown() override {
    m_tester.reset();
    qInstallMessageHandler(m_previousHandler);
    EXPECT_TRUE(s_warnings.isEmpty()) << qPrintable(s_warnings.join('\n'));
  }

  void append(std::int32_t from, std::int32_t to) {
    for (std::int32_t n = from; n <= to; ++n)
      m_model.append({n, "time", n % 24, n % 8, "10.0.0.5", "message"});
  }
  std::vector<std::int32_t> numbers() const {
    std::vector<std::int32_t> out;
    for (int i = 0; i < m_model.rowCount(); ++i) out.push_back(m_model.at(i).number);
    return out;
  }

  static inline QStringList s_warnings;
  QtMessageHandler m_previousHandler = nullptr;
  Model m_model;
  std::unique_ptr<QAbstractItemModelTester> m_tester;
};

TEST_F(RealtimeModelTest, NewestOnTopAndABurstIsOneRemovalAndOneInsertion) {
  m_model.setCapacity(3);
  for (int n = 1; n <= 5; ++n) {
    append(n, n);
    EXPECT_EQ(m_model.flush(), 1);
  }
  EXPECT_EQ(numbers(), (std::vector<std::int32_t>{5, 4, 3}));
  EXPECT_EQ(m_model.data(m_model.index(0, 0)).toString(), "5");

  QSignalSpy removed(&m_model, &QAbstractItemModel::rowsRemoved);
  QSignalSpy inserted(&m_model, &QAbstractItemModel::rowsInserted);
  append(6, 7);
  EXPECT_EQ(m_model.rowCount(), 3) << "nothing shows before the flush";
  EXPECT_EQ(m_model.flush(), 2);
  EXPECT_EQ(numbers(), (std::vector<std::int32_t>{7, 6, 5}));
  ASSERT_EQ(removed.size(), 1);
  EXPECT_EQ(removed[0][1].toInt(), 1);
  EXPECT_EQ(removed[0][2].toInt(), 2);
  ASSERT_EQ(inserted.size(), 1);
  EXPECT_EQ(inserted[0][2].toInt(), 1);

  // A burst larger than the buffer keeps only its newest rows.
  append(8, 20);
  EXPECT_EQ(m_model.pending(), 3u);
  EXPECT_EQ(m_model.flush(), 3);
  EXPECT_EQ(numbers(), (std::vector<std::int32_t>{20, 19, 18}));
  EXPECT_EQ(removed.size(), 2);
  EXPECT_EQ(inserted.size(), 2);
}

TEST_F(RealtimeModelTest, RingMatchesAPlainListThroughBurstsAndCapacityChanges) {
  std::mt19937 random(7);
  std::deque<std::int32_t> expected;  // newest first
  std::int32_t next = 1;
  std::int64_t capacity = 5;
  for (int round = 0; round < 300; ++round) {
    if (round % 29 == 0) capacity = round == 29 ? 0 : 1 + static_cast<std::int64_t>(random() % 150);
    m_model.setCapacity(capacity);  // a lower one drops the oldest rows at the flush
    const int burst = static_cast<int>(random() % 90);
    append(next, next + burst - 1);
    for (int i = 0; i < burst; ++i) expected.push_front(next++);
    while (expected.size() > static_cast<std::size_t>(std::max<std::int64_t>(capacity, 1)))
      expected.pop_back();
    m_model.flush();
    ASSERT_EQ(numbers(), std::vector<std::int32_t>(expected.begin(), expected.end())) << "round " << round;
  }

  m_model.clear();
  EXPECT_EQ(m_model.rowCount(), 0);
  append(1, 3);
  m_model.clear();  // the waiting rows go too
  EXPECT_EQ(m_model.flush(), 0);

  // The capacity may be two thousand million: the ring grows with its rows.
  m_model.setCapacity(2'147'483'640);
  append(1, 100);
  EXPECT_EQ(m_model.flush(), 100);
  EXPECT_EQ(m_model.at(99).number, 1);
}

TEST_F(RealtimeModelTest, CellsShowPlainTextsWithColoursAndHeaders) {
  m_model.setHeaders({"", "Time", "Facility", "Priority", "Source", "Logged Message"});
  m_model.append({7, "07.03.2002 14:05:09", 1, 5, "10.0.0.5", "<b>Hello</b>"});
  m_model.append({8, "07.03.2002 14:05:10", 124, 0, "gateway", "x"});
  m_model.flush();

  auto text = [&](int row, int column) { return m_model.data(m_model.index(row, column)).toString(); };
  auto colour = [&](int row, int column, int role) {
    return m_model.data(m_model.index(row, column), role).value<QBrush>().color();
  };
  const QStringList older = {text(1, 0), text(1, 1), text(1, 2), text(1, 3), text(1, 4), text(1, 5)};
  EXPECT_EQ(older, QStringList({"7", "07.03.2002 14:05:09", "USER", "NOTICE", "10.0.0.5", "<b>Hello</b>"}));
  EXPECT_EQ(colour(1, 2, Qt::BackgroundRole), QColor(0xEE, 0xEE, 0xEE));
  EXPECT_EQ(colour(1, 2, Qt::ForegroundRole), QColor(Qt::black));
  EXPECT_EQ(colour(1, 3, Qt::BackgroundRole), QColor(0x00, 0xDD, 0x10));
  // Beyond the facility table: no name on black. Dark cells get white text.
  EXPECT_EQ(text(0, 2), "");
  EXPECT_EQ(colour(0, 2, Qt::BackgroundRole), QColor(Qt::black));
  EXPECT_EQ(colour(0, 2, Qt::ForegroundRole), QColor(Qt::white));
  EXPECT_EQ(colour(0, 3, Qt::ForegroundRole), QColor(Qt::white));  // EMERGENCY
  for (int column : {0, 1, 4, 5})
    EXPECT_FALSE(m_model.data(m_model.index(0, column), Qt::BackgroundRole).isValid());

  EXPECT_EQ(m_model.headerData(0, Qt::Horizontal).toString(), "");
  EXPECT_EQ(m_model.headerData(1, Qt::Horizontal).toString(), "Time");
  EXPECT_EQ(m_model.headerData(5, Qt::Horizontal).toString(), "Logged Message");
  EXPECT_FALSE(m_model.headerData(0, Qt::Vertical).isValid());
}

}  // namespace
