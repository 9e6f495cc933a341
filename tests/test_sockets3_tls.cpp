// Socket layer TLS: contexts from PEM files, handshakes as client and server against the
// openssl command-line tools and against the layer itself, TLS data paths and failures.
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "peer_process.h"
#include "socket_fixtures.h"
#include "sockets3.h"
#include "test_util.h"

using testutil::ListenLoopback;
using testutil::PeerProcess;

namespace {

const int kOwnBase = 0x4F53 << 16;

class IgnoreSigpipe : public ::testing::Environment {
 public:
  void SetUp() override { signal(SIGPIPE, SIG_IGN); }
};
::testing::Environment* const kSigpipe = ::testing::AddGlobalTestEnvironment(new IgnoreSigpipe);

class Sockets3Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testutil::TempDir();
    std::string err;
    ok_ = testutil::MakeSelfSignedCert(dir_->path(), &pem_, &cert_, &key_, &err);
    if (!ok_) fprintf(stderr, "certificate: %s\n", err.c_str());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(ok_); }

  // Starts openssl s_server on a free loopback port, answering each line reversed.
  bool StartReversingServer(PeerProcess* server, int* port, const std::vector<std::string>& extra) {
    *port = testutil::FreePort();
    std::vector<std::string> argv = {testutil::FindProgram("openssl"),
                                     "s_server",
                                     "-accept",
                                     "127.0.0.1:" + std::to_string(*port),
                                     "-cert",
                                     pem_,
                                     "-key",
                                     pem_,
                                     "-rev"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return server->Start(argv, "", dir_->Sub("s_server" + std::to_string(*port) + ".out")) &&
           server->WaitForOutput("ACCEPT", 10000);
  }

  static testutil::TempDir* dir_;
  static bool ok_;
  static std::string pem_, cert_, key_;
};

testutil::TempDir* Sockets3Tls::dir_ = nullptr;
bool Sockets3Tls::ok_ = false;
std::string Sockets3Tls::pem_, Sockets3Tls::cert_, Sockets3Tls::key_;

// ---------------------------------------------------------------------------------------------

TEST_F(Sockets3Tls, EnableSSLMakesAndReplacesTheContext) {
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  EXPECT_TRUE(s.IsEnabled(SOCKFEAT_SSL));
  EXPECT_FALSE(s.IsEnabled(SOCKFEAT_ZLIB));
  SSL_CTX* first = s.GetSSLContext();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(SSL_CTX_get_mode(first) & SSL_MODE_AUTO_RETRY);
  EXPECT_TRUE(SSL_CTX_get_options(first) & SSL_OP_NO_SSLv3);
  // A second context replaces the first, which is released (the leak checker of the sanitizer
  // build would report it otherwise).
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 1));
  EXPECT_NE(s.GetSSLContext(), nullptr);
  EXPECT_TRUE(s.IsEnabled(SOCKFEAT_SSL));
}

TEST_F(Sockets3Tls, EnableSSLFailuresLeaveNoContext) {
  testutil::TempDir other;
  std::string pem2, cert2, key2, err;
  ASSERT_TRUE(testutil::MakeSelfSignedCert(other.path(), &pem2, &cert2, &key2, &err)) << err;
  std::string mismatched = other.Sub("mismatched.pem");
  ASSERT_TRUE(
      testutil::WriteFile(mismatched, testutil::ReadFileOr(cert_) + testutil::ReadFileOr(key2)));

  Orvex_Sockets3 s;
  ORVEX_SOCKET* h = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));

  EXPECT_FALSE(s.EnableSSL(dir_->Sub("missing.pem").c_str(), 0));
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase | 0x0002);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Error loading your certificate!");
  EXPECT_FALSE(s.IsEnabled(SOCKFEAT_SSL));  // the earlier context is gone too
  EXPECT_EQ(s.GetSSLContext(), nullptr);

  EXPECT_FALSE(s.EnableSSL(cert_.c_str(), 0));
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase | 0x0003);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Error loading your Private Key!");
  EXPECT_FALSE(s.IsEnabled(SOCKFEAT_SSL));

  // The key of another certificate is refused while loading it or when checked afterwards.
  EXPECT_FALSE(s.EnableSSL(mismatched.c_str(), 0));
  int code = s.GetLastError(nullptr);
  EXPECT_TRUE(code == (kOwnBase | 0x0003) || code == (kOwnBase | 0x0004)) << code;
  EXPECT_FALSE(s.IsEnabled(SOCKFEAT_SSL));

  EXPECT_FALSE(s.EnableSSL(nullptr, 0));
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase | 0x0002);

  // None of these touches a handle.
  EXPECT_EQ(s.GetLastError(h), 0);
  EXPECT_STREQ(s.GetLastErrorString(h), "");
  s.Close(h);
}

