// Download client: HTTP/1.0 GET and passive-mode FTP retrieval into a StreamHandle.
#include "download_nocurl.h"

#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <new>
#include <string>

#include "base64.h"
#include "connector.h"
#include "failure_note.h"
#include "memleak.h"
#include "sockets3.h"
#include "threads.h"

namespace {

const char* const kErrorTexts[] = {
    "No Error",
    "File Access Error",
    "Error Connecting to Host",
    "Invalid Response",
    "Error Creating Socket",
    "Error initializing libCURL",
    "Error writing file",
    "Invalid URL",
    "Callback Abort",
    "Invalid Protocol",
    "File Not Found",
    "Server tried to redirect, but FollowRedirects is Off",
    "Transfer Timed Out",
    "Authorization Needed or Bad Username/Password",
    "Server Certificate Not Trusted",
    "Server Certificate Expired or Not Yet Valid",
    "Server Certificate Issued for Another Name",
    "TLS Handshake Failed",
    "Cannot Load Trusted Certificates",
    "Proxy Error",
    "Redirect from HTTPS to HTTP Refused",
};

// How many "only part of a line has arrived" results the header phase tolerates, and how long
// it waits after each one.
const int kMaxPartialLines = 300;
const int kPartialLineSleepMs = 100;

// Bytes below 0x20 and 0x7F would let a text break out of its request line or command.
bool HasControlChar(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
    if (*p < 0x20 || *p == 0x7F) return true;
  }
  return false;
}

// Copies text into a field of size bytes; false (field left empty) when it does not fit or
// holds a control character.
bool CopyField(char* field, size_t size, const char* text) {
  field[0] = '\0';
  if (!text) return true;
  size_t len = strlen(text);
  if (len >= size || HasControlChar(text)) return false;
  memcpy(field, text, len + 1);
  return true;
}

// The working buffer of one transfer, released on every way out.
class WorkBuffer {
 public:
  WorkBuffer() : data_(static_cast<char*>(zmalloc(ODL_BUFFER_SIZE, __FILE__, __LINE__))) {}
  ~WorkBuffer() {
    if (data_) zfree(data_, __FILE__, __LINE__);
  }
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  char* get() const { return data_; }

 private:
  char* data_;
};

// A connection of a transfer, closed through its socket object on every way out.
class Connection {
 public:
  explicit Connection(Orvex_Sockets3* sockets) : sockets_(sockets) {}
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // False when the socket cannot be created.
  bool Create() {
    handle_ = sockets_->Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    return handle_ != nullptr;
  }
  void Adopt(ORVEX_SOCKET* handle) {
    Close();
    handle_ = handle;
  }
  void Close() {
    if (handle_) sockets_->Close(handle_);
    handle_ = nullptr;
  }
  ORVEX_SOCKET* get() const { return handle_; }
  bool is_open() const { return handle_ != nullptr; }

 private:
  Orvex_Sockets3* sockets_;
  ORVEX_SOCKET* handle_ = nullptr;
};

// Time-outs above the socket layer's range wait as long as it allows.
uint32_t ClampMs(uint64_t ms) { return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms); }

// Leading decimal digits of text as a number; 0 when there are none. Saturates instead of
// overflowing.
int64_t LeadingNumber(const char* text) {
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; text++) {
    if (value < INT64_MAX / 10 - 10) value = value * 10 + (*text - '0');
  }
  return value;
}

