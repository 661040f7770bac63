// The Windows epoll layer on its own: membership errors, level-triggered
// readiness, interest changes, user data and hang-ups.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "netcore/os/epoll_win.h"

using namespace netcore;
namespace we = netcore::winepoll;

namespace {

struct Pair {
  SOCKET a = INVALID_SOCKET, b = INVALID_SOCKET;
  Pair() {
    os::NetInit();
    SOCKET l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    ::bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(l, 1);
    ::getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len);
    a = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(a, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    b = ::accept(l, nullptr, nullptr);
    ::closesocket(l);
    u_long on = 1;
    ::ioctlsocket(b, FIONBIO, &on);
  }
  ~Pair() {
    if (a != INVALID_SOCKET) ::closesocket(a);
    if (b != INVALID_SOCKET) ::closesocket(b);
  }
};

}  // namespace

TEST(WinEpoll, MembershipErrors) {
  we::Instance* ep = we::epoll_create();
  ASSERT_NE(ep, nullptr);
  Pair p;
  int tag = 0;
  ReadyEvent ev{kEpollIn, &tag};
  EXPECT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_MOD, p.b, &ev), -1);
  EXPECT_EQ(WSAGetLastError(), ERROR_NOT_FOUND);
  EXPECT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_ADD, p.b, &ev), 0);
  EXPECT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_ADD, p.b, &ev), -1);
  EXPECT_EQ(WSAGetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_DEL, p.b, nullptr), 0);
  EXPECT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_DEL, p.b, nullptr), -1);
  ReadyEvent out[4];
  EXPECT_EQ(we::epoll_wait(ep, out, 4, -1), -1);  // an empty set never wakes
  EXPECT_EQ(we::epoll_wait(ep, out, 4, 10), 0);
  we::epoll_close(ep);
}

TEST(WinEpoll, LevelTriggeredReadAndWriteWithUserData) {
  we::Instance* ep = we::epoll_create();
  Pair p;
  int tag = 0;
  ReadyEvent ev{kEpollIn, &tag};
  ASSERT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_ADD, p.b, &ev), 0);
  ReadyEvent out[4];
  EXPECT_EQ(we::epoll_wait(ep, out, 4, 50), 0);
  ASSERT_EQ(::send(p.a, "hi", 2, 0), 2);
  for (int turn = 0; turn < 2; ++turn) {  // still ready while unread
    ASSERT_EQ(we::epoll_wait(ep, out, 4, 2000), 1);
    EXPECT_EQ(out[0].events, kEpollIn);
    EXPECT_EQ(out[0].data, &tag);
  }
  char buf[8];
  EXPECT_EQ(::recv(p.b, buf, sizeof(buf), 0), 2);
  EXPECT_EQ(we::epoll_wait(ep, out, 4, 50), 0);

  ev.events = kEpollIn | kEpollOut;
  ASSERT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_MOD, p.b, &ev), 0);
  ASSERT_EQ(we::epoll_wait(ep, out, 4, 2000), 1);
  EXPECT_EQ(out[0].events, kEpollOut);
  ev.events = kEpollIn;  // write interest withdrawn: quiet again
  ASSERT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_MOD, p.b, &ev), 0);
  EXPECT_EQ(we::epoll_wait(ep, out, 4, 50), 0);
  we::epoll_close(ep);
}

TEST(WinEpoll, PeerCloseReportsInputSoTheEndIsRead) {
  we::Instance* ep = we::epoll_create();
  Pair p;
  int tag = 0;
  ReadyEvent ev{kEpollIn, &tag};
  ASSERT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_ADD, p.b, &ev), 0);
  ASSERT_EQ(::send(p.a, "bye", 3, 0), 3);
  ::closesocket(p.a);
  p.a = INVALID_SOCKET;
  ReadyEvent out[4];
  ASSERT_EQ(we::epoll_wait(ep, out, 4, 2000), 1);
  EXPECT_TRUE(out[0].events & kEpollIn);
  char buf[8];
  EXPECT_EQ(::recv(p.b, buf, sizeof(buf), 0), 3);
  ASSERT_EQ(we::epoll_wait(ep, out, 4, 2000), 1);
  EXPECT_TRUE(out[0].events & kEpollIn);
  EXPECT_EQ(::recv(p.b, buf, sizeof(buf), 0), 0);
  we::epoll_close(ep);
}

TEST(WinEpoll, ReportsAtMostMaxRecords) {
  we::Instance* ep = we::epoll_create();
  Pair p1, p2, p3;
  int tags[3];
  SOCKET socks[3] = {p1.b, p2.b, p3.b};
  SOCKET peers[3] = {p1.a, p2.a, p3.a};
  for (int i = 0; i < 3; ++i) {
    ReadyEvent ev{kEpollIn, &tags[i]};
    ASSERT_EQ(we::epoll_ctl(ep, we::EPOLL_CTL_ADD, socks[i], &ev), 0);
    ASSERT_EQ(::send(peers[i], "x", 1, 0), 1);
  }
  Sleep(50);
  ReadyEvent out[2];
  EXPECT_EQ(we::epoll_wait(ep, out, 2, 2000), 2);
  we::epoll_close(ep);
}
