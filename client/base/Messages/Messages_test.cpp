#include "Messages/Messages.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <set>

namespace {

const char* const kCodes[] = {"EN", "DE", "JP", "ES"};

// The numbers every table holds, by the windows that use them.
std::set<int> designedNumbers() {
  const std::pair<int, int> ranges[] = {
      {0, 19},    {25, 30},   {32, 34},   {41, 67},   {100, 104}, {110, 117}, {120, 123},
      {130, 136}, {140, 141}, {160, 163}, {201, 202}, {205, 210}, {212, 229}, {250, 251},
      {254, 257}, {300, 303}, {310, 318}, {350, 356}, {401, 405}, {450, 457}, {500, 511},
      {600, 643}, {700, 700}, {702, 715}, {1000, 1000}, {1002, 1029}};
  std::set<int> numbers;
  for (auto [first, last] : ranges)
    for (int n = first; n <= last; ++n) numbers.insert(n);
  return numbers;
}

bool endsWithColon(const QString& text) {
  const QString trimmed = text.trimmed();
  return trimmed.endsWith(u':') || trimmed.endsWith(u'\uFF1A');  // the full-width colon of Japanese
}

std::set<int> numbersOf(const Messages::Catalogue& table) {
  std::set<int> numbers;
  for (const auto& entry : table) numbers.insert(entry.first);
  return numbers;
}

class MessagesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Messages::SetLanguage(Messages::kEnglish);
    Messages::SetLanguageFont();
  }
};

// Numbers from here on are texts of our own, beyond the designed 251.
constexpr int kFirstOwnNumber = 2000;

TEST_F(MessagesTest, EveryTableHoldsTheSameNumbersAndNoEmptyText) {
  const std::set<int> designed = designedNumbers();
  ASSERT_EQ(designed.size(), 251u);
  std::set<int> expected = designed;
  for (const int number : numbersOf(Messages::catalogueFor("EN"))) {
    if (number >= kFirstOwnNumber) expected.insert(number);
  }
  for (const char* code : kCodes) {
    const Messages::Catalogue& table = Messages::catalogueFor(code);
    EXPECT_EQ(numbersOf(table), expected) << code;
    for (const auto& [number, text] : table) EXPECT_FALSE(text.trimmed().isEmpty()) << code << " " << number;
  }
}

TEST_F(MessagesTest, TextsKeepTheShapeTheyAreJoinedWith) {
  // Texts are joined with others at run time ("Connected to:" + " " + name,
  // "Error while starting the Service: " + reason), and menus need their
  // access keys: every language keeps a trailing blank and an access key
  // where English has one and ends in a colon where English does (Japanese
  // may add one where its word order puts the joined name last); no table is
  // a copy of English.
  const Messages::Catalogue& english = Messages::catalogueFor("EN");
  for (const char* code : {"DE", "JP", "ES"}) {
    const Messages::Catalogue& table = Messages::catalogueFor(code);
    int same = 0;
    for (const auto& [number, text] : english) {
      const QString& other = table.at(number);
      same += other == text;
      EXPECT_EQ(other.endsWith(u' '), text.endsWith(u' ')) << code << " " << number;
      if (endsWithColon(text)) {
        EXPECT_TRUE(endsWithColon(other)) << code << " " << number;
      }
      EXPECT_EQ(other.contains(u'&'), text.contains(u'&')) << code << " " << number;
    }
    EXPECT_LT(same, 60) << code;  // product names and the like may stay as they are
  }
}

