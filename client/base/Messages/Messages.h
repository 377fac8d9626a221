// Messages: the message catalogue, and the one font every window uses.
//
// Every text of the client that is not fixed is looked up here by number in
// the table of the current language. The tables are data: one file per
// language in catalogue/, compiled into the program as Qt resources (see
// catalogue/README.md for the format).
#pragma once

#include <QFont>
#include <QString>
#include <map>
#include <optional>

namespace Messages {

using Catalogue = std::map<int, QString>;

// The language codes of the four tables. Any other code, the empty one
// included, gets the English table.
inline constexpr char kEnglish[] = "EN";
inline constexpr char kGerman[] = "DE";
inline constexpr char kJapanese[] = "JP";
inline constexpr char kSpanish[] = "ES";

// The code the look-ups use; set from the client's settings at start-up and
// by the options window.
void SetLanguage(const QString& code);
QString Language();

// The text of `number` in the current language. A number the table does not
// hold gives "***MESSAGE_MISSING***" followed by the number.
QString GetMessageText(int number);

// The whole table of a language code (English for an unknown code).
const Catalogue& catalogueFor(const QString& code);

// Parses one catalogue file: lines "NUMBER<TAB>TEXT" with the escapes \r \n
// \t \\ in TEXT; empty lines and lines starting with '#' are skipped. Returns
// nothing, with `error` naming the line, when a line is malformed or a number
// comes twice.
std::optional<Catalogue> parseCatalogue(const QByteArray& data, QString* error = nullptr);

// The font shared by all windows, created on first use. SetLanguageFont
// gives it the face and character set of the current language, 8 points,
// normal weight, no italic, underline or strikethrough.
QFont& LanguageFont();
void SetLanguageFont();
// The Windows character set the current language font stands for: 1 (the
// default set) or 128 (Shift-JIS, Japanese). Qt picks glyphs by face.
int LanguageFontCharset();

// The designed face names. Neither exists on Linux: Qt's font substitution
// maps them to installed faces (a CJK face for the Japanese one).
inline constexpr char kWesternFace[] = "MS Sans Serif";
inline constexpr char16_t kJapaneseFace[] = u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF";  // ＭＳ Ｐゴシック

}  // namespace Messages
