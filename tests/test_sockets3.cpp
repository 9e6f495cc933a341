// Socket layer: library start, handles and registry, options, error recording, name
// resolution, connecting and accepting over loopback, and the virtual-table contract.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "memleak.h"
#include "peer_process.h"
#include "socket_fixtures.h"
#include "sockets3.h"
#include "test_util.h"

using testutil::ConnectedPair;
using testutil::FdIsOpen;
using testutil::ListenLoopback;

namespace {

const int kOwnBase = 0x4F53 << 16;

// Exposes the protected state and the error recorder.
class Probe : public Orvex_Sockets3 {
 public:
  bool IsSilent() const { return silent; }
  const std::vector<ORVEX_SOCKET*>& Registry() const { return sockets; }
  void Record(ORVEX_SOCKET* sock, int code, const char* text = nullptr) {
    errno = code;
    pUpdateError(sock, text);
  }
  void Refresh(ORVEX_SOCKET* sock) { RefreshAddresses(sock); }
};

// A name that fails inside the local resolver (a label longer than 63 characters), so the
// tests send no query off the machine.
const std::string kUnresolvable = std::string(70, 'x') + ".invalid";

class IgnoreSigpipe : public ::testing::Environment {
 public:
  void SetUp() override { signal(SIGPIPE, SIG_IGN); }
};
::testing::Environment* const kSigpipe = ::testing::AddGlobalTestEnvironment(new IgnoreSigpipe);

// ---------------------------------------------------------------------------------------------

TEST(Sockets3Library, InitCountsUsersAndRestartsAfterLastCleanup) {
  int base = SocketsLibraryInitCount();
  auto a = std::make_unique<Orvex_Sockets3>();
  EXPECT_EQ(SocketsLibraryInitCount(), base + 1);
  EXPECT_TRUE(SocketsLibraryReady());
  EXPECT_EQ(RAND_status(), 1);
  auto b = std::make_unique<Orvex_Sockets3>();
  EXPECT_EQ(SocketsLibraryInitCount(), base + 2);
  b.reset();
  EXPECT_EQ(SocketsLibraryInitCount(), base + 1);
  EXPECT_TRUE(SocketsLibraryReady());
  a.reset();
  EXPECT_EQ(SocketsLibraryInitCount(), base);
  if (base == 0) {
    EXPECT_FALSE(SocketsLibraryReady());
    Orvex_Sockets3 c;
    EXPECT_TRUE(SocketsLibraryReady());
    EXPECT_EQ(SocketsLibraryInitCount(), 1);
  }
  // Cleanup without a user does not go negative.
  if (SocketsLibraryInitCount() == 0) {
    SocketsLibraryCleanup();
    EXPECT_EQ(SocketsLibraryInitCount(), 0);
    EXPECT_FALSE(SocketsLibraryReady());
  }
}

int g_fill_calls = 0;
int g_ready_after = 0;
int NeverReady() { return 0; }
int ReadyAfterFills() { return g_fill_calls >= g_ready_after ? 1 : 0; }
bool CountingFill(unsigned char* buf, size_t len) {
  g_fill_calls++;
  memset(buf, 0x5a, len);
  return true;
}
bool FailingFill(unsigned char*, size_t) {
  g_fill_calls++;
  return false;
}

TEST(Sockets3Library, SeedingEndsAfterBoundedRounds) {
  g_fill_calls = 0;
  EXPECT_FALSE(SocketsSeedRandomPool(NeverReady, CountingFill, 7));
  EXPECT_EQ(g_fill_calls, 7);
  g_fill_calls = 0;
  EXPECT_FALSE(SocketsSeedRandomPool(NeverReady, FailingFill, 3));
  EXPECT_EQ(g_fill_calls, 3);
  g_fill_calls = 0;
  g_ready_after = 2;
  EXPECT_TRUE(SocketsSeedRandomPool(ReadyAfterFills, CountingFill, 50));
  EXPECT_EQ(g_fill_calls, 2);
}

TEST(Sockets3Library, FillRandomFillsEveryByte) {
  EXPECT_TRUE(FillRandom(nullptr, 0));
  std::vector<unsigned char> a(4096, 0), b(4096, 0);
  ASSERT_TRUE(FillRandom(a.data(), a.size()));
  ASSERT_TRUE(FillRandom(b.data(), b.size()));
  EXPECT_NE(a, b);
  // The tail is written too, not only the start.
  bool tail_written = false;
  for (size_t i = 4000; i < 4096; i++) tail_written = tail_written || a[i] != 0;
  EXPECT_TRUE(tail_written);
}

// ---------------------------------------------------------------------------------------------

TEST(Sockets3Object, FreshStateAndFeatures) {
  Probe s;
  EXPECT_TRUE(s.IsSilent());
  EXPECT_EQ(s.GetLastError(nullptr), 0);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "");
  EXPECT_TRUE(s.IsSupported(SOCKFEAT_SSL));
  EXPECT_FALSE(s.IsSupported(SOCKFEAT_ZLIB));
  EXPECT_FALSE(s.IsSupported(0));
  EXPECT_FALSE(s.IsEnabled(SOCKFEAT_SSL));
  EXPECT_FALSE(s.IsEnabled(SOCKFEAT_ZLIB));
  EXPECT_TRUE(s.IsAvailable());
  EXPECT_EQ(s.GetSSLContext(), nullptr);
  s.SetSilent(false);
  EXPECT_FALSE(s.IsSilent());
}