void StripLineEnd(char* line) {
  size_t len = strlen(line);
  while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n')) line[--len] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// OrvexDownloadCore

OrvexDownloadCore::OrvexDownloadCore(DownloadProgressCallback callback, void* user_data)
    : callback_(callback), user_data_(user_data), error_(ODL_ERROR_NONE) {}

OrvexDownloadCore::~OrvexDownloadCore() {}

void OrvexDownloadCore::Reset() {
  callback_ = nullptr;
  user_data_ = nullptr;
  error_ = ODL_ERROR_NONE;
}

bool OrvexDownloadCore::DownloadToFile(const char* path) {
  if (error_ != ODL_ERROR_NONE) return false;
  StreamHandle* out = nullptr;
  try {
    out = path ? OpenFileHandle(path, "wb") : nullptr;
  } catch (const std::bad_alloc&) {
    // No memory for the handle: the output cannot be set up, as with a file that will not open.
    out = nullptr;
  }
  if (!out) {
    NoteFailureErrno(path, errno);
    error_ = ODL_ERROR_FILE_ACCESS;
    return false;
  }
  bool ok = DownloadToHandle(out);
  // The last bytes reach the file only when it is closed; a file that refuses them (disk full,
  // size limit) holds less than was received.
  if (out->close(out) != 0 && ok) {
    NoteFailureErrno(path, errno ? errno : EIO);
    error_ = ODL_ERROR_WRITE;
    ok = false;
  }
  return ok;
}

bool OrvexDownloadCore::DownloadToFP(FILE* fp) {
  if (error_ != ODL_ERROR_NONE) return false;
  if (!fp) {
    error_ = ODL_ERROR_FILE_ACCESS;
    return false;
  }
  StreamHandle* out = nullptr;
  try {
    out = WrapFileHandle(fp, false);
  } catch (const std::bad_alloc&) {
    error_ = ODL_ERROR_FILE_ACCESS;
    return false;
  }
  bool ok = DownloadToHandle(out);
  out->close(out);
  return ok;
}

int32_t OrvexDownloadCore::GetError() { return error_; }

const char* OrvexDownloadCore::GetErrorString() {
  if (error_ < 0 || error_ > ODL_ERROR_INSECURE_REDIRECT) return "Unkown Error";
  return kErrorTexts[error_];
}

const char* OrvexDownloadCore::GetErrorDetail() {
  return error_ >= ODL_ERROR_TLS_UNTRUSTED && !error_detail_.empty() ? error_detail_.c_str()
                                                                     : GetErrorString();
}

// ---------------------------------------------------------------------------------------------
// OrvexDownloadNoCurl: construction and settings

void OrvexDownloadNoCurl::NoteTransferFailure(ORVEX_SOCKET* sock) {
  const char* reason = "";
  if (sock) {
    reason = sockets_->GetLastErrorString(sock);
    if (!reason || !*reason) reason = sockets_->GetLastErrorString(nullptr);
  }
  NoteTransferFailureText(reason);
}

std::string OrvexDownloadNoCurl::Address() const {
  const char* scheme = protocol_ == ODL_PROTOCOL_FTP ? "ftp" : (tls_ ? "https" : "http");
  return std::string(scheme) + "://" + host_ + ":" + std::to_string(port_) +
         (path_[0] == '/' ? "" : "/") + path_;
}

void OrvexDownloadNoCurl::NoteTransferFailureText(const char* reason) {
  NoteFailure(Address().c_str(), reason);
}

void OrvexDownloadNoCurl::SetDefaults() {
  host_[0] = '\0';
  path_[0] = '\0';
  memcpy(user_agent_, ODL_DEFAULT_USER_AGENT, sizeof(ODL_DEFAULT_USER_AGENT));
  port_ = 0;
  follow_redirects_ = false;
  fail_on_redirect_ = true;
  timeout_ = 0;
  protocol_ = ODL_PROTOCOL_HTTP;
  user_[0] = '\0';
  password_[0] = '\0';
  ResetTransferSettings();
}

void OrvexDownloadNoCurl::ResetTransferSettings() {
  stop_at_content_length_ = false;
  max_body_size_ = 0;
  resume_offset_ = 0;
  limit_exceeded_ = false;
  resume_refused_ = false;
  ftp_reply_ = 0;
}

bool OrvexDownloadNoCurl::CopyCredentials(const char* user, const char* password) {
  bool ok = CopyField(user_, sizeof(user_), user);
  if (!CopyField(password_, sizeof(password_), password)) ok = false;
  if (!ok) {
    user_[0] = '\0';
    password_[0] = '\0';
  }
  return ok;
}

OrvexDownloadNoCurl::OrvexDownloadNoCurl(const char* url, DownloadProgressCallback callback,
                                         const char* user, const char* password, void* user_data)
    : OrvexDownloadCore(callback, user_data), sockets_(new Orvex_Sockets3()) {
  SetDefaults();
  if (!CopyCredentials(user, password)) {
    error_ = ODL_ERROR_INVALID_URL;
    return;
  }
  ParseAddress(url);
}

OrvexDownloadNoCurl::OrvexDownloadNoCurl(int32_t protocol, const char* host, int32_t port,
                                         const char* path, DownloadProgressCallback callback,
                                         const char* user, const char* password, void* user_data)
    : OrvexDownloadCore(callback, user_data), sockets_(new Orvex_Sockets3()) {
  SetDefaults();
  protocol_ = protocol;
  port_ = port;
  if (protocol == ODL_PROTOCOL_FTP) {
    if (!user) user = "anonymous";
    if (!password) password = ODL_ANONYMOUS_PASSWORD;
  }
  if (!CopyCredentials(user, password) || !CopyField(host_, sizeof(host_), host) ||
      !CopyField(path_, sizeof(path_), path)) {
    host_[0] = '\0';
    path_[0] = '\0';
    error_ = ODL_ERROR_INVALID_URL;
  }
  if (protocol != ODL_PROTOCOL_HTTP && protocol != ODL_PROTOCOL_FTP) {
    error_ = ODL_ERROR_INVALID_PROTOCOL;
  }
}

// Splits "http://host[:port]/path" or "https://host[:port]/path" into host, port and path. The
// scheme is compared ignoring case; the second "/" after the scheme is skipped unexamined.
void OrvexDownloadNoCurl::ParseAddress(const char* url) {
  if (!url) {
    error_ = ODL_ERROR_INVALID_PROTOCOL;
    return;
  }
  const char* slash = strchr(url, '/');
  if (!slash) {
    error_ = ODL_ERROR_INVALID_PROTOCOL;
    return;
  }
  tls_ = slash - url == 6 && strncasecmp(url, "https:/", 7) == 0;
  if (HasControlChar(url) || (!tls_ && (slash - url != 5 || strncasecmp(url, "http:/", 6) != 0)) ||
      slash[1] == '\0') {
    error_ = ODL_ERROR_INVALID_URL;
    return;
  }
  port_ = tls_ ? 443 : 80;
  const char* host = slash + 2;
  const char* path = strchr(host, '/');
  if (!path || strlen(path) >= sizeof(path_)) {
    error_ = ODL_ERROR_INVALID_URL;
    return;
  }
  const char* host_end = path;
  const char* colon = static_cast<const char*>(memchr(host, ':', path - host));
  if (colon) {
    int64_t port = LeadingNumber(colon + 1);
    port_ = port > INT32_MAX ? INT32_MAX : static_cast<int32_t>(port);
    host_end = colon;
  }
  size_t host_len = host_end - host;
  if (host_len >= sizeof(host_)) {
    error_ = ODL_ERROR_INVALID_URL;
    return;
  }
  memcpy(host_, host, host_len);
  host_[host_len] = '\0';
  memcpy(path_, path, strlen(path) + 1);
}

OrvexDownloadNoCurl::~OrvexDownloadNoCurl() { delete sockets_; }

void OrvexDownloadNoCurl::Reset() {
  host_[0] = '\0';
  path_[0] = '\0';
  user_[0] = '\0';
  password_[0] = '\0';
  port_ = 0;
  timeout_ = 0;
  follow_redirects_ = false;
  fail_on_redirect_ = true;
  ResetTransferSettings();
  callback_ = nullptr;
  error_ = ODL_ERROR_NONE;
  error_detail_.clear();
  tls_ = false;
  delete sockets_;
  sockets_ = new Orvex_Sockets3();
}

void OrvexDownloadNoCurl::SetTimeout(uint64_t ms) { timeout_ = ms; }

void OrvexDownloadNoCurl::SetUserAgent(const char* text) {
  if (!text) return;
  size_t len = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (len < sizeof(user_agent_) - 1 && p[len] >= 0x20 && p[len] != 0x7F) len++;
  memcpy(user_agent_, text, len);
  user_agent_[len] = '\0';
}

void OrvexDownloadNoCurl::SetFollowRedirects(bool follow) { follow_redirects_ = follow; }

void OrvexDownloadNoCurl::SetFailOnRedirect(bool fail) { fail_on_redirect_ = fail; }

void OrvexDownloadNoCurl::SetNetOptions(const NetOptions& options, EnvLookup env) {
  net_ = options;
  env_ = std::move(env);
}

bool OrvexDownloadNoCurl::DownloadToHandle(StreamHandle* out) {
  if (error_ != ODL_ERROR_NONE) return false;
  if (protocol_ != ODL_PROTOCOL_HTTP && protocol_ != ODL_PROTOCOL_FTP) {
    error_ = ODL_ERROR_INVALID_PROTOCOL;
    return false;
  }
  const std::string address = Address();
  Detail("fetching %s", address.c_str());
  bool ok = protocol_ == ODL_PROTOCOL_HTTP ? HttpTransfer(out) : FtpTransfer(out);
  if (ok) {
    Detail("fetched %s", address.c_str());
  } else {
    Detail("%s failed: %s", address.c_str(), GetErrorString());
  }
  return ok;
}

// ---------------------------------------------------------------------------------------------
// HTTP

bool ParseHttpStatusLine(const char* line, int* minor, int* status) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (strncmp(line, "HTTP/", 5) != 0 || !digit(line[5]) || line[6] != '.' || !digit(line[7]) ||
      line[8] != ' ' || !digit(line[9]) || !digit(line[10]) || !digit(line[11]) ||
      (line[12] != '\0' && line[12] != ' ')) {
    return false;
  }
  *minor = line[7] - '0';
  *status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  return true;
}