TEST_F(Sockets3Tls, UnknownMethodFallsBackWithAMessageWhenNotSilent) {
  Orvex_Sockets3 s;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(s.EnableSSL(pem_.c_str(), 7));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  s.SetSilent(false);
  for (int method : {7, -1}) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(s.EnableSSL(pem_.c_str(), method));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Orvex_Sockets3: Unknown TLS method, using default...\n");
  }
  testing::internal::CaptureStdout();
  EXPECT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Sockets3Tls, HandshakeWithoutContextFails) {
  Orvex_Sockets3 s;
  ORVEX_SOCKET* h = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  EXPECT_FALSE(s.SwitchToSSL_Client(h));
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase | 0x0011);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Error Allocating a SSL!\n");
  EXPECT_EQ(h->ssl, nullptr);
  EXPECT_EQ(s.GetPeerCertificate(h), nullptr);
  s.Close(h);
}

// ---------------------------------------------------------------------------------------------

TEST_F(Sockets3Tls, ClientTalksToOpensslServer) {
  PeerProcess server;
  int port = 0;
  ASSERT_TRUE(StartReversingServer(&server, &port, {})) << server.Output();

  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  ORVEX_SOCKET* h = s.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(s.Connect(h, "127.0.0.1", port));
  s.SetRecvTimeout(h, 10000);
  s.SetSilent(false);
  testing::internal::CaptureStdout();
  bool established = s.SwitchToSSL_Client(h);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(established) << s.GetLastErrorString(nullptr);
  ASSERT_NE(h->ssl, nullptr);
  std::string expected_head = std::string("SSL connection established\nSSL Version: ") +
                              SSL_get_version(h->ssl) + ", Cipher: " + SSL_get_cipher_name(h->ssl) +
                              "\nUsing ";
  EXPECT_EQ(out.substr(0, expected_head.size()), expected_head) << out;
  EXPECT_NE(out.find(" maximum possible bits for security\n"), std::string::npos) << out;
  s.SetSilent(true);

  X509* cert = s.GetPeerCertificate(h);
  ASSERT_NE(cert, nullptr);
  char subject[256];
  X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
  EXPECT_STREQ(subject, "/CN=localhost");
  X509_free(cert);

  EXPECT_EQ(s.Send(h, "hello tls\n", -1, false), 10);
  char line[64];
  EXPECT_EQ(s.RecvLine(h, line, sizeof(line)), 9);
  EXPECT_STREQ(line, "slt olleh");

  // Decrypted bytes left in the TLS buffer make the handle readable at once, although the
  // socket itself holds nothing more.
  ASSERT_EQ(s.Send(h, "abcdefghij\n", -1, true), 11);
  ASSERT_EQ(s.SelectRead(h, 10000u), 1);
  char two[2];
  ASSERT_EQ(s.Recv(h, two, sizeof(two)), 2);
  EXPECT_EQ(std::string(two, 2), "ji");
  pollfd p{h->sock, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 0), 0);
  EXPECT_EQ(s.SelectRead(h, 0u), 1);
  timeval zero{0, 0};
  EXPECT_EQ(s.SelectRead(h, &zero), 1);
  EXPECT_EQ(s.RecvLine(h, line, sizeof(line)), 8);
  EXPECT_STREQ(line, "hgfedcba");

  // Datagram operations refuse a TLS handle without sending or receiving.
  EXPECT_EQ(s.SendTo(h, "127.0.0.1", port, "x", 1), -1);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "SendTo doesn't work with SSL");
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase);
  char buf[8];
  EXPECT_EQ(s.RecvFrom(h, nullptr, 0, nullptr, buf, sizeof(buf)), -1);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "RecvFrom doesn't work with SSL");
  EXPECT_EQ(s.PeekFrom(h, nullptr, 0, nullptr, buf, sizeof(buf)), -1);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "PeekFrom doesn't work with SSL");
  EXPECT_EQ(s.Close(h), 0);
}

