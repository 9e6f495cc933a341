// How a download client reaches an origin server: directly or through the forward proxy that
// proxy.h selects, plain for http and over verified TLS for https. For http through a proxy the
// connection goes to the proxy and requests name their target in absolute form
// ("GET http://host:port/path"), carrying Proxy-Authorization when the proxy address has
// credentials. For https through a proxy a CONNECT tunnel is opened first (the credentials go
// only into the CONNECT request) and the TLS handshake runs with the origin through it, so the
// origin never sees the proxy's credentials and the proxy sees no request.
//
// TLS is always verified: TLS 1.2 or later, the chain against --ca-file/--ca-path or the
// system's store, the origin's name (or address literal) against its certificate. There is no
// way to turn that off.
//
// Thread rules: a Connector belongs to one thread at a time, like the socket object it uses;
// the connections it opens are handles of that object.
#ifndef VELMOR_CONNECTOR_H_
#define VELMOR_CONNECTOR_H_

#include <stdint.h>

#include <memory>
#include <string>

#include "proxy.h"
#include "transport.h"

class Orvex_Sockets3;
struct ORVEX_SOCKET;

// The server a URL names.
struct Origin {
  bool tls = false;  // https
  std::string host;  // name or address literal (IPv6 without brackets)
  int port = 80;
};

// Why a connection could not be opened.
enum class ConnectFailure {
  kNone,
  kCreate,        // no socket
  kConnect,       // the origin (or the proxy) did not accept the connection
  kProxyAddress,  // the proxy setting is not a usable address
  kProxyAuth,     // the proxy answered 407
  kProxyRefused,  // the proxy refused the tunnel or broke off
  kTrustStore,    // the trusted certificates could not be loaded
  kUntrusted,     // the origin's chain does not lead to a trusted certificate
  kExpired,       // the origin's certificate is expired or not yet valid
  kNameMismatch,  // the origin's certificate is for another name
  kHandshake,     // the TLS handshake failed otherwise
};

// The download client's error code (ODL_ERROR_*) for a failure.
int32_t DownloadErrorCode(ConnectFailure failure);

// An open connection to an origin.
struct OriginConnection {
  ORVEX_SOCKET* handle = nullptr;  // close it through the socket object
  bool absolute_form = false;      // requests must name their target as an absolute URL
  std::string request_headers;     // lines ending in CRLF to add to every request, or empty
  std::string proxy;               // "host:port" of the proxy in use, or empty when direct
};

class Connector {
 public:
  // sockets must outlive the connector. env is read at each Open.
  Connector(Orvex_Sockets3* sockets, const NetOptions& options,
            EnvLookup env = ProcessEnvironment());

  // Opens a connection to origin, waiting at most timeout_ms for the connection and leaving
  // that much as receive and send time-out on the handle. True with *out filled; false with
  // *failure and *error (naming the origin, the proxy when one is used, and the reason), and
  // nothing left open.
  bool Open(const Origin& origin, uint32_t timeout_ms, OriginConnection* out,
            ConnectFailure* failure, std::string* error);

  const NetOptions& options() const { return options_; }

 private:
  bool ConnectTcp(const std::string& host, int port, uint32_t timeout_ms, ORVEX_SOCKET** handle,
                  std::string* error);
  bool EnsureTlsContext(std::string* error);

  Orvex_Sockets3* sockets_;
  NetOptions options_;
  EnvLookup env_;
  bool tls_ready_ = false;
};

// The transport's connection seam over a Connector: http and https URLs, directly or through
// the proxy the options and the environment choose. Owns its socket object; the connections
// it hands out must not outlive it.
class NetConnector : public TransportConnector {
 public:
  explicit NetConnector(const NetOptions& options, EnvLookup env = ProcessEnvironment());
  ~NetConnector() override;
  NetConnector(const NetConnector&) = delete;
  NetConnector& operator=(const NetConnector&) = delete;
  // Null on failure with *error: kInvalidUrl for another scheme, kConnect when the origin or
  // the proxy cannot be reached, kProxy when the proxy refuses or is unusable, kTls with
  // cause_code (ODL_ERROR_TLS_*) when the certificate check or handshake fails.
  std::unique_ptr<TransportConnection> Connect(const TransportUrl& url, uint32_t timeout_ms,
                                               TransferError* error) override;
  // The absolute form for http through a proxy; the path otherwise.
  std::string RequestTarget(const TransportUrl& url) const override;
  // Proxy-Authorization for http through a proxy with credentials; empty otherwise.
  std::string ExtraHeaders(const TransportUrl& url) const override;
  // The default key plus the proxy in use.
  std::string ConnectionKey(const TransportUrl& url) const override;

 private:
  // The proxy that url goes through, or false for a direct connection (also when the proxy
  // setting cannot be parsed: Connect reports that).
  bool ProxyFor(const TransportUrl& url, ProxyAddress* proxy) const;

  Orvex_Sockets3* sockets_;
  Connector connector_;
  EnvLookup env_;
};

#endif  // VELMOR_CONNECTOR_H_