bool OrvexDownloadNoCurl::WithinLimit(uint64_t received, uint64_t n) {
  if (max_body_size_ == 0 || received + n <= max_body_size_) return true;
  limit_exceeded_ = true;
  error_ = ODL_ERROR_INVALID_RESPONSE;
  return false;
}

bool OrvexDownloadNoCurl::HttpTransfer(StreamHandle* out) {
  WorkBuffer buffer;
  char* buf = buffer.get();
  if (!buf) {
    error_ = ODL_ERROR_CREATE_SOCKET;
    return false;
  }
  Connection conn(sockets_);
  OriginConnection route;
  if (!OpenHttpConnection(&route)) return false;
  conn.Adopt(route.handle);
  if (!SendHttpRequest(conn.get(), buf, route)) return false;
  int64_t expected = -1;
  bool redirected = false;
  std::string location;
  if (!ReadStatusAndHeaders(conn.get(), buf, &expected, &redirected, &location)) {
    if (!redirected) return false;
    conn.Close();
    return FollowRedirect(location.c_str(), out);
  }
  return ReadHttpBody(conn.get(), buf, expected, out);
}

bool OrvexDownloadNoCurl::SendHttpRequest(ORVEX_SOCKET* conn, char* buf,
                                          const OriginConnection& route) {
  // Every field is bounded (path 511, host 127, user agent 511, credentials 2 x 127, the
  // proxy's credentials cut to fit), so the request always fits the buffer.
  std::string target =
      route.absolute_form ? std::string("http://") + Authority(host_, port_) + path_ : path_;
  int len = snprintf(buf, ODL_BUFFER_SIZE,
                     "GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: %s\r\nConnection: close\r\n",
                     target.c_str(), host_, user_agent_);
  if (!route.request_headers.empty() &&
      route.request_headers.size() < static_cast<size_t>(ODL_BUFFER_SIZE - len - 2048)) {
    len += snprintf(buf + len, ODL_BUFFER_SIZE - len, "%s", route.request_headers.c_str());
  }
  if (user_[0] || password_[0]) {
    char plain[1024];
    char encoded[1024];
    memset(plain, 0, sizeof(plain));
    memset(encoded, 0, sizeof(encoded));
    int plain_len = snprintf(plain, sizeof(plain), "%s:%s", user_, password_);
    base64_encode(reinterpret_cast<const unsigned char*>(plain), plain_len, encoded);
    len += snprintf(buf + len, ODL_BUFFER_SIZE - len, "Authorization: Basic %s\r\n", encoded);
  }
  len += snprintf(buf + len, ODL_BUFFER_SIZE - len, "\r\n");
  // Without a time-out of the caller's the transfer waits as long as the server takes.
  sockets_->SetRecvTimeout(conn, ClampMs(timeout_));
  sockets_->SetSendTimeout(conn, ClampMs(timeout_));
  // A connect that "succeeds" with the refusal already pending (or a peer that is gone at
  // once) shows here: the request cannot be sent, so there is no connection to speak of.
  if (sockets_->Send(conn, buf, -1, true) != len) {
    NoteTransferFailure(conn);
    error_ = ODL_ERROR_CONNECT;
    return false;
  }
  memset(buf, 0, ODL_BUFFER_SIZE);
  return true;
}

