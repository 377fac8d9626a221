#include "platform/winsock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

TEST(WinSockStartup, NegotiatesTheVersion) {
  WSADATA data{};
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(data.wHighVersion, 0x0202);
  ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(platform::winsockStartupCount(), 2);
  EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
  EXPECT_EQ(platform::winsockStartupCount(), 2);

  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(platform::winsockStartupCount(), 0);
}

TEST(WinSockErrors, ErrnoMapsToWindowsNumbers) {
  const std::pair<int, int> table[] = {
      {0, 0},
      {EINTR, 10004},
      {EBADF, 10009},
      {EACCES, 10013},
      {EFAULT, 10014},
      {EINVAL, 10022},
      {EMFILE, 10024},
      {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},
      {EALREADY, 10037},
      {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},
      {EPROTOTYPE, 10041},
      {ENOPROTOOPT, 10042},
      {EPROTONOSUPPORT, 10043},
      {EOPNOTSUPP, 10045},
      {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ENETDOWN, 10050},
      {ENETUNREACH, 10051},
      {ECONNABORTED, 10053},
      {ECONNRESET, 10054},
      {ENOBUFS, 10055},
      {EISCONN, 10056},
      {ENOTCONN, 10057},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061},
      {EHOSTUNREACH, 10065},
      // No Windows counterpart: never a number that names another error.
      {ENOSPC, WSASYSCALLFAILURE},
  };
  for (const auto& [error, expected] : table) {
    EXPECT_EQ(platform::wsaErrorFromErrno(error), expected) << "errno " << error;
  }
  EXPECT_EQ(platform::wsaErrorFromHErrno(HOST_NOT_FOUND), WSAHOST_NOT_FOUND);
  EXPECT_EQ(platform::wsaErrorFromHErrno(TRY_AGAIN), WSATRY_AGAIN);
  EXPECT_EQ(platform::wsaErrorFromHErrno(NO_RECOVERY), WSANO_RECOVERY);
  EXPECT_EQ(platform::wsaErrorFromHErrno(NO_DATA), WSANO_DATA);
  EXPECT_EQ(platform::wsaErrorFromAddrInfo(EAI_NONAME), WSAHOST_NOT_FOUND);
  EXPECT_EQ(platform::wsaErrorFromAddrInfo(EAI_AGAIN), WSATRY_AGAIN);
}

TEST(WinSockErrors, LastErrorIsPerThreadAndFollowsFailedCalls) {
  WSASetLastError(WSAHOST_NOT_FOUND);
  EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);

  int seenByOtherThread = -1;
  std::thread([&] {
    WSASetLastError(WSAETIMEDOUT);
    seenByOtherThread = WSAGetLastError();
  }).join();
  EXPECT_EQ(seenByOtherThread, WSAETIMEDOUT);
  EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);

  // A socket call that fails afterwards replaces the value set.
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t length = sizeof(address);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int second = ::socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_NE(::bind(second, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

  EXPECT_EQ(closesocket(second), 0);
  EXPECT_EQ(closesocket(s), 0);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEBADF);

  WSASetLastError(0);
  EXPECT_EQ(WSAGetLastError(), 0);
}

}  // namespace