TEST(Sockets3Object, CreateRegistersAndCloseFreesInAnyOrder) {
  Probe s;
  ORVEX_SOCKET* a = s.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ORVEX_SOCKET* b = s.Create(AF_INET6, SOCK_STREAM, 0, SOCKFEAT_SSL);
  ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(a->family, AF_INET);
  EXPECT_EQ(a->type, SOCK_STREAM);
  EXPECT_EQ(a->protocol, IPPROTO_TCP);
  EXPECT_EQ(b->family, AF_INET6);
  EXPECT_EQ(b->ssl, nullptr);
  EXPECT_EQ(a->last_errno, 0);
  EXPECT_STREQ(s.GetLastErrorString(a), "");
  EXPECT_STREQ(a->remote_ip, "");
  EXPECT_FALSE(a->nonblocking);
  EXPECT_EQ(s.Registry(), (std::vector<ORVEX_SOCKET*>{a, b, c}));
  EXPECT_TRUE(s.IsValidSocket(a));
  EXPECT_FALSE(s.IsValidSocket(nullptr));

  int fd_b = b->sock;
  EXPECT_EQ(s.Close(b), 0);
  EXPECT_FALSE(FdIsOpen(fd_b));
  EXPECT_FALSE(s.IsValidSocket(b));  // compared only, never used
  EXPECT_EQ(s.Registry(), (std::vector<ORVEX_SOCKET*>{a, c}));
  EXPECT_EQ(s.Close(nullptr), -1);
  EXPECT_EQ(s.Close(c), 0);
  EXPECT_EQ(s.Close(a), 0);
  EXPECT_TRUE(s.Registry().empty());
}

TEST(Sockets3Object, CreateFailuresLeaveNothingBehind) {
  Probe s;
  int fds = testutil::CountOpenFds();
  uint64_t blocks = zmem_blocks();
  EXPECT_EQ(s.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, SOCKFEAT_ZLIB), nullptr);
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "VSL has not been compiled with zlib support");
  EXPECT_EQ(testutil::CountOpenFds(), fds);
  EXPECT_EQ(zmem_blocks(), blocks);
  EXPECT_TRUE(s.Registry().empty());

  EXPECT_EQ(s.Create(12345, SOCK_STREAM, 0, 0), nullptr);
  EXPECT_EQ(s.GetLastError(nullptr), EAFNOSUPPORT);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), strerror(EAFNOSUPPORT));
  EXPECT_EQ(zmem_blocks(), blocks);
  EXPECT_TRUE(s.Registry().empty());
}

TEST(Sockets3Object, OutOfMemoryForTheRecordFailsCleanly) {
  Probe s;
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ASSERT_NE(l, nullptr);
  ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.Connect(c, "127.0.0.1", port));
  int fds = testutil::CountOpenFds();
  MemLeak_SetFailCountdown(1, true);
  ORVEX_SOCKET* created = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ORVEX_SOCKET* accepted = s.Accept(l, 0u);
  MemLeak_SetFailCountdown(0, false);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(accepted, nullptr);
  EXPECT_EQ(s.GetLastError(nullptr), ENOMEM);
  EXPECT_EQ(testutil::CountOpenFds(), fds);
  EXPECT_EQ(s.Registry().size(), 2u);
  // The connection was left pending and is accepted once memory is back.
  ORVEX_SOCKET* a = s.Accept(l, 0u);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->remote_port, c->local_port);
  for (ORVEX_SOCKET* h : {a, c, l}) s.Close(h);
}