bool OrvexDownloadNoCurl::ReadStatusAndHeaders(ORVEX_SOCKET* conn, char* buf, int64_t* expected,
                                               bool* redirected, std::string* location) {
  auto fail = [&](int32_t code) {
    // The address of a failed answer (status, length, content); no system reason.
    if (code != ODL_ERROR_CONNECT) NoteTransferFailure(nullptr);
    error_ = code;
    return false;
  };
  int header_lines = 0;
  int partial_lines = 0;
  for (;;) {
    int n = sockets_->RecvLine(conn, buf, ODL_BUFFER_SIZE);
    if (n == -1) {
      if (partial_lines > kMaxPartialLines) return fail(ODL_ERROR_INVALID_RESPONSE);
      partial_lines++;
      safe_sleep(kPartialLineSleepMs, true);
      continue;
    }
    if (n < -1) {
      // A connection that ends before any reply line arrived has delivered no response at all.
      if (header_lines == 0 && (n == -3 || n == -4)) return fail(ODL_ERROR_INVALID_RESPONSE);
      return true;
    }
    StripLineEnd(buf);
    if (buf[0] == '\0') return true;
    if (header_lines++ == 0) {
      // The three-digit code decides; a line that is not a status line is no HTTP answer.
      int minor = 0;
      int status = 0;
      if (!ParseHttpStatusLine(buf, &minor, &status)) return fail(ODL_ERROR_INVALID_RESPONSE);
      if (status == 401) return fail(ODL_ERROR_AUTH);
      if (status == 404) return fail(ODL_ERROR_NOT_FOUND);
      if (status != 200 && status != 302) return fail(ODL_ERROR_INVALID_RESPONSE);
    }
    if (strncasecmp(buf, "Content-Length:", 15) == 0) {
      const char* value = buf + 15;
      if (*value == ' ') value++;
      *expected = strtoll(value, nullptr, 10);
      if (*expected < 0) *expected = 0;
      if (!WithinLimit(0, static_cast<uint64_t>(*expected))) return false;
      if (callback_ && !callback_(0, static_cast<uint64_t>(*expected), user_data_)) {
        return fail(ODL_ERROR_CALLBACK_ABORT);
      }
    } else if (strncasecmp(buf, "Location:", 9) == 0) {
      const char* target = buf + 9;
      if (*target == ' ') target++;
      if (follow_redirects_) {
        *redirected = true;
        *location = target;
        return false;
      }
      if (fail_on_redirect_) return fail(ODL_ERROR_REDIRECT);
    }
  }
}

