// Socket layer: sending, receiving, line reading, receive time-outs and the waits on one
// handle or sets of handles, including descriptors above the select() limit.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "socket_fixtures.h"
#include "sockets3.h"
#include "test_util.h"

using testutil::ConnectedPair;
using testutil::WaitForBytes;

namespace {

class IgnoreSigpipe : public ::testing::Environment {
 public:
  void SetUp() override { signal(SIGPIPE, SIG_IGN); }
};
::testing::Environment* const kSigpipe = ::testing::AddGlobalTestEnvironment(new IgnoreSigpipe);

// A connected loopback pair, closed at the end of the test.
class Sockets3Data : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ConnectedPair(&s, AF_INET, &client, &server));
    // Bounds every blocking receive of the test.
    s.SetRecvTimeout(client, 10000);
    s.SetRecvTimeout(server, 10000);
  }
  void TearDown() override {
    s.Close(client);
    s.Close(server);
  }
  // Sends text from the client and waits until the server can see all of it.
  void Feed(const std::string& text) {
    ASSERT_EQ(s.Send(client, text.data(), static_cast<int32_t>(text.size()), true),
              static_cast<int>(text.size()));
    ASSERT_TRUE(WaitForBytes(server->sock, text.size(), 10000));
  }
  // Everything queued at the server right now.
  std::string Queued() {
    std::string all;
    char buf[65536];
    ssize_t n;
    while ((n = recv(server->sock, buf, sizeof(buf), MSG_DONTWAIT)) > 0) all.append(buf, n);
    return all;
  }

  Orvex_Sockets3 s;
  ORVEX_SOCKET* client = nullptr;
  ORVEX_SOCKET* server = nullptr;
};

// ---------------------------------------------------------------------------------------------

TEST_F(Sockets3Data, RecvLineTakesOneLineAndLeavesTheRest) {
  Feed("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n");
  char buf[16384];
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 15);
  EXPECT_STREQ(buf, "HTTP/1.0 200 OK");
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 17);
  EXPECT_STREQ(buf, "Content-Length: 5");
  EXPECT_EQ(Queued(), "");
}

TEST_F(Sockets3Data, RecvLineWithoutLineEnd) {
  Feed("abc");
  char buf[16384];
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), -1);
  EXPECT_EQ(Queued(), "abc");  // nothing consumed

  std::string big(16383, 'z');
  Feed(big);
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), -2);
  EXPECT_EQ(Queued(), big);
}

TEST_F(Sockets3Data, RecvLineEmptyLinesAndLoneCarriageReturn) {
  Feed("\r\nabc\rdef");
  char buf[64];
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(Queued(), "def");
}

TEST_F(Sockets3Data, RecvLineStripsRunsOfLineEndsAndFindsLfPastCr) {
  // An LF anywhere in the peeked bytes wins over an earlier CR.
  Feed("ab\rcd\n\nnext");
  char buf[64];
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "ab\rcd");
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 0);
  EXPECT_EQ(Queued(), "next");
  Feed("x\r\r\n\n");
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 1);
  EXPECT_STREQ(buf, "x");
  EXPECT_EQ(Queued(), "\n");
}

TEST_F(Sockets3Data, RecvLineConsumesALineHoldingANul) {
  Feed(std::string("a\0b\nnext\n", 9));
  char buf[64];
  // The line is consumed (not reported as incomplete forever); as text it ends at the NUL.
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 1);
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), 4);
  EXPECT_STREQ(buf, "next");
}

TEST_F(Sockets3Data, RecvLineSmallBuffers) {
  Feed("abcdef\n");
  char buf[4];
  EXPECT_EQ(s.RecvLine(server, buf, 1), -2);
  EXPECT_EQ(s.RecvLine(server, buf, 0), -2);
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), -2);  // 3 bytes peeked, no line end
  EXPECT_EQ(Queued(), "abcdef\n");
}

TEST_F(Sockets3Data, RecvLineReportsCloseAndError) {
  char buf[64];
  s.Close(client);
  client = s.Create(AF_INET, SOCK_STREAM, 0, 0);  // closed again in TearDown
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), -3);
  // A handle that is not connected: the receive fails.
  EXPECT_EQ(s.RecvLine(client, buf, sizeof(buf)), -4);
  EXPECT_EQ(s.GetLastError(client), ENOTCONN);
}

