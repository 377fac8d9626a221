#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "temp_root.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes wideBytes(std::u16string_view s) { return platform::toUtf16leBytes(s); }

Bytes ansiBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

class RegistryTest : public ::testing::Test {
 protected:
  HKEY create(const char16_t* path, HKEY root = HKEY_LOCAL_MACHINE) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    m_open.push_back(key);
    return key;
  }
  HKEY open(const char16_t* path, REGSAM sam = KEY_READ, HKEY root = HKEY_LOCAL_MACHINE) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(root, path, 0, sam, &key), ERROR_SUCCESS);
    m_open.push_back(key);
    return key;
  }
  static LONG setW(HKEY key, const char16_t* name, DWORD type, const Bytes& data) {
    return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
  }
  static LONG queryW(HKEY key, const char16_t* name, DWORD* type, Bytes* data) {
    DWORD size = 0;
    if (LONG e = RegQueryValueExW(key, name, nullptr, type, nullptr, &size)) return e;
    data->assign(size, 0);
    return RegQueryValueExW(key, name, nullptr, type, data->data(), &size);
  }
  static LONG queryA(HKEY key, const char* name, DWORD* type, Bytes* data) {
    DWORD size = 0;
    if (LONG e = RegQueryValueExA(key, name, nullptr, type, nullptr, &size)) return e;
    data->assign(size, 0);
    return RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
  }
  static bool keyExists(const char16_t* path, HKEY root = HKEY_LOCAL_MACHINE) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  void TearDown() override {
    for (HKEY k : m_open) RegCloseKey(k);
  }

  platform::testing::TempPlatformRoot m_root;
  std::vector<HKEY> m_open;
};

// ---- values ----

struct TypedValue {
  DWORD type;
  Bytes data;
};