bool OrvexDownloadNoCurl::ReadHttpBody(ORVEX_SOCKET* conn, char* buf, int64_t expected,
                                       StreamHandle* out) {
  auto fail = [&](int32_t code) {
    error_ = code;
    return false;
  };
  const bool bounded = stop_at_content_length_ && expected >= 0;
  const uint64_t announced = expected > 0 ? static_cast<uint64_t>(expected) : 0;
  uint64_t received = 0;
  for (;;) {
    uint32_t want = ODL_BUFFER_SIZE;
    if (bounded) {
      if (received >= announced) break;
      if (announced - received < want) want = static_cast<uint32_t>(announced - received);
    }
    int n = sockets_->Recv(conn, buf, want);
    if (n == 0) break;
    // A reset or a receive time-out is not the end of the body.
    if (n < 0) return fail(ODL_ERROR_INVALID_RESPONSE);
    if (!WithinLimit(received, static_cast<uint64_t>(n))) return false;
    if (out->write(buf, static_cast<uint32_t>(n), out) < n) return fail(ODL_ERROR_WRITE);
    received += static_cast<uint64_t>(n);
    if (callback_ && !callback_(received, announced, user_data_)) {
      return fail(ODL_ERROR_CALLBACK_ABORT);
    }
  }
  // The connection closed before the announced length arrived: the body is cut short.
  if (received < announced) return fail(ODL_ERROR_INVALID_RESPONSE);
  return true;
}

