// Socket layer datagrams over loopback: sending to a host, receiving and peeking with the
// sender's address, and reading a line out of a datagram.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "socket_fixtures.h"
#include "sockets3.h"

namespace {

const int kOwnBase = 0x4F53 << 16;

// Two datagram handles bound to the loopback address of one family on ephemeral ports.
class Sockets3Datagram : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    family = GetParam();
    loopback = family == AF_INET6 ? "::1" : "127.0.0.1";
    rx = s.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
    tx = s.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
    ASSERT_TRUE(rx && tx);
    ASSERT_TRUE(s.Bind(rx, loopback, 0));
    ASSERT_TRUE(s.Bind(tx, loopback, 0));
    rx_port = testutil::LocalPort(rx->sock);
    tx_port = testutil::LocalPort(tx->sock);
    // Bounds every blocking receive of the test.
    s.SetRecvTimeout(rx, 10000);
  }
  void TearDown() override {
    s.Close(rx);
    s.Close(tx);
  }
  void SendDatagram(const std::string& data) {
    ASSERT_EQ(s.SendTo(tx, loopback, rx_port, data.data(), static_cast<int32_t>(data.size())),
              static_cast<int>(data.size()));
    ASSERT_EQ(s.SelectRead(rx, 10000u), 1);
  }

  Orvex_Sockets3 s;
  int family = 0;
  const char* loopback = nullptr;
  ORVEX_SOCKET* rx = nullptr;
  ORVEX_SOCKET* tx = nullptr;
  int rx_port = 0;
  int tx_port = 0;
};

