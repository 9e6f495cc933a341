#include "static_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "memleak.h"

volatile sig_atomic_t StaticServer::stop_ = 0;

namespace {

const size_t kMaxRequest = 16 * 1024;  // request line and headers together
// Time a client has for its TLS handshake and its whole request head.
const int64_t kHeadDeadlineMs = 10000;
const uint32_t kSendTimeoutMs = 30000;
// Connections served at the same time.
const int kMaxConnections = 32;
const uint32_t kBodyBlock = 64 * 1024;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* ContentType(const std::string& path) {
  size_t dot = path.rfind('.');
  std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
  if (ext == "info" || ext == "xml") return "text/xml";
  if (ext == "html" || ext == "htm") return "text/html";
  if (ext == "txt") return "text/plain";
  return "application/octet-stream";
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

StaticServer::StaticServer(const std::string& root, bool log, Clock now_ms)
    : root_(root), log_(log), now_ms_(now_ms ? std::move(now_ms) : Clock(NowMs)) {}

StaticServer::~StaticServer() {
  if (listener_) sockets_.Close(listener_);
}

int StaticServer::TargetToPath(const std::string& target, std::string* rel) {
  rel->clear();
  if (target.empty() || target[0] != '/') return 400;
  std::string path = target.substr(0, target.find_first_of("?#"));
  std::string decoded;
  for (size_t n = 0; n < path.size(); ++n) {
    char c = path[n];
    if (c == '%') {
      if (n + 2 >= path.size()) return 400;
      int hi = HexValue(path[n + 1]), lo = HexValue(path[n + 2]);
      if (hi < 0 || lo < 0) return 400;
      c = static_cast<char>(hi * 16 + lo);
      n += 2;
    }
    if (c == '\0' || c == '\\') return 400;
    decoded.push_back(c);
  }
  size_t start = 0;
  while (start <= decoded.size()) {
    size_t end = decoded.find('/', start);
    if (end == std::string::npos) end = decoded.size();
    std::string part = decoded.substr(start, end - start);
    if (part == ".." || part == ".") return 403;
    if (!part.empty()) {
      if (!rel->empty()) rel->push_back('/');
      *rel += part;
    }
    start = end + 1;
  }
  return 0;
}

bool StaticServer::EnableTls(const std::string& cert_file, const std::string& key_file,
                             std::string* error) {
  if (!sockets_.EnableSSLFiles(cert_file.c_str(), key_file.c_str(), 0)) {
    *error = "cannot use certificate " + cert_file + " with key " + key_file + ": " +
             sockets_.GetLastErrorString(nullptr);
    return false;
  }
  SSL_CTX_set_min_proto_version(sockets_.GetSSLContext(), TLS1_2_VERSION);
  tls_ = true;
  return true;
}

bool StaticServer::Start(const std::string& address, int port, std::string* error) {
  char buf[PATH_MAX];
  if (!realpath(root_.c_str(), buf)) {
    *error = "cannot open site " + root_ + ": " + strerror(errno);
    return false;
  }
  real_root_ = buf;
  struct stat st;
  if (stat(real_root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "site " + root_ + " is not a directory";
    return false;
  }
  const bool any = address == "*";
  int family = any ? AF_INET : sockets_.GetFamilyForHost(address.c_str(), port);
  listener_ = sockets_.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  if (!listener_) {
    *error = std::string("cannot create a socket: ") + sockets_.GetLastErrorString(nullptr);
    return false;
  }
  sockets_.SetReuseAddr(listener_, true);
  bool bound =
      any ? sockets_.BindPort(listener_, port) : sockets_.Bind(listener_, address.c_str(), port);
  if (!bound || !sockets_.Listen(listener_, 64)) {
    *error = "cannot listen on " + address + " port " + std::to_string(port) + ": " +
             sockets_.GetLastErrorString(nullptr);
    sockets_.Close(listener_);
    listener_ = nullptr;
    return false;
  }
  struct sockaddr_storage sa;
  socklen_t len = sizeof(sa);
  memset(&sa, 0, sizeof(sa));
  if (getsockname(listener_->sock, reinterpret_cast<struct sockaddr*>(&sa), &len) == 0) {
    if (sa.ss_family == AF_INET6) {
      port_ = ntohs(reinterpret_cast<struct sockaddr_in6*>(&sa)->sin6_port);
    } else {
      port_ = ntohs(reinterpret_cast<struct sockaddr_in*>(&sa)->sin_port);
    }
  }
  return true;
}

uint64_t StaticServer::Run() {
  uint64_t served = 0;
  while (!stop_ && listener_) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (active_ >= kMaxConnections) {
        changed_.wait_for(hold, std::chrono::milliseconds(500));
        continue;
      }
    }
    int ready = sockets_.SelectRead(listener_, 500u);
    if (ready <= 0) continue;
    ORVEX_SOCKET* conn = sockets_.Accept(listener_, 0);
    if (!conn) continue;
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++active_;
    }
    try {
      std::thread([this, conn] {
        Serve(conn);
        sockets_.Close(conn);
        Finish();
      }).detach();
    } catch (const std::system_error&) {
      // No thread to spare: this client is turned away, the others go on.
      sockets_.Close(conn);
      Finish();
    }
    ++served;
  }
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return active_ == 0; });
  return served;
}

