#include "rc_source.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace corvrc {

namespace {

// A cursor over the source text that knows its line for error messages.
class Lexer {
 public:
  explicit Lexer(const std::string& text) : m_text(text) {}

  // Skips blanks, line ends and comments ("#" or "//" to the end of the line).
  void skipSpace() {
    while (m_pos < m_text.size()) {
      const char c = m_text[m_pos];
      if (c == '\n') {
        ++m_line;
        ++m_pos;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++m_pos;
      } else if (c == '#' || (c == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '/')) {
        while (m_pos < m_text.size() && m_text[m_pos] != '\n') ++m_pos;
      } else {
        break;
      }
    }
  }
  bool atEnd() {
    skipSpace();
    return m_pos >= m_text.size();
  }
  char peek() {
    skipSpace();
    return m_pos < m_text.size() ? m_text[m_pos] : '\0';
  }
  int line() const { return m_line; }
  // The line an error belongs to, when that is not the line the cursor is on.
  void blameLine(int line) { m_blamedLine = line; }
  int errorLine() const { return m_blamedLine != 0 ? m_blamedLine : m_line; }

  // A word of letters, digits and underscores, or a number.
  std::string word() {
    skipSpace();
    const std::size_t start = m_pos;
    while (m_pos < m_text.size() &&
           (std::isalnum(static_cast<unsigned char>(m_text[m_pos])) || m_text[m_pos] == '_'))
      ++m_pos;
    return m_text.substr(start, m_pos - start);
  }
  bool consume(char c) {
    if (peek() != c) return false;
    ++m_pos;
    return true;
  }

  // A quoted string with C escapes: \r \n \t \\ \" \xHH. Returns false with
  // error set when it is malformed.
  bool quoted(std::string& out, std::string& error) {
    if (!consume('"')) {
      error = "expected a quoted string";
      return false;
    }
    while (true) {
      if (m_pos >= m_text.size() || m_text[m_pos] == '\n') {
        error = "unterminated string";
        return false;
      }
      const char c = m_text[m_pos++];
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (m_pos >= m_text.size()) {
        error = "unterminated string";
        return false;
      }
      const char e = m_text[m_pos++];
      switch (e) {
        case 'r':
          out.push_back('\r');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '"':
          out.push_back('"');
          break;
        case 'x': {
          int value = 0, digits = 0;
          while (digits < 2 && m_pos < m_text.size() &&
                 std::isxdigit(static_cast<unsigned char>(m_text[m_pos]))) {
            value = value * 16 + std::stoi(std::string(1, m_text[m_pos++]), nullptr, 16);
            ++digits;
          }
          if (digits == 0 || value == 0) {
            error = "\\x needs one or two hex digits and cannot be zero";
            return false;
          }
          out.push_back(char(value));
          break;
        }
        default:
          error = std::string("unknown escape \\") + e;
          return false;
      }
    }
  }

 private:
  const std::string& m_text;
  std::size_t m_pos = 0;
  int m_line = 1;
  int m_blamedLine = 0;
};

bool parseNumber(const std::string& word, unsigned long max, unsigned long& out) {
  if (word.empty() || word.size() > 10) return false;
  for (char c : word)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  out = std::stoul(word);
  return out <= max;
}

// One or more adjacent quoted strings, joined.
bool strings(Lexer& lex, std::string& out, std::string& error) {
  if (!lex.quoted(out, error)) return false;
  while (lex.peek() == '"')
    if (!lex.quoted(out, error)) return false;
  return true;
}

bool versionNumbers(Lexer& lex, WORD (&out)[4], std::string& error) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && !lex.consume(',')) {
      error = "a version is four numbers separated by commas";
      return false;
    }
    unsigned long n;
    if (!parseNumber(lex.word(), 0xFFFF, n)) {
      error = "a version part is a number from 0 to 65535";
      return false;
    }
    out[i] = WORD(n);
  }
  return true;
}

