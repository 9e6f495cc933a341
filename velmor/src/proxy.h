// Forward proxies as curl has them: which proxy (if any) a URL goes through, the proxy address
// with its credentials, the Proxy-Authorization value, and the CONNECT exchange that turns a
// connection to the proxy into a tunnel to an origin.
//
// Selection: --proxy (when given) wins over the environment; otherwise http URLs use
// http_proxy and https URLs https_proxy, then HTTPS_PROXY. The upper-case HTTP_PROXY is never
// read: a CGI program gets the client's "Proxy:" request header under that name. --noproxy
// (when given) or else no_proxy, then NO_PROXY, lists host names that go direct: entries are
// separated by commas, blanks around them are ignored, a leading "." is dropped, an entry
// matches the host itself and every name ending in "." + entry (letter case ignored), and "*"
// alone matches every host.
//
// Thread rules: the functions keep no state; the environment is read through the caller's
// lookup function, so tests pass their own table. The CONNECT exchange uses one handle from one
// thread.
#ifndef VELMOR_PROXY_H_
#define VELMOR_PROXY_H_

#include <stdint.h>

#include <functional>
#include <string>

class Orvex_Sockets3;
struct ORVEX_SOCKET;

// Proxy and trust settings of a download client, as the command line gives them.
struct NetOptions {
  std::string ca_file;         // --ca-file: trusted certificates (PEM); empty: system store
  std::string ca_path;         // --ca-path: hashed directory of trusted certificates
  bool proxy_given = false;    // --proxy was given (an empty value means: no proxy)
  std::string proxy;           // --proxy URL
  bool noproxy_given = false;  // --noproxy was given
  std::string noproxy;         // --noproxy LIST
};

// A parsed proxy address.
struct ProxyAddress {
  std::string host;  // name or address literal (IPv6 without brackets)
  int port = 1080;
  bool has_credentials = false;
  std::string user;  // percent-decoded
  std::string password;
};

// Environment lookup: the value of a variable or null; getenv by default.
using EnvLookup = std::function<const char*(const char*)>;
EnvLookup ProcessEnvironment();

// Parses "[http://][user[:password]@]host[:port][/]" (the user info percent-decoded, port 1080
// when none). True on success; false with *error naming the text and what is wrong (another
// scheme, no host, bad port, a control character).
bool ParseProxyAddress(const std::string& text, ProxyAddress* out, std::string* error);

// True when host is exempt from proxying under the no-proxy list (rules above).
bool NoProxyMatches(const std::string& list, const std::string& host);

// The proxy text that a URL of the scheme ("http" or "https") for host goes through under
// options and the environment, or "" to go direct.
std::string ChooseProxy(const NetOptions& options, const std::string& scheme,
                        const std::string& host, const EnvLookup& env);

// "Basic " + base64(user:password), the value of a Proxy-Authorization header.
std::string BasicCredentials(const std::string& user, const std::string& password);

// "host:port", with brackets around an IPv6 literal: the authority of a request.
std::string Authority(const std::string& host, int port);

// Outcome of a CONNECT exchange.
enum class TunnelResult {
  kOpen,          // 200: the handle now carries bytes to and from the origin
  kAuthRequired,  // 407 (or 401): the proxy wants (other) credentials
  kRefused,       // any other status
  kBroken,        // the proxy closed, timed out or did not answer HTTP
};

// Asks the proxy at the other end of a connected handle for a tunnel to host:port, sending
// Proxy-Authorization when the address has credentials, and reads the proxy's answer head (at
// most 16 KiB, byte by byte, so nothing of the tunnel is consumed). Returns kOpen on success;
// otherwise the result with *status_line holding the proxy's status line (empty when there
// was none).
TunnelResult OpenTunnel(Orvex_Sockets3* sockets, ORVEX_SOCKET* handle, const ProxyAddress& proxy,
                        const std::string& host, int port, std::string* status_line);

#endif  // VELMOR_PROXY_H_