TEST(Sockets3Object, DestructionWarnsPerOpenHandleAndLeavesThemOpen) {
  ORVEX_SOCKET* a;
  ORVEX_SOCKET* b;
  std::string out;
  {
    auto quiet = std::make_unique<Probe>();
    ORVEX_SOCKET* q = quiet->Create(AF_INET, SOCK_STREAM, 0, 0);
    ASSERT_NE(q, nullptr);
    testing::internal::CaptureStdout();
    quiet.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(FdIsOpen(q->sock));
    close(q->sock);
    zfree(q, __FILE__, __LINE__);
  }
  {
    auto s = std::make_unique<Probe>();
    a = s->Create(AF_INET, SOCK_STREAM, 0, 0);
    b = s->Create(AF_INET, SOCK_DGRAM, 0, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    strcpy(a->remote_ip, "10.1.2.3");
    a->remote_port = 8080;
    s->SetSilent(false);
    testing::internal::CaptureStdout();
    s.reset();
    out = testing::internal::GetCapturedStdout();
  }
  char line_a[200], line_b[200];
  snprintf(line_a, sizeof(line_a),
           "WARNING: ORVEX_SOCKET 0x%p (10.1.2.3:8080) was not closed before Orvex_Sockets3 was "
           "deleted!\n",
           static_cast<void*>(a));
  snprintf(line_b, sizeof(line_b),
           "WARNING: ORVEX_SOCKET 0x%p (:0) was not closed before Orvex_Sockets3 was deleted!\n",
           static_cast<void*>(b));
  EXPECT_EQ(out, std::string(line_a) + line_b);
  EXPECT_TRUE(FdIsOpen(a->sock));
  EXPECT_TRUE(FdIsOpen(b->sock));
  close(a->sock);
  close(b->sock);
  zfree(a, __FILE__, __LINE__);
  zfree(b, __FILE__, __LINE__);
}

// ---------------------------------------------------------------------------------------------

TEST(Sockets3Options, SettersReachTheDescriptor) {
  Probe s;
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ORVEX_SOCKET* u = s.Create(AF_INET, SOCK_DGRAM, 0, 0);
  ASSERT_NE(t, nullptr);
  ASSERT_NE(u, nullptr);
  int v = 0;
  socklen_t len = sizeof(v);

  EXPECT_EQ(s.SetReuseAddr(t, true), 0);
  getsockopt(t->sock, SOL_SOCKET, SO_REUSEADDR, &v, &len);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(s.SetReuseAddr(t, false), 0);
  getsockopt(t->sock, SOL_SOCKET, SO_REUSEADDR, &v, &len);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(s.SetKeepAlive(t, true), 0);
  getsockopt(t->sock, SOL_SOCKET, SO_KEEPALIVE, &v, &len);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(s.SetBroadcast(u, true), 0);
  getsockopt(u->sock, SOL_SOCKET, SO_BROADCAST, &v, &len);
  EXPECT_EQ(v, 1);

  linger l{};
  socklen_t llen = sizeof(l);
  EXPECT_EQ(s.SetLinger(t, true, 70000), 0);
  getsockopt(t->sock, SOL_SOCKET, SO_LINGER, &l, &llen);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 4464);  // 70000 modulo 65536
  EXPECT_EQ(s.SetLinger(t, false, 30), 0);
  getsockopt(t->sock, SOL_SOCKET, SO_LINGER, &l, &llen);
  EXPECT_EQ(l.l_onoff, 0);

  EXPECT_EQ(s.SetRecvTimeout(t, 1500), 0);
  timeval tv{};
  socklen_t tlen = sizeof(tv);
  getsockopt(t->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &tlen);
  EXPECT_EQ(tv.tv_sec, 1);
  EXPECT_EQ(tv.tv_usec, 500000);
  EXPECT_EQ(s.SetSendTimeout(t, 2000), 0);
  getsockopt(t->sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &tlen);
  EXPECT_EQ(tv.tv_sec, 2);
  EXPECT_EQ(tv.tv_usec, 0);

  s.SetNonBlocking(t, true);
  EXPECT_TRUE(s.IsNonBlocking(t));
  EXPECT_TRUE(fcntl(t->sock, F_GETFL) & O_NONBLOCK);
  s.SetNonBlocking(t, false);
  EXPECT_FALSE(s.IsNonBlocking(t));
  EXPECT_FALSE(fcntl(t->sock, F_GETFL) & O_NONBLOCK);
  // Successful setters leave the last error alone.
  EXPECT_EQ(s.GetLastError(t), 0);
  EXPECT_EQ(s.GetLastError(nullptr), 0);
  s.Close(t);
  s.Close(u);
}

