// Programs run beside a test as network peers (openssl s_server / s_client and the like), and
// the throwaway self-signed certificate they and the socket layer use. Not thread-safe; each
// test owns its peers, and every peer is stopped when its object goes away.
#ifndef TESTS_SUPPORT_PEER_PROCESS_H_
#define TESTS_SUPPORT_PEER_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

// One background program: standard input from a file (or /dev/null when the path is empty),
// standard output and standard error together into out_path.
class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts argv[0] (searched in PATH). False when it could not be started.
  bool Start(const std::vector<std::string>& argv, const std::string& stdin_path,
             const std::string& out_path);
  // Waits until the output holds text; false after timeout_ms or when the program ended first.
  bool WaitForOutput(const std::string& text, int timeout_ms);
  // Waits for the program to end by itself. Its exit code, or -1 after timeout_ms (it keeps
  // running) or when it ended by a signal.
  int Wait(int timeout_ms);
  // Ends the program (SIGTERM, then SIGKILL after a second) and reaps it.
  void Stop();
  // Everything the program has written so far.
  std::string Output() const;
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  std::string out_path_;
};

// Absolute path of a program found in PATH, or the name itself when it is not found.
std::string FindProgram(const std::string& name);

// Writes a fresh self-signed certificate (CN=localhost, EC P-256) and its key. pem_path gets
// the certificate followed by the key, cert_path the certificate alone, key_path the key alone.
// False (with the openssl output in *error) when the openssl program failed.
bool MakeSelfSignedCert(const std::string& dir, std::string* pem_path, std::string* cert_path,
                        std::string* key_path, std::string* error);

}  // namespace testutil

#endif  // TESTS_SUPPORT_PEER_PROCESS_H_
