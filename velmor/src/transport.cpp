// HTTP/1.1 and FTP transfers with time-outs, body bounds, resumption and retries.
#include "transport.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <random>
#include <utility>
#include <vector>

#include "base64.h"
#include "download_nocurl.h"
#include "failure_note.h"
#include "memleak.h"
#include "sockets3.h"
#include "utc_time.h"

namespace {

const size_t kBufferSize = 16384;
const size_t kFileBufferSize = 128 * 1024;
// A header line longer than this, or more lines than kMaxHeaderLines, is not a sane answer.
const size_t kMaxHeaderLine = 8192;
const int kMaxHeaderLines = 200;
// How often one attempt may start over (a 206 from the wrong offset, a 416).
const int kMaxRestarts = 2;

bool IsTransientStatus(int status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
         status == 504;
}

bool HasControlOrBlank(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// A whole decimal number of at most 18 digits; false for anything else.
bool ParseDecimal(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

std::string Seconds(uint64_t ms) {
  char text[32];
  if (ms % 1000 == 0) {
    snprintf(text, sizeof(text), "%llu s", static_cast<unsigned long long>(ms / 1000));
  } else {
    snprintf(text, sizeof(text), "%.1f s", static_cast<double>(ms) / 1000.0);
  }
  return text;
}

// Bytes received per second of the clock, over a sliding window of window_s seconds.
class CrawlMeter {
 public:
  CrawlMeter(uint64_t limit, uint32_t window_s, int64_t start_ms)
      : limit_(limit), window_ms_(static_cast<int64_t>(window_s) * 1000), start_ms_(start_ms) {}
  void Add(int64_t now_ms, uint64_t bytes) {
    int64_t second = now_ms / 1000;
    if (!buckets_.empty() && buckets_.back().first == second) {
      buckets_.back().second += bytes;
    } else {
      buckets_.emplace_back(second, bytes);
    }
    sum_ += bytes;
  }
  // True when a whole window has passed and it held fewer bytes than the limit asks for.
  bool TooSlow(int64_t now_ms) {
    if (limit_ == 0 || window_ms_ == 0 || now_ms - start_ms_ < window_ms_) return false;
    while (!buckets_.empty() && buckets_.front().first * 1000 + 999 <= now_ms - window_ms_) {
      sum_ -= buckets_.front().second;
      buckets_.pop_front();
    }
    return sum_ < limit_ * static_cast<uint64_t>(window_ms_ / 1000);
  }

 private:
  uint64_t limit_;
  int64_t window_ms_;
  int64_t start_ms_;
  std::deque<std::pair<int64_t, uint64_t>> buckets_;
  uint64_t sum_ = 0;
};

class SystemClock : public TransportClock {
 public:
  int64_t NowMs() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  void SleepMs(int64_t ms) override {
    if (ms <= 0) return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
  double Random() override {
    thread_local std::mt19937_64 generator(Seed());
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
  }

 private:
  static uint64_t Seed() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(seed))) {
      seed = static_cast<uint64_t>(time(nullptr)) ^ reinterpret_cast<uintptr_t>(&seed);
    }
    return seed;
  }
};

// The parts of a response head the transport acts on.
struct ResponseHead {
  int status = 0;
  int minor = 0;
  std::string reason;
  int64_t content_length = -1;
  bool chunked = false;
  bool close = false;
  bool keep_alive = false;
  std::string location;
  std::string content_range;
  int64_t retry_after_ms = -1;
};

// "bytes S-E/T" or "bytes S-E/*": the first byte S.
bool ParseContentRangeStart(const std::string& value, uint64_t* start) {
  std::string v = Trim(value);
  if (strncasecmp(v.c_str(), "bytes ", 6) != 0) return false;
  size_t dash = v.find('-', 6);
  if (dash == std::string::npos) return false;
  int64_t s = 0;
  if (!ParseDecimal(Trim(v.substr(6, dash - 6)), &s)) return false;
  *start = static_cast<uint64_t>(s);
  return true;
}

// Location resolved against the URL it came from.
std::string ResolveLocation(const TransportUrl& base, const std::string& location) {
  if (location.find("://") != std::string::npos) return location;
  std::string origin = base.scheme + "://" + base.host + ":" + std::to_string(base.port);
  if (!location.empty() && location[0] == '/') return origin + location;
  std::string dir = base.path.substr(0, base.path.rfind('/') + 1);
  return origin + dir + location;
}

// A StreamHandle whose writes go to a TransferSink (for the FTP client).
struct SinkHandle {
  StreamHandle handle;
  TransferSink* sink;
  std::string error;
};

int64_t SinkHandleWrite(const void* buffer, unsigned int length, StreamHandle* handle) {
  SinkHandle* self = reinterpret_cast<SinkHandle*>(handle);
  if (!self->sink->Write(static_cast<const char*>(buffer), length, &self->error)) return 0;
  return length;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors, addresses, sinks, clock

bool TransferError::Transient() const {
  switch (failure) {
    case TransferFailure::kConnect:
    case TransferFailure::kConnectTimeout:
    case TransferFailure::kStall:
    case TransferFailure::kCrawl:
    case TransferFailure::kConnectionLost:
    case TransferFailure::kCutShort:
      return true;
    case TransferFailure::kHttpStatus:
      return IsTransientStatus(status);
    case TransferFailure::kFtp:
      return transient_ftp;
    default:
      return false;
  }
}

int32_t TransferError::DownloadCode() const {
  switch (failure) {
    case TransferFailure::kNone:
      return ODL_ERROR_NONE;
    case TransferFailure::kInvalidUrl:
      return ODL_ERROR_INVALID_URL;
    case TransferFailure::kResolve:
    case TransferFailure::kConnect:
      return ODL_ERROR_CONNECT;
    case TransferFailure::kConnectTimeout:
    case TransferFailure::kStall:
    case TransferFailure::kCrawl:
      return ODL_ERROR_TIMEOUT;
    case TransferFailure::kWrite:
      return ODL_ERROR_WRITE;
    case TransferFailure::kAborted:
      return ODL_ERROR_CALLBACK_ABORT;
    case TransferFailure::kLogin:
      return ODL_ERROR_AUTH;
    case TransferFailure::kTls:
      return cause_code != 0 ? cause_code : ODL_ERROR_TLS_HANDSHAKE;
    case TransferFailure::kProxy:
      return ODL_ERROR_PROXY;
    case TransferFailure::kInsecureRedirect:
      return ODL_ERROR_INSECURE_REDIRECT;
    case TransferFailure::kHttpStatus:
      if (status == 401) return ODL_ERROR_AUTH;
      if (status == 404) return ODL_ERROR_NOT_FOUND;
      return ODL_ERROR_INVALID_RESPONSE;
    default:
      return ODL_ERROR_INVALID_RESPONSE;
  }
}

bool TransferError::Set(TransferFailure what, const std::string& message) {
  failure = what;
  status = 0;
  retry_after_ms = -1;
  transient_ftp = false;
  cause_code = 0;
  text = message;
  return false;
}

bool TransportUrl::Parse(const std::string& text, TransportUrl* url, TransferError* error) {
  auto invalid = [&](const char* why) {
    return error->Set(TransferFailure::kInvalidUrl, "Invalid URL '" + text + "': " + why);
  };
  if (HasControlOrBlank(text)) return invalid("control characters or blanks");
  size_t sep = text.find("://");
  if (sep == std::string::npos) return invalid("no scheme");
  TransportUrl u;
  u.scheme = Lower(text.substr(0, sep));
  if (u.scheme == "http") {
    u.port = 80;
  } else if (u.scheme == "https") {
    u.port = 443;
  } else if (u.scheme == "ftp") {
    u.port = 21;
  } else {
    return invalid("not http, https or ftp");
  }
  std::string rest = text.substr(sep + 3);
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  u.path = slash == std::string::npos ? "/" : rest.substr(slash);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = credentials.find(':');
    u.user = credentials.substr(0, colon);
    if (colon != std::string::npos) u.password = credentials.substr(colon + 1);
    u.has_user = true;
  }
  std::string port_text;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return invalid("unclosed '['");
    u.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return invalid("junk after the host");
      port_text = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.find(':');
    u.host = authority.substr(0, colon);
    if (colon != std::string::npos) port_text = authority.substr(colon + 1);
  }
  if (u.host.empty()) return invalid("no host");
  if (u.host.size() >= ODL_HOST_SIZE) return invalid("host name too long");
  if (!port_text.empty()) {
    int64_t port = 0;
    if (!ParseDecimal(port_text, &port) || port < 1 || port > 65535) return invalid("bad port");
    u.port = static_cast<int>(port);
  }
  *url = u;
  return true;
}