TEST_F(Sockets3Tls, FixedVersionMethodNegotiatesThatVersion) {
  PeerProcess server;
  int port = 0;
  ASSERT_TRUE(StartReversingServer(&server, &port, {})) << server.Output();
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 1));
  ORVEX_SOCKET* h = s.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(s.Connect(h, "127.0.0.1", port));
  s.SetRecvTimeout(h, 10000);
  ASSERT_TRUE(s.SwitchToSSL_Client(h)) << s.GetLastErrorString(nullptr);
  EXPECT_STREQ(SSL_get_version(h->ssl), "TLSv1.2");
  EXPECT_EQ(s.Send(h, "12\n", -1, true), 3);
  char line[16];
  EXPECT_EQ(s.RecvLine(h, line, sizeof(line)), 2);
  EXPECT_STREQ(line, "21");
  s.Close(h);
}

TEST_F(Sockets3Tls, ServerAnswersOpensslClient) {
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ASSERT_NE(l, nullptr);
  std::string input = dir_->Sub("client.in");
  ASSERT_TRUE(testutil::WriteFile(input, "ping\n"));
  PeerProcess client;
  ASSERT_TRUE(client.Start({testutil::FindProgram("openssl"), "s_client", "-connect",
                            "127.0.0.1:" + std::to_string(port), "-quiet"},
                           input, dir_->Sub("s_client.out")));
  ASSERT_EQ(s.SelectRead(l, 10000u), 1) << client.Output();
  ORVEX_SOCKET* a = s.Accept(l, SOCKFEAT_SSL);
  ASSERT_NE(a, nullptr) << s.GetLastErrorString(nullptr);
  EXPECT_NE(a->ssl, nullptr);
  EXPECT_STREQ(a->remote_ip, "127.0.0.1");
  s.SetRecvTimeout(a, 10000);
  char line[64];
  EXPECT_EQ(s.RecvLine(a, line, sizeof(line)), 4);
  EXPECT_STREQ(line, "ping");
  EXPECT_EQ(s.Send(a, "pong from the layer\n", -1, true), 20);
  // The client sent no certificate.
  EXPECT_EQ(s.GetPeerCertificate(a), nullptr);
  EXPECT_EQ(s.Close(a), 0);
  EXPECT_TRUE(client.WaitForOutput("pong from the layer", 10000)) << client.Output();
  client.Wait(5000);
  s.Close(l);
}

// Server side of the layer in a thread: accepts one TLS connection, answers one line with
// "re: <line>" and closes.
struct EchoOnce {
  Orvex_Sockets3 s;
  ORVEX_SOCKET* listener = nullptr;
  int port = 0;
  uint32_t flags = SOCKFEAT_SSL;
  bool accepted = false;
  std::thread thread;

  bool Start(const std::string& pem) {
    if (!s.EnableSSL(pem.c_str(), 0)) return false;
    listener = ListenLoopback(&s, AF_INET, &port);
    if (listener == nullptr) return false;
    thread = std::thread([this] {
      if (s.SelectRead(listener, 10000u) != 1) return;
      ORVEX_SOCKET* a = s.Accept(listener, flags);
      if (a == nullptr) return;
      accepted = true;
      s.SetRecvTimeout(a, 10000);
      char line[256];
      int n = s.RecvLine(a, line, sizeof(line));
      if (n >= 0) s.Send(a, ("re: " + std::string(line) + "\n").c_str(), -1, true);
      s.Close(a);
    });
    return true;
  }
  ~EchoOnce() {
    if (thread.joinable()) thread.join();
    s.Close(listener);
  }
};

TEST_F(Sockets3Tls, LayerTalksToItself) {
  EchoOnce server;
  ASSERT_TRUE(server.Start(pem_));
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  ORVEX_SOCKET* h = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.ConnectWithTimeout(h, "127.0.0.1", server.port, 5000));
  s.SetRecvTimeout(h, 10000);
  ASSERT_TRUE(s.SwitchToSSL_Client(h)) << s.GetLastErrorString(nullptr);
  X509* cert = s.GetPeerCertificate(h);
  EXPECT_NE(cert, nullptr);
  X509_free(cert);
  EXPECT_EQ(s.Send(h, "over tls\n", -1, true), 9);
  char line[64];
  EXPECT_EQ(s.RecvLine(h, line, sizeof(line)), 12);
  EXPECT_STREQ(line, "re: over tls");
  // After the peer's close notify a receive reports the close.
  char buf[8];
  EXPECT_EQ(s.Recv(h, buf, sizeof(buf)), 0);
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase | 0x0014);
  EXPECT_STREQ(s.GetLastErrorString(nullptr), "Error returned by SSL_read(): 0");
  EXPECT_EQ(s.Close(h), 0);
}