TEST(Sockets3Options, FailingSettersRecordTheSystemError) {
  Probe s;
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_NE(t, nullptr);
  int real_fd = t->sock;
  // A descriptor number that is not open.
  t->sock = 1000000;
  EXPECT_EQ(s.SetKeepAlive(t, true), -1);
  EXPECT_EQ(s.GetLastError(t), EBADF);
  EXPECT_STREQ(s.GetLastErrorString(t), strerror(EBADF));
  t->last_errno = 0;
  s.SetNonBlocking(t, true);
  EXPECT_EQ(s.GetLastError(t), EBADF);
  EXPECT_EQ(s.SetRecvTimeout(t, 10), -1);
  // Closing a handle whose descriptor fails to close still frees it and reports -1.
  EXPECT_EQ(s.Close(t), -1);
  EXPECT_EQ(s.GetLastError(nullptr), EBADF);
  EXPECT_FALSE(s.IsValidSocket(t));
  close(real_fd);
}

TEST(Sockets3Options, UnsupportedFeatureRecordsItsText) {
  Probe s;
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(s.UnsupportedFeature(t));
  EXPECT_STREQ(s.GetLastErrorString(t), "Feature not supported on this platform");
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Feature not supported on this platform");
  s.Close(t);
}

// ---------------------------------------------------------------------------------------------

TEST(Sockets3Errors, RecordingRulesAndTruncation) {
  Probe s;
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_NE(t, nullptr);
  std::string long_text(600, 'e');
  long_text[0] = 'S';
  s.Record(t, EIO, long_text.c_str());
  EXPECT_EQ(s.GetLastError(nullptr), EIO);
  EXPECT_EQ(s.GetLastError(t), EIO);
  EXPECT_EQ(strlen(s.GetLastErrorString(nullptr)), 511u);
  EXPECT_EQ(strlen(s.GetLastErrorString(t)), 127u);
  EXPECT_EQ(std::string(s.GetLastErrorString(t)), long_text.substr(0, 127));

  s.Record(nullptr, 9999);
  EXPECT_EQ(s.GetLastError(nullptr), 9999);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Unknown Error (Code: 9999)");
  EXPECT_EQ(s.GetLastError(t), EIO);  // handle untouched without a handle argument

  // Code 0 keeps the previous text.
  s.Record(t, 0);
  EXPECT_EQ(s.GetLastError(nullptr), 0);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Unknown Error (Code: 9999)");
  EXPECT_EQ(s.GetLastError(t), 0);
  s.Close(t);
}

TEST(Sockets3Errors, OnlyLoudCodesArePrintedAndOnlyWhenNotSilent) {
  Probe s;
  testing::internal::CaptureStdout();
  s.Record(nullptr, ECONNRESET);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  s.SetSilent(false);
  testing::internal::CaptureStdout();
  for (int quiet : {0, ENOENT, EAGAIN, ENOTCONN, EINPROGRESS}) s.Record(nullptr, quiet);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  testing::internal::CaptureStdout();
  s.Record(nullptr, ECONNRESET);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "pUpdateError(): 104 -> " + std::string(strerror(ECONNRESET)) + "\n");
}

