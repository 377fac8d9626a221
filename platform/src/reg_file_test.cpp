#include "platform/reg_file.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "platform/text.h"
#include "temp_root.h"

namespace {

using platform::regfile::Document;
using platform::regfile::Entry;
using platform::regfile::Error;
using platform::regfile::Root;
using Kind = Entry::Kind;
using Bytes = std::vector<BYTE>;
using namespace std::literals;

Bytes wideBytes(std::u16string_view s) { return platform::toUtf16leBytes(s); }

Entry value(std::u16string path, std::u16string name, DWORD type, Bytes data,
            Root root = Root::kLocalMachine) {
  Entry e;
  e.kind = Kind::kValue;
  e.root = root;
  e.path = std::move(path);
  e.name = std::move(name);
  e.type = type;
  e.data = std::move(data);
  return e;
}

Entry key(std::u16string path, Kind kind = Kind::kKey, Root root = Root::kLocalMachine) {
  Entry e;
  e.kind = kind;
  e.root = root;
  e.path = std::move(path);
  return e;
}

Document parseOk(std::string_view text) {
  Document doc;
  Error error;
  EXPECT_TRUE(platform::regfile::parse(text, &doc, &error)) << "line " << error.line << ": " << error.message;
  return doc;
}

std::string formatOk(const Document& doc) {
  std::string text;
  Error error;
  EXPECT_TRUE(platform::regfile::format(doc, &text, &error)) << error.message;
  return text;
}

// ---- parsing ----

TEST(RegFileParseTest, ReadsEveryForm) {
  const Document doc = parseOk(
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; a comment\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Corv]\n"
      "@=\"default\"\n"
      "\"Path\"=\"C:\\\\Temp \\\"x\\\"\"\n"
      "\"n\" = dword:0000002a\n"
      "\"bin\"=hex:00,ff,\\\n"
      "  10\n"
      "\"multi\"=hex(7):61,00,00,00,00,00\n"
      "\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
      "\"gone\"=-\n"
      "[-hkcu\\Software\\Old]\n"
      "[HKCU]\n");
  const Document expected = {
      key(u"Software\\Corv"),
      value(u"Software\\Corv", u"", REG_SZ, wideBytes(std::u16string(u"default") + u'\0')),
      value(u"Software\\Corv", u"Path", REG_SZ, wideBytes(std::u16string(u"C:\\Temp \"x\"") + u'\0')),
      value(u"Software\\Corv", u"n", REG_DWORD, {0x2a, 0, 0, 0}),
      value(u"Software\\Corv", u"bin", REG_BINARY, {0x00, 0xff, 0x10}),
      value(u"Software\\Corv", u"multi", REG_MULTI_SZ, {0x61, 0, 0, 0, 0, 0}),
      value(u"Software\\Corv", u"q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}),
      [] {
        Entry e = value(u"Software\\Corv", u"gone", REG_NONE, {});
        e.kind = Kind::kDeleteValue;
        return e;
      }(),
      key(u"Software\\Old", Kind::kDeleteKey, Root::kCurrentUser),
      key(u"", Kind::kKey, Root::kCurrentUser),
  };
  EXPECT_EQ(doc, expected);
  EXPECT_EQ(doc[4].line, 8);  // a continued value counts from its first line
}

TEST(RegFileParseTest, Utf16WithBomAndCrLfReadsLikeUtf8) {
  const std::u16string text =
      u"\uFEFFWindows Registry Editor Version "
      u"5.00\r\n\r\n[HKEY_CURRENT_USER\\X\u00e9]\r\n\"k\"=\"v\u65e5\"\r\n";
  std::string bytes;
  for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  const std::string utf8 = "\xEF\xBB\xBF" + platform::toAnsi(text.substr(1));
  EXPECT_EQ(parseOk(bytes), parseOk(utf8));
  EXPECT_EQ(parseOk(utf8)[1], value(u"X\u00e9", u"k", REG_SZ, wideBytes(std::u16string(u"v\u65e5") + u'\0'),
                                    Root::kCurrentUser));
}

struct Malformed {
  std::string_view text;
  int line;
};

class RegFileMalformedTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(RegFileMalformedTest, IsRefusedWithItsLine) {
  Document doc;
  Error error;
  EXPECT_FALSE(platform::regfile::parse(GetParam().text, &doc, &error));
  EXPECT_EQ(error.line, GetParam().line) << error.message;
  EXPECT_FALSE(error.message.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegFileMalformedTest,
    ::testing::Values(
        Malformed{"", 1}, Malformed{"REGEDIT4\n[HKLM\\A]\n", 1},
        Malformed{"\n\nWindows Registry Editor Version 5.0\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n", 2},
        Malformed{"Windows Registry Editor Version 5.00\n[HKEY_USERS\\A]\n", 2},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A\n", 2},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A\\\\B]\n", 2},
        Malformed{"Windows Registry Editor Version 5.00\n[-HKLM]\n", 2},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=\"b\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=\"b\\n\"\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=\"b\" x\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=dword:123456789\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=dword:\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\n\"a\"=hex:1,,2\n", 4},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=hex:123\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=hex(z):00\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=hex:00,\\\n  zz\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=str\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\nname=\"x\"\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[-HKLM\\A]\n\"a\"=\"x\"\n", 3},
        Malformed{"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\0b\"=\"x\"\n"sv, 3}));