bool OrvexDownloadNoCurl::OpenHttpConnection(OriginConnection* route) {
  Origin origin;
  origin.tls = tls_;
  origin.host = host_;
  origin.port = port_;
  uint64_t connect_ms = timeout_ ? timeout_ : ODL_DEFAULT_CONNECT_TIMEOUT_MS;
  Connector connector(sockets_, net_, env_);
  ConnectFailure failure;
  if (connector.Open(origin, ClampMs(connect_ms), route, &failure, &error_detail_)) return true;
  NoteTransferFailureText(error_detail_.c_str());
  error_ = DownloadErrorCode(failure);
  if (failure == ConnectFailure::kCreate) {
    printf("Error creating socket! Error %d: %s\n", sockets_->GetLastError(nullptr),
           sockets_->GetLastErrorString(nullptr));
  }
  return false;
}

bool OrvexDownloadNoCurl::FollowRedirect(const char* target, StreamHandle* out) {
  std::string address;
  if (target[0] == '/') {
    address =
        std::string(tls_ ? "https://" : "http://") + host_ + ":" + std::to_string(port_) + target;
  } else {
    address = target;
  }
  OrvexDownloadNoCurl next(address.c_str(), callback_, nullptr, nullptr, user_data_);
  if (next.error_ != ODL_ERROR_NONE) {
    error_ = next.error_;
    return false;
  }
  // What came over TLS is not handed to a connection anyone on the way can read or alter.
  if (tls_ && !next.tls_) {
    error_ = ODL_ERROR_INSECURE_REDIRECT;
    error_detail_ = "Refused the redirect from https://" + Authority(host_, port_) + path_ +
                    " to the unencrypted " + address;
    return false;
  }
  next.SetNetOptions(net_, env_);
  // Credentials go only where they were meant for: the same host and port.
  if (strcasecmp(next.host_, host_) == 0 && next.port_ == port_) {
    memcpy(next.user_, user_, sizeof(user_));
    memcpy(next.password_, password_, sizeof(password_));
  }
  bool ok = next.DownloadToHandle(out);
  error_ = next.error_;
  error_detail_ = next.error_detail_;
  return ok;
}

