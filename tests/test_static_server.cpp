// The built-in server's request-head deadline, measured on an injected clock: a client that
// sends its head a byte at a time is dropped once the deadline has passed, however steadily the
// bytes come, while a client that sends its request gets its answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "static_server.h"
#include "test_util.h"

namespace {

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Everything the server sends until it closes.
std::string ReadAll(int fd) {
  std::string got;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) got.append(buf, static_cast<size_t>(n));
  return got;
}

TEST(StaticServerDeadline, DribblingClientIsDroppedAtTheDeadline) {
  testutil::TempDir site;
  ASSERT_TRUE(testutil::WriteFile(site.Sub("a.txt"), "hello\n"));
  // Every reading of the clock moves it 4 seconds on, so a head that needs more than three
  // readings has outlived the 10-second deadline, however fast the bytes really come.
  std::atomic<int64_t> now{0};
  StaticServer server(site.path(), false, [&now] { return now.fetch_add(4000); });
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, &error)) << error;
  std::thread runner([&server] { server.Run(); });

  int prompt = Connect(server.port());
  ASSERT_GE(prompt, 0);
  const std::string request = "GET /a.txt HTTP/1.0\r\n\r\n";
  ASSERT_EQ(write(prompt, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  EXPECT_NE(ReadAll(prompt).find("200 OK"), std::string::npos);
  close(prompt);

  int dribbling = Connect(server.port());
  ASSERT_GE(dribbling, 0);
  const std::string head = "GET /a.txt HTTP/1.0\r\nX-Padding: " + std::string(400, 'p');
  size_t sent = 0;
  bool dropped = false;
  for (; sent < head.size() && !dropped; sent++) {
    if (write(dribbling, &head[sent], 1) != 1) break;
    pollfd p = {dribbling, POLLIN, 0};
    dropped = poll(&p, 1, 20) == 1;
  }
  EXPECT_TRUE(dropped) << "the server still waited after " << sent << " bytes";
  EXPECT_EQ(ReadAll(dribbling), "");
  close(dribbling);

  StaticServer::Stop();
  runner.join();
}

}  // namespace
