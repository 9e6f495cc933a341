// Opening connections to origins, directly or through a proxy, plain or over verified TLS.
#include "connector.h"

#include <string.h>
#include <sys/socket.h>

#include "download_nocurl.h"
#include "sockets3.h"

namespace {}  // namespace

int32_t DownloadErrorCode(ConnectFailure failure) {
  switch (failure) {
    case ConnectFailure::kNone:
      return ODL_ERROR_NONE;
    case ConnectFailure::kCreate:
      return ODL_ERROR_CREATE_SOCKET;
    case ConnectFailure::kConnect:
      return ODL_ERROR_CONNECT;
    case ConnectFailure::kProxyAddress:
    case ConnectFailure::kProxyAuth:
    case ConnectFailure::kProxyRefused:
      return ODL_ERROR_PROXY;
    case ConnectFailure::kTrustStore:
      return ODL_ERROR_TLS_TRUST_STORE;
    case ConnectFailure::kUntrusted:
      return ODL_ERROR_TLS_UNTRUSTED;
    case ConnectFailure::kExpired:
      return ODL_ERROR_TLS_EXPIRED;
    case ConnectFailure::kNameMismatch:
      return ODL_ERROR_TLS_NAME;
    case ConnectFailure::kHandshake:
      break;
  }
  return ODL_ERROR_TLS_HANDSHAKE;
}

