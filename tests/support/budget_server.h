// A small HTTP/1.0 file server on 127.0.0.1 for crash tests: it serves a directory like any
// static server (answering "Range: bytes=N-" with 206), counts the bytes it sends, and once a byte
// budget is spent it calls a hook (which kills the client) and drops the connection. Runs on its
// own thread until destroyed.
#ifndef TESTS_SUPPORT_BUDGET_SERVER_H_
#define TESTS_SUPPORT_BUDGET_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace testutil {

class BudgetServer {
 public:
  explicit BudgetServer(const std::string& root);
  ~BudgetServer();
  BudgetServer(const BudgetServer&) = delete;
  BudgetServer& operator=(const BudgetServer&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  int port() const { return port_; }
  // Arms the server: after `budget` more bytes of responses, `hook` runs once (on the server
  // thread) and the connection is cut. A negative budget disarms it.
  void Arm(int64_t budget, std::function<void()> hook);
  // Bytes of responses sent since the last Arm.
  int64_t sent() const { return sent_.load(); }
  // True when the hook has run since the last Arm.
  bool fired() const { return fired_.load(); }

 private:
  void Loop();
  void Serve(int fd);
  bool SendCounted(int fd, const char* data, size_t len);

  std::string root_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> budget_{-1};
  std::atomic<int64_t> sent_{0};
  std::atomic<bool> fired_{false};
  std::mutex hook_mutex_;
  std::function<void()> hook_;
  std::thread thread_;
};

}  // namespace testutil

#endif  // TESTS_SUPPORT_BUDGET_SERVER_H_
