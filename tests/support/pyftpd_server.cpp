#include "pyftpd_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "test_util.h"

namespace testutil {

std::string PyFtpdPython() {
  static std::string found = [] {
    // Debian's pyftpdlib lives in the system interpreter's packages, which a python3 earlier
    // in PATH (a virtual environment, pyenv) may not see.
    for (const char* candidate : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
      std::string out;
      if (RunProgram({candidate, "-c", "import pyftpdlib"}, &out) == 0)
        return std::string(candidate);
    }
    return std::string();
  }();
  return found;
}

PyFtpdServer::PyFtpdServer(const std::string& root, const PyFtpdOptions& options) {
  std::string python = PyFtpdPython();
  if (python.empty()) {
    error_ = "python3 with pyftpdlib is not installed (python3-pyftpdlib)";
    return;
  }
  std::string script = SourcePath("tests/support/pyftpd_server.py");
  for (int attempt = 0; attempt < 3 && pid_ < 0; attempt++) {
    port_ = FreePort();
    std::vector<std::string> args = {python,   script, "--port", std::to_string(port_),
                                     "--root", root};
    if (!options.user.empty()) {
      args.insert(args.end(), {"--user", options.user, "--password", options.password});
    }
    if (!options.banner.empty()) args.insert(args.end(), {"--banner", options.banner});
    if (!options.masquerade.empty()) {
      args.insert(args.end(), {"--masquerade", options.masquerade});
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    if (pid < 0) break;
    if (WaitForPort(port_, 10000)) {
      pid_ = pid;
    } else {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      error_ = "pyftpdlib did not start on port " + std::to_string(port_);
    }
  }
}

PyFtpdServer::~PyFtpdServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  for (int i = 0; i < 200; i++) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
}

}  // namespace testutil