// ---- writing ----

TEST(RegFileFormatTest, WritesTheWindowsShapes) {
  const std::string text = formatOk({
      key(u"Software\\Corv"),
      value(u"Software\\Corv", u"", REG_SZ, wideBytes(std::u16string(u"d") + u'\0')),
      value(u"Software\\Corv", u"a\"b\\c", REG_SZ, wideBytes(std::u16string(u"x\\y\"") + u'\0')),
      value(u"Software\\Corv", u"n", REG_DWORD, {0x2a, 0, 0, 0}),
      value(u"Software\\Corv", u"short", REG_DWORD, {0x2a}),
      value(u"Software\\Corv", u"exp", REG_EXPAND_SZ, wideBytes(std::u16string(u"%A%") + u'\0')),
      value(u"Software\\Corv", u"noZero", REG_SZ, wideBytes(u"ab")),
      value(u"Other", u"q", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, Root::kCurrentUser),
      key(u"Other", Kind::kDeleteKey),
  });
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Corv]\n"
            "@=\"d\"\n"
            "\"a\\\"b\\\\c\"=\"x\\\\y\\\"\"\n"
            "\"n\"=dword:0000002a\n"
            "\"short\"=hex(4):2a\n"
            "\"exp\"=hex(2):25,00,41,00,25,00,00,00\n"
            "\"noZero\"=hex(1):61,00,62,00\n"
            "\n"
            "[HKEY_CURRENT_USER\\Other]\n"
            "\"q\"=hex(b):01,02,03,04,05,06,07,08\n"
            "\n"
            "[-HKEY_LOCAL_MACHINE\\Other]\n"
            "\n");
}

TEST(RegFileFormatTest, LongHexIsWrappedAndReadBack) {
  const Document doc = {key(u"K"), value(u"K", u"big", REG_BINARY, Bytes(300, 0xAB))};
  const std::string text = formatOk(doc);
  std::istringstream lines(text);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_LE(line.size(), 80u) << line;
  EXPECT_GT(count, 12);
  EXPECT_EQ(parseOk(text), doc);
}

TEST(RegFileFormatTest, RefusesNamesTheFormatCannotCarry) {
  std::string text;
  Error error;
  EXPECT_FALSE(platform::regfile::format({key(u"A\nB")}, &text, &error));
  EXPECT_FALSE(platform::regfile::format({value(u"A", u"x\ry", REG_BINARY, {})}, &text, &error));
  EXPECT_FALSE(
      platform::regfile::format({value(u"A", std::u16string(u"x\0y", 3), REG_BINARY, {})}, &text, &error));
}