// ---------------------------------------------------------------------------------------------
// FTP

namespace {

// Parses the six numbers of a "227 ... (h1,h2,h3,h4,p1,p2)" reply text as they stand; missing
// numbers are 0.
void ParsePassiveNumbers(const char* text, long numbers[6]) {
  for (int i = 0; i < 6; i++) numbers[i] = 0;
  const char* p = strchr(text, '(') + 1;
  const char* end = strchr(p, ')');
  if (!end) end = p + strlen(p);
  int index = 0;
  while (p < end && index < 6) {
    if (*p == ',') {
      p++;
      continue;
    }
    const char* comma = static_cast<const char*>(memchr(p, ',', end - p));
    const char* stop = comma ? comma : end;
    numbers[index++] = strtol(std::string(p, stop).c_str(), nullptr, 10);
    p = stop;
  }
}

// The size announced in "150 ... (1234 bytes)"; 0 when it is not a number.
int64_t ParseAnnouncedSize(const char* text) {
  std::string inner(strchr(text, '(') + 1);
  size_t cut = inner.find_first_of(" )");
  if (cut != std::string::npos) inner.resize(cut);
  return strtoll(inner.c_str(), nullptr, 10);
}

}  // namespace

// The steps of the FTP exchange, each named by the reply it waits for.
enum class FtpStep {
  kGreeting,  // 220, then USER
  kUser,      // 331, then PASS
  kPassword,  // 230, then TYPE I
  kType,      // 200, then PASV
  kPassive,   // 227: connect the data connection, then REST or RETR
  kRestart,   // 350, then RETR
  kRetrieve,  // 150 with the size: receive the data
  kComplete,  // 226, then QUIT
};