TEST_F(MessagesTest, QuotedTextsStandAsDesigned) {
  struct Row {
    int number;
    const char* english;
    const char* german;
    const char* spanish;
  };
  const Row rows[] = {
      {0, "Start Logging", "Logging starten", "Iniciar"},
      {33, "&Cancel", "&Abbruch", "&Cancelar"},
      {34, "&Apply", "&Speichern", "&Aplicar"},
      {61, "Edit Rules", "Regeln bearbeiten", "Edite reglas"},
      {600, "Add Rule", "Regel hinzuf\xC3\xBCgen", "Agregue Regla"},
      {639, "Insert the Rulename", "Geben Sie einen Regelnamen an.", "Inserte el nombre de regla."},
      {703, "Next >", "Weiter >", "Siguiente >"},
      {704, "Finish", "Fertig stellen", "Termine"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Messages::catalogueFor("EN").at(row.number), QString::fromUtf8(row.english));
    EXPECT_EQ(Messages::catalogueFor("DE").at(row.number), QString::fromUtf8(row.german));
    EXPECT_EQ(Messages::catalogueFor("ES").at(row.number), QString::fromUtf8(row.spanish));
  }
  const Messages::Catalogue& en = Messages::catalogueFor("EN");
  EXPECT_EQ(en.at(3), "Save Selection");
  EXPECT_EQ(en.at(52), "Save Selection");
  EXPECT_EQ(en.at(4), "Delete View");
  EXPECT_EQ(en.at(50), "Delete View");
  EXPECT_EQ(Messages::catalogueFor("DE").at(2), "Alles speichern");
  EXPECT_EQ(Messages::catalogueFor("DE").at(53), "Alles speichern");
  EXPECT_EQ(en.at(25), "&Realime Logging");
  EXPECT_EQ(en.at(228), "Are you sure? All existing Rules will be deleted (After finishing the Wizard)!");
  EXPECT_EQ(en.at(250), "Corvantel Client is Ready");
  EXPECT_EQ(en.at(213), "Error, Syslog port cannot be greater than 65535. \r\nSetting value back to 65535");
  EXPECT_EQ(en.at(205),
            "Started service installer.\r\nThe configuration program will shut down now.\r\n"
            "Please restart it to configure your service settings.");
  EXPECT_EQ(en.at(705).count("\r\n"), 2);
}

TEST_F(MessagesTest, LookUpFollowsTheLanguageAndMarksWhatIsMissing) {
  Messages::SetLanguage("DE");
  EXPECT_EQ(Messages::GetMessageText(33), "&Abbruch");
  for (const char* code : {"EN", "DE", "JP", "ES", "FR", ""}) {
    Messages::SetLanguage(code);
    EXPECT_EQ(Messages::GetMessageText(9999), "***MESSAGE_MISSING***9999") << code;
    EXPECT_EQ(Messages::GetMessageText(31), "***MESSAGE_MISSING***31") << code;
  }
  for (const char* code : {"FR", "", "de", "JA"}) {  // codes compare exactly
    Messages::SetLanguage(code);
    EXPECT_EQ(Messages::GetMessageText(33), "&Cancel") << code;
  }
}

TEST_F(MessagesTest, ParserReadsEscapesAndRejectsWhatItCannotRead) {
  QString error;
  const auto table = Messages::parseCatalogue(
      "# comment\r\n\r\n7\tone\\r\\ntwo\\tthree \\\\ four \r\n"
      "12\t\xE6\x97\xA5\xE6\x9C\xAC\n",
      &error);
  ASSERT_TRUE(table) << error.toStdString();
  EXPECT_EQ(table->at(7), "one\r\ntwo\tthree \\ four ");
  EXPECT_EQ(table->at(12), QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC"));

  for (const char* bad : {"7 no tab", "x\ttext", "-1\ttext", "7\tbad \\q escape", "7\tends in \\", "7\ta\n7\tb",
                          "\ttext"}) {
    EXPECT_FALSE(Messages::parseCatalogue(bad, &error)) << bad;
    EXPECT_TRUE(error.startsWith("line ")) << bad;
  }
}

TEST_F(MessagesTest, LanguageFontFollowsTheLanguageAndRendersItsScript) {
  Messages::SetLanguage("JP");
  Messages::SetLanguageFont();
  QFont& font = Messages::LanguageFont();
  EXPECT_EQ(font.family(), QString::fromUtf16(Messages::kJapaneseFace));
  EXPECT_EQ(Messages::LanguageFontCharset(), 128);
  EXPECT_EQ(font.pointSize(), 8);
  EXPECT_EQ(font.weight(), QFont::Normal);
  // The designed face is not on Linux: a substitute with Japanese glyphs is.
  const QFontMetrics japanese(font);
  for (char32_t c : {U'\u65E5', U'\u30B4', U'\u3042'})
    EXPECT_TRUE(japanese.inFontUcs4(c)) << "no glyph for U+" << std::hex << static_cast<unsigned>(c) << " in "
                                        << QFontInfo(font).family().toStdString();

  font.setItalic(true);
  font.setUnderline(true);
  font.setStrikeOut(true);
  font.setBold(true);
  Messages::SetLanguage("ES");
  Messages::SetLanguageFont();
  EXPECT_EQ(&Messages::LanguageFont(), &font);  // one font for the whole client
  EXPECT_EQ(font.family(), "MS Sans Serif");
  EXPECT_EQ(Messages::LanguageFontCharset(), 1);
  EXPECT_FALSE(font.italic() || font.underline() || font.strikeOut());
  EXPECT_EQ(font.weight(), QFont::Normal);
  EXPECT_TRUE(QFontMetrics(font).inFontUcs4(U'\u00F1'));  // ñ
}

}  // namespace