// Any document of writable names comes back from its text unchanged.
TEST(RegFileFormatTest, RandomDocumentsSurviveFormatAndParse) {
  std::mt19937 rng(42);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const std::u16string alphabet = u"aZ \"\\]@[=;-\u00e9\u65e5\xDC80";
  auto name = [&](bool allowEmpty) {
    std::u16string s;
    for (int n = pick(6) + (allowEmpty ? 0 : 1); n > 0; --n) {
      s += alphabet[static_cast<std::size_t>(pick(static_cast<int>(alphabet.size())))];
      if (s.back() == u'\\') s.back() = u'/';  // a separator in key paths
    }
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    Document doc;
    for (int n = pick(8); n > 0; --n) {
      const Root root = pick(2) ? Root::kLocalMachine : Root::kCurrentUser;
      std::u16string path = pick(4) == 0 ? u"" : name(false) + (pick(2) ? u"\\" + name(false) : u"");
      if (path.empty() || pick(3) == 0) {
        doc.push_back(key(path, path.empty() || pick(2) ? Kind::kKey : Kind::kDeleteKey, root));
        continue;
      }
      Bytes data(static_cast<std::size_t>(pick(90)));
      for (auto& b : data) b = static_cast<BYTE>(rng());
      const DWORD types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                             REG_DWORD, REG_MULTI_SZ, 0xFFFFFFFF};
      Entry e = value(path, name(true), types[pick(7)], data, root);
      if (e.type == REG_SZ && pick(2)) e.data = wideBytes(name(true) + u'\0');
      if (e.type == REG_DWORD && pick(2)) e.data.resize(4);
      if (pick(8) == 0) e = value(path, name(true), REG_NONE, {}, root), e.kind = Kind::kDeleteValue;
      doc.push_back(e);
    }
    const std::string text = formatOk(doc);
    // Writing adds the key line a value needs after another key's lines; drop
    // those key lines that the document does not have at that place.
    Document back;
    std::size_t next = 0;
    for (Entry& e : parseOk(text)) {
      if (next < doc.size() && e == doc[next]) {
        ++next;
        back.push_back(std::move(e));
      } else {
        ASSERT_EQ(e.kind, Kind::kKey) << text;
      }
    }
    ASSERT_EQ(back, doc) << text;
  }
}

// ---- with the registry ----

class RegFileRegistryTest : public ::testing::Test {
 protected:
  static std::string exportOk(Root root, std::u16string_view path) {
    std::string text;
    Error error;
    EXPECT_EQ(platform::regfile::exportKey(root, path, &text, &error), ERROR_SUCCESS) << error.message;
    return text;
  }
  static void importOk(std::string_view text) {
    Document doc;
    Error error;
    ASSERT_TRUE(platform::regfile::parse(text, &doc, &error)) << error.line << ": " << error.message;
    ASSERT_EQ(platform::regfile::apply(doc, &error), ERROR_SUCCESS) << error.line << ": " << error.message;
  }
  platform::testing::TempPlatformRoot m_root;
};

TEST_F(RegFileRegistryTest, ExportDeleteImportGivesTheSameTree) {
  HKEY top = nullptr, nested = nullptr, odd = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\Corv Test", &top), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyW(top, u"Level1\\Level2\\Empty", &nested), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyA(top, "Odd ]name[ = ; \"q\" \xE6\x97\xA5 \xFF", &odd), ERROR_SUCCESS);
  auto setW = [](HKEY k, const char16_t* n, DWORD t, const Bytes& d) {
    ASSERT_EQ(RegSetValueExW(k, n, 0, t, d.data(), static_cast<DWORD>(d.size())), ERROR_SUCCESS);
  };
  setW(top, u"", REG_SZ, wideBytes(std::u16string(u"default") + u'\0'));
  setW(top, u"sz", REG_SZ, wideBytes(std::u16string(u"C:\\Temp \"quoted\" \u00e9") + u'\0'));
  setW(top, u"sz empty", REG_SZ, wideBytes(std::u16string(1, u'\0')));
  setW(top, u"sz lines", REG_SZ, wideBytes(std::u16string(u"a\r\nb") + u'\0'));
  setW(top, u"expand", REG_EXPAND_SZ, wideBytes(std::u16string(u"%SystemRoot%\\x") + u'\0'));
  setW(top, u"binary", REG_BINARY, Bytes(200, 0x5A));
  setW(top, u"dword", REG_DWORD, {0xEF, 0xBE, 0xAD, 0xDE});
  setW(top, u"multi", REG_MULTI_SZ, wideBytes(std::u16string(u"one\0two\0\0", 9)));
  setW(top, u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
  setW(top, u"none", REG_NONE, {});
  setW(top, u"@", REG_DWORD, {1, 0, 0, 0});  // a value named "@" is not the default value
  setW(nested, u"name \\ with \"quotes\"", REG_BINARY, {});
  std::string bytes;
  for (int b = 1; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  ASSERT_EQ(RegSetValueExA(odd, "raw \xFE", 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()), 255),
            ERROR_SUCCESS);

  const std::string before = exportOk(Root::kLocalMachine, u"software\\CORV TEST");
  Document beforeDoc;
  ASSERT_EQ(platform::regfile::read(Root::kLocalMachine, u"Software\\Corv Test", &beforeDoc), ERROR_SUCCESS);
  EXPECT_EQ(beforeDoc.size(), 18u);  // 5 keys, 13 values
  for (HKEY k : {top, nested, odd}) RegCloseKey(k);
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Corv Test"), ERROR_SUCCESS);

  importOk(before);
  EXPECT_EQ(exportOk(Root::kLocalMachine, u"Software\\Corv Test"), before);
  EXPECT_NE(before.find("[HKEY_LOCAL_MACHINE\\Software\\Corv Test]\n"), std::string::npos);  // stored case
  Document afterDoc;
  ASSERT_EQ(platform::regfile::read(Root::kLocalMachine, u"Software\\Corv Test", &afterDoc), ERROR_SUCCESS);
  EXPECT_EQ(afterDoc, beforeDoc);
}