namespace {

ConnectFailure FailureOfTlsCode(int code) {
  switch (code) {
    case ORVEX_SOCKERR(0x0031):
      return ConnectFailure::kUntrusted;
    case ORVEX_SOCKERR(0x0032):
      return ConnectFailure::kExpired;
    case ORVEX_SOCKERR(0x0033):
      return ConnectFailure::kNameMismatch;
    default:
      return ConnectFailure::kHandshake;
  }
}

// Closes a handle on every way out unless released.
class HandleGuard {
 public:
  HandleGuard(Orvex_Sockets3* sockets, ORVEX_SOCKET* handle) : sockets_(sockets), handle_(handle) {}
  ~HandleGuard() {
    if (handle_ != nullptr) sockets_->Close(handle_);
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  ORVEX_SOCKET* Release() {
    ORVEX_SOCKET* h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  Orvex_Sockets3* sockets_;
  ORVEX_SOCKET* handle_;
};

}  // namespace

NetConnector::NetConnector(const NetOptions& options, EnvLookup env)
    : sockets_(new Orvex_Sockets3()), connector_(sockets_, options, env), env_(env) {}

NetConnector::~NetConnector() { delete sockets_; }

bool NetConnector::ProxyFor(const TransportUrl& url, ProxyAddress* proxy) const {
  std::string text = ChooseProxy(connector_.options(), url.scheme, url.host, env_);
  std::string ignored;
  return !text.empty() && ParseProxyAddress(text, proxy, &ignored);
}

std::unique_ptr<TransportConnection> NetConnector::Connect(const TransportUrl& url,
                                                           uint32_t timeout_ms,
                                                           TransferError* error) {
  if (url.scheme != "http" && url.scheme != "https") {
    error->Set(TransferFailure::kInvalidUrl, "Not an http or https address: " + url.Text());
    return nullptr;
  }
  Origin origin;
  origin.tls = url.scheme == "https";
  origin.host = url.host;
  origin.port = url.port;
  OriginConnection opened;
  ConnectFailure failure;
  std::string why;
  uint32_t wait_ms = timeout_ms != 0 ? timeout_ms : ODL_DEFAULT_CONNECT_TIMEOUT_MS;
  if (connector_.Open(origin, wait_ms, &opened, &failure, &why)) {
    return std::unique_ptr<TransportConnection>(new SocketConnection(sockets_, opened.handle));
  }
  switch (failure) {
    case ConnectFailure::kCreate:
    case ConnectFailure::kConnect:
    case ConnectFailure::kNone:
      error->Set(TransferFailure::kConnect, why);
      break;
    case ConnectFailure::kProxyAddress:
    case ConnectFailure::kProxyAuth:
    case ConnectFailure::kProxyRefused:
      error->Set(TransferFailure::kProxy, why);
      break;
    default:
      error->Set(TransferFailure::kTls, why);
      error->cause_code = DownloadErrorCode(failure);
      break;
  }
  return nullptr;
}

std::string NetConnector::RequestTarget(const TransportUrl& url) const {
  ProxyAddress proxy;
  if (url.scheme == "http" && ProxyFor(url, &proxy)) {
    return "http://" + Authority(url.host, url.port) + url.path;
  }
  return url.path;
}

std::string NetConnector::ExtraHeaders(const TransportUrl& url) const {
  ProxyAddress proxy;
  if (url.scheme == "http" && ProxyFor(url, &proxy) && proxy.has_credentials) {
    return "Proxy-Authorization: " + BasicCredentials(proxy.user, proxy.password) + "\r\n";
  }
  return "";
}

std::string NetConnector::ConnectionKey(const TransportUrl& url) const {
  ProxyAddress proxy;
  std::string key = TransportConnector::ConnectionKey(url);
  if (ProxyFor(url, &proxy)) key += " via " + Authority(proxy.host, proxy.port);
  return key;
}

Connector::Connector(Orvex_Sockets3* sockets, const NetOptions& options, EnvLookup env)
    : sockets_(sockets), options_(options), env_(std::move(env)) {}

bool Connector::ConnectTcp(const std::string& host, int port, uint32_t timeout_ms,
                           ORVEX_SOCKET** handle, std::string* error) {
  *handle = nullptr;
  // Names are reached over IPv4, as the download client always has; an IPv6 literal over IPv6.
  int family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
  ORVEX_SOCKET* h = sockets_->Create(family, SOCK_STREAM, 0, 0);
  if (h == nullptr) {
    *error = std::string("cannot create a socket: ") + sockets_->GetLastErrorString(nullptr);
    return false;
  }
  HandleGuard guard(sockets_, h);
  if (!sockets_->ConnectWithTimeout(h, host.c_str(), port, timeout_ms)) {
    *error =
        "cannot connect to " + Authority(host, port) + ": " + sockets_->GetLastErrorString(nullptr);
    return false;
  }
  // A refusal that arrived while the connect was pending shows only here.
  int pending = 0;
  socklen_t len = sizeof(pending);
  if (getsockopt(h->sock, SOL_SOCKET, SO_ERROR, &pending, &len) == 0 && pending != 0) {
    *error = "cannot connect to " + Authority(host, port) + ": " + strerror(pending);
    return false;
  }
  sockets_->SetRecvTimeout(h, timeout_ms);
  sockets_->SetSendTimeout(h, timeout_ms);
  *handle = guard.Release();
  return true;
}

bool Connector::EnsureTlsContext(std::string* error) {
  if (tls_ready_) return true;
  if (!sockets_->EnableVerifiedClient(options_.ca_file.c_str(), options_.ca_path.c_str())) {
    *error = sockets_->GetLastErrorString(nullptr);
    return false;
  }
  tls_ready_ = true;
  return true;
}

bool Connector::Open(const Origin& origin, uint32_t timeout_ms, OriginConnection* out,
                     ConnectFailure* failure, std::string* error) {
  *out = OriginConnection();
  *failure = ConnectFailure::kNone;
  error->clear();
  auto fail = [&](ConnectFailure why, const std::string& text) {
    *failure = why;
    *error = text;
    return false;
  };
  if (origin.tls && !EnsureTlsContext(error)) return fail(ConnectFailure::kTrustStore, *error);

  std::string proxy_text = ChooseProxy(options_, origin.tls ? "https" : "http", origin.host, env_);
  ProxyAddress proxy;
  if (!proxy_text.empty() && !ParseProxyAddress(proxy_text, &proxy, error)) {
    return fail(ConnectFailure::kProxyAddress, *error);
  }
  bool proxied = !proxy_text.empty();
  const std::string& first_host = proxied ? proxy.host : origin.host;
  int first_port = proxied ? proxy.port : origin.port;
  std::string target = Authority(origin.host, origin.port);
  std::string via = proxied ? " through proxy " + Authority(proxy.host, proxy.port) : "";

  ORVEX_SOCKET* raw = nullptr;
  std::string why;
  if (!ConnectTcp(first_host, first_port, timeout_ms, &raw, &why)) {
    if (why.compare(0, 13, "cannot create") == 0) return fail(ConnectFailure::kCreate, why);
    return fail(ConnectFailure::kConnect,
                proxied ? "Proxy " + Authority(proxy.host, proxy.port) + ": " + why : why);
  }
  HandleGuard guard(sockets_, raw);

  if (proxied && origin.tls) {
    std::string status;
    switch (OpenTunnel(sockets_, raw, proxy, origin.host, origin.port, &status)) {
      case TunnelResult::kOpen:
        break;
      case TunnelResult::kAuthRequired:
        return fail(ConnectFailure::kProxyAuth, "Proxy " + Authority(proxy.host, proxy.port) +
                                                    " wants credentials for the tunnel to " +
                                                    target + " (" + status + ")");
      case TunnelResult::kRefused:
        return fail(ConnectFailure::kProxyRefused, "Proxy " + Authority(proxy.host, proxy.port) +
                                                       " refused the tunnel to " + target + " (" +
                                                       status + ")");
      case TunnelResult::kBroken:
        return fail(ConnectFailure::kProxyRefused, "Proxy " + Authority(proxy.host, proxy.port) +
                                                       " gave no answer to CONNECT " + target +
                                                       (status.empty() ? "" : " (" + status + ")"));
    }
  }
  if (origin.tls && !sockets_->SwitchToSSL_Verified(raw, origin.host.c_str())) {
    return fail(FailureOfTlsCode(raw->last_errno),
                std::string(sockets_->GetLastErrorString(nullptr)) + via);
  }
  if (proxied && !origin.tls) {
    out->absolute_form = true;
    if (proxy.has_credentials) {
      out->request_headers =
          "Proxy-Authorization: " + BasicCredentials(proxy.user, proxy.password) + "\r\n";
    }
  }
  if (proxied) out->proxy = Authority(proxy.host, proxy.port);
  out->handle = guard.Release();
  return true;
}
