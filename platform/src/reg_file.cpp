// .reg text: parsing and writing.
#include "platform/reg_file.h"

#include <cstdio>

#include "platform/text.h"

namespace platform::regfile {

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr std::size_t kHexLineWidth = 77;  // as Windows wraps long hex data

bool isSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view trim(std::u16string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// 1 to maxDigits hex digits and nothing else.
bool parseHex(std::u16string_view s, std::size_t maxDigits, std::uint32_t* out) {
  if (s.empty() || s.size() > maxDigits) return false;
  std::uint32_t v = 0;
  for (char16_t c : s) {
    const int d = hexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  *out = v;
  return true;
}

bool isLoneSurrogateAt(std::u16string_view s, std::size_t i) {
  const char16_t c = s[i];
  if (c >= 0xD800 && c <= 0xDBFF) return !(i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF);
  if (c >= 0xDC00 && c <= 0xDFFF) return !(i > 0 && s[i - 1] >= 0xD800 && s[i - 1] <= 0xDBFF);
  return false;
}

// Whether a name can stand in a .reg line and come back the same. Bytes that
// were not UTF-8 (U+DC80..U+DCFF) are written back as those bytes.
bool nameFitsText(std::u16string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c == 0 || c == u'\r' || c == u'\n') return false;
    if (isLoneSurrogateAt(name, i) && !(c >= 0xDC80 && c <= 0xDCFF)) return false;
  }
  return true;
}

std::u16string decodeText(std::string_view bytes, bool* ok) {
  *ok = true;
  if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
    if (bytes.size() % 2 != 0) *ok = false;
    return platform::fromUtf16leBytes(bytes.data(), bytes.size());
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return toWide(bytes);
}

class Parser {
 public:
  Parser(Document* doc, Error* error) : m_doc(doc), m_error(error) {}

  bool run(std::u16string_view text) {
    std::vector<std::u16string_view> lines;
    for (std::size_t start = 0; start <= text.size();) {
      std::size_t end = text.find(u'\n', start);
      if (end == std::u16string_view::npos) end = text.size();
      std::u16string_view line = text.substr(start, end - start);
      if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
      lines.push_back(line);
      start = end + 1;
    }
    std::size_t i = 0;
    while (i < lines.size() && trim(lines[i]).empty()) ++i;
    if (i == lines.size() || trim(lines[i]) != kHeader)
      return fail(static_cast<int>(i < lines.size() ? i + 1 : 1),
                  "not a .reg file: the first line must be \"Windows Registry Editor Version 5.00\"");
    for (++i; i < lines.size(); ++i) {
      m_line = static_cast<int>(i + 1);
      std::u16string_view line = trim(lines[i]);
      if (line.empty() || line.front() == u';') continue;
      if (line.front() == u'[') {
        if (!section(line)) return false;
        continue;
      }
      std::u16string joined(line);
      while (!joined.empty() && joined.back() == u'\\' && i + 1 < lines.size()) {
        joined.pop_back();
        joined += trim(lines[++i]);
      }
      if (!value(joined)) return false;
    }
    return true;
  }

 private:
  bool fail(int line, std::string message) {
    m_error->line = line;
    m_error->message = std::move(message);
    return false;
  }
  bool fail(std::string message) { return fail(m_line, std::move(message)); }

  bool section(std::u16string_view line) {
    if (line.size() < 2 || line.back() != u']') return fail("a key line must end with ']'");
    std::u16string_view inner = line.substr(1, line.size() - 2);
    const bool remove = !inner.empty() && inner.front() == u'-';
    if (remove) inner.remove_prefix(1);
    Entry e;
    std::string message;
    if (!parseKeyPath(inner, &e.root, &e.path, &message)) return fail(message);
    if (!nameFitsText(e.path)) return fail("the key name is not valid text");
    if (remove && e.path.empty()) return fail("a root key cannot be deleted");
    e.kind = remove ? Entry::Kind::kDeleteKey : Entry::Kind::kKey;
    e.line = m_line;
    m_doc->push_back(e);
    m_section = std::move(e);
    m_inSection = true;
    return true;
  }

  // "text" with \\ and \" escapes, from s[0] == '"'; *used is what it took.
  bool quoted(std::u16string_view s, std::u16string* out, std::size_t* used) {
    out->clear();
    for (std::size_t i = 1; i < s.size(); ++i) {
      if (s[i] == u'"') {
        *used = i + 1;
        return true;
      }
      if (s[i] == u'\\') {
        if (i + 1 == s.size() || (s[i + 1] != u'\\' && s[i + 1] != u'"'))
          return fail("unknown escape in quoted text (only \\\\ and \\\" are allowed)");
        ++i;
      }
      out->push_back(s[i]);
    }
    return fail("quoted text without its closing '\"'");
  }

