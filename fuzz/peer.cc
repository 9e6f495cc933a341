#include "peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace fuzzutil {

namespace {

std::mutex g_mutex;
std::vector<std::string> g_script;
std::string g_data;

int Listen(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    abort();
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

void SendAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

void Converse(int fd) {
  std::vector<std::string> script;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    script = g_script;
  }
  size_t next = 0;
  if (next < script.size()) SendAll(fd, script[next++]);
  std::string pending;
  char buf[4096];
  // Bounded: at most a few hundred lines, and a quiet client is dropped after 2 s.
  for (int rounds = 0; rounds < 256 && next < script.size(); rounds++) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos && next < script.size()) {
      pending.erase(0, nl + 1);
      SendAll(fd, script[next++]);
    }
  }
  shutdown(fd, SHUT_WR);
  // Let the client read everything before the connection goes.
  for (int i = 0; i < 20; i++) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) break;
    if (recv(fd, buf, sizeof(buf), 0) <= 0) break;
  }
  close(fd);
}

void Serve(int listen_fd, bool data) {
  for (;;) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) continue;
    if (data) {
      std::string d;
      {
        std::lock_guard<std::mutex> lock(g_mutex);
        d = g_data;
      }
      SendAll(fd, d);
      close(fd);
    } else {
      std::thread(Converse, fd).detach();
    }
  }
}

}  // namespace

Peer::Peer() {
  int fd = Listen(&port_);
  int data_fd = Listen(&data_port_);
  std::thread(Serve, fd, false).detach();
  std::thread(Serve, data_fd, true).detach();
}

Peer& Peer::Get() {
  static Peer* peer = new Peer();
  return *peer;
}

void Peer::SetScript(const std::vector<std::string>& replies) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_script = replies;
}

void Peer::SetData(const std::string& data) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_data = data;
}

}  // namespace fuzzutil
