// A real FTP server (pyftpdlib, run by the system's python3) on 127.0.0.1 for the duration of
// a test, serving a directory read-only to anonymous users and optionally to one named user.
// Stopped on destruction. Not thread-safe; each test builds its own.
#ifndef TESTS_SUPPORT_PYFTPD_SERVER_H_
#define TESTS_SUPPORT_PYFTPD_SERVER_H_

#include <sys/types.h>

#include <string>

namespace testutil {

struct PyFtpdOptions {
  std::string user;  // empty: anonymous access only
  std::string password;
  std::string banner;      // greeting text; longer than 75 characters gives a two-line greeting
  std::string masquerade;  // address announced in PASV replies instead of 127.0.0.1
};

class PyFtpdServer {
 public:
  PyFtpdServer(const std::string& root, const PyFtpdOptions& options = PyFtpdOptions());
  ~PyFtpdServer();
  PyFtpdServer(const PyFtpdServer&) = delete;
  PyFtpdServer& operator=(const PyFtpdServer&) = delete;
  bool ok() const { return pid_ > 0; }
  int port() const { return port_; }
  const std::string& error() const { return error_; }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

// The python3 that has pyftpdlib, or empty when there is none.
std::string PyFtpdPython();

}  // namespace testutil

#endif  // TESTS_SUPPORT_PYFTPD_SERVER_H_
