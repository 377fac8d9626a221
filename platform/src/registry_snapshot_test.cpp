// Reading a hive while another process saves into it: one snapshot per read
// transaction, and a change count that tells a reader when to look again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/registry.h"
#include "temp_root.h"

namespace {

const char16_t kPath[] = u"Software\\Snapshot";

LONG setNumber(HKEY key, DWORD value) {
  return RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

// The value v of kPath; 0 when it cannot be read.
DWORD readNumber() {
  HKEY key = nullptr;
  DWORD value = 0, size = 4;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  RegQueryValueExW(key, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return value;
}

// Deletes and re-creates the key with v = value in one transaction, as a save
// of the rule base does.
LONG save(DWORD value) {
  if (LONG e = RegBeginTransaction(HKEY_LOCAL_MACHINE)) return e;
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPath);
  HKEY key = nullptr;
  LONG e = RegCreateKeyW(HKEY_LOCAL_MACHINE, kPath, &key);
  if (e == ERROR_SUCCESS) e = setNumber(key, value);
  if (key != nullptr) RegCloseKey(key);
  if (e != ERROR_SUCCESS) {
    RegRollbackTransaction(HKEY_LOCAL_MACHINE);
    return e;
  }
  return RegCommitTransaction(HKEY_LOCAL_MACHINE);
}

int saveInAnotherProcess(DWORD value) {
  const pid_t pid = fork();
  if (pid == 0) _exit(save(value) == ERROR_SUCCESS ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(RegistrySnapshotTest, AReadTransactionSeesOneStateWhileAnotherProcessSaves) {
  platform::testing::TempPlatformRoot root;
  ASSERT_EQ(save(1), ERROR_SUCCESS);

  ASSERT_EQ(RegBeginReadTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(readNumber(), 1u);
  ASSERT_EQ(saveInAnotherProcess(2), 0);
  // The key the handle names is gone outside, yet still there in the snapshot.
  DWORD value = 0, size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(readNumber(), 1u);
  ASSERT_EQ(RegCommitTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(readNumber(), 2u);
}

TEST(RegistrySnapshotTest, ChangeCountMovesWithEveryCommitOfAnyProcessAndOnlyThen) {
  platform::testing::TempPlatformRoot root;
  ASSERT_EQ(save(1), ERROR_SUCCESS);
  std::uint64_t first = 0, again = 0, afterOther = 0, afterOwn = 0;
  ASSERT_EQ(RegQueryHiveChangeCount(HKEY_LOCAL_MACHINE, &first), ERROR_SUCCESS);
  readNumber();
  ASSERT_EQ(RegQueryHiveChangeCount(HKEY_LOCAL_MACHINE, &again), ERROR_SUCCESS);
  EXPECT_EQ(again, first);  // reading changes nothing

  ASSERT_EQ(saveInAnotherProcess(2), 0);
  ASSERT_EQ(RegQueryHiveChangeCount(HKEY_LOCAL_MACHINE, &afterOther), ERROR_SUCCESS);
  EXPECT_NE(afterOther, again);

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_EQ(setNumber(key, 3), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegQueryHiveChangeCount(HKEY_LOCAL_MACHINE, &afterOwn), ERROR_SUCCESS);
  EXPECT_NE(afterOwn, afterOther);
  EXPECT_EQ(RegQueryHiveChangeCount(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(RegistrySnapshotTest, ChangeCountThroughAnOpenHandleNoticesAReplacedHiveFile) {
  platform::testing::TempPlatformRoot root;
  ASSERT_EQ(save(1), ERROR_SUCCESS);
  HKEY hive = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, &hive), ERROR_SUCCESS);
  std::uint64_t before = 0, still = 0, after = 0;
  ASSERT_EQ(RegQueryHiveChangeCount(hive, &before), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryHiveChangeCount(hive, &still), ERROR_SUCCESS);
  EXPECT_EQ(still, before);

  // A restored backup: another file renamed over the hive. The handle's
  // connection still reads the old file, whose data_version never moves.
  const auto file = root.machine() / "machine.hive";
  std::filesystem::copy_file(file, root.base() / "backup.hive");
  std::filesystem::rename(root.base() / "backup.hive", file);
  ASSERT_EQ(RegQueryHiveChangeCount(hive, &after), ERROR_SUCCESS);
  EXPECT_NE(after, still);
  RegCloseKey(hive);
}

}  // namespace