std::string TransportUrl::HostPort() const {
  bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string TransportUrl::Text() const { return scheme + "://" + HostPort() + path; }

TransferSink::~TransferSink() {}

FileSink::FileSink(const std::string& path, bool keep) : path_(path), keep_(keep) {}

FileSink::~FileSink() {
  std::string ignored;
  Close(&ignored);
}

bool FileSink::Open(std::string* error) {
  if (fp_) return true;
  // A link planted where the file belongs is refused, not written through.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (keep_ ? O_APPEND : O_TRUNC);
  int fd = open(path_.c_str(), flags, 0644);
  fp_ = fd >= 0 ? fdopen(fd, keep_ ? "ab" : "wb") : nullptr;
  if (!fp_ && fd >= 0) close(fd);
  if (!fp_ || fseeko(fp_, 0, SEEK_END) != 0) {
    *error = "Cannot open " + path_ + ": " + strerror(errno);
    if (fp_) fclose(fp_);
    fp_ = nullptr;
    return false;
  }
  off_t size = ftello(fp_);
  size_ = size > 0 ? static_cast<uint64_t>(size) : 0;
  // Without memory for the large buffer the stream keeps its own.
  buffer_ = zmalloc(kFileBufferSize, __FILE__, __LINE__);
  if (buffer_) setvbuf(fp_, static_cast<char*>(buffer_), _IOFBF, kFileBufferSize);
  return true;
}

bool FileSink::Close(std::string* error) {
  if (!fp_) return true;
  bool ok = fclose(fp_) == 0;
  fp_ = nullptr;
  if (buffer_) zfree(buffer_, __FILE__, __LINE__);
  buffer_ = nullptr;
  if (!ok) *error = "Error writing " + path_ + ": " + strerror(errno);
  return ok;
}

bool FileSink::Write(const char* data, size_t len, std::string* error) {
  if (!fp_ && !Open(error)) return false;
  if (fwrite(data, 1, len, fp_) != len) {
    *error = "Error writing " + path_ + ": " + strerror(errno);
    return false;
  }
  size_ += len;
  return true;
}

bool FileSink::Truncate(std::string* error) {
  if (!fp_ && !Open(error)) return false;
  if (fflush(fp_) != 0 || ftruncate(fileno(fp_), 0) != 0) {
    *error = "Cannot empty " + path_ + ": " + strerror(errno);
    return false;
  }
  size_ = 0;
  return true;
}

bool StreamSink::Write(const char* data, size_t len, std::string* error) {
  if (fwrite(data, 1, len, fp_) != len) {
    *error = "Error writing " + name_ + ": " + strerror(errno);
    return false;
  }
  size_ += len;
  return true;
}

bool StreamSink::Truncate(std::string* error) {
  off_t start = ftello(fp_) - static_cast<off_t>(size_);
  if (fflush(fp_) != 0 || start < 0 || ftruncate(fileno(fp_), start) != 0 ||
      fseeko(fp_, start, SEEK_SET) != 0) {
    *error = "Cannot empty " + name_ + ": " + strerror(errno);
    return false;
  }
  size_ = 0;
  return true;
}

bool StringSink::Write(const char* data, size_t len, std::string* error) {
  (void)error;
  data_.append(data, len);
  return true;
}

bool StringSink::Truncate(std::string* error) {
  (void)error;
  data_.clear();
  return true;
}

TransportClock::~TransportClock() {}

int64_t TransportClock::WallSeconds() { return static_cast<int64_t>(time(nullptr)); }

TransportClock* SystemTransportClock() {
  static SystemClock* clock = new SystemClock();
  return clock;
}

// ---------------------------------------------------------------------------------------------
// Connections

TransportConnection::~TransportConnection() {}

TransportConnector::~TransportConnector() {}

std::string TransportConnector::RequestTarget(const TransportUrl& url) const { return url.path; }

std::string TransportConnector::ExtraHeaders(const TransportUrl& url) const {
  (void)url;
  return std::string();
}

std::string TransportConnector::ConnectionKey(const TransportUrl& url) const {
  return url.scheme + "://" + url.HostPort();
}

SocketConnection::SocketConnection(Orvex_Sockets3* sockets, ORVEX_SOCKET* handle)
    : sockets_(sockets), handle_(handle) {}

SocketConnection::~SocketConnection() {
  if (handle_) sockets_->Close(handle_);
}

bool SocketConnection::Send(const char* data, size_t len, std::string* error) {
  while (len > 0) {
    int32_t part = len > (1u << 30) ? (1 << 30) : static_cast<int32_t>(len);
    int sent = sockets_->Send(handle_, data, part, true);
    if (sent != part) {
      *error = sockets_->GetLastErrorString(handle_);
      return false;
    }
    data += part;
    len -= static_cast<size_t>(part);
  }
  return true;
}

int SocketConnection::WaitReadable(uint32_t ms, std::string* error) {
  int r = sockets_->SelectRead(handle_, ms);
  if (r < 0) *error = sockets_->GetLastErrorString(handle_);
  return r < 0 ? -1 : r;
}

int SocketConnection::Receive(char* buf, size_t size, std::string* error) {
  uint32_t want = size > (1u << 30) ? (1u << 30) : static_cast<uint32_t>(size);
  int n = sockets_->Recv(handle_, buf, want);
  if (n < 0) *error = sockets_->GetLastErrorString(handle_);
  return n;
}

std::unique_ptr<SocketConnection> OpenTcpConnection(Orvex_Sockets3* sockets,
                                                    const std::string& host, int port,
                                                    uint32_t timeout_ms, TransferError* error) {
  std::string where = host + ":" + std::to_string(port);
  ORVEX_SOCKET* handle = sockets->Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  if (!handle) {
    error->Set(TransferFailure::kConnect, std::string("Cannot create a socket for ") + where +
                                              ": " + sockets->GetLastErrorString(nullptr));
    return nullptr;
  }
  std::unique_ptr<SocketConnection> conn(new SocketConnection(sockets, handle));
  bool connected = timeout_ms ? sockets->ConnectWithTimeout(handle, host.c_str(), port, timeout_ms)
                              : sockets->Connect(handle, host.c_str(), port);
  if (!connected) {
    if (sockets->GetLastError(nullptr) < 0) {
      error->Set(TransferFailure::kResolve,
                 "Cannot resolve host '" + host + "': " + sockets->GetLastErrorString(nullptr));
    } else if (timeout_ms) {
      error->Set(TransferFailure::kConnectTimeout,
                 "Connecting to " + where + " timed out after " + Seconds(timeout_ms));
    } else {
      error->Set(TransferFailure::kConnect,
                 "Connecting to " + where + " failed: " + sockets->GetLastErrorString(handle));
    }
    return nullptr;
  }
  // A non-blocking connect that "succeeded" may hold a refusal; it shows in SO_ERROR.
  int so_error = 0;
  socklen_t len = sizeof(so_error);
  if (getsockopt(handle->sock, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) so_error = errno;
  if (so_error != 0) {
    error->Set(TransferFailure::kConnect,
               "Connecting to " + where + " failed: " + strerror(so_error));
    return nullptr;
  }
  return conn;
}

TcpConnector::TcpConnector() : sockets_(new Orvex_Sockets3()) {}

TcpConnector::~TcpConnector() { delete sockets_; }

std::unique_ptr<TransportConnection> TcpConnector::Connect(const TransportUrl& url,
                                                           uint32_t timeout_ms,
                                                           TransferError* error) {
  if (url.scheme != "http") {
    error->Set(TransferFailure::kInvalidUrl,
               "Cannot fetch " + url.Text() + ": " + url.scheme + " is not supported here");
    return nullptr;
  }
  return OpenTcpConnection(sockets_, url.host, url.port, timeout_ms, error);
}

// ---------------------------------------------------------------------------------------------
// One request and its response on one connection: buffered reading under the time-outs.

namespace {

class Exchange {
 public:
  // cancelled (may be null or empty) is asked after every wait slice without a byte.
  Exchange(TransportConnection* conn, TransportClock* clock, const TransportSettings& settings,
           const std::string& where, const std::function<bool()>* cancelled = nullptr)
      : conn_(conn),
        cancelled_(cancelled),
        clock_(clock),
        settings_(settings),
        where_(where),
        buffer_(static_cast<char*>(zmalloc(kBufferSize, __FILE__, __LINE__))),
        last_ms_(clock->NowMs()),
        meter_(settings.speed_limit_bytes, settings.speed_time_s, last_ms_) {}
  ~Exchange() {
    if (buffer_) zfree(buffer_, __FILE__, __LINE__);
  }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  // False when there was no memory for the buffer.
  bool ok() const { return buffer_ != nullptr; }
  TransportClock* clock() const { return clock_; }

  // Receives more bytes into the buffer. 1 when some arrived, 0 when the peer closed, -1 on
  // failure (error set).
  int Fill(TransferError* error) {
    if (start_ > 0) {
      memmove(buffer_, buffer_ + start_, end_ - start_);
      end_ -= start_;
      start_ = 0;
    }
    for (;;) {
      int64_t now = clock_->NowMs();
      int64_t quiet = now - last_ms_;
      if (settings_.stall_timeout_ms && quiet >= settings_.stall_timeout_ms) {
        error->Set(TransferFailure::kStall, "No data from " + where_ + " for " +
                                                Seconds(settings_.stall_timeout_ms) +
                                                " (stall time-out)");
        return -1;
      }
      if (meter_.TooSlow(now)) {
        error->Set(TransferFailure::kCrawl, "Transfer from " + where_ + " slower than " +
                                                std::to_string(settings_.speed_limit_bytes) +
                                                " bytes/s over " +
                                                std::to_string(settings_.speed_time_s) + " s");
        return -1;
      }
      uint32_t wait = settings_.wait_slice_ms ? settings_.wait_slice_ms : 1000;
      if (settings_.stall_timeout_ms &&
          static_cast<int64_t>(settings_.stall_timeout_ms) - quiet < wait) {
        wait = static_cast<uint32_t>(settings_.stall_timeout_ms - quiet);
      }
      std::string why;
      int ready = conn_->WaitReadable(wait, &why);
      if (ready == 0 && cancelled_ && *cancelled_ && (*cancelled_)()) {
        error->Set(TransferFailure::kAborted, "Transfer from " + where_ + " stopped");
        return -1;
      }
      if (ready == 0) continue;
      int n = ready < 0 ? -1 : conn_->Receive(buffer_ + end_, kBufferSize - end_, &why);
      if (n < 0) {
        error->Set(TransferFailure::kConnectionLost, "Connection to " + where_ + " lost: " + why);
        return -1;
      }
      if (n == 0) return 0;
      end_ += static_cast<size_t>(n);
      received_any_ = true;
      last_ms_ = now;
      meter_.Add(now, static_cast<uint64_t>(n));
      return 1;
    }
  }

  // One line without its line end. 1 with the line, 0 when the peer closed first, -1 on
  // failure.
  int ReadLine(std::string* line, TransferError* error) {
    for (;;) {
      char* begin = buffer_ + start_;
      char* nl = static_cast<char*>(memchr(begin, '\n', end_ - start_));
      if (nl) {
        size_t len = static_cast<size_t>(nl - begin);
        line->assign(begin, len);
        if (!line->empty() && line->back() == '\r') line->pop_back();
        start_ += len + 1;
        return 1;
      }
      if (end_ - start_ >= kMaxHeaderLine) {
        error->Set(TransferFailure::kInvalidResponse, where_ + " sent a line that is too long");
        return -1;
      }
      int r = Fill(error);
      if (r <= 0) return r;
    }
  }

  // Moves up to max buffered-or-received bytes to *data. Returns the count, 0 when the peer
  // closed, -1 on failure.
  int Take(size_t max, const char** data, TransferError* error) {
    if (start_ == end_) {
      start_ = end_ = 0;
      int r = Fill(error);
      if (r <= 0) return r;
    }
    size_t n = end_ - start_;
    if (n > max) n = max;
    *data = buffer_ + start_;
    start_ += n;
    return static_cast<int>(n);
  }

  bool received_any() const { return received_any_; }
  bool buffered() const { return start_ != end_; }

 private:
  TransportConnection* conn_;
  const std::function<bool()>* cancelled_;
  TransportClock* clock_;
  const TransportSettings& settings_;
  std::string where_;
  char* buffer_;  // tracked block of kBufferSize bytes, or null when memory ran out
  size_t start_ = 0;
  size_t end_ = 0;
  int64_t last_ms_;
  CrawlMeter meter_;
  bool received_any_ = false;
};

// Reads the status line and headers (skipping 1xx answers). 1 with head filled; 0 when the
// connection closed before any byte; -1 on failure.
int ReadHead(Exchange* ex, const std::string& where, ResponseHead* head, TransferError* error) {
  for (;;) {
    std::string line;
    int r = ex->ReadLine(&line, error);
    if (r <= 0) return r;
    *head = ResponseHead();
    if (!ParseHttpStatusLine(line.c_str(), &head->minor, &head->status)) {
      error->Set(TransferFailure::kInvalidResponse,
                 where + " sent an invalid status line: '" + line.substr(0, 80) + "'");
      return -1;
    }
    if (line.size() > 13) head->reason = line.substr(13);
    bool informational = head->status >= 100 && head->status < 200;
    for (int count = 0;; count++) {
      r = ex->ReadLine(&line, error);
      if (r < 0) return -1;
      if (r == 0) {
        error->Set(TransferFailure::kConnectionLost,
                   where + " closed the connection in the middle of the headers");
        return -1;
      }
      if (line.empty()) break;
      if (count > kMaxHeaderLines) {
        error->Set(TransferFailure::kInvalidResponse, where + " sent too many header lines");
        return -1;
      }
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = Lower(Trim(line.substr(0, colon)));
      std::string value = Trim(line.substr(colon + 1));
      if (name == "content-length") {
        int64_t length = 0;
        if (!ParseDecimal(value, &length) ||
            (head->content_length >= 0 && head->content_length != length)) {
          error->Set(TransferFailure::kInvalidResponse,
                     where + " sent a bad Content-Length '" + value + "'");
          return -1;
        }
        head->content_length = length;
      } else if (name == "transfer-encoding") {
        std::string codings = Lower(value);
        size_t last = codings.rfind(',');
        if (Trim(last == std::string::npos ? codings : codings.substr(last + 1)) != "chunked") {
          error->Set(TransferFailure::kInvalidResponse,
                     where + " sent an unsupported Transfer-Encoding '" + value + "'");
          return -1;
        }
        head->chunked = true;
      } else if (name == "connection") {
        std::string v = Lower(value);
        if (v.find("close") != std::string::npos) head->close = true;
        if (v.find("keep-alive") != std::string::npos) head->keep_alive = true;
      } else if (name == "location") {
        head->location = value;
      } else if (name == "content-range") {
        head->content_range = value;
      } else if (name == "retry-after") {
        int64_t seconds = 0, date = 0;
        bool known = ParseDecimal(value, &seconds);
        if (!known && ParseHttpDate(value, &date)) {
          seconds = std::max<int64_t>(0, date - ex->clock()->WallSeconds());
          known = true;
        }
        if (known) {
          int64_t cap = TRANSPORT_MAX_RETRY_AFTER_MS / 1000;
          head->retry_after_ms = (seconds > cap ? cap : seconds) * 1000;
        }
      }
    }
    // A chunked body decides its own length; a Content-Length beside it is ignored.
    if (head->chunked) head->content_length = -1;
    if (!informational) return 1;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Transport

Transport::Transport(const TransportSettings& settings, TransportConnector* connector,
                     TransportClock* clock)
    : settings_(settings), connector_(connector), clock_(clock ? clock : SystemTransportClock()) {
  if (!connector_) {
    own_connector_.reset(new TcpConnector());
    connector_ = own_connector_.get();
  }
}

Transport::~Transport() { CloseIdle(); }

void Transport::CloseIdle() {
  idle_.reset();
  idle_key_.clear();
}

std::unique_ptr<TransportConnection> Transport::Acquire(const TransportUrl& url, bool* reused,
                                                        TransferError* error) {
  std::string key = connector_->ConnectionKey(url);
  if (idle_ && *reused && idle_key_ == key) {
    // An idle connection that has something to read was closed by the server (or holds junk).
    std::string ignored;
    if (idle_->WaitReadable(0, &ignored) == 0) {
      idle_key_.clear();
      return std::move(idle_);
    }
  }
  CloseIdle();
  *reused = false;
  std::unique_ptr<TransportConnection> conn =
      connector_->Connect(url, settings_.connect_timeout_ms, error);
  if (conn) connections_opened_++;
  return conn;
}

bool Transport::HttpOnce(const TransportUrl& url, const TransferRequest& request,
                         TransferSink* sink, std::string* redirect, TransferError* error) {
  const std::string where = url.HostPort();
  bool allow_reuse = true;
  int restarts = 0;
  for (;;) {
    uint64_t offset = sink->Size();
    bool reused = allow_reuse;
    std::unique_ptr<TransportConnection> conn = Acquire(url, &reused, error);
    if (!conn) return false;
    allow_reuse = false;

    std::string text = "GET " + connector_->RequestTarget(url) + " HTTP/1.1\r\nHost: " + url.host;
    if (url.port != (url.scheme == "https" ? 443 : 80)) text += ":" + std::to_string(url.port);
    text += "\r\nUser-Agent: " + settings_.user_agent + "\r\nAccept-Encoding: identity\r\n";
    if (offset > 0) text += "Range: bytes=" + std::to_string(offset) + "-\r\n";
    if (url.has_user) {
      std::string plain = url.user + ":" + url.password;
      std::vector<char> encoded(plain.size() * 4 / 3 + 8, '\0');
      base64_encode(reinterpret_cast<const unsigned char*>(plain.data()),
                    static_cast<int>(plain.size()), encoded.data());
      text += std::string("Authorization: Basic ") + encoded.data() + "\r\n";
    }
    text += connector_->ExtraHeaders(url) + "\r\n";
    requests_sent_++;
    std::string why;
    if (!conn->Send(text.data(), text.size(), &why)) {
      if (reused) continue;
      return error->Set(TransferFailure::kConnectionLost,
                        "Sending the request to " + where + " failed: " + why);
    }

    Exchange ex(conn.get(), clock_, settings_, where, &request.cancelled);
    if (!ex.ok()) {
      return error->Set(TransferFailure::kWrite, "Out of memory for a transfer from " + where);
    }
    ResponseHead head;
    int got = ReadHead(&ex, where, &head, error);
    // A kept-alive connection the server closed meanwhile: ask again on a new one.
    if (reused && !ex.received_any() &&
        (got == 0 || error->failure == TransferFailure::kConnectionLost)) {
      continue;
    }
    if (got == 0) {
      return error->Set(TransferFailure::kConnectionLost,
                        where + " closed the connection without answering");
    }
    if (got < 0) return false;

    auto start_over = [&]() {
      if (++restarts > kMaxRestarts) {
        return error->Set(TransferFailure::kInvalidResponse,
                          where + " does not answer a request for part of " + url.path);
      }
      if (!sink->Truncate(&why)) return error->Set(TransferFailure::kWrite, why);
      return true;
    };
    if (head.status == 206) {
      uint64_t first = 0;
      if (offset == 0 || !ParseContentRangeStart(head.content_range, &first)) {
        return error->Set(TransferFailure::kInvalidResponse,
                          where + " sent 206 without a usable Content-Range for " + url.path);
      }
      if (first != offset) {
        if (!start_over()) return false;
        continue;
      }
    } else if (head.status == 416 && offset > 0) {
      if (!start_over()) return false;
      continue;
    } else if (head.status == 200) {
      if (offset > 0 && !sink->Truncate(&why)) return error->Set(TransferFailure::kWrite, why);
      offset = 0;
    } else if ((head.status == 301 || head.status == 302 || head.status == 303 ||
                head.status == 307 || head.status == 308) &&
               !head.location.empty()) {
      *redirect = ResolveLocation(url, head.location);
      return true;
    } else {
      error->Set(TransferFailure::kHttpStatus, where + " answered " + std::to_string(head.status) +
                                                   (head.reason.empty() ? "" : " ") + head.reason +
                                                   " for " + url.path);
      error->status = head.status;
      error->retry_after_ms = head.retry_after_ms;
      return false;
    }

    uint64_t total =
        head.content_length >= 0 ? offset + static_cast<uint64_t>(head.content_length) : 0;
    auto too_large = [&]() {
      return error->Set(TransferFailure::kTooLarge, where + " sends more than the limit of " +
                                                        std::to_string(request.max_bytes) +
                                                        " bytes for " + url.path);
    };
    if (request.max_bytes && total > request.max_bytes) return too_large();
    // The size is announced before the first byte only when it is known.
    if (request.progress && total > 0 && !request.progress(sink->Size(), total)) {
      return error->Set(TransferFailure::kAborted, "Transfer from " + where + " stopped");
    }
    auto deliver = [&](const char* data, size_t n) {
      if (request.max_bytes && sink->Size() + n > request.max_bytes) return too_large();
      if (!sink->Write(data, n, &why)) return error->Set(TransferFailure::kWrite, why);
      if (request.progress && !request.progress(sink->Size(), total)) {
        return error->Set(TransferFailure::kAborted, "Transfer from " + where + " stopped");
      }
      return true;
    };
    // Copies exactly count bytes (or to the end of the connection when count is negative).
    auto copy = [&](int64_t count) {
      while (count != 0) {
        const char* data = nullptr;
        size_t want = count < 0 || count > static_cast<int64_t>(kBufferSize)
                          ? kBufferSize
                          : static_cast<size_t>(count);
        int n = ex.Take(want, &data, error);
        if (n < 0) return false;
        if (n == 0) {
          if (count < 0) return true;
          return error->Set(TransferFailure::kCutShort, "Body from " + where +
                                                            " cut short: " + std::to_string(count) +
                                                            " bytes missing of " + url.path);
        }
        if (!deliver(data, static_cast<size_t>(n))) return false;
        if (count > 0) count -= n;
      }
      return true;
    };

    bool delimited = true;
    if (head.chunked) {
      for (;;) {
        std::string line;
        int r = ex.ReadLine(&line, error);
        if (r == 0) {
          return error->Set(TransferFailure::kCutShort,
                            "Chunked body from " + where + " cut short for " + url.path);
        }
        if (r < 0) return false;
        std::string size_text = Trim(line.substr(0, line.find(';')));
        char* end = nullptr;
        unsigned long long size = strtoull(size_text.c_str(), &end, 16);
        if (size_text.empty() || *end != '\0' || size_text.size() > 15) {
          return error->Set(TransferFailure::kInvalidResponse,
                            where + " sent a bad chunk size '" + line + "'");
        }
        if (size == 0) break;
        if (!copy(static_cast<int64_t>(size))) return false;
        r = ex.ReadLine(&line, error);
        if (r <= 0 || !line.empty()) {
          if (r < 0) return false;
          return error->Set(TransferFailure::kInvalidResponse,
                            where + " sent a chunk without its line end");
        }
      }
      // Trailer lines up to the blank line.
      for (int lines = 0;; lines++) {
        std::string line;
        int r = ex.ReadLine(&line, error);
        if (r < 0) return false;
        if (r == 0 || line.empty()) {
          delimited = r > 0;
          break;
        }
        if (lines > kMaxHeaderLines) {
          return error->Set(TransferFailure::kInvalidResponse, where + " sent endless trailers");
        }
      }
    } else if (head.content_length >= 0) {
      if (!copy(head.content_length)) return false;
    } else {
      if (!copy(-1)) return false;
      delimited = false;
    }

    bool persistent = head.minor >= 1 ? !head.close : head.keep_alive && !head.close;
    // Bytes beyond the body mean the server and the client disagree on where it ended.
    if (persistent && delimited && !ex.buffered()) {
      idle_ = std::move(conn);
      idle_key_ = connector_->ConnectionKey(url);
    }
    return true;
  }
}

bool Transport::FtpOnce(const TransportUrl& url, const TransferRequest& request, TransferSink* sink,
                        TransferError* error) {
  const std::string where = url.HostPort();
  std::string why;
  for (int round = 0;; round++) {
    uint64_t offset = sink->Size();
    struct Progress {
      const TransferRequest* request;
      uint64_t offset;
    } progress{&request, offset};
    DownloadProgressCallback callback = nullptr;
    if (request.progress) {
      callback = [](uint64_t received, uint64_t total, void* user) {
        Progress* p = static_cast<Progress*>(user);
        return p->request->progress(p->offset + received, total);
      };
    }
    OrvexDownloadNoCurl client(ODL_PROTOCOL_FTP, url.host.c_str(), url.port, url.path.c_str(),
                               callback, url.has_user ? url.user.c_str() : nullptr,
                               url.has_user ? url.password.c_str() : nullptr, &progress);
    client.SetTimeout(settings_.stall_timeout_ms ? settings_.stall_timeout_ms
                                                 : settings_.connect_timeout_ms);
    client.SetResumeOffset(offset);
    if (request.max_bytes) client.SetMaxBodySize(request.max_bytes - offset);
    SinkHandle handle;
    memset(&handle.handle, 0, sizeof(handle.handle));
    handle.handle.write = SinkHandleWrite;
    handle.sink = sink;
    if (client.DownloadToHandle(&handle.handle)) return true;
    if (client.GetResumeRefused() && round == 0) {
      if (!sink->Truncate(&why)) return error->Set(TransferFailure::kWrite, why);
      continue;
    }
    int32_t code = client.GetError();
    int reply = client.GetFtpReply();
    std::string what = "FTP transfer of " + url.path + " from " + where + " failed: ";
    if (code == ODL_ERROR_WRITE) return error->Set(TransferFailure::kWrite, handle.error);
    if (client.GetLimitExceeded()) {
      return error->Set(TransferFailure::kTooLarge, where + " sends more than the limit of " +
                                                        std::to_string(request.max_bytes) +
                                                        " bytes for " + url.path);
    }
    if (code == ODL_ERROR_CONNECT) {
      return error->Set(TransferFailure::kConnect, what + "cannot connect");
    }
    if (code == ODL_ERROR_AUTH) {
      return error->Set(TransferFailure::kLogin,
                        what + "login refused (reply " + std::to_string(reply) + ")");
    }
    if (code == ODL_ERROR_CALLBACK_ABORT) {
      return error->Set(TransferFailure::kAborted, "Transfer from " + where + " stopped");
    }
    error->Set(TransferFailure::kFtp,
               what + (reply ? "reply " + std::to_string(reply) : std::string("no reply")));
    // Replies 4xx are the server's "try again later"; a lost connection has no reply.
    error->transient_ftp = reply == 0 || (reply >= 400 && reply < 500);
    return false;
  }
}

bool Transport::FetchOnce(const TransferRequest& request, TransferSink* sink,
                          TransferError* error) {
  *error = TransferError();
  // What already fills the maximum cannot be the start of a body within it.
  std::string why;
  if (request.max_bytes && sink->Size() >= request.max_bytes && !sink->Truncate(&why)) {
    return error->Set(TransferFailure::kWrite, why);
  }
  std::string address = request.url;
  for (int redirects = 0;; redirects++) {
    TransportUrl url;
    if (!TransportUrl::Parse(address, &url, error)) return false;
    if (url.scheme == "ftp") return FtpOnce(url, request, sink, error);
    std::string redirect;
    if (!HttpOnce(url, request, sink, &redirect, error)) return false;
    if (redirect.empty()) return true;
    if (redirects == TRANSPORT_MAX_REDIRECTS) {
      return error->Set(TransferFailure::kInvalidResponse,
                        "Too many redirects from " + request.url);
    }
    // What came over TLS is not handed to a connection anyone on the way can read or alter.
    if (url.scheme == "https" && strncasecmp(redirect.c_str(), "https://", 8) != 0) {
      return error->Set(TransferFailure::kInsecureRedirect,
                        "Refused the redirect from " + url.Text() + " to " + redirect);
    }
    address = redirect;
  }
}

int64_t Transport::BackoffMs(int retry, const TransferError& error) {
  if (error.retry_after_ms >= 0) return error.retry_after_ms;
  int64_t base = 1000LL << (retry < 20 ? retry : 20);
  return base + static_cast<int64_t>(static_cast<double>(base) * 0.25 * clock_->Random());
}

namespace {

// The address as messages show it: without credentials.
std::string Shown(const std::string& url) {
  TransportUrl parsed;
  TransferError ignored;
  return TransportUrl::Parse(url, &parsed, &ignored) ? parsed.Text() : url;
}

// Leaves the failure note (failure_note.h) for a fetch of url that failed with error: the
// address without credentials, and for connection failures the system's reason, which their
// texts end with.
void NoteFetchFailure(const std::string& url, const TransferError& error) {
  std::string target = Shown(url);
  Detail("%s failed: %s", target.c_str(), error.text.c_str());
  std::string reason;
  switch (error.failure) {
    case TransferFailure::kResolve:
    case TransferFailure::kConnect:
    case TransferFailure::kConnectionLost: {
      size_t colon = error.text.rfind(": ");
      if (colon != std::string::npos) reason = error.text.substr(colon + 2);
      break;
    }
    default:
      break;
  }
  NoteFailure(target.c_str(), reason.c_str());
}

}  // namespace

bool Transport::Fetch(const TransferRequest& request, TransferSink* sink, TransferError* error) {
  std::string why;
  if (!request.resume && sink->Size() > 0 && !sink->Truncate(&why)) {
    return error->Set(TransferFailure::kWrite, why);
  }
  Detail("fetching %s", Shown(request.url).c_str());
  for (int attempt = 0;; attempt++) {
    if (FetchOnce(request, sink, error)) {
      Detail("fetched %s", Shown(request.url).c_str());
      return true;
    }
    if (!error->Transient() || attempt >= settings_.retries) {
      NoteFetchFailure(request.url, *error);
      return false;
    }
    int64_t delay = BackoffMs(attempt, *error);
    if (retry_message_) {
      char line[64];
      snprintf(line, sizeof(line), "; retry %d of %d in %.1f s", attempt + 1, settings_.retries,
               static_cast<double>(delay) / 1000.0);
      retry_message_(error->text + line);
    }
    clock_->SleepMs(delay);
    if (request.cancelled && request.cancelled()) {
      error->Set(TransferFailure::kAborted, "Transfer of " + Shown(request.url) + " stopped");
      NoteFetchFailure(request.url, *error);
      return false;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Command-line values

bool ParseTimeoutOption(const char* text, uint32_t* ms) {
  int64_t seconds = 0;
  if (!text || !ParseDecimal(text, &seconds) || seconds < 1 || seconds > 86400) return false;
  *ms = static_cast<uint32_t>(seconds * 1000);
  return true;
}

bool ParseSpeedLimitOption(const char* text, uint64_t* bytes, uint32_t* seconds) {
  if (!text) return false;
  std::string value(text);
  size_t colon = value.find(':');
  if (colon == std::string::npos) return false;
  int64_t b = 0;
  int64_t s = 0;
  if (!ParseDecimal(value.substr(0, colon), &b) || !ParseDecimal(value.substr(colon + 1), &s) ||
      s < 1 || s > 86400) {
    return false;
  }
  *bytes = static_cast<uint64_t>(b);
  *seconds = static_cast<uint32_t>(s);
  return true;
}

bool ParseRetriesOption(const char* text, int* retries) {
  int64_t n = 0;
  if (!text || !ParseDecimal(text, &n) || n > 100) return false;
  *retries = static_cast<int>(n);
  return true;
}
