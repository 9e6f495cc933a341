// A small static-file server for trying a published site locally: HTTP/1.0 GET and HEAD, one
// request per connection, Content-Length on every answer, 404 for what is not a regular file
// of the site, plain or over TLS. It never serves a path outside the site: "." and ".."
// components and encoded NULs are refused, and a path that resolves (through symbolic links)
// to a place outside the site's real directory is not found. Connections are served at the
// same time, each on a thread of its own, up to a bound (further clients wait in the listen
// queue); each has a deadline for its TLS handshake and request head together, so a client
// that sends slowly holds only its own connection, and a bounded time for its answer.
//
// Thread rules: one thread calls Start and Run; Run starts the connection threads and waits for
// all of them before it returns. Stop() may be called from a signal handler.
#ifndef TOOLS_PUBLISH_STATIC_SERVER_H_
#define TOOLS_PUBLISH_STATIC_SERVER_H_

#include <signal.h>
#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "sockets3.h"

class StaticServer {
 public:
  // Milliseconds on a monotonic scale; the deadlines are measured with it.
  using Clock = std::function<int64_t()>;
  // root: the directory to serve. log: one line per request on standard output. now_ms: the
  // clock (null: the system's monotonic clock; tests pass their own).
  StaticServer(const std::string& root, bool log, Clock now_ms = nullptr);
  ~StaticServer();
  StaticServer(const StaticServer&) = delete;
  StaticServer& operator=(const StaticServer&) = delete;

  // Serves over TLS with the certificate (chain) and key files, TLS 1.2 or later. Call before
  // Run. True on success; false with *error naming the files and the cause.
  bool EnableTls(const std::string& cert_file, const std::string& key_file, std::string* error);
  // Binds and listens. address "*" binds every interface (IPv4); anything else names the local
  // address (default loopback). port 0 takes a free port. True on success; false with *error.
  bool Start(const std::string& address, int port, std::string* error);
  // The port bound by Start.
  int port() const { return port_; }
  // Serves until Stop is called (checked at least twice a second), then waits for the
  // connections in progress. Returns the number of connections accepted.
  uint64_t Run();
  static void Stop() { stop_ = 1; }

  // The site-relative path that an HTTP request target names ("" for the site root). Returns 0,
  // or the HTTP status to answer instead: 400 for a malformed target, 403 for one that tries to
  // leave the site.
  static int TargetToPath(const std::string& target, std::string* rel);

 private:
  // Handshake (with TLS) and request head within the head deadline. False when the client
  // failed, left or was too slow; the connection is then dropped without an answer.
  bool ReadHead(ORVEX_SOCKET* conn, std::string* request);
  void Serve(ORVEX_SOCKET* conn);
  void Finish();
  void Answer(ORVEX_SOCKET* conn, const std::string& request_line, bool head, int code,
              const char* reason);

  std::string root_;
  std::string real_root_;
  bool log_;
  Orvex_Sockets3 sockets_;
  ORVEX_SOCKET* listener_ = nullptr;
  int port_ = 0;
  bool tls_ = false;
  Clock now_ms_;
  std::mutex lock_;                  // guards active_
  std::condition_variable changed_;  // a connection thread ended
  int active_ = 0;                   // connection threads running
  static volatile sig_atomic_t stop_;
};

#endif  // TOOLS_PUBLISH_STATIC_SERVER_H_