bool messageTable(Lexer& lex, RcSource& src, std::string& error) {
  if (lex.word() != "BEGIN") {
    error = "expected BEGIN after MESSAGETABLE";
    return false;
  }
  while (true) {
    if (lex.atEnd()) {
      error = "missing END of MESSAGETABLE";
      return false;
    }
    const std::string w = lex.word();
    if (w == "END") return true;
    const int idLine = lex.line();
    unsigned long id;
    if (!parseNumber(w, 0xFFFFFFFFul, id)) {
      error = w.empty() ? "expected a message id" : "bad message id '" + w + "'";
      return false;
    }
    std::string text;
    if (!strings(lex, text, error)) return false;
    if (!src.messages.emplace(DWORD(id), std::move(text)).second) {
      lex.blameLine(idLine);
      error = "message " + w + " is defined twice";
      return false;
    }
  }
}

bool versionInfo(Lexer& lex, RcSource& src, std::string& error) {
  if (src.version) {
    error = "only one VERSIONINFO is allowed";
    return false;
  }
  platform::VersionInfoSource v;
  v.language = src.language;
  if (lex.word() != "BEGIN") {
    error = "expected BEGIN after VERSIONINFO";
    return false;
  }
  while (true) {
    if (lex.atEnd()) {
      error = "missing END of VERSIONINFO";
      return false;
    }
    const std::string w = lex.word();
    if (w == "END") break;
    if (w == "FILEVERSION") {
      if (!versionNumbers(lex, v.fileVersion, error)) return false;
    } else if (w == "PRODUCTVERSION") {
      if (!versionNumbers(lex, v.productVersion, error)) return false;
    } else if (w == "VALUE") {
      std::string key, value;
      if (!lex.quoted(key, error) || !strings(lex, value, error)) return false;
      if (key.empty()) {
        error = "a VALUE needs a name";
        return false;
      }
      v.strings.emplace_back(std::move(key), std::move(value));
    } else {
      error = "expected FILEVERSION, PRODUCTVERSION, VALUE or END, found '" + w + "'";
      return false;
    }
  }
  src.version = std::move(v);
  return true;
}

}  // namespace

std::optional<RcSource> parseRcSource(const std::string& text, std::string& error) {
  RcSource src;
  Lexer lex(text);
  bool seenTable = false;
  while (!lex.atEnd()) {
    const std::string w = lex.word();
    bool ok = true;
    if (w == "LANGUAGE") {
      unsigned long language;
      ok = parseNumber(lex.word(), 0xFFFF, language);
      if (!ok) error = "LANGUAGE takes a number (1033 for English, United States)";
      src.language = WORD(language);
    } else if (w == "MESSAGETABLE") {
      ok = !seenTable;
      if (!ok) error = "only one MESSAGETABLE is allowed";
      seenTable = true;
      ok = ok && messageTable(lex, src, error);
    } else if (w == "VERSIONINFO") {
      ok = versionInfo(lex, src, error);
    } else {
      ok = false;
      error = w.empty() ? std::string("unexpected character '") + lex.peek() + "'"
                        : "expected LANGUAGE, MESSAGETABLE or VERSIONINFO, found '" + w + "'";
    }
    if (!ok) {
      error = std::to_string(lex.errorLine()) + ": " + error;
      return std::nullopt;
    }
  }
  return src;
}

std::optional<std::vector<BYTE>> compileRcSource(const RcSource& source, std::string& error) {
  std::vector<platform::ResourceEntry> entries;
  if (!source.messages.empty()) {
    auto table = platform::buildMessageTable(source.messages);
    if (!table) {
      error = "a message text is longer than a message table entry can hold";
      return std::nullopt;
    }
    entries.push_back({11, 1, source.language, std::move(*table)});
  }
  if (source.version)
    entries.push_back({16, 1, source.language, platform::buildVersionInfo(*source.version)});
  return platform::encodeResourceContainer(entries);
}

std::string generateCpp(const std::vector<BYTE>& container, const std::string& sourceName) {
  std::ostringstream out;
  out << "// Generated by corvrc from " << sourceName << ". Do not edit.\n"
      << "// The program's resources, found at run time in its \"" << platform::kResourceSectionName
      << "\" section.\n\n"
      << "namespace {\n"
      << "alignas(8) __attribute__((section(\"" << platform::kResourceSectionName
      << "\"), used)) const unsigned char kResources[" << container.size() << "] = {";
  for (std::size_t i = 0; i < container.size(); ++i) {
    if (i % 16 == 0) out << "\n   ";
    char hex[8];
    std::snprintf(hex, sizeof hex, " 0x%02x,", unsigned(container[i]));
    out << hex;
  }
  out << "\n};\n}  // namespace\n";
  return out.str();
}

}  // namespace corvrc
