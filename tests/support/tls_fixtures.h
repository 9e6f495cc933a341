// TLS and proxy peers for the tests: a throwaway certificate authority with server
// certificates good and bad, made with the openssl command at test time, and a real tinyproxy
// on loopback (with or without credentials) whose log shows what went through it.
//
// Not thread-safe; each test owns its objects, and every process is stopped on destruction.
#ifndef TESTS_SUPPORT_TLS_FIXTURES_H_
#define TESTS_SUPPORT_TLS_FIXTURES_H_

#include <memory>
#include <string>

#include "peer_process.h"
#include "test_util.h"

namespace testutil {

// The server certificates a TestPki issues.
enum class ServerCert {
  kGood,       // for 127.0.0.1 and localhost, signed by the CA
  kExpired,    // as kGood, but valid only in January 2020
  kOtherName,  // signed by the CA, for other.invalid only
  kUnknownCa,  // for 127.0.0.1 and localhost, signed by a CA nobody trusts
};

// A certificate authority and its server certificates (EC P-256) in a scratch directory.
class TestPki {
 public:
  TestPki();
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // The CA certificate (PEM): what clients are told to trust.
  std::string CaFile() const { return dir_.Sub("ca.pem"); }
  // A directory holding the CA certificate under its subject-hash name (for --ca-path).
  std::string CaDir() const { return dir_.Sub("hashed"); }
  std::string CertFile(ServerCert which) const;
  std::string KeyFile(ServerCert which) const;

 private:
  bool Issue(const std::string& name, const std::string& ca, const std::string& alt_names,
             bool expired);
  TempDir dir_;
  std::string error_;
};

// A tinyproxy on 127.0.0.1:port(), allowing CONNECT to any port. With a user name it asks for
// Basic credentials. Stopped on destruction.
class TinyProxy {
 public:
  explicit TinyProxy(const std::string& user = "", const std::string& password = "");
  ~TinyProxy();
  bool ok() const { return process_ && process_->running(); }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // "http://[user:password@]127.0.0.1:PORT".
  std::string Url() const;
  // The request lines the proxy logged so far ("GET http://... HTTP/1.0", "CONNECT h:p ..."),
  // one per line.
  std::string Requests() const;

 private:
  TempDir dir_;
  std::unique_ptr<PeerProcess> process_;
  std::string user_;
  std::string password_;
  std::string error_;
  int port_ = 0;
};

// True when the tinyproxy program is installed.
bool HaveTinyproxy();

}  // namespace testutil

#endif  // TESTS_SUPPORT_TLS_FIXTURES_H_
