// A small static-file server for trying a published site locally: HTTP/1.0 GET and HEAD, one
// request per connection, Content-Length on every answer, 404 for what is not a regular file
// of the site. It never serves a path outside the site: "." and ".." components and encoded
// NULs are refused, and a path that resolves (through symbolic links) to a place outside the
// site's real directory is not found. Connections are served one after the other, each with a
// bounded time for its request and its answer.
//
// Thread rules: one thread runs the server; Stop() may be called from a signal handler.
#ifndef TOOLS_PUBLISH_STATIC_SERVER_H_
#define TOOLS_PUBLISH_STATIC_SERVER_H_

#include <signal.h>
#include <stdint.h>

#include <string>

#include "sockets3.h"

class StaticServer {
 public:
  // root: the directory to serve. log: one line per request on standard output.
  StaticServer(const std::string& root, bool log);
  ~StaticServer();
  StaticServer(const StaticServer&) = delete;
  StaticServer& operator=(const StaticServer&) = delete;

  // Binds and listens. address "*" binds every interface (IPv4); anything else names the local
  // address (default loopback). port 0 takes a free port. True on success; false with *error.
  bool Start(const std::string& address, int port, std::string* error);
  // The port bound by Start.
  int port() const { return port_; }
  // Serves until Stop is called (checked at least twice a second). Returns the number of
  // connections served.
  uint64_t Run();
  static void Stop() { stop_ = 1; }

  // The site-relative path that an HTTP request target names ("" for the site root). Returns 0,
  // or the HTTP status to answer instead: 400 for a malformed target, 403 for one that tries to
  // leave the site.
  static int TargetToPath(const std::string& target, std::string* rel);

 private:
  void Serve(ORVEX_SOCKET* conn);
  void Answer(ORVEX_SOCKET* conn, const std::string& request_line, bool head, int code,
              const char* reason);

  std::string root_;
  std::string real_root_;
  bool log_;
  Orvex_Sockets3 sockets_;
  ORVEX_SOCKET* listener_ = nullptr;
  int port_ = 0;
  static volatile sig_atomic_t stop_;
};

#endif  // TOOLS_PUBLISH_STATIC_SERVER_H_