TEST_F(RegFileRegistryTest, DeletionLinesDeleteAndMissingTargetsAreFine) {
  importOk(
      "Windows Registry Editor Version 5.00\n"
      "[HKLM\\Software\\A\\B]\n\"keep\"=dword:1\n\"drop\"=dword:2\n"
      "[HKCU\\Software\\U]\n@=\"user\"\n");
  importOk(
      "Windows Registry Editor Version 5.00\n"
      "[HKLM\\Software\\A\\B]\n\"drop\"=-\n\"never\"=-\n"
      "[-HKLM\\Software\\Nothing]\n"
      "[-HKCU\\Software\\U]\n");
  DWORD size = 0;
  HKEY b = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\A\\B", 0, KEY_READ, &b), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(b, u"keep", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(b, u"drop", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(b);
  HKEY u = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\U", 0, KEY_READ, &u), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegFileRegistryTest, AFailureHalfwayChangesNothing) {
  importOk("Windows Registry Editor Version 5.00\n[HKLM\\Software\\Keep]\n\"v\"=dword:1\n");
  Document doc = parseOk(
      "Windows Registry Editor Version 5.00\n"
      "[-HKLM\\Software\\Keep]\n"
      "[HKLM\\Software\\New]\n\"v\"=dword:2\n"
      "[HKCU\\Software\\New]\n\"v\"=dword:2\n");
  doc.push_back(value(u"Software\\New", std::u16string(u"bad\0name", 8), REG_DWORD, {1, 0, 0, 0}));
  doc.back().line = 99;
  Error error;
  EXPECT_EQ(platform::regfile::apply(doc, &error), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(error.line, 99);
  std::string text;
  EXPECT_EQ(platform::regfile::exportKey(Root::kLocalMachine, u"Software\\New", &text, &error),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform::regfile::exportKey(Root::kCurrentUser, u"Software\\New", &text, &error),
            ERROR_FILE_NOT_FOUND);
  EXPECT_NE(exportOk(Root::kLocalMachine, u"Software\\Keep").find("\"v\"=dword:00000001"), std::string::npos);
}

TEST(RegFileKeyPathTest, RootWordsAndPaths) {
  Root root;
  std::u16string path;
  std::string message;
  ASSERT_TRUE(platform::regfile::parseKeyPath(u"hkey_current_user\\A\\B\\", &root, &path, &message));
  EXPECT_EQ(root, Root::kCurrentUser);
  EXPECT_EQ(path, u"A\\B");
  ASSERT_TRUE(platform::regfile::parseKeyPath(u"HKLM", &root, &path, &message));
  EXPECT_EQ(root, Root::kLocalMachine);
  EXPECT_EQ(path, u"");
  for (const char16_t* bad : {u"HKU\\A", u"HKLM\\\\A", u"HKLM\\A\\\\", u"HKLMX\\A", u""})
    EXPECT_FALSE(platform::regfile::parseKeyPath(bad, &root, &path, &message)) << platform::toAnsi(bad);
}

}  // namespace
