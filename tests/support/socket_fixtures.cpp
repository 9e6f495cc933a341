#include "socket_fixtures.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace testutil {

ORVEX_SOCKET* ListenLoopback(Orvex_Sockets3* s, int family, int* port, int backlog) {
  ORVEX_SOCKET* l = s->Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  if (l == nullptr) return nullptr;
  s->SetReuseAddr(l, true);
  if (!s->Bind(l, family == AF_INET6 ? "::1" : "127.0.0.1", 0) || !s->Listen(l, backlog)) {
    s->Close(l);
    return nullptr;
  }
  *port = LocalPort(l->sock);
  return l;
}

bool ConnectedPair(Orvex_Sockets3* s, int family, ORVEX_SOCKET** client, ORVEX_SOCKET** server) {
  int port = 0;
  ORVEX_SOCKET* l = ListenLoopback(s, family, &port);
  if (l == nullptr) return false;
  ORVEX_SOCKET* c = s->Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  if (c == nullptr || !s->Connect(c, family == AF_INET6 ? "::1" : "127.0.0.1", port)) {
    s->Close(c);
    s->Close(l);
    return false;
  }
  ORVEX_SOCKET* a = s->Accept(l, 0u);
  s->Close(l);
  if (a == nullptr) {
    s->Close(c);
    return false;
  }
  *client = c;
  *server = a;
  return true;
}

bool WaitForBytes(int fd, size_t n, int timeout_ms) {
  std::vector<char> buf(n);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    ssize_t got = recv(fd, buf.data(), n, MSG_PEEK | MSG_DONTWAIT);
    if (got >= 0 && static_cast<size_t>(got) >= n) return true;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

int CountOpenFds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n - 3;  // ".", ".." and the directory's own descriptor
}

bool FdIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int LocalPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return -1;
}

}  // namespace testutil