TEST(Sockets3Errors, RefusedConnectionIsRecordedAndPrinted) {
  Probe s;
  s.SetSilent(false);
  int port = testutil::FreePort();
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_NE(t, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(s.Connect(t, "127.0.0.1", port));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(s.GetLastError(nullptr), ECONNREFUSED);
  EXPECT_EQ(s.GetLastError(t), ECONNREFUSED);
  EXPECT_STREQ(s.GetLastErrorString(t), strerror(ECONNREFUSED));
  EXPECT_STREQ(s.GetLastErrorString(nullptr), strerror(ECONNREFUSED));
  EXPECT_NE(out.find("pUpdateError(): 111 -> " + std::string(strerror(ECONNREFUSED)) + "\n"),
            std::string::npos)
      << out;
  s.Close(t);
}

// ---------------------------------------------------------------------------------------------

TEST(Sockets3Resolve, FamilyAndHostIP) {
  Probe s;
  EXPECT_EQ(s.GetFamilyForHost(kUnresolvable.c_str(), 80), AF_INET);
  EXPECT_EQ(s.GetFamilyForHost("::1", 80), AF_INET6);
  EXPECT_EQ(s.GetFamilyForHost("127.0.0.1", 80), AF_INET);

  EXPECT_EQ(s.GetHostIP("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(s.GetHostIP("::1"), "::1");
  // localhost: the first address the resolver lists.
  addrinfo hints{};
  addrinfo* list = nullptr;
  ASSERT_EQ(getaddrinfo("localhost", nullptr, &hints, &list), 0);
  char first[64];
  ASSERT_EQ(getnameinfo(list->ai_addr, list->ai_addrlen, first, sizeof(first), nullptr, 0,
                        NI_NUMERICHOST),
            0);
  freeaddrinfo(list);
  EXPECT_EQ(s.GetHostIP("localhost"), first);

  EXPECT_EQ(s.GetHostIP(kUnresolvable.c_str()), "");
  // The resolver's own cause is recorded.
  EXPECT_EQ(s.GetLastError(nullptr), EAI_NONAME);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), gai_strerror(EAI_NONAME));
}

TEST(Sockets3Resolve, BindEphemeralAndFailures) {
  Probe s;
  ORVEX_SOCKET* a = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ORVEX_SOCKET* b = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(a && b && c);
  ASSERT_TRUE(s.Bind(a, "127.0.0.1", 0));
  int port = testutil::LocalPort(a->sock);
  EXPECT_GT(port, 0);
  ASSERT_TRUE(s.Listen(a, 4));
  EXPECT_FALSE(s.Bind(b, "127.0.0.1", port));
  EXPECT_EQ(s.GetLastError(b), EADDRINUSE);

  EXPECT_FALSE(s.Bind(c, kUnresolvable.c_str(), 0));
  EXPECT_STREQ(s.GetLastErrorString(c), "Could not resolve any addresses matching address family.");
  EXPECT_STREQ(s.GetLastErrorString(nullptr),
               "Could not resolve any addresses matching address family.");
  // An IPv4 handle finds no IPv6 address to bind to.
  EXPECT_FALSE(s.Bind(c, "::1", 0));
  EXPECT_STREQ(s.GetLastErrorString(c), "Could not resolve any addresses matching address family.");
  s.Close(a);
  s.Close(b);
  s.Close(c);
}

TEST(Sockets3Listen, BindPortTakesTheWildcardOfTheFamily) {
  Probe s;
  ORVEX_SOCKET* v4 = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ORVEX_SOCKET* v6 = s.Create(AF_INET6, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(v4 && v6);
  ASSERT_TRUE(s.BindPort(v4, 0));
  ASSERT_TRUE(s.BindPort(v6, 0));
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  getsockname(v4->sock, reinterpret_cast<sockaddr*>(&ss), &len);
  EXPECT_EQ(ss.ss_family, AF_INET);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_NE(reinterpret_cast<sockaddr_in*>(&ss)->sin_port, 0);
  len = sizeof(ss);
  getsockname(v6->sock, reinterpret_cast<sockaddr*>(&ss), &len);
  EXPECT_EQ(ss.ss_family, AF_INET6);
  EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr));
  // Binding again fails with the system error.
  EXPECT_FALSE(s.BindPort(v4, 0));
  EXPECT_EQ(s.GetLastError(v4), EINVAL);
  s.Close(v4);
  s.Close(v6);
}

// ---------------------------------------------------------------------------------------------