TEST_F(RegistryTest, EveryValueTypeRoundTripsThroughTheWideCalls) {
  HKEY key = create(u"Software\\Types");
  const std::vector<TypedValue> values = {
      {REG_NONE, {}},
      {REG_SZ, wideBytes(std::u16string(u"text \u00e9\u65e5") + u'\0')},
      {REG_SZ, wideBytes(u"no terminator")},
      {REG_EXPAND_SZ, wideBytes(std::u16string(u"%PATH%;x") + u'\0')},
      {REG_BINARY, {0x00, 0xFF, 0x10, 0x00}},
      {REG_DWORD, {0x2A, 0, 0, 0}},
      {REG_DWORD_BIG_ENDIAN, {0, 0, 0, 0x2A}},
      {REG_MULTI_SZ, wideBytes(std::u16string(u"a\0bc\0\0", 6))},
      {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {0x1234, {9, 9}},
  };
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::u16string name = u"v" + platform::toWide(std::to_string(i));
    ASSERT_EQ(setW(key, name.c_str(), values[i].type, values[i].data), ERROR_SUCCESS);
    DWORD type = 0;
    Bytes data;
    ASSERT_EQ(queryW(key, name.c_str(), &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, values[i].type) << i;
    EXPECT_EQ(data, values[i].data) << i;
  }
}

TEST_F(RegistryTest, AnsiCallsConvertStringTypesOnly) {
  HKEY key = create(u"Software\\Ansi");
  const std::string multi("one\0two\0\0", 9);
  ASSERT_EQ(RegSetValueExA(key, "sz", 0, REG_SZ, reinterpret_cast<const BYTE*>("h\xC3\xA9llo"), 6),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()), 9),
            ERROR_SUCCESS);
  const Bytes dword = {1, 2, 3, 4};
  ASSERT_EQ(RegSetValueExA(key, "n", 0, REG_DWORD, dword.data(), 4), ERROR_SUCCESS);

  DWORD type = 0;
  Bytes data;
  // Stored as UTF-16LE, with the terminator the caller left out.
  ASSERT_EQ(queryW(key, u"sz", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, wideBytes(std::u16string(u"h\u00e9llo") + u'\0'));
  ASSERT_EQ(queryA(key, "sz", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, ansiBytes(std::string("h\xC3\xA9llo") + '\0'));
  ASSERT_EQ(queryW(key, u"multi", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, wideBytes(std::u16string(u"one\0two\0\0", 9)));
  ASSERT_EQ(queryA(key, "multi", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, ansiBytes(multi));
  ASSERT_EQ(queryA(key, "n", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, dword);
}

TEST_F(RegistryTest, ArbitraryBytesSurviveTheAnsiCalls) {
  HKEY key = create(u"Software\\Bytes");
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (DWORD type : {REG_SZ, REG_EXPAND_SZ}) {
    ASSERT_EQ(RegSetValueExA(key, "raw\xFF", 0, type, reinterpret_cast<const BYTE*>(all.data()), 255),
              ERROR_SUCCESS);
    Bytes data;
    DWORD got = 0;
    ASSERT_EQ(queryA(key, "raw\xFF", &got, &data), ERROR_SUCCESS);
    EXPECT_EQ(got, type);
    EXPECT_EQ(data, ansiBytes(all + '\0'));
  }
}

TEST_F(RegistryTest, BufferSizesFollowTheWindowsRules) {
  HKEY key = create(u"Software\\Sizes");
  const Bytes text = wideBytes(std::u16string(u"abcd") + u'\0');
  ASSERT_EQ(setW(key, u"s", REG_SZ, text), ERROR_SUCCESS);

  DWORD size = 0, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"s", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(RegQueryValueExA(key, "s", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);  // the ANSI form is counted in converted bytes

  BYTE buf[16] = {};
  size = 9;
  EXPECT_EQ(RegQueryValueExW(key, u"s", nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "s", nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = 10;
  EXPECT_EQ(RegQueryValueExW(key, u"s", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buf, buf + 10), text);
  EXPECT_EQ(RegQueryValueExW(key, u"s", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, u"s", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);  // exists?
  EXPECT_EQ(RegQueryValueExW(key, u"missing", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, NullAndEmptyNameAreTheDefaultValue) {
  HKEY key = create(u"Software\\Default");
  ASSERT_EQ(setW(key, nullptr, REG_SZ, wideBytes(std::u16string(u"d") + u'\0')), ERROR_SUCCESS);
  DWORD type = 0;
  Bytes data;
  EXPECT_EQ(queryW(key, u"", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_SUCCESS);
  EXPECT_EQ(queryW(key, nullptr, &type, &data), ERROR_FILE_NOT_FOUND);
}

// ---- names ----

TEST_F(RegistryTest, NamesCompareWithoutAsciiCaseAndKeepTheirCase) {
  create(u"Software\\MyCompany\\Client");
  HKEY key = open(u"SOFTWARE\\mycompany\\CLIENT\\", KEY_ALL_ACCESS);
  ASSERT_EQ(setW(key, u"nSyslogPort", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  ASSERT_EQ(setW(key, u"NSYSLOGPORT", REG_DWORD, {2, 0, 0, 0}), ERROR_SUCCESS);  // same value
  ASSERT_EQ(setW(key, u"\u00c9t\u00e9", REG_DWORD, {3, 0, 0, 0}), ERROR_SUCCESS);
  ASSERT_EQ(setW(key, u"\u00e9t\u00e9", REG_DWORD, {4, 0, 0, 0}), ERROR_SUCCESS);  // not ASCII: another value

  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 3u);
  WCHAR name[32];
  DWORD cch = 32;
  ASSERT_EQ(RegEnumValueW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, cch), u"nSyslogPort");
  Bytes data;
  DWORD type = 0;
  ASSERT_EQ(queryA(key, "nsyslogport", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, (Bytes{2, 0, 0, 0}));

  HKEY software = open(u"software");
  cch = 32;
  ASSERT_EQ(RegEnumKeyExW(software, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, cch), u"MyCompany");
}

TEST_F(RegistryTest, MalformedPathsAreInvalidParameters) {
  HKEY key = nullptr;
  for (const char16_t* path : {u"\\Software", u"a\\\\b", u"a\\\\"})
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, path, &key), ERROR_INVALID_PARAMETER)
        << platform::toAnsi(path);
  const std::u16string longName(256, u'k');
  EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, longName.c_str(), &key), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, longName.substr(1).c_str(), &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

// ---- handles and access ----

TEST_F(RegistryTest, BadHandlesAndMissingKeys) {
  HKEY key = create(u"Software\\H");
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  m_open.clear();
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY out = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(&size), u"x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Missing", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\H", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ReadOnlyHandleCannotWrite) {
  HKEY full = create(u"Software\\RO");
  ASSERT_EQ(setW(full, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  HKEY ro = open(u"Software\\RO", KEY_READ);
  EXPECT_EQ(setW(ro, u"v", REG_DWORD, {2, 0, 0, 0}), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(ro, u"v"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(ro, nullptr), ERROR_ACCESS_DENIED);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(ro, u"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  HKEY wo = open(u"Software\\RO", KEY_SET_VALUE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(wo, u"v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  Bytes data;
  DWORD type = 0;
  ASSERT_EQ(queryW(ro, u"v", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));
}

TEST_F(RegistryTest, HandleOfADeletedKeyAnswersKeyDeleted) {
  HKEY key = create(u"Software\\Gone\\Leaf");
  ASSERT_EQ(setW(key, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Gone\\Leaf"), ERROR_SUCCESS);
  create(u"Software\\Gone\\Leaf");  // a new key of the same name is another key

  DWORD size = 0;
  WCHAR name[8];
  DWORD cch = 8;
  HKEY sub = nullptr;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(setW(key, u"v", REG_DWORD, {2, 0, 0, 0}), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyW(key, u"Sub", &sub), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(key, nullptr, 0, KEY_READ, &sub), ERROR_KEY_DELETED);
  EXPECT_FALSE(keyExists(u"Software\\Gone\\Leaf\\Sub"));
}

// ---- deleting keys ----

TEST_F(RegistryTest, DeleteKeyWithSubkeysIsDeniedAndDeleteTreeRemovesAll) {
  HKEY a = create(u"Software\\Tree\\A\\B");
  ASSERT_EQ(setW(a, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  create(u"Software\\Tree\\C");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Tree"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(keyExists(u"Software\\Tree\\A\\B"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);  // a hive's root stays

  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Tree"), ERROR_SUCCESS);
  EXPECT_FALSE(keyExists(u"Software\\Tree"));
  EXPECT_TRUE(keyExists(u"Software"));
  EXPECT_EQ(setW(a, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Tree"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeleteTreeWithoutSubkeyEmptiesTheKey) {
  HKEY key = create(u"Software\\Keep");
  ASSERT_EQ(setW(key, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  create(u"Software\\Keep\\Child\\Grandchild");
  ASSERT_EQ(RegDeleteTreeW(key, nullptr), ERROR_SUCCESS);
  DWORD subKeys = 9, values = 9;
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
}

// ---- enumeration ----

TEST_F(RegistryTest, EnumerationIsInCaseInsensitiveNameOrder) {
  HKEY key = create(u"Software\\Enum");
  for (const char16_t* n : {u"beta", u"Alpha", u"gamma", u"ALPHA2"}) {
    create((std::u16string(u"Software\\Enum\\") + n).c_str());
    ASSERT_EQ(setW(key, n, REG_BINARY, {1}), ERROR_SUCCESS);
  }
  const std::vector<std::string> expected = {"Alpha", "ALPHA2", "beta", "gamma"};
  std::vector<std::string> keys, values;
  char name[16];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    const LONG rc = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    keys.emplace_back(name, cch);
  }
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    const LONG rc = RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    values.emplace_back(name, cch);
  }
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(values, expected);

  DWORD cch = 5;  // "ALPHA2" needs 7 with its terminator
  EXPECT_EQ(RegEnumKeyExA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 7u);
  DWORD subKeys = 0, maxSub = 0, nValues = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &nValues, &maxName,
                             &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::vector<DWORD>({subKeys, maxSub, nValues, maxName, maxData}),
            std::vector<DWORD>({4, 6, 4, 6, 1}));

  // The whole key in one read gives the same lists, and asks the same rights.
  std::vector<platform::RegValueEntry> all;
  std::vector<std::u16string> children;
  ASSERT_EQ(platform::RegReadKeyContents(key, &all, &children), ERROR_SUCCESS);
  std::vector<std::string> allNames, childNames;
  for (const auto& v : all) allNames.push_back(platform::toAnsi(v.name));
  for (const auto& c : children) childNames.push_back(platform::toAnsi(c));
  EXPECT_EQ(allNames, expected);
  EXPECT_EQ(childNames, expected);
  EXPECT_EQ(all[0].type, REG_BINARY);
  EXPECT_EQ(all[0].data, Bytes{1});
  HKEY listOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Enum", 0, KEY_ENUMERATE_SUB_KEYS, &listOnly),
            ERROR_SUCCESS);
  EXPECT_EQ(platform::RegReadKeyContents(listOnly, nullptr, &children), ERROR_SUCCESS);
  EXPECT_EQ(platform::RegReadKeyContents(listOnly, &all, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(listOnly);
}

// ---- connecting ----

TEST_F(RegistryTest, ConnectRegistryGivesTheLocalHiveForLocalNames) {
  create(u"Software\\Here");
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  for (const char* name : {static_cast<const char*>(nullptr), "", "localhost", "\\\\LOCALHOST", ".",
                           static_cast<const char*>(host)}) {
    HKEY remote = nullptr;
    ASSERT_EQ(RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS)
        << (name ? name : "null");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(remote, "SOFTWARE\\here", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
  }
  HKEY remote = nullptr;
  EXPECT_EQ(RegConnectRegistryA("\\\\elsewhere.example", HKEY_LOCAL_MACHINE, &remote), ERROR_BAD_NETPATH);
  EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_USERS, &remote), ERROR_INVALID_HANDLE);
}

// ---- hive files ----

TEST_F(RegistryTest, HiveFilesAreOwnerOnlyWhateverTheUmask) {
  std::filesystem::remove_all(m_root.machine());  // the folder is made too
  const mode_t old = umask(0);
  HKEY key = create(u"Software\\Mode");
  const LONG rc = setW(key, u"v", REG_DWORD, {1, 0, 0, 0});
  HKEY user = create(u"Software\\Mode", HKEY_CURRENT_USER);
  umask(old);
  ASSERT_EQ(rc, ERROR_SUCCESS);
  ASSERT_NE(user, nullptr);
  for (const auto& file : {m_root.machine() / "machine.hive", m_root.machine() / "machine.hive-wal",
                           m_root.machine() / "machine.hive-shm", m_root.user() / "user.hive"}) {
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
}

TEST_F(RegistryTest, HivesAreSeparateAndFollowTheRoot) {
  HKEY key = create(u"Software\\Which");
  ASSERT_EQ(setW(key, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  EXPECT_FALSE(keyExists(u"Software\\Which", HKEY_CURRENT_USER));
  {
    platform::testing::TempPlatformRoot other;
    EXPECT_FALSE(keyExists(u"Software\\Which"));
  }
  EXPECT_TRUE(keyExists(u"Software\\Which"));
}

TEST_F(RegistryTest, AFileThatIsNoHiveIsReportedCorrupt) {
  std::ofstream(m_root.machine() / "machine.hive") << std::string(8192, 'x');
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software", &key), ERROR_REGISTRY_CORRUPT);
}

// ---- transactions ----

TEST_F(RegistryTest, RollbackLeavesNothingAndCommitKeepsAll) {
  ASSERT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_BUSY);
  HKEY key = create(u"Software\\Tx");
  ASSERT_EQ(setW(key, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  ASSERT_EQ(RegRollbackTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_FALSE(keyExists(u"Software\\Tx"));
  EXPECT_EQ(RegCommitTransaction(HKEY_LOCAL_MACHINE), ERROR_TRANSACTION_NOT_ACTIVE);

  ASSERT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  key = create(u"Software\\Tx");
  ASSERT_EQ(setW(key, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  // A failed call inside the transaction undoes only itself.
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software"), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegCommitTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  DWORD type = 0;
  Bytes data;
  EXPECT_EQ(queryW(open(u"Software\\Tx"), u"v", &type, &data), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OtherThreadsWaitForTheTransaction) {
  HKEY key = create(u"Software\\Wait");
  ASSERT_EQ(RegBeginTransaction(key), ERROR_SUCCESS);
  ASSERT_EQ(setW(key, u"first", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  std::atomic<bool> done{false};
  std::atomic<LONG> seen{-1};
  std::thread other([&] {
    DWORD size = 0;
    seen = RegQueryValueExW(key, u"first", nullptr, nullptr, nullptr, &size);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done);
  ASSERT_EQ(RegCommitTransaction(key), ERROR_SUCCESS);
  other.join();
  EXPECT_EQ(seen, ERROR_SUCCESS);
}

TEST_F(RegistryTest, AThreadThatEndsInATransactionHasItRolledBack) {
  std::thread([] {
    HKEY key = nullptr;
    RegBeginTransaction(HKEY_LOCAL_MACHINE);
    RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\Abandoned", &key);
    RegCloseKey(key);
  }).join();
  EXPECT_FALSE(keyExists(u"Software\\Abandoned"));
  HKEY key = create(u"Software\\After");  // and the hive is free again
  EXPECT_NE(key, nullptr);
}

TEST_F(RegistryTest, ThreadsSharingHandlesLoseNothing) {
  HKEY key = create(u"Software\\Threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([key, t] {
      for (int i = 0; i < 100; ++i) {
        const std::u16string name = platform::toWide("t" + std::to_string(t) + "_" + std::to_string(i));
        const BYTE v[4] = {static_cast<BYTE>(i), 0, 0, 0};
        RegSetValueExW(key, name.c_str(), 0, REG_DWORD, v, 4);
      }
    });
  }
  for (auto& t : threads) t.join();
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 400u);
}

// ---- several processes ----

// Runs fn in a child process; returns its exit status (fn's result).
template <typename Fn>
pid_t spawn(Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  return pid;
}

int exitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

DWORD readCounter() {
  HKEY key = nullptr;
  DWORD value = 0, size = 4;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Shared", 0, KEY_READ, &key);
  RegQueryValueExW(key, u"counter", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return value;
}

int hammer(int id) {
  constexpr int kValues = 500, kIncrements = 100;
  HKEY key = nullptr;
  if (RegCreateKeyW(HKEY_LOCAL_MACHINE, u"Software\\Shared", &key) != ERROR_SUCCESS) return 10;
  for (int i = 0; i < kValues; ++i) {
    const std::u16string name = platform::toWide("p" + std::to_string(id) + "_" + std::to_string(i));
    const DWORD v = static_cast<DWORD>(i);
    if (RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4)) return 11;
    if (i % (kValues / kIncrements) != 0) continue;
    if (RegBeginTransaction(key) != ERROR_SUCCESS) return 12;
    DWORD counter = 0, size = 4;
    RegQueryValueExW(key, u"counter", nullptr, nullptr, reinterpret_cast<BYTE*>(&counter), &size);
    ++counter;
    if (RegSetValueExW(key, u"counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), 4)) return 13;
    if (RegCommitTransaction(key) != ERROR_SUCCESS) return 14;
  }
  RegCloseKey(key);
  return 0;
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  const pid_t a = spawn([] { return hammer(1); });
  const pid_t b = spawn([] { return hammer(2); });
  ASSERT_EQ(exitStatus(a), 0);
  ASSERT_EQ(exitStatus(b), 0);
  HKEY key = open(u"Software\\Shared");
  for (int p = 1; p <= 2; ++p) {
    for (int i = 0; i < 500; ++i) {
      const std::u16string name = platform::toWide("p" + std::to_string(p) + "_" + std::to_string(i));
      DWORD v = 0, size = 4;
      ASSERT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
                ERROR_SUCCESS);
      ASSERT_EQ(v, static_cast<DWORD>(i));
    }
  }
  EXPECT_EQ(readCounter(), 200u);
}

TEST_F(RegistryTest, AnotherProcessSeesATransactionOnlyWhenCommitted) {
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = spawn([&] {
    char c;
    // 1: while the parent's transaction is open; 2: after its commit.
    if (read(toChild[0], &c, 1) != 1) return 20;
    HKEY shared = nullptr;
    const LONG during = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Shared", 0, KEY_READ, &shared);
    if (write(toParent[1], "x", 1) != 1) return 21;
    if (read(toChild[0], &c, 1) != 1) return 22;
    const DWORD after = readCounter();
    HKEY key = nullptr;
    // A key deleted by another process: this handle's key is gone.
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Doomed", 0, KEY_READ, &key);
    if (write(toParent[1], "x", 1) != 1) return 23;
    if (read(toChild[0], &c, 1) != 1) return 24;
    DWORD size = 0;
    const LONG deleted = RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size);
    return (during == ERROR_FILE_NOT_FOUND ? 0 : 1) | (after == 7 ? 0 : 2) |
           (deleted == ERROR_KEY_DELETED ? 0 : 4);
  });
  create(u"Software\\Doomed");
  ASSERT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY key = create(u"Software\\Shared");
  const DWORD seven = 7;
  ASSERT_EQ(RegSetValueExW(key, u"counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4),
            ERROR_SUCCESS);
  char c;
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  ASSERT_EQ(RegCommitTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Doomed"), ERROR_SUCCESS);
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  EXPECT_EQ(exitStatus(child), 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

}  // namespace