bool OrvexDownloadNoCurl::FtpTransfer(StreamHandle* out) {
  WorkBuffer buffer;
  char* buf = buffer.get();
  if (!buf) {
    error_ = ODL_ERROR_CREATE_SOCKET;
    return false;
  }
  Connection control(sockets_);
  Connection data(sockets_);
  auto fail = [&](int32_t code) {
    error_ = code;
    return false;
  };
  if (!control.Create()) return fail(ODL_ERROR_CREATE_SOCKET);
  bool connected =
      timeout_ ? sockets_->ConnectWithTimeout(control.get(), host_, port_, ClampMs(timeout_))
               : sockets_->Connect(control.get(), host_, port_);
  if (!connected) {
    NoteTransferFailure(control.get());
    return fail(ODL_ERROR_CONNECT);
  }
  if (timeout_) sockets_->SetRecvTimeout(control.get(), ClampMs(timeout_));

  auto send_command = [&](const char* format, const char* arg) {
    snprintf(buf, ODL_BUFFER_SIZE, format, arg);
    sockets_->Send(control.get(), buf, -1, true);
  };
  // Receives the data connection's bytes: up to the announced size, or, when announced is 0,
  // until the server closes it.
  auto receive_data = [&](uint64_t announced) {
    uint64_t received = 0;
    for (;;) {
      int got = sockets_->Recv(data.get(), buf, ODL_BUFFER_SIZE);
      if (got <= 0) break;
      if (!WithinLimit(received, static_cast<uint64_t>(got))) return false;
      if (out->write(buf, static_cast<uint32_t>(got), out) < got) return fail(ODL_ERROR_WRITE);
      received += static_cast<uint64_t>(got);
      if (callback_ && !callback_(received, announced, user_data_)) {
        return fail(ODL_ERROR_CALLBACK_ABORT);
      }
      if (received == announced) break;
    }
    return true;
  };

  FtpStep step = FtpStep::kGreeting;
  for (;;) {
    int n = sockets_->RecvLine(control.get(), buf, ODL_BUFFER_SIZE);
    if (n < 0) return false;
    if (n == 0) continue;
    int64_t code = LeadingNumber(buf);
    ftp_reply_ = code > 999 ? 999 : static_cast<int>(code);
    const char* space = strchr(buf, ' ');
    const char* text = space ? space + 1 : buf;
    switch (step) {
      case FtpStep::kGreeting:
        if (code != 220) return fail(ODL_ERROR_INVALID_RESPONSE);
        send_command("USER %s\r\n", user_);
        step = FtpStep::kUser;
        break;
      case FtpStep::kUser:
        if (code != 331) return fail(ODL_ERROR_INVALID_RESPONSE);
        send_command("PASS %s\r\n", password_);
        step = FtpStep::kPassword;
        break;
      case FtpStep::kPassword:
        if (code != 230) return fail(ODL_ERROR_AUTH);
        send_command("TYPE I\r\n", "");
        step = FtpStep::kType;
        break;
      case FtpStep::kType:
        if (code != 200) return fail(ODL_ERROR_INVALID_RESPONSE);
        send_command("PASV\r\n", "");
        step = FtpStep::kPassive;
        break;
      case FtpStep::kPassive: {
        if (code != 227 || !strchr(text, '(')) return fail(ODL_ERROR_INVALID_RESPONSE);
        long numbers[6];
        ParsePassiveNumbers(text, numbers);
        // The port is the fifth number shifted by 8 bits, OR the sixth as it stands. One that
        // falls outside the port range cannot be connected to (the resolver would cut it to 16
        // bits and reach some other port).
        int64_t data_port = static_cast<int64_t>(static_cast<uint64_t>(numbers[4]) << 8 |
                                                 static_cast<uint64_t>(numbers[5]));
        // Only the port is taken from the reply: the data connection goes to the server the
        // control connection reached, so a reply cannot steer the client to another host.
        const char* data_host = control.get()->remote_ip[0] ? control.get()->remote_ip : host_;
        if (!data.Create()) return fail(ODL_ERROR_CREATE_SOCKET);
        if (data_port < 0 || data_port > 65535 ||
            !sockets_->Connect(data.get(), data_host, static_cast<int>(data_port))) {
          return fail(ODL_ERROR_CONNECT);
        }
        if (timeout_) sockets_->SetRecvTimeout(data.get(), ClampMs(timeout_));
        if (resume_offset_ > 0) {
          snprintf(buf, ODL_BUFFER_SIZE, "REST %llu\r\n",
                   static_cast<unsigned long long>(resume_offset_));
          sockets_->Send(control.get(), buf, -1, true);
          step = FtpStep::kRestart;
        } else {
          send_command("RETR %s\r\n", path_);
          step = FtpStep::kRetrieve;
        }
        break;
      }
      case FtpStep::kRestart:
        if (code != 350) {
          resume_refused_ = true;
          return fail(ODL_ERROR_INVALID_RESPONSE);
        }
        send_command("RETR %s\r\n", path_);
        step = FtpStep::kRetrieve;
        break;
      case FtpStep::kRetrieve: {
        if (code != 150) return fail(ODL_ERROR_INVALID_RESPONSE);
        if (resume_offset_ > 0) {
          // What the 150 reply announces may be the whole file or the rest: read to the end.
          if (!receive_data(0)) return false;
        } else {
          if (!strchr(text, '(')) break;  // no size yet: wait for the next reply
          int64_t announced = ParseAnnouncedSize(text);
          if (announced != 0) {
            if (!WithinLimit(0, static_cast<uint64_t>(announced < 0 ? 0 : announced))) {
              return false;
            }
            if (!receive_data(static_cast<uint64_t>(announced))) return false;
          }
        }
        data.Close();
        step = FtpStep::kComplete;
        break;
      }
      case FtpStep::kComplete:
        if (code != 226) return fail(ODL_ERROR_INVALID_RESPONSE);
        send_command("QUIT\r\n", "");
        return true;
    }
  }
}
