// Small scripted TCP servers on 127.0.0.1 for the replies real servers will not send: a test
// gives a script that is run for each accepted connection in a background thread, and reads
// back every byte the server received. Loops are bounded in count and time; the destructor stops
// the thread and closes every socket.
//
// Thread rules: the script runs on the server's thread; Received() and Connections() may be
// called from the test's thread at any time.
#ifndef TESTS_SUPPORT_SCRIPTED_SERVER_H_
#define TESTS_SUPPORT_SCRIPTED_SERVER_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// A listening socket on 127.0.0.1 with an ephemeral port; -1 on failure.
int ListenLoopback(int* port);
// Waits up to timeout_ms for a connection on listen_fd; the new descriptor or -1.
int AcceptWithin(int listen_fd, int timeout_ms);

// One accepted connection, as seen by a script.
class ScriptConn {
 public:
  // Takes over fd; log (guarded by log_mutex) collects every byte read, when given.
  ScriptConn(int fd, std::string* log, std::mutex* log_mutex)
      : fd_(fd), log_(log), log_mutex_(log_mutex) {}
  ~ScriptConn();
  ScriptConn(const ScriptConn&) = delete;
  ScriptConn& operator=(const ScriptConn&) = delete;
  int fd() const { return fd_; }
  // Reads until the blank line that ends an HTTP request (or until timeout_ms, the peer's close
  // or 64 KiB); returns what arrived.
  std::string ReadRequest(int timeout_ms = 5000);
  // Reads one line up to and including LF; empty on time-out or close.
  std::string ReadLine(int timeout_ms = 5000);
  // Sends all of data; false when the peer is gone.
  bool Send(const std::string& data);
  void Sleep(int ms);
  // Waits up to timeout_ms for the peer to close; true when it did.
  bool WaitClosed(int timeout_ms = 5000);
  // Closes with a reset instead of an orderly shutdown.
  void Abort();
  // Closes normally (the destructor does it too).
  void Close();

 private:
  bool ReadMore(int timeout_ms);

  int fd_;
  std::string pending_;
  std::string* log_;
  std::mutex* log_mutex_;
};

class ScriptedServer {
 public:
  // script(connection, index) runs for each of the first max_connections connections, one at a
  // time; the connection is closed when the script returns.
  using Script = std::function<void(ScriptConn& conn, int index)>;
  explicit ScriptedServer(Script script, int max_connections = 1);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  // Everything the server read from connection index so far.
  std::string Received(int index) const;
  int Connections() const { return connections_.load(); }

 private:
  void Run();

  Script script_;
  int max_connections_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace testutil

#endif  // TESTS_SUPPORT_SCRIPTED_SERVER_H_