  bool value(std::u16string_view line) {
    if (!m_inSection) return fail("a value before the first key line");
    if (m_section.kind == Entry::Kind::kDeleteKey) return fail("a value under a key that is being deleted");
    Entry e;
    e.root = m_section.root;
    e.path = m_section.path;
    e.line = m_line;
    std::size_t pos = 0;
    if (line.front() == u'@') {
      pos = 1;
    } else if (line.front() == u'"') {
      if (!quoted(line, &e.name, &pos)) return false;
      if (e.name.size() > kMaxValueNameLength) return fail("the value name is longer than 16383 characters");
      if (!nameFitsText(e.name)) return fail("the value name is not valid text");
    } else {
      return fail("expected a value line (\"name\"=... or @=...) or a key line ([...])");
    }
    std::u16string_view rest = trim(line.substr(pos));
    if (rest.empty() || rest.front() != u'=') return fail("expected '=' after the value name");
    rest = trim(rest.substr(1));
    if (!data(rest, &e)) return false;
    m_doc->push_back(std::move(e));
    return true;
  }

  bool data(std::u16string_view s, Entry* e) {
    if (s == u"-") {
      e->kind = Entry::Kind::kDeleteValue;
      return true;
    }
    e->kind = Entry::Kind::kValue;
    if (!s.empty() && s.front() == u'"') {
      std::u16string text;
      std::size_t used = 0;
      if (!quoted(s, &text, &used)) return false;
      if (!trim(s.substr(used)).empty()) return fail("unexpected text after the closing '\"'");
      text.push_back(u'\0');
      e->type = REG_SZ;
      e->data = platform::toUtf16leBytes(text);
      return true;
    }
    if (s.starts_with(u"dword:")) {
      std::uint32_t v = 0;
      if (!parseHex(s.substr(6), 8, &v)) return fail("dword: needs 1 to 8 hex digits");
      e->type = REG_DWORD;
      e->data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                 static_cast<BYTE>(v >> 24)};
      return true;
    }
    std::u16string_view bytes;
    if (s.starts_with(u"hex:")) {
      e->type = REG_BINARY;
      bytes = s.substr(4);
    } else if (s.starts_with(u"hex(")) {
      const auto close = s.find(u"):");
      std::uint32_t type = 0;
      if (close == std::u16string_view::npos || !parseHex(s.substr(4, close - 4), 8, &type))
        return fail("hex(N): needs a type number of 1 to 8 hex digits");
      e->type = type;
      bytes = s.substr(close + 2);
    } else {
      return fail("unrecognised value data (expected \"text\", dword:, hex:, hex(N): or -)");
    }
    return hexBytes(trim(bytes), &e->data);
  }

  bool hexBytes(std::u16string_view s, std::vector<BYTE>* out) {
    out->clear();
    while (!s.empty()) {
      const auto comma = s.find(u',');
      const std::u16string_view item = trim(s.substr(0, comma));
      std::uint32_t v = 0;
      if (!parseHex(item, 2, &v)) return fail("hex data must be bytes of two hex digits separated by commas");
      out->push_back(static_cast<BYTE>(v));
      if (comma == std::u16string_view::npos) break;
      s = trim(s.substr(comma + 1));  // a trailing comma ends the list
    }
    return true;
  }

  Document* m_doc;
  Error* m_error;
  int m_line = 0;
  Entry m_section;  // the key line the values below belong to
  bool m_inSection = false;
};

// ---- writing ----

void putName(std::string* out, std::u16string_view name) {
  std::u16string escaped;
  for (char16_t c : name) {
    if (c == u'\\' || c == u'"') escaped.push_back(u'\\');
    escaped.push_back(c);
  }
  *out += '"';
  *out += toAnsi(escaped);
  *out += '"';
}

// Text that can be written quoted and read back to the same bytes.
bool isPlainText(const std::vector<BYTE>& data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string s = platform::fromUtf16leBytes(data.data(), data.size());
  if (s.back() != 0) return false;
  s.pop_back();
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == 0 || s[i] == u'\r' || s[i] == u'\n' || isLoneSurrogateAt(s, i)) return false;
  *text = std::move(s);
  return true;
}

void putHex(std::string* out, std::size_t column, const std::vector<BYTE>& data) {
  char buf[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    const bool last = i + 1 == data.size();
    if (i > 0 && column + 3 > kHexLineWidth) {
      *out += "\\\n  ";
      column = 2;
    }
    std::snprintf(buf, sizeof buf, last ? "%02x" : "%02x,", data[i]);
    *out += buf;
    column += last ? 2 : 3;
  }
}