TEST(Sockets3Connect, ConnectAndAcceptFillAddresses) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    Probe s;
    const char* host = family == AF_INET6 ? "::1" : "127.0.0.1";
    int port = 0;
    ORVEX_SOCKET* l = ListenLoopback(&s, family, &port);
    ASSERT_NE(l, nullptr);
    ORVEX_SOCKET* c = s.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
    ASSERT_TRUE(s.Connect(c, host, port));
    EXPECT_STREQ(c->remote_ip, host);
    EXPECT_EQ(c->remote_port, port);
    EXPECT_STREQ(c->local_ip, host);
    EXPECT_EQ(c->local_port, testutil::LocalPort(c->sock));

    sockaddr_storage peer{};
    socklen_t peer_len = sizeof(peer);
    ORVEX_SOCKET* a = s.Accept(l, reinterpret_cast<sockaddr*>(&peer), &peer_len, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(s.IsValidSocket(a));
    EXPECT_EQ(peer.ss_family, family);
    EXPECT_STREQ(a->remote_ip, host);
    EXPECT_EQ(a->remote_port, c->local_port);
    EXPECT_EQ(a->local_port, port);
    EXPECT_EQ(a->family, 0);
    EXPECT_EQ(a->type, 0);
    EXPECT_EQ(a->protocol, 0);

    EXPECT_EQ(s.Send(c, "ping", -1, true), 4);
    char buf[16] = {};
    EXPECT_EQ(s.Recv(a, buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "ping");
    // Closing the listener does not touch the accepted handle.
    s.Close(l);
    EXPECT_EQ(s.Send(a, "pong", 4, true), 4);
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(s.Recv(c, buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "pong");
    s.Close(a);
    EXPECT_EQ(s.Recv(c, buf, sizeof(buf)), 0);  // peer closed
    EXPECT_FALSE(s.IsValidSocket(a));
    s.Close(c);
  }
}

TEST(Sockets3Connect, ConnectWithTimeoutKeepsTheBlockingMode) {
  Probe s;
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ASSERT_NE(l, nullptr);
  ORVEX_SOCKET* blocking = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.ConnectWithTimeout(blocking, "127.0.0.1", port, 5000));
  EXPECT_FALSE(blocking->nonblocking);
  EXPECT_FALSE(fcntl(blocking->sock, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(blocking->remote_port, port);
  EXPECT_STREQ(blocking->remote_ip, "127.0.0.1");

  ORVEX_SOCKET* nonblocking = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  s.SetNonBlocking(nonblocking, true);
  ASSERT_TRUE(s.ConnectWithTimeout(nonblocking, "127.0.0.1", port, 5000));
  EXPECT_TRUE(nonblocking->nonblocking);
  EXPECT_TRUE(fcntl(nonblocking->sock, F_GETFL) & O_NONBLOCK);

  // The connections are real: both get accepted.
  ORVEX_SOCKET* a1 = s.Accept(l, 0u);
  ORVEX_SOCKET* a2 = s.Accept(l, 0u);
  ASSERT_TRUE(a1 && a2);
  EXPECT_EQ(s.Send(blocking, "x", 1, true), 1);
  for (ORVEX_SOCKET* h : {l, blocking, nonblocking, a1, a2}) s.Close(h);
}

TEST(Sockets3Connect, RefusalCountsAsWritableAndShowsAtTheNextReceive) {
  Probe s;
  int port = testutil::FreePort();
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.ConnectWithTimeout(t, "127.0.0.1", port, 5000));
  char buf[8];
  EXPECT_EQ(s.Recv(t, buf, sizeof(buf)), -1);
  EXPECT_EQ(s.GetLastError(t), ECONNREFUSED);
  s.Close(t);
}

TEST(Sockets3Connect, ConnectWithTimeoutGivesUpOnASilentPeer) {
  Probe s;
  int port = 0;
  // A listener whose accept queue is full drops further connection requests unanswered.
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port, 0);
  ASSERT_NE(l, nullptr);
  std::vector<ORVEX_SOCKET*> filler;
  bool silent_seen = false;
  for (int i = 0; i < 8 && !silent_seen; i++) {
    ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
    filler.push_back(t);
    silent_seen = !s.ConnectWithTimeout(t, "127.0.0.1", port, 300);
  }
  EXPECT_TRUE(silent_seen);
  EXPECT_FALSE(filler.back()->nonblocking);
  for (ORVEX_SOCKET* t : filler) s.Close(t);
  s.Close(l);
}

TEST(Sockets3Connect, UnresolvableHostFailsEveryConnect) {
  Probe s;
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  EXPECT_FALSE(s.Connect(t, kUnresolvable.c_str(), 80));
  EXPECT_EQ(s.GetLastError(t), EAI_NONAME);
  EXPECT_FALSE(s.ConnectWithTimeout(t, kUnresolvable.c_str(), 80, 100));
  EXPECT_FALSE(t->nonblocking);
  s.Close(t);
}

