#include "test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "GenLib.h"

namespace testutil {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/velmor-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string TempDir::Sub(const std::string& rel) const { return path_ + "/" + rel; }

bool MakeDirs(const std::string& path) { return make_directories(path.c_str(), 0755); }

bool CopyFileTimes(const std::string& path, const std::string& reference) {
  struct stat st;
  if (stat(reference.c_str(), &st) != 0) return false;
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool WriteFile(const std::string& path, const std::string& data) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

bool ReadFile(const std::string& path, std::string* data) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *data = ss.str();
  return true;
}

std::string ReadFileOr(const std::string& path, const std::string& fallback) {
  std::string d;
  return ReadFile(path, &d) ? d : fallback;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  chmod(path.c_str(), 0700);
  nftw(path.c_str(), RemoveEntry, 64, FTW_DEPTH | FTW_PHYS);
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  int port = -1;
  socklen_t len = sizeof(sa);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
    port = ntohs(sa.sin_port);
  }
  close(fd);
  return port;
}

bool WaitForPort(int port, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err,
               const std::string& cwd, int* term_signal) {
  if (term_signal) *term_signal = 0;
  if (argv.empty()) return -1;
  // Captured output goes through temporary files so that neither pipe can fill and stall.
  TempDir cap;
  std::string out_path = cap.Sub("out"), err_path = cap.Sub("err");
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = err ? open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : o;
    if (in < 0 || o < 0 || e < 0) _exit(127);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (out) *out = ReadFileOr(out_path);
  if (err) *err = ReadFileOr(err_path);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status) && term_signal) *term_signal = WTERMSIG(status);
  return -1;
}

std::string BinPath(const std::string& name) { return std::string(BIN_DIR) + "/" + name; }

std::string SourcePath(const std::string& rel) {
  return std::string(PROJECT_SOURCE_DIR) + "/" + rel;
}

static std::string DigestHex(const char* name, const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_get_digestbyname(name), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned int i = 0; i < len; i++) {
    s += hex[md[i] >> 4];
    s += hex[md[i] & 15];
  }
  return s;
}

std::string Sha256Hex(const std::string& data) { return DigestHex("SHA256", data); }
std::string Md5Hex(const std::string& data) { return DigestHex("MD5", data); }

bool HaveNginx() { return access("/usr/sbin/nginx", X_OK) == 0; }

NginxServer::NginxServer(const std::string& root, const std::string& extra_server_conf,
                         const std::string& tls_cert, const std::string& tls_key)
    : root_(root), tls_(!tls_cert.empty()) {
  if (!HaveNginx()) {
    error_ = "nginx is not installed (/usr/sbin/nginx)";
    return;
  }
  for (int attempt = 0; attempt < 5 && pid_ < 0; attempt++) {
    port_ = FreePort();
    std::ostringstream conf;
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    if (geteuid() == 0) conf << "user root root;\n";
    conf << "pid " << dir_.Sub("nginx.pid") << ";\n"
         << "error_log " << dir_.Sub("error.log") << " info;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n"
         << "  access_log " << dir_.Sub("access.log") << ";\n"
         << "  log_format headers '\"$request\" \"$http_proxy_authorization\" "
            "\"$http_authorization\"';\n"
         << "  access_log " << dir_.Sub("headers.log") << " headers;\n"
         << "  log_format connections '$connection \"$request\"';\n"
         << "  access_log " << dir_.Sub("connections.log") << " connections;\n"
         << "  client_body_temp_path " << dir_.Sub("body") << ";\n"
         << "  proxy_temp_path " << dir_.Sub("proxy") << ";\n"
         << "  fastcgi_temp_path " << dir_.Sub("fastcgi") << ";\n"
         << "  uwsgi_temp_path " << dir_.Sub("uwsgi") << ";\n"
         << "  scgi_temp_path " << dir_.Sub("scgi") << ";\n"
         << "  default_type application/octet-stream;\n"
         << "  sendfile on;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port_ << (tls_ ? " ssl" : "") << ";\n";
    if (tls_) {
      conf << "    ssl_certificate " << tls_cert << ";\n"
           << "    ssl_certificate_key " << tls_key << ";\n";
    }
    conf << "    root " << root_ << ";\n"
         << extra_server_conf << "\n"
         << "  }\n"
         << "}\n";
    std::string conf_path = dir_.Sub("nginx.conf");
    WriteFile(conf_path, conf.str());
    pid_t pid = fork();
    if (pid == 0) {
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      execl("/usr/sbin/nginx", "nginx", "-c", conf_path.c_str(), "-p", dir_.path().c_str(), "-e",
            dir_.Sub("error.log").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid < 0) break;
    if (WaitForPort(port_, 5000)) {
      pid_ = pid;
    } else {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      error_ = "nginx did not start: " + ReadFileOr(dir_.Sub("error.log"));
    }
  }
}

NginxServer::~NginxServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    for (int i = 0; i < 200; i++) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
}

std::string NginxServer::Url(const std::string& path) const {
  return (tls_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_) +
         (path.empty() || path[0] != '/' ? "/" : "") + path;
}

std::string NginxServer::AccessLog() const { return ReadFileOr(dir_.Sub("access.log")); }

std::string NginxServer::HeaderLog() const { return ReadFileOr(dir_.Sub("headers.log")); }

std::string NginxServer::ConnectionLog() const { return ReadFileOr(dir_.Sub("connections.log")); }

}  // namespace testutil