TEST_F(Sockets3Data, SendAllDeliversMoreThanTheBuffersHold) {
  // Far more than the socket buffers hold: the send completes only as the reader drains it.
  std::string data(6 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>('a' + i % 23);
  std::string got;
  std::thread reader([&] {
    char buf[16384];
    while (got.size() < data.size()) {
      int n = s.Recv(server, buf, sizeof(buf));
      if (n <= 0) break;
      got.append(buf, n);
    }
  });
  int sent = s.Send(client, data.data(), static_cast<int32_t>(data.size()), true);
  reader.join();
  EXPECT_EQ(sent, static_cast<int>(data.size()));
  EXPECT_TRUE(got == data);
}

TEST_F(Sockets3Data, SendWithoutSendAllStopsAfterTheFirstPiece) {
  s.SetNonBlocking(client, true);
  std::string data(8 * 1024 * 1024, 'q');
  int sent = s.Send(client, data.data(), static_cast<int32_t>(data.size()), false);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<int>(data.size()));
  // The buffers are full now: a further send reports the quiet EAGAIN as -1.
  EXPECT_EQ(s.Send(client, data.data(), static_cast<int32_t>(data.size()), true), -1);
  EXPECT_EQ(s.GetLastError(client), EAGAIN);
}

TEST_F(Sockets3Data, SendEdgeLengths) {
  client->last_errno = 0;
  EXPECT_EQ(s.Send(client, "", -1, true), 0);
  EXPECT_EQ(s.Send(client, "abc", 0, true), 0);
  EXPECT_EQ(s.GetLastError(client), 0);
  EXPECT_EQ(s.Send(client, "abc", -7, true), -1);
  EXPECT_EQ(s.GetLastError(client), EINVAL);
  EXPECT_EQ(s.Send(client, "text\n", -1, true), 5);
  char buf[8] = {};
  EXPECT_EQ(s.Recv(server, buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "text\n");
}

TEST_F(Sockets3Data, PeekLeavesBytesQueued) {
  Feed("peekaboo");
  char buf[16] = {};
  EXPECT_EQ(s.Peek(server, buf, 4), 4);
  EXPECT_STREQ(buf, "peek");
  EXPECT_EQ(Queued(), "peekaboo");
}

TEST_F(Sockets3Data, ReceiveTimeOutRecordsQuietEagain) {
  ASSERT_EQ(s.SetRecvTimeout(server, 300), 0);
  s.SetSilent(false);
  char buf[8];
  testing::internal::CaptureStdout();
  EXPECT_EQ(s.Recv(server, buf, sizeof(buf)), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(s.GetLastError(server), EAGAIN);
  EXPECT_EQ(s.GetLastError(nullptr), EAGAIN);
  EXPECT_EQ(s.RecvLine(server, buf, sizeof(buf)), -4);
}

TEST_F(Sockets3Data, ResetConnectionIsPrintedWhenNotSilent) {
  s.SetLinger(client, true, 0);  // close with a reset
  s.Close(client);
  client = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  pollfd p{server->sock, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  s.SetSilent(false);
  char buf[8];
  testing::internal::CaptureStdout();
  int r = s.Recv(server, buf, sizeof(buf));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(s.GetLastError(server), ECONNRESET);
  EXPECT_EQ(out, "pUpdateError(): 104 -> " + std::string(strerror(ECONNRESET)) + "\n");
}

// ---------------------------------------------------------------------------------------------

TEST_F(Sockets3Data, SelectReadAndWriteOnOneHandle) {
  EXPECT_EQ(s.SelectRead(server, 0u), 0);
  timeval zero{0, 0};
  EXPECT_EQ(s.SelectRead(server, &zero), 0);
  EXPECT_EQ(s.SelectWrite(client, 1000u), 1);
  Feed("x");
  EXPECT_EQ(s.SelectRead(server, 1000u), 1);
  EXPECT_EQ(s.SelectRead(server, nullptr), 1);  // no limit, but ready
  // A closed peer counts as readable; the receive then reports the close.
  char buf[4];
  EXPECT_EQ(s.Recv(server, buf, sizeof(buf)), 1);
  s.Close(client);
  client = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  EXPECT_EQ(s.SelectRead(server, 5000u), 1);
  EXPECT_EQ(s.Recv(server, buf, sizeof(buf)), 0);
}

TEST_F(Sockets3Data, WaitOnADescriptorThatIsNotOpenFails) {
  int real = server->sock;
  server->sock = 1000000;
  EXPECT_EQ(s.SelectRead(server, 10u), -1);
  EXPECT_EQ(s.GetLastError(server), EBADF);
  EXPECT_EQ(s.SelectWrite(server, 10u), -1);
  ORVEX_SOCKET_SET set;
  SetClear(&set);
  SetAdd(&set, server);
  EXPECT_EQ(s.SelectReadSet(&set, 10u), -1);
  EXPECT_EQ(s.GetLastError(nullptr), EBADF);
  server->sock = real;
}

TEST(Sockets3Sets, AddClearMemberAndCapacity) {
  ORVEX_SOCKET handles[ORVEX_SOCKET_SET_SIZE + 1];
  ORVEX_SOCKET_SET set;
  SetClear(&set);
  EXPECT_EQ(set.count, 0);
  EXPECT_FALSE(SetIsMember(&set, &handles[0]));
  for (int i = 0; i < ORVEX_SOCKET_SET_SIZE; i++) ASSERT_TRUE(SetAdd(&set, &handles[i]));
  EXPECT_EQ(set.count, ORVEX_SOCKET_SET_SIZE);
  // A full set refuses instead of writing past its end.
  EXPECT_FALSE(SetAdd(&set, &handles[ORVEX_SOCKET_SET_SIZE]));
  EXPECT_EQ(set.count, ORVEX_SOCKET_SET_SIZE);
  EXPECT_TRUE(SetIsMember(&set, &handles[ORVEX_SOCKET_SET_SIZE - 1]));
  EXPECT_FALSE(SetIsMember(&set, &handles[ORVEX_SOCKET_SET_SIZE]));
  SetClear(&set);
  EXPECT_FALSE(SetIsMember(&set, &handles[0]));
  // Duplicates are allowed.
  SetAdd(&set, &handles[1]);
  SetAdd(&set, &handles[1]);
  EXPECT_EQ(set.count, 2);
}

TEST(Sockets3Sets, ReadSetKeepsOnlyReadyMembersInOrder) {
  Orvex_Sockets3 s;
  ORVEX_SOCKET* c[3];
  ORVEX_SOCKET* a[3];
  for (int i = 0; i < 3; i++) ASSERT_TRUE(ConnectedPair(&s, AF_INET, &c[i], &a[i]));
  ORVEX_SOCKET_SET set;
  SetClear(&set);
  for (int i = 0; i < 3; i++) SetAdd(&set, a[i]);
  EXPECT_EQ(s.SelectReadSet(&set, 0u), 0);
  EXPECT_EQ(set.count, 0);

  ASSERT_EQ(s.Send(c[1], "1", 1, true), 1);
  ASSERT_TRUE(WaitForBytes(a[1]->sock, 1, 5000));
  SetClear(&set);
  for (int i = 0; i < 3; i++) SetAdd(&set, a[i]);
  EXPECT_EQ(s.SelectReadSet(&set, 2000u), 1);
  ASSERT_EQ(set.count, 1);
  EXPECT_EQ(set.handles[0], a[1]);

  ASSERT_EQ(s.Send(c[2], "2", 1, true), 1);
  ASSERT_TRUE(WaitForBytes(a[2]->sock, 1, 5000));
  SetClear(&set);
  for (int i = 2; i >= 0; i--) SetAdd(&set, a[i]);
  SetAdd(&set, a[1]);  // a duplicate member counts once, and both entries stay
  EXPECT_EQ(s.SelectReadSet(&set, 2000u), 2);
  ASSERT_EQ(set.count, 3);
  EXPECT_EQ(set.handles[0], a[2]);
  EXPECT_EQ(set.handles[1], a[1]);
  EXPECT_EQ(set.handles[2], a[1]);
  for (int i = 0; i < 3; i++) {
    s.Close(c[i]);
    s.Close(a[i]);
  }
}

TEST(Sockets3Sets, SelectSetsCountsBothDirections) {
  Orvex_Sockets3 s;
  ORVEX_SOCKET* c;
  ORVEX_SOCKET* a;
  ASSERT_TRUE(ConnectedPair(&s, AF_INET, &c, &a));
  ORVEX_SOCKET_SET rd, wr;
  SetClear(&rd);
  SetClear(&wr);
  SetAdd(&rd, a);
  SetAdd(&rd, c);
  SetAdd(&wr, a);
  // Nothing to read; the one write member is writable.
  EXPECT_EQ(s.SelectSets(&rd, &wr, 1000u), 1);
  EXPECT_EQ(rd.count, 0);
  ASSERT_EQ(wr.count, 1);
  EXPECT_EQ(wr.handles[0], a);

  ASSERT_EQ(s.Send(c, "x", 1, true), 1);
  ASSERT_TRUE(WaitForBytes(a->sock, 1, 5000));
  SetClear(&rd);
  SetAdd(&rd, a);
  SetAdd(&rd, c);
  SetClear(&wr);
  SetAdd(&wr, a);
  // One descriptor ready both ways counts twice, as select counts it.
  EXPECT_EQ(s.SelectSets(&rd, &wr, 1000u), 2);
  ASSERT_EQ(rd.count, 1);
  EXPECT_EQ(rd.handles[0], a);
  EXPECT_EQ(wr.count, 1);

  // A null set is neither waited on nor touched.
  SetClear(&rd);
  SetAdd(&rd, a);
  EXPECT_EQ(s.SelectSets(&rd, nullptr, 1000u), 1);
  EXPECT_EQ(rd.count, 1);
  // With no sets at all the call only waits.
  EXPECT_EQ(s.SelectSets(nullptr, nullptr, 100u), 0);
  timeval bad{0, -1};
  EXPECT_EQ(s.SelectSets(nullptr, nullptr, &bad), -1);
  EXPECT_EQ(s.GetLastError(nullptr), EINVAL);
  s.Close(c);
  s.Close(a);
}

// ---------------------------------------------------------------------------------------------

TEST(Sockets3HighDescriptors, WaitsWorkAboveTheSelectLimit) {
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
  rlimit raised = old_limit;
  if (raised.rlim_cur < 2048) raised.rlim_cur = std::min<rlim_t>(2048, raised.rlim_max);
  if (raised.rlim_cur < 1300) GTEST_SKIP() << "descriptor limit too low: " << raised.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  // Fill the low descriptor numbers so that new sockets land above 1024.
  std::vector<int> fillers;
  int devnull = open("/dev/null", O_RDONLY);
  ASSERT_GE(devnull, 0);
  fillers.push_back(devnull);
  for (;;) {
    int fd = dup(devnull);
    ASSERT_GE(fd, 0) << strerror(errno);
    fillers.push_back(fd);
    if (fd >= 1100) break;
  }
  {
    Orvex_Sockets3 s;
    ORVEX_SOCKET* c;
    ORVEX_SOCKET* a;
    ASSERT_TRUE(ConnectedPair(&s, AF_INET, &c, &a));
    EXPECT_GE(c->sock, 1024);
    EXPECT_GE(a->sock, 1024);
    ORVEX_SOCKET* late = s.Create(AF_INET, SOCK_STREAM, 0, 0);
    EXPECT_GE(late->sock, 1024);
    // Connecting with a time-out waits for writability on the high descriptor.
    int port = 0;
    ORVEX_SOCKET* l = testutil::ListenLoopback(&s, AF_INET, &port);
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(s.ConnectWithTimeout(late, "127.0.0.1", port, 5000));

    EXPECT_EQ(s.SelectRead(a, 0u), 0);
    ASSERT_EQ(s.Send(c, "high\n", -1, true), 5);
    EXPECT_EQ(s.SelectRead(a, 5000u), 1);
    EXPECT_EQ(s.SelectWrite(a, 5000u), 1);
    ORVEX_SOCKET_SET set;
    SetClear(&set);
    SetAdd(&set, c);
    SetAdd(&set, a);
    EXPECT_EQ(s.SelectReadSet(&set, 5000u), 1);
    ASSERT_EQ(set.count, 1);
    EXPECT_EQ(set.handles[0], a);
    char line[16];
    EXPECT_EQ(s.RecvLine(a, line, sizeof(line)), 4);
    EXPECT_STREQ(line, "high");
    for (ORVEX_SOCKET* h : {c, a, late, l}) s.Close(h);
  }
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &old_limit);
}

}  // namespace