TEST(Sockets3Listen, AcceptsManyPendingConnections) {
  Probe s;
  const int kClients = 200;
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port, kClients);
  ASSERT_NE(l, nullptr);
  std::vector<ORVEX_SOCKET*> clients;
  std::vector<int> client_ports;
  for (int i = 0; i < kClients; i++) {
    ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_STREAM, 0, 0);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(s.ConnectWithTimeout(c, "127.0.0.1", port, 5000)) << i;
    char tag[16];
    snprintf(tag, sizeof(tag), "%d\n", i);
    ASSERT_GT(s.Send(c, tag, -1, true), 0);
    clients.push_back(c);
    client_ports.push_back(c->local_port);
  }
  std::vector<bool> seen(kClients, false);
  for (int i = 0; i < kClients; i++) {
    ASSERT_EQ(s.SelectRead(l, 5000u), 1);
    ORVEX_SOCKET* a = s.Accept(l, 0u);
    ASSERT_NE(a, nullptr);
    char line[32];
    ASSERT_GT(s.RecvLine(a, line, sizeof(line)), 0);
    int n = atoi(line);
    ASSERT_GE(n, 0);
    ASSERT_LT(n, kClients);
    EXPECT_FALSE(seen[n]);
    seen[n] = true;
    EXPECT_EQ(a->remote_port, client_ports[n]);
    EXPECT_TRUE(s.IsValidSocket(a));
    s.Close(a);
  }
  // Nothing left: a non-blocking accept reports EAGAIN quietly.
  s.SetNonBlocking(l, true);
  s.SetSilent(false);
  testing::internal::CaptureStdout();
  EXPECT_EQ(s.Accept(l, 0u), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(s.GetLastError(nullptr), EAGAIN);
  for (ORVEX_SOCKET* c : clients) s.Close(c);
  s.Close(l);
  EXPECT_TRUE(s.Registry().empty());
}

TEST(Sockets3Listen, AcceptRefusesTlsWithoutContextAndCompression) {
  Probe s;
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ASSERT_NE(l, nullptr);
  for (uint32_t flags :
       {static_cast<uint32_t>(SOCKFEAT_SSL), static_cast<uint32_t>(SOCKFEAT_ZLIB)}) {
    SCOPED_TRACE(flags);
    ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_STREAM, 0, 0);
    ASSERT_TRUE(s.Connect(c, "127.0.0.1", port));
    s.SetRecvTimeout(c, 5000);
    EXPECT_EQ(s.Accept(l, flags), nullptr);
    EXPECT_EQ(s.GetLastError(nullptr), kOwnBase);
    EXPECT_STREQ(s.GetLastErrorString(nullptr),
                 flags == SOCKFEAT_SSL ? "SSL has not been enabled!"
                                       : "VSL has not been compiled with zlib support");
    EXPECT_EQ(s.Registry().size(), 2u);  // listener and client only
    char buf[4];
    EXPECT_EQ(s.Recv(c, buf, sizeof(buf)), 0);  // the accepted side was closed
    s.Close(c);
  }
  s.Close(l);
}

// ---------------------------------------------------------------------------------------------
// Composite operations go through the virtual table.

class Instrumented : public Orvex_Sockets3 {
 public:
  using Orvex_Sockets3::Recv;
  using Orvex_Sockets3::SelectRead;
  using Orvex_Sockets3::SelectWrite;

  int connect_addr_calls = 0;
  bool fail_connect_addr = false;
  int set_nonblocking_calls = 0;
  int select_write_calls = 0;
  int select_write_result = -2;  // -2: use the real wait
  int select_read_calls = 0;
  int recv_calls = 0;
  std::string recv_feed;  // when set, Recv serves these bytes instead of the socket
  int switch_server_calls = 0;

  bool ConnectAddr(ORVEX_SOCKET* sock, const sockaddr* addr, socklen_t len) override {
    connect_addr_calls++;
    if (fail_connect_addr) {
      errno = ECONNREFUSED;
      return false;
    }
    return Orvex_Sockets3::ConnectAddr(sock, addr, len);
  }
  void SetNonBlocking(ORVEX_SOCKET* sock, bool on) override {
    set_nonblocking_calls++;
    Orvex_Sockets3::SetNonBlocking(sock, on);
  }
  int SelectWrite(ORVEX_SOCKET* sock, timeval* tv) override {
    select_write_calls++;
    if (select_write_result != -2) return select_write_result;
    return Orvex_Sockets3::SelectWrite(sock, tv);
  }
  int SelectRead(ORVEX_SOCKET* sock, timeval* tv) override {
    select_read_calls++;
    return Orvex_Sockets3::SelectRead(sock, tv);
  }
  int Recv(ORVEX_SOCKET* sock, char* buf, uint32_t size) override {
    recv_calls++;
    if (recv_feed.empty()) return Orvex_Sockets3::Recv(sock, buf, size);
    size_t n = std::min<size_t>(size, recv_feed.size());
    memcpy(buf, recv_feed.data(), n);
    recv_feed.erase(0, n);
    return static_cast<int>(n);
  }
  bool SwitchToSSL_Server(ORVEX_SOCKET*) override {
    switch_server_calls++;
    return false;
  }
};

