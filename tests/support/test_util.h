// Shared helpers for the test programs: scratch directories, whole-file I/O, free loopback
// ports, running programs, and a real nginx started on loopback for the duration of a test.
// Not thread-safe; each test builds its own objects.
#ifndef TESTS_SUPPORT_TEST_UTIL_H_
#define TESTS_SUPPORT_TEST_UTIL_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + rel.
  std::string Sub(const std::string& rel) const;

 private:
  std::string path_;
};

// Whole-file helpers. WriteFile creates missing parent directories; both return false on error.
bool WriteFile(const std::string& path, const std::string& data);
bool ReadFile(const std::string& path, std::string* data);
std::string ReadFileOr(const std::string& path, const std::string& fallback = "");
bool FileExists(const std::string& path);
bool MakeDirs(const std::string& path);
// Gives path the access and modification times of reference, as touch -r does; true on success.
bool CopyFileTimes(const std::string& path, const std::string& reference);
void RemoveTree(const std::string& path);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();
// Waits until something accepts connections on 127.0.0.1:port; false after timeout_ms.
bool WaitForPort(int port, int timeout_ms);

// Runs argv[0] with its arguments (no shell), standard input from /dev/null, standard output
// and standard error captured (together unless err is given). Returns the exit code, or -1 when
// the program could not be started or ended by a signal (signal number in *term_signal).
int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err = nullptr,
               const std::string& cwd = "", int* term_signal = nullptr);

// Absolute path of a program built by this project (build/bin/NAME).
std::string BinPath(const std::string& name);
// Absolute path under the source tree.
std::string SourcePath(const std::string& rel);

// Lower-case hex SHA-256 / MD5 of a byte string, computed with OpenSSL directly.
std::string Sha256Hex(const std::string& data);
std::string Md5Hex(const std::string& data);

// A real nginx on 127.0.0.1:port() serving root() as its document root. extra_server_conf is
// pasted into the server block (locations, auth_basic, return 302 ...). With a certificate and
// key file the server speaks only TLS (and Url gives https addresses). Stopped on destruction.
class NginxServer {
 public:
  explicit NginxServer(const std::string& root, const std::string& extra_server_conf = "",
                       const std::string& tls_cert = "", const std::string& tls_key = "");
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;
  bool ok() const { return pid_ > 0; }
  int port() const { return port_; }
  const std::string& root() const { return root_; }
  std::string Url(const std::string& path) const;
  // The access log so far (one line per request, "$request" first).
  std::string AccessLog() const;
  // One line per request: "$request" "$http_proxy_authorization" "$http_authorization".
  std::string HeaderLog() const;
  // One line per request: the connection's serial number, then "$request".
  std::string ConnectionLog() const;
  const std::string& error() const { return error_; }

 private:
  TempDir dir_;
  std::string root_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
  bool tls_ = false;
};

// True when the nginx binary is installed.
bool HaveNginx();

}  // namespace testutil

#endif  // TESTS_SUPPORT_TEST_UTIL_H_
