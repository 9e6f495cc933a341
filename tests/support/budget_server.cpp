#include "budget_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "test_util.h"

namespace testutil {

BudgetServer::BudgetServer(const std::string& root) : root_(root) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    close(fd);
    return;
  }
  port_ = ntohs(sa.sin_port);
  listen_fd_ = fd;
  thread_ = std::thread([this] { Loop(); });
}

BudgetServer::~BudgetServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void BudgetServer::Arm(int64_t budget, std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(hook_mutex_);
  hook_ = std::move(hook);
  sent_ = 0;
  fired_ = false;
  budget_ = budget;
}

void BudgetServer::Loop() {
  while (!stop_) {
    pollfd p = {listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    Serve(fd);
    close(fd);
  }
}

bool BudgetServer::SendCounted(int fd, const char* data, size_t len) {
  while (len > 0) {
    size_t chunk = len < 8192 ? len : 8192;
    int64_t budget = budget_.load();
    if (budget >= 0) {
      int64_t left = budget - sent_.load();
      if (left <= 0) {
        if (!fired_.exchange(true)) {
          std::lock_guard<std::mutex> lock(hook_mutex_);
          if (hook_) hook_();
        }
        return false;
      }
      if (static_cast<int64_t>(chunk) > left) chunk = static_cast<size_t>(left);
    }
    ssize_t n = send(fd, data, chunk, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent_ += n;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void BudgetServer::Serve(int fd) {
  std::string request;
  char buf[2048];
  for (int rounds = 0; rounds < 200 && request.find("\r\n\r\n") == std::string::npos; rounds++) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      if (stop_) return;
      continue;
    }
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return;
    request.append(buf, static_cast<size_t>(n));
    if (request.size() > 65536) return;
  }
  // "GET /path HTTP/1.0"
  size_t sp1 = request.find(' ');
  size_t sp2 = request.find(' ', sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) return;
  std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string body;
  bool found = path.find("..") == std::string::npos && ReadFile(root_ + path, &body);
  std::string head = found ? "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\nContent-Type: application/octet-stream\r\n\r\n"
                           : "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  // "Range: bytes=N-" within the file: the rest from N, as 206.
  size_t range = request.find("\r\nRange: bytes=");
  if (found && range != std::string::npos) {
    size_t from = strtoull(request.c_str() + range + 15, nullptr, 10);
    if (from < body.size()) {
      head = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
             std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) +
             "\r\nContent-Length: " + std::to_string(body.size() - from) + "\r\n\r\n";
      body.erase(0, from);
    }
  }
  if (!SendCounted(fd, head.data(), head.size())) return;
  if (found) SendCounted(fd, body.data(), body.size());
}

}  // namespace testutil