TEST(Sockets3VirtualTable, ConnectUsesReplacedConnectAddr) {
  Instrumented s;
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_NE(t, nullptr);
  // With type and protocol 0 the resolver lists the address once per socket type, which gives
  // several addresses to try.
  t->type = 0;
  t->protocol = 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  ASSERT_EQ(getaddrinfo("127.0.0.1", "1", &hints, &list), 0);
  int addresses = 0;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) addresses++;
  freeaddrinfo(list);
  ASSERT_GE(addresses, 2);

  s.fail_connect_addr = true;
  EXPECT_FALSE(s.Connect(t, "127.0.0.1", 1));
  EXPECT_EQ(s.connect_addr_calls, addresses);
  EXPECT_EQ(s.GetLastError(t), ECONNREFUSED);

  // A non-blocking handle is tried against the first address only.
  s.connect_addr_calls = 0;
  t->nonblocking = true;
  EXPECT_FALSE(s.Connect(t, "127.0.0.1", 1));
  EXPECT_EQ(s.connect_addr_calls, 1);
  s.Close(t);
}

TEST(Sockets3VirtualTable, ConnectWithTimeoutUsesReplacedPrimitives) {
  Instrumented s;
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ASSERT_NE(l, nullptr);
  ORVEX_SOCKET* t = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  s.connect_addr_calls = 0;
  s.set_nonblocking_calls = 0;
  ASSERT_TRUE(s.ConnectWithTimeout(t, "127.0.0.1", port, 2000));
  EXPECT_EQ(s.connect_addr_calls, 1);
  EXPECT_EQ(s.select_write_calls, 1);
  EXPECT_EQ(s.set_nonblocking_calls, 2);  // on, and back off

  // A replaced SelectWrite that never reports writable makes every attempt fail; at most five
  // addresses are tried.
  ORVEX_SOCKET* u = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  u->type = 0;
  u->protocol = 0;
  s.select_write_result = 0;
  s.connect_addr_calls = 0;
  s.select_write_calls = 0;
  EXPECT_FALSE(s.ConnectWithTimeout(u, "127.0.0.1", port, 10));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  ASSERT_EQ(getaddrinfo("127.0.0.1", "1", &hints, &list), 0);
  int addresses = 0;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) addresses++;
  freeaddrinfo(list);
  EXPECT_EQ(s.select_write_calls, std::min(addresses, 5));
  EXPECT_EQ(s.connect_addr_calls, std::min(addresses, 5));
  s.Close(u);
  s.Close(t);
  s.Close(l);
}

TEST(Sockets3VirtualTable, RecvLineAndWaitsUseReplacedPrimitives) {
  Instrumented s;
  ORVEX_SOCKET* c;
  ORVEX_SOCKET* a;
  ASSERT_TRUE(ConnectedPair(&s, AF_INET, &c, &a));
  ASSERT_EQ(s.Send(c, "HTTP/1.0 200 OK\r\nrest", -1, true), 21);
  ASSERT_TRUE(testutil::WaitForBytes(a->sock, 21, 5000));
  // RecvLine peeks the real bytes and then consumes through Recv: the replacement serves the
  // consumed line from its own feed, and the socket keeps the whole text queued.
  s.recv_feed = "FROM-FEED-LINE\r\n";
  char line[64];
  EXPECT_EQ(s.RecvLine(a, line, sizeof(line)), 14);
  EXPECT_STREQ(line, "FROM-FEED-LINE");
  EXPECT_EQ(s.recv_calls, 1);
  char all[64] = {};
  EXPECT_EQ(recv(a->sock, all, sizeof(all), 0), 21);

  // The ms waits go through the timeval ones.
  EXPECT_EQ(s.SelectRead(a, 0u), 0);
  EXPECT_EQ(s.select_read_calls, 1);
  s.select_write_calls = 0;
  EXPECT_EQ(s.SelectWrite(a, 100u), 1);
  EXPECT_EQ(s.select_write_calls, 1);
  s.Close(c);
  s.Close(a);
}

TEST(Sockets3VirtualTable, AcceptUsesReplacedServerHandshake) {
  Instrumented s;
  testutil::TempDir dir;
  std::string pem, cert, key, err;
  ASSERT_TRUE(testutil::MakeSelfSignedCert(dir.path(), &pem, &cert, &key, &err)) << err;
  ASSERT_TRUE(s.EnableSSL(pem.c_str(), 0));
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.Connect(c, "127.0.0.1", port));
  EXPECT_EQ(s.Accept(l, SOCKFEAT_SSL), nullptr);
  EXPECT_EQ(s.switch_server_calls, 1);
  s.Close(c);
  s.Close(l);
}

}  // namespace
