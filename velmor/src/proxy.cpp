// Proxy selection, proxy addresses and the CONNECT exchange.
#include "proxy.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <vector>

#include "base64.h"
#include "sockets3.h"

namespace {

// Longest answer head of a proxy to a CONNECT request.
const size_t kMaxTunnelHead = 16 * 1024;

bool HasControlChar(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" sequences decoded; a "%" without two hex digits stays as it is.
std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// First set, non-empty variable of the names, or null.
const char* FirstSet(const EnvLookup& env, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = env(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return nullptr;
}

}  // namespace

EnvLookup ProcessEnvironment() {
  return [](const char* name) -> const char* { return getenv(name); };
}

bool ParseProxyAddress(const std::string& text, ProxyAddress* out, std::string* error) {
  *out = ProxyAddress();
  auto fail = [&](const char* why) {
    *error = "Invalid proxy '" + text + "': " + why;
    return false;
  };
  if (HasControlChar(text)) return fail("control character");
  std::string rest = text;
  size_t scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) {
    if (strcasecmp(rest.substr(0, scheme_end).c_str(), "http") != 0) {
      return fail("only http:// proxies are supported");
    }
    rest = rest.substr(scheme_end + 3);
  }
  size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    if (rest.find_first_not_of('/', slash) != std::string::npos) return fail("path not allowed");
    rest.resize(slash);
  }
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    std::string info = rest.substr(0, at);
    rest = rest.substr(at + 1);
    size_t colon = info.find(':');
    out->has_credentials = true;
    out->user = PercentDecode(info.substr(0, colon));
    if (colon != std::string::npos) out->password = PercentDecode(info.substr(colon + 1));
  }
  std::string port_text;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return fail("unclosed [");
    out->host = rest.substr(1, close - 1);
    std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return fail("text after ]");
      port_text = after.substr(1);
    }
  } else {
    size_t colon = rest.find(':');
    out->host = rest.substr(0, colon);
    if (colon != std::string::npos) port_text = rest.substr(colon + 1);
  }
  if (out->host.empty()) return fail("no host");
  if (!port_text.empty()) {
    char* end = nullptr;
    long port = strtol(port_text.c_str(), &end, 10);
    if (*end != '\0' || port < 1 || port > 65535 || port_text[0] == '-' || port_text[0] == '+') {
      return fail("bad port");
    }
    out->port = static_cast<int>(port);
  }
  return true;
}

bool NoProxyMatches(const std::string& list, const std::string& host) {
  std::string name = Lower(host);
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string entry = Lower(Trim(list.substr(start, comma - start)));
    start = comma + 1;
    if (entry == "*") return true;
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (name == entry) return true;
    if (name.size() > entry.size() &&
        name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

std::string ChooseProxy(const NetOptions& options, const std::string& scheme,
                        const std::string& host, const EnvLookup& env) {
  std::string proxy;
  if (options.proxy_given) {
    proxy = options.proxy;
  } else {
    const char* value = strcasecmp(scheme.c_str(), "https") == 0
                            ? FirstSet(env, {"https_proxy", "HTTPS_PROXY"})
                            : FirstSet(env, {"http_proxy"});
    if (value != nullptr) proxy = value;
  }
  if (proxy.empty()) return "";
  const char* exempt = nullptr;
  if (options.noproxy_given) {
    exempt = options.noproxy.c_str();
  } else {
    exempt = FirstSet(env, {"no_proxy", "NO_PROXY"});
  }
  if (exempt != nullptr && NoProxyMatches(exempt, host)) return "";
  return proxy;
}

std::string BasicCredentials(const std::string& user, const std::string& password) {
  std::string plain = user + ":" + password;
  std::vector<char> encoded(plain.size() * 4 / 3 + 8);
  size_t n = base64_encode(plain.data(), plain.size(), encoded.data());
  return "Basic " + std::string(encoded.data(), n);
}

std::string Authority(const std::string& host, int port) {
  bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

TunnelResult OpenTunnel(Orvex_Sockets3* sockets, ORVEX_SOCKET* handle, const ProxyAddress& proxy,
                        const std::string& host, int port, std::string* status_line) {
  status_line->clear();
  std::string target = Authority(host, port);
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (proxy.has_credentials) {
    request += "Proxy-Authorization: " + BasicCredentials(proxy.user, proxy.password) + "\r\n";
  }
  request += "\r\n";
  int len = static_cast<int>(request.size());
  if (sockets->Send(handle, request.data(), len, true) != len) return TunnelResult::kBroken;

  std::string head;
  while (head.size() < kMaxTunnelHead) {
    char c;
    if (sockets->Recv(handle, &c, 1) != 1) return TunnelResult::kBroken;
    head += c;
    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) break;
    if (head.size() >= 2 && head.compare(head.size() - 2, 2, "\n\n") == 0) break;
  }
  size_t line_end = head.find_first_of("\r\n");
  *status_line = head.substr(0, line_end);
  if (head.size() >= kMaxTunnelHead || status_line->compare(0, 5, "HTTP/") != 0) {
    return TunnelResult::kBroken;
  }
  size_t space = status_line->find(' ');
  int status = space == std::string::npos ? 0 : atoi(status_line->c_str() + space + 1);
  if (status == 200) return TunnelResult::kOpen;
  // Some proxies answer a CONNECT with wrong credentials by 401: before the tunnel exists no
  // answer can come from the origin, so that is about the proxy's credentials too.
  if (status == 407 || status == 401) return TunnelResult::kAuthRequired;
  return TunnelResult::kRefused;
}