void putValue(std::string* out, const Entry& e) {
  const std::size_t lineStart = out->size();
  if (e.name.empty()) {
    *out += '@';
  } else {
    putName(out, e.name);
  }
  *out += '=';
  std::u16string text;
  char buf[32];
  if (e.kind == Entry::Kind::kDeleteValue) {
    *out += '-';
  } else if (e.type == REG_SZ && isPlainText(e.data, &text)) {
    putName(out, text);
  } else if (e.type == REG_DWORD && e.data.size() == 4) {
    const std::uint32_t v =
        e.data[0] | (e.data[1] << 8) | (e.data[2] << 16) | (std::uint32_t(e.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    *out += buf;
  } else {
    if (e.type == REG_BINARY) {
      *out += "hex:";
    } else {
      std::snprintf(buf, sizeof buf, "hex(%x):", e.type);
      *out += buf;
    }
    putHex(out, out->size() - lineStart, e.data);
  }
  *out += '\n';
}

}  // namespace

HKEY rootKey(Root root) { return root == Root::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

std::u16string_view rootName(Root root) {
  return root == Root::kLocalMachine ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
}

bool parseKeyPath(std::u16string_view text, Root* root, std::u16string* path, std::string* message) {
  const auto sep = text.find(u'\\');
  const std::u16string_view word = text.substr(0, sep);
  if (equalsAsciiNoCase(word, u"HKEY_LOCAL_MACHINE") || equalsAsciiNoCase(word, u"HKLM")) {
    *root = Root::kLocalMachine;
  } else if (equalsAsciiNoCase(word, u"HKEY_CURRENT_USER") || equalsAsciiNoCase(word, u"HKCU")) {
    *root = Root::kCurrentUser;
  } else {
    *message =
        "unknown root key '" + toAnsi(word) + "' (HKEY_LOCAL_MACHINE, HKLM, HKEY_CURRENT_USER or HKCU)";
    return false;
  }
  std::u16string_view rest = sep == std::u16string_view::npos ? std::u16string_view() : text.substr(sep + 1);
  if (!rest.empty() && rest.back() == u'\\') rest.remove_suffix(1);
  for (std::size_t start = 0; !rest.empty() && start <= rest.size();) {
    std::size_t end = rest.find(u'\\', start);
    if (end == std::u16string_view::npos) end = rest.size();
    if (end == start) {
      *message = "the key path has an empty name in it";
      return false;
    }
    if (end - start > kMaxKeyNameLength) {
      *message = "a key name in the path is longer than 255 characters";
      return false;
    }
    start = end + 1;
  }
  path->assign(rest);
  return true;
}

bool parse(std::string_view bytes, Document* doc, Error* error) {
  doc->clear();
  bool ok = true;
  const std::u16string text = decodeText(bytes, &ok);
  if (!ok) {
    error->line = 0;
    error->message = "the UTF-16 text has an odd number of bytes";
    return false;
  }
  return Parser(doc, error).run(text);
}

bool format(const Document& doc, std::string* out, Error* error) {
  out->assign("Windows Registry Editor Version 5.00\n");
  // The key line the next value belongs under, if one is open.
  bool inKey = false;
  Root keyRoot = Root::kLocalMachine;
  std::u16string_view keyPath;
  for (const Entry& e : doc) {
    const bool isKeyLine = e.kind == Entry::Kind::kKey || e.kind == Entry::Kind::kDeleteKey;
    if (isKeyLine || !inKey || keyRoot != e.root || keyPath != e.path) {
      if (!nameFitsText(e.path)) {
        *error = {e.line, "the key name '" + toAnsi(e.path) + "' cannot be written as .reg text"};
        return false;
      }
      if (e.kind == Entry::Kind::kDeleteKey && e.path.empty()) {
        *error = {e.line, "a root key cannot be deleted"};
        return false;
      }
      *out += e.kind == Entry::Kind::kDeleteKey ? "\n[-" : "\n[";
      *out += toAnsi(rootName(e.root));
      if (!e.path.empty()) *out += '\\' + toAnsi(e.path);
      *out += "]\n";
      inKey = e.kind != Entry::Kind::kDeleteKey;
      keyRoot = e.root;
      keyPath = e.path;
    }
    if (isKeyLine) continue;
    if (e.name.size() > kMaxValueNameLength || !nameFitsText(e.name)) {
      *error = {e.line, "the value name '" + toAnsi(e.name) + "' cannot be written as .reg text"};
      return false;
    }
    putValue(out, e);
  }
  *out += '\n';
  return true;
}

}  // namespace platform::regfile