TEST_F(Sockets3Tls, AcceptWithTlsAndCompressionHandshakesThenRefuses) {
  EchoOnce server;
  server.flags = SOCKFEAT_SSL | SOCKFEAT_ZLIB;
  ASSERT_TRUE(server.Start(pem_));
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  ORVEX_SOCKET* h = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.Connect(h, "127.0.0.1", server.port));
  s.SetRecvTimeout(h, 10000);
  EXPECT_TRUE(s.SwitchToSSL_Client(h)) << s.GetLastErrorString(nullptr);
  char buf[8];
  EXPECT_EQ(s.Recv(h, buf, sizeof(buf)), 0);  // closed at once, with a close notify
  s.Close(h);
  server.thread.join();
  EXPECT_FALSE(server.accepted);
  EXPECT_STREQ(server.s.GetLastErrorString(nullptr), "VSL has not been compiled with zlib support");
}

TEST_F(Sockets3Tls, CloseDoesNotWaitForeverForTheCloseNotifyAnswer) {
  // The client is served on this thread too, so it cannot answer while the server closes.
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.Connect(c, "127.0.0.1", port));
  ORVEX_SOCKET* a = nullptr;
  std::thread server([&] { a = s.Accept(l, SOCKFEAT_SSL); });
  bool client_ok = s.SwitchToSSL_Client(c);
  server.join();
  ASSERT_TRUE(client_ok);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(s.Close(a), 0);  // returns although the client never answers
  char buf[8];
  s.SetRecvTimeout(c, 10000);
  EXPECT_EQ(s.Recv(c, buf, sizeof(buf)), 0);
  EXPECT_EQ(s.Close(c), 0);
  s.Close(l);
}

TEST_F(Sockets3Tls, ServerHandshakeWithPlainClientFails) {
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(&s, AF_INET, &port);
  ORVEX_SOCKET* c = s.Create(AF_INET, SOCK_STREAM, 0, 0);
  ASSERT_TRUE(s.Connect(c, "127.0.0.1", port));
  s.SetRecvTimeout(c, 10000);
  ASSERT_EQ(s.Send(c, "GET / HTTP/1.0\r\n\r\n", -1, true), 18);
  // Printed whether silent or not.
  testing::internal::CaptureStdout();
  ORVEX_SOCKET* a = s.Accept(l, SOCKFEAT_SSL);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase | 0x0013);
  std::string text = s.GetLastErrorString(nullptr);
  EXPECT_EQ(text.substr(0, 6), "error:") << text;
  EXPECT_EQ(out, "OpenSSL Error: -1, " + text + "\n");
  EXPECT_EQ(s.GetLastError(c), 0);
  char buf[8];
  EXPECT_LE(s.Recv(c, buf, sizeof(buf)), 0);  // the connection was closed again
  s.Close(c);
  s.Close(l);
}

TEST_F(Sockets3Tls, ClientHandshakeWithPlainServerFails) {
  Orvex_Sockets3 s;
  ASSERT_TRUE(s.EnableSSL(pem_.c_str(), 0));
  ORVEX_SOCKET* c;
  ORVEX_SOCKET* a;
  ASSERT_TRUE(testutil::ConnectedPair(&s, AF_INET, &c, &a));
  s.SetRecvTimeout(c, 10000);
  ASSERT_GT(s.Send(a, "220 plain text service, not TLS at all\r\n", -1, true), 0);
  testing::internal::CaptureStdout();
  bool ok = s.SwitchToSSL_Client(c);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(ok);
  EXPECT_EQ(s.GetLastError(nullptr), kOwnBase | 0x0013);
  std::string text = s.GetLastErrorString(nullptr);
  EXPECT_EQ(out, "OpenSSL Error: " + text + "\n");
  // The handle keeps its TLS object until it is closed.
  EXPECT_NE(c->ssl, nullptr);
  EXPECT_EQ(s.Close(c), 0);
  s.Close(a);
}

}  // namespace