TEST_P(Sockets3Datagram, RecvAndPeekReportTheSender) {
  ASSERT_EQ(s.SendTo(tx, loopback, rx_port, "hello", -1), 5);
  ASSERT_EQ(s.SelectRead(rx, 10000u), 1);
  char host[64];
  int port = 0;
  char buf[32] = {};
  EXPECT_EQ(s.PeekFrom(rx, host, sizeof(host), &port, buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "hello");
  EXPECT_STREQ(host, loopback);
  EXPECT_EQ(port, tx_port);
  EXPECT_STREQ(rx->remote_ip, loopback);
  EXPECT_EQ(rx->remote_port, tx_port);

  // The peeked datagram is still there.
  memset(buf, 0, sizeof(buf));
  memset(host, 'x', sizeof(host));
  port = 0;
  EXPECT_EQ(s.RecvFrom(rx, host, sizeof(host), &port, buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "hello");
  EXPECT_STREQ(host, loopback);
  EXPECT_EQ(port, tx_port);
  EXPECT_EQ(s.SelectRead(rx, 0u), 0);
}

TEST_P(Sockets3Datagram, HostTextIsCutToItsBuffer) {
  SendDatagram("x");
  char host[4];
  char buf[4];
  EXPECT_EQ(s.RecvFrom(rx, host, sizeof(host), nullptr, buf, sizeof(buf)), 1);
  EXPECT_EQ(std::string(host), std::string(loopback).substr(0, 3));
  // Null host and port are allowed.
  SendDatagram("y");
  EXPECT_EQ(s.RecvFrom(rx, nullptr, 0, nullptr, buf, sizeof(buf)), 1);
  EXPECT_EQ(rx->remote_port, tx_port);
}

TEST_P(Sockets3Datagram, RecvLineFromTakesTheFirstLineAndDropsTheRest) {
  SendDatagram("first line\r\nsecond line\n");
  SendDatagram("next\n");
  char host[64];
  int port = 0;
  char line[64];
  EXPECT_EQ(s.RecvLineFrom(rx, host, sizeof(host), &port, line, sizeof(line)), 10);
  EXPECT_STREQ(line, "first line");
  EXPECT_STREQ(host, loopback);
  EXPECT_EQ(port, tx_port);
  // The rest of the first datagram is gone; the next one is intact.
  EXPECT_EQ(s.RecvLineFrom(rx, nullptr, 0, nullptr, line, sizeof(line)), 4);
  EXPECT_STREQ(line, "next");
}

TEST_P(Sockets3Datagram, RecvLineFromWithoutLineFeedKeepsTheDatagram) {
  SendDatagram("no line end\r");
  char line[64];
  EXPECT_EQ(s.RecvLineFrom(rx, nullptr, 0, nullptr, line, sizeof(line)), -1);
  EXPECT_EQ(s.RecvLineFrom(rx, nullptr, 0, nullptr, line, sizeof(line)), -1);
  char buf[64] = {};
  EXPECT_EQ(s.RecvFrom(rx, nullptr, 0, nullptr, buf, sizeof(buf)), 12);
  EXPECT_STREQ(buf, "no line end\r");
  // A datagram longer than the line buffer is peeked only as far as the buffer holds.
  SendDatagram(std::string(100, 'a') + "\n");
  EXPECT_EQ(s.RecvLineFrom(rx, nullptr, 0, nullptr, line, sizeof(line)), -1);
  EXPECT_EQ(s.RecvLineFrom(rx, nullptr, 0, nullptr, line, 1), -4);
  EXPECT_EQ(s.GetLastError(rx), EINVAL);
}

TEST_P(Sockets3Datagram, EmptyDatagram) {
  ASSERT_EQ(s.SendTo(tx, loopback, rx_port, "", -1), 0);
  ASSERT_EQ(s.SelectRead(rx, 10000u), 1);
  char line[16];
  EXPECT_EQ(s.RecvLineFrom(rx, nullptr, 0, nullptr, line, sizeof(line)), -3);
  char buf[16];
  int port = 0;
  EXPECT_EQ(s.RecvFrom(rx, nullptr, 0, &port, buf, sizeof(buf)), 0);
  EXPECT_EQ(port, tx_port);
}

TEST_P(Sockets3Datagram, SendToFailures) {
  const std::string bad = std::string(70, 'x') + ".invalid";
  EXPECT_EQ(s.SendTo(tx, bad.c_str(), rx_port, "x", 1), -1);
  EXPECT_EQ(s.GetLastError(tx), EAI_NONAME);
  EXPECT_EQ(s.SendTo(tx, loopback, rx_port, "x", -3), -1);
  EXPECT_EQ(s.GetLastError(tx), EINVAL);
  // A receive with nothing queued on a non-blocking handle: quiet EAGAIN.
  s.SetNonBlocking(rx, true);
  char buf[8];
  EXPECT_EQ(s.RecvFrom(rx, nullptr, 0, nullptr, buf, sizeof(buf)), -1);
  EXPECT_EQ(s.GetLastError(rx), EAGAIN);
  EXPECT_EQ(s.RecvLineFrom(rx, nullptr, 0, nullptr, buf, sizeof(buf)), -4);
}

TEST_P(Sockets3Datagram, SetWaitOverDatagramHandles) {
  ORVEX_SOCKET* other = s.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(s.Bind(other, loopback, 0));
  ORVEX_SOCKET_SET set;
  SetClear(&set);
  SetAdd(&set, other);
  SetAdd(&set, rx);
  EXPECT_EQ(s.SelectReadSet(&set, 0u), 0);
  SendDatagram("ping");
  SetClear(&set);
  SetAdd(&set, other);
  SetAdd(&set, rx);
  EXPECT_EQ(s.SelectReadSet(&set, 1000u), 1);
  ASSERT_EQ(set.count, 1);
  EXPECT_EQ(set.handles[0], rx);
  EXPECT_EQ(s.SetBroadcast(other, true), 0);
  s.Close(other);
}

INSTANTIATE_TEST_SUITE_P(Families, Sockets3Datagram, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == AF_INET6 ? "IPv6" : "IPv4");
                         });

TEST(Sockets3Datagrams, StreamHandleHasNoDatagramSender) {
  Orvex_Sockets3 s;
  ORVEX_SOCKET* c;
  ORVEX_SOCKET* a;
  ASSERT_TRUE(testutil::ConnectedPair(&s, AF_INET, &c, &a));
  ASSERT_EQ(s.Send(c, "abc", 3, true), 3);
  ASSERT_TRUE(testutil::WaitForBytes(a->sock, 3, 5000));
  char buf[8];
  // A connected stream reports no sender address.
  EXPECT_EQ(s.PeekFrom(a, nullptr, 0, nullptr, buf, sizeof(buf)), -1);
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Unknown address family!");
  s.Close(c);
  s.Close(a);
}

}  // namespace
