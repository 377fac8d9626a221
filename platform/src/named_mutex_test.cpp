#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "temp_root.h"

namespace {

class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("CORVANTEL_MUTEX_DIR", (m_root.base() / "locks").c_str(), 1); }
  void TearDown() override { unsetenv("CORVANTEL_MUTEX_DIR"); }

  // Runs body in a child process and returns its exit status.
  template <typename Body>
  static int inChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  platform::testing::TempPlatformRoot m_root;
};

TEST_F(NamedMutexTest, FirstCreatorOwnsAndSecondSeesItHeld) {
  HANDLE first = CreateMutexA(nullptr, FALSE, "Global\\CorvantelRealtime514");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateMutexA(nullptr, FALSE, "Global\\CorvantelRealtime514");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(ReleaseMutex(second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  CloseHandle(second);
  CloseHandle(first);

  HANDLE again = CreateMutexA(nullptr, FALSE, "Global\\CorvantelRealtime514");
  EXPECT_EQ(GetLastError(), 0u) << "closing the owner frees the object";
  CloseHandle(again);
}

TEST_F(NamedMutexTest, AnotherProcessSeesItHeldUntilReleased) {
  HANDLE mine = CreateMutexA(nullptr, FALSE, "Global\\Port1468");
  ASSERT_EQ(GetLastError(), 0u);
  auto probe = [] {
    HANDLE h = CreateMutexA(nullptr, FALSE, "Global\\Port1468");
    const int held = GetLastError() == static_cast<DWORD>(ERROR_ALREADY_EXISTS) ? 1 : 0;
    CloseHandle(h);
    return held;
  };
  EXPECT_EQ(inChild(probe), 1);
  ASSERT_TRUE(ReleaseMutex(mine));
  EXPECT_EQ(inChild(probe), 0);
  CloseHandle(mine);
}

TEST_F(NamedMutexTest, AProcessThatDiesReleasesIt) {
  const int status = inChild([] {
    CreateMutexA(nullptr, TRUE, "Global\\Crashy");
    abort();  // never closes the handle
    return 0;
  });
  EXPECT_EQ(status, -1);
  HANDLE h = CreateMutexA(nullptr, FALSE, "Global\\Crashy");
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
}

TEST_F(NamedMutexTest, NamesThatDifferOnlyInOddCharactersAreDistinct) {
  HANDLE a = CreateMutexA(nullptr, FALSE, "a/b");
  ASSERT_EQ(GetLastError(), 0u);
  HANDLE b = CreateMutexW(nullptr, FALSE, u"a_b");
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE c = CreateMutexA(nullptr, FALSE, "Local\\a/b");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the prefix names the same object";
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(c);
}

TEST_F(NamedMutexTest, BadArgumentsFailWithAReason) {
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_FALSE(CloseHandle(nullptr));
}

}  // namespace
