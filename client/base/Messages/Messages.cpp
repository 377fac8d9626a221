#include "Messages/Messages.h"

#include <QFile>
#include <QStringList>

namespace Messages {

namespace {

QString g_language = kEnglish;

struct Tables {
  Catalogue english, german, japanese, spanish;
};

Catalogue loadResource(const char* name) {
  QFile file(QStringLiteral(":/catalogue/%1").arg(QLatin1String(name)));
  if (!file.open(QIODevice::ReadOnly)) qFatal("message catalogue %s is not compiled in", name);
  QString error;
  std::optional<Catalogue> table = parseCatalogue(file.readAll(), &error);
  // The catalogue is part of the program; the tests read every file, so a
  // broken one never ships.
  if (!table) qFatal("message catalogue %s: %s", name, qPrintable(error));
  return std::move(*table);
}

const Tables& tables() {
  static const Tables loaded{loadResource("en.txt"), loadResource("de.txt"), loadResource("ja.txt"),
                             loadResource("es.txt")};
  return loaded;
}

QString unescape(QStringView text, bool* ok) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != u'\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      *ok = false;
      return {};
    }
    switch (text[i].unicode()) {
      case u'r': out += u'\r'; break;
      case u'n': out += u'\n'; break;
      case u't': out += u'\t'; break;
      case u'\\': out += u'\\'; break;
      default: *ok = false; return {};
    }
  }
  *ok = true;
  return out;
}

void installFontSubstitutions() {
  // Faces a Debian desktop has: the setup installs DejaVu and a CJK family.
  QFont::insertSubstitutions(QLatin1String(kWesternFace),
                             {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                              QStringLiteral("Noto Sans"), QStringLiteral("IPAPGothic")});
  QFont::insertSubstitutions(QString::fromUtf16(kJapaneseFace),
                             {QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP"),
                              QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans JP"),
                              QStringLiteral("DejaVu Sans")});
}

int g_charset = 1;

}  // namespace

void SetLanguage(const QString& code) { g_language = code; }

QString Language() { return g_language; }

const Catalogue& catalogueFor(const QString& code) {
  const Tables& all = tables();
  if (code == QLatin1String(kGerman)) return all.german;
  if (code == QLatin1String(kJapanese)) return all.japanese;
  if (code == QLatin1String(kSpanish)) return all.spanish;
  return all.english;
}

QString GetMessageText(int number) {
  const Catalogue& table = catalogueFor(g_language);
  const auto found = table.find(number);
  if (found == table.end()) return QStringLiteral("***MESSAGE_MISSING***") + QString::number(number);
  return found->second;
}

std::optional<Catalogue> parseCatalogue(const QByteArray& data, QString* error) {
  Catalogue table;
  const QStringList lines = QString::fromUtf8(data).split(u'\n');
  for (qsizetype index = 0; index < lines.size(); ++index) {
    QStringView line = lines[index];
    if (line.endsWith(u'\r')) line.chop(1);  // a file saved with CR LF
    if (line.isEmpty() || line.startsWith(u'#')) continue;
    const auto fail = [&](const char* what) -> std::optional<Catalogue> {
      if (error != nullptr) *error = QStringLiteral("line %1: %2").arg(index + 1).arg(QLatin1String(what));
      return std::nullopt;
    };
    const qsizetype tab = line.indexOf(u'\t');
    if (tab <= 0) return fail("expected NUMBER<TAB>TEXT");
    bool isNumber = false;
    const int number = line.first(tab).toInt(&isNumber);
    if (!isNumber || number < 0) return fail("the number is not a non-negative integer");
    bool ok = false;
    QString text = unescape(line.sliced(tab + 1), &ok);
    if (!ok) return fail("unknown escape (only \\r \\n \\t \\\\)");
    if (!table.emplace(number, std::move(text)).second) return fail("the number comes twice");
  }
  return table;
}

QFont& LanguageFont() {
  static QFont* font = [] {
    installFontSubstitutions();
    auto* created = new QFont(QLatin1String(kWesternFace));  // lives as long as the program
    return created;
  }();
  return *font;
}

void SetLanguageFont() {
  QFont& font = LanguageFont();
  if (g_language == QLatin1String(kJapanese)) {
    font.setFamily(QString::fromUtf16(kJapaneseFace));
    g_charset = 128;
  } else {
    font.setFamily(QLatin1String(kWesternFace));
    g_charset = 1;
  }
  font.setPointSize(8);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  font.setUnderline(false);
  font.setStrikeOut(false);
}

int LanguageFontCharset() { return g_charset; }

}  // namespace Messages