void StaticServer::Finish() {
  std::lock_guard<std::mutex> hold(lock_);
  --active_;
  changed_.notify_all();
}

bool StaticServer::ReadHead(ORVEX_SOCKET* conn, std::string* request) {
  const int64_t deadline = now_ms_() + kHeadDeadlineMs;
  auto remaining = [&]() { return deadline - now_ms_(); };
  sockets_.SetSendTimeout(conn, kSendTimeoutMs);
  sockets_.SetRecvTimeout(conn, static_cast<uint32_t>(kHeadDeadlineMs));
  if (tls_ && !sockets_.SwitchToSSL_Server(conn)) return false;
  char chunk[4096];
  for (;;) {
    int64_t left = remaining();
    if (left <= 0) return false;
    // Each wait is cut to what is left, so dribbling bytes cannot stretch the deadline.
    sockets_.SetRecvTimeout(conn, static_cast<uint32_t>(left));
    int n = sockets_.Recv(conn, chunk, sizeof(chunk));
    if (n <= 0) return false;  // closed, failed or timed out before a whole request came
    request->append(chunk, static_cast<size_t>(n));
    if (request->find("\r\n\r\n") != std::string::npos ||
        request->find("\n\n") != std::string::npos) {
      return true;
    }
    if (request->size() > kMaxRequest) {
      Answer(conn, "", false, 400, "Bad Request");
      return false;
    }
  }
}

void StaticServer::Answer(ORVEX_SOCKET* conn, const std::string& request_line, bool head, int code,
                          const char* reason) {
  std::string body = std::to_string(code) + " " + reason + "\n";
  std::string head_text =
      "HTTP/1.0 " + std::to_string(code) + " " + reason +
      "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n";
  if (!head) head_text += body;
  sockets_.Send(conn, head_text.data(), static_cast<int>(head_text.size()), true);
  if (log_) {
    printf("%s \"%s\" %d 0\n", conn->remote_ip, request_line.c_str(), code);
    fflush(stdout);
  }
}

void StaticServer::Serve(ORVEX_SOCKET* conn) {
  std::string request;
  if (!ReadHead(conn, &request)) return;
  std::string line = request.substr(0, request.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';  // keep the log readable
  }
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos ||
      line.compare(sp2 + 1, 5, "HTTP/") != 0) {
    Answer(conn, line, false, 400, "Bad Request");
    return;
  }
  std::string method = line.substr(0, sp1);
  std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  bool head = method == "HEAD";
  if (method != "GET" && !head) {
    Answer(conn, line, false, 501, "Not Implemented");
    return;
  }
  std::string rel;
  int refused = TargetToPath(target, &rel);
  if (refused == 400) return Answer(conn, line, head, 400, "Bad Request");
  if (refused != 0) return Answer(conn, line, head, 403, "Forbidden");
  char resolved[PATH_MAX];
  std::string full = real_root_ + "/" + rel;
  if (!realpath(full.c_str(), resolved) ||
      strncmp(resolved, (real_root_ + "/").c_str(), real_root_.size() + 1) != 0) {
    return Answer(conn, line, head, 404, "Not Found");
  }
  int fd = open(resolved, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    return Answer(conn, line, head, 404, "Not Found");
  }
  std::string head_text = "HTTP/1.0 200 OK\r\nContent-Type: " + std::string(ContentType(rel)) +
                          "\r\nContent-Length: " + std::to_string(st.st_size) +
                          "\r\nConnection: close\r\n\r\n";
  uint64_t sent = 0;
  bool ok = sockets_.Send(conn, head_text.data(), static_cast<int>(head_text.size()), true) > 0;
  if (ok && !head) {
    uint8_t* buf = static_cast<uint8_t*>(zmalloc(kBodyBlock, __FILE__, __LINE__));
    while (buf && sent < static_cast<uint64_t>(st.st_size)) {
      ssize_t n = read(fd, buf, kBodyBlock);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 ||
          sockets_.Send(conn, reinterpret_cast<const char*>(buf), static_cast<int>(n), true) != n)
        break;
      sent += static_cast<uint64_t>(n);
    }
    if (buf) zfree(buf, __FILE__, __LINE__);
  }
  close(fd);
  if (log_) {
    printf("%s \"%s\" 200 %llu\n", conn->remote_ip, line.c_str(),
           static_cast<unsigned long long>(sent));
    fflush(stdout);
  }
}
