#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testutil {

namespace {

// The whole life of a server thread is bounded by this, whatever the script does.
const int kServerLifetimeMs = 120000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int ListenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

int AcceptWithin(int listen_fd, int timeout_ms) {
  pollfd p{listen_fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return -1;
  return accept(listen_fd, nullptr, nullptr);
}

bool ScriptConn::ReadMore(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  char buf[4096];
  ssize_t n = recv(fd_, buf, sizeof(buf), 0);
  if (n <= 0) return false;
  pending_.append(buf, static_cast<size_t>(n));
  if (log_) {
    std::lock_guard<std::mutex> lock(*log_mutex_);
    log_->append(buf, static_cast<size_t>(n));
  }
  return true;
}

std::string ScriptConn::ReadRequest(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos && pending_.size() < 65536) {
    int64_t left = deadline - NowMs();
    if (left <= 0 || !ReadMore(static_cast<int>(left))) break;
  }
  size_t take = end == std::string::npos ? pending_.size() : end + 4;
  std::string request = pending_.substr(0, take);
  pending_.erase(0, take);
  return request;
}

std::string ScriptConn::ReadLine(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  size_t end;
  while ((end = pending_.find('\n')) == std::string::npos) {
    int64_t left = deadline - NowMs();
    if (left <= 0 || !ReadMore(static_cast<int>(left))) return "";
  }
  std::string line = pending_.substr(0, end + 1);
  pending_.erase(0, end + 1);
  return line;
}

bool ScriptConn::Send(const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void ScriptConn::Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool ScriptConn::WaitClosed(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  char buf[4096];
  for (;;) {
    int64_t left = deadline - NowMs();
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) return false;
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) return true;
    if (log_) {
      std::lock_guard<std::mutex> lock(*log_mutex_);
      log_->append(buf, static_cast<size_t>(n));
    }
  }
}

ScriptConn::~ScriptConn() { Close(); }

void ScriptConn::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void ScriptConn::Abort() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  Close();
}

ScriptedServer::ScriptedServer(Script script, int max_connections)
    : script_(std::move(script)), max_connections_(max_connections) {
  received_.resize(static_cast<size_t>(max_connections));
  listen_fd_ = ListenLoopback(&port_);
  if (listen_fd_ >= 0) thread_ = std::thread(&ScriptedServer::Run, this);
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ScriptedServer::Received(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= static_cast<int>(received_.size())) return "";
  return received_[static_cast<size_t>(index)];
}

void ScriptedServer::Run() {
  int64_t deadline = NowMs() + kServerLifetimeMs;
  for (int index = 0; index < max_connections_ && !stop_ && NowMs() < deadline;) {
    int fd = AcceptWithin(listen_fd_, 50);
    if (fd < 0) continue;
    {
      ScriptConn conn(fd, &received_[static_cast<size_t>(index)], &mutex_);
      script_(conn, index);
    }
    connections_++;
    index++;
  }
}

}  // namespace testutil
