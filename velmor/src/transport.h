// Transfers that survive real networks: HTTP/1.1 GET (keep-alive, chunked bodies, redirects) and
// FTP (through OrvexDownloadNoCurl) into a sink, with a connect time-out, a stall time-out and a
// crawl limit on every transfer, an upper bound on every body, resumption of what the sink
// already holds (Range / REST), and retries of transient failures with exponential back-off.
//
// The pieces:
// - TransportUrl: a parsed http://, https:// or ftp:// address.
// - TransferSink: where a body goes (FileSink, StringSink); it knows how many bytes it holds, so
//   a later attempt can ask for the rest, and it can start over.
// - TransportClock: the time source, the back-off sleeps and the jitter. The system clock is the
//   default; tests inject their own so that no test waits for a real time-out.
// - TransportConnector / TransportConnection: the connection seam. A connector turns a URL into
//   an open byte stream; TcpConnector opens plain TCP connections through the socket layer.
//   Another connector may run TLS over the stream, or go through a proxy:
//     * Connect() gets the whole URL (scheme included) and the connect time-out, and fills
//       TransferError (failure kind, host in the text) when it cannot deliver a connection.
//       A connector for https opens its TCP stream with OpenTcpConnection and wraps it; a
//       certificate that fails verification is TransferFailure::kTls (never retried).
//     * RequestTarget() gives the request target: the origin form ("/path?query") by default,
//       the absolute form ("http://host:port/path") for a plain-http proxy.
//     * ExtraHeaders() adds header lines to every request (proxy credentials, for example).
//     * ConnectionKey() says which URLs may share a kept-alive connection (scheme, host and
//       port by default); a proxying connector keys by what the connection really reaches.
//   The transport keeps at most one idle connection and reuses it only for the same key.
// - Transport: one client with its settings, connector, clock and idle connection. Fetch()
//   runs one download with retries.
//
// Thread rules: a Transport (with its connector and sink) is used by one thread at a time; for
// parallel transfers give each thread a Transport of its own. Transports share no state: the
// system clock is stateless apart from a per-thread random generator. A connector and its
// connections are used by the thread of the transport that owns them.
#ifndef VELMOR_TRANSPORT_H_
#define VELMOR_TRANSPORT_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class Orvex_Sockets3;
struct ORVEX_SOCKET;

// Defaults of the transfer settings.
#define TRANSPORT_CONNECT_TIMEOUT_MS 30000
#define TRANSPORT_STALL_TIMEOUT_MS 30000
#define TRANSPORT_SPEED_LIMIT_BYTES 1024
#define TRANSPORT_SPEED_TIME_S 60
#define TRANSPORT_RETRIES 3
// The longest Retry-After the transport honours; longer answers wait this long.
#define TRANSPORT_MAX_RETRY_AFTER_MS 60000
// Most redirects followed by one fetch.
#define TRANSPORT_MAX_REDIRECTS 5

struct TransportSettings {
  uint32_t connect_timeout_ms = TRANSPORT_CONNECT_TIMEOUT_MS;  // 0: the socket layer's own
  uint32_t stall_timeout_ms = TRANSPORT_STALL_TIMEOUT_MS;      // no byte for this long; 0: none
  // Crawl limit: fewer than speed_limit_bytes per second over any speed_time_s seconds of a
  // transfer fails it. 0 in either switches the limit off.
  uint64_t speed_limit_bytes = TRANSPORT_SPEED_LIMIT_BYTES;
  uint32_t speed_time_s = TRANSPORT_SPEED_TIME_S;
  int retries = TRANSPORT_RETRIES;  // further attempts after a transient failure
  // Longest single wait for the network before the clock is read again.
  uint32_t wait_slice_ms = 1000;
  std::string user_agent = "Velmor transport";
};

// Why a transfer failed.
enum class TransferFailure {
  kNone,
  kInvalidUrl,        // not an address this transport can fetch (permanent)
  kResolve,           // the host name did not resolve (permanent)
  kConnect,           // the connection was refused or could not be made (transient)
  kConnectTimeout,    // no connection within the connect time-out (transient)
  kStall,             // no byte within the stall time-out (transient)
  kCrawl,             // slower than the crawl limit (transient)
  kConnectionLost,    // reset or broken while sending or receiving (transient)
  kCutShort,          // the body ended before its announced length (transient)
  kHttpStatus,        // a status that is not success; transient for 408/429/500/502/503/504
  kInvalidResponse,   // not HTTP, or a reply that breaks the protocol (permanent)
  kTooLarge,          // the body is longer than the caller's maximum (permanent)
  kWrite,             // the sink refused bytes (permanent)
  kAborted,           // the progress callback said stop (permanent)
  kFtp,               // the FTP exchange failed; transient unless it was the login or the file
  kTls,               // the connector's TLS handshake or certificate check failed (permanent)
  kProxy,             // the proxy is unusable, refused the connection or wants credentials
  kInsecureRedirect,  // an https address redirected to a plain http one (permanent)
  kLogin,             // the server refused the user name or password (permanent)
};

struct TransferError {
  TransferFailure failure = TransferFailure::kNone;
  int status = 0;               // HTTP status of kHttpStatus
  int64_t retry_after_ms = -1;  // the server's Retry-After, -1 when none
  bool transient_ftp = false;   // kFtp only: whether another attempt may help
  int32_t cause_code = 0;       // kTls: the download client's code of the cause (ODL_ERROR_TLS_*)
  std::string text;             // names the host and what failed

  // True for the failures that another attempt may cure.
  bool Transient() const;
  // The download client's error code for this failure (ODL_ERROR_*): 401 and a refused login
  // -> 13, 404 -> 10, connect failures -> 2, time-outs -> 12, the sink -> 6, an invalid
  // address -> 7, an abort -> 8, kTls -> cause_code (17 when unset), kProxy -> 19,
  // kInsecureRedirect -> 20, everything else -> 3.
  int32_t DownloadCode() const;
  // Sets failure and text (and clears the rest); returns false for use in return statements.
  bool Set(TransferFailure what, const std::string& message);
};

// A parsed address. Parse accepts scheme://[user[:password]@]host[:port]/path with the schemes
// http (port 80), https (443) and ftp (21); a bracketed IPv6 host keeps its brackets off.
struct TransportUrl {
  std::string scheme;  // lower case
  std::string host;
  int port = 0;
  std::string path;  // from the first "/" on, query included; "/" when the address has none
  std::string user;
  std::string password;
  bool has_user = false;

  // True with every field set; false (error filled, kInvalidUrl) for anything else, for control
  // characters or blanks anywhere, and for ports outside 1..65535.
  static bool Parse(const std::string& text, TransportUrl* url, TransferError* error);
  // "host:port" as used in messages.
  std::string HostPort() const;
  // scheme://host[:port]/path without credentials.
  std::string Text() const;
};

// Where a body goes. Sinks are used by one transfer at a time.
class TransferSink {
 public:
  virtual ~TransferSink();
  // Bytes held now (what a resumed transfer asks to skip).
  virtual uint64_t Size() const = 0;
  // Appends len bytes. True when all were taken; false with *error set.
  virtual bool Write(const char* data, size_t len, std::string* error) = 0;
  // Drops everything held. True on success; false with *error set.
  virtual bool Truncate(std::string* error) = 0;
};

// A file. With keep (the default) what it already holds stays and a transfer resumes after it;
// without, it is emptied when opened.
class FileSink : public TransferSink {
 public:
  explicit FileSink(const std::string& path, bool keep = true);
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  // (Close also releases the buffer.)
  FileSink& operator=(const FileSink&) = delete;
  // Opens (creating) the file for appending. True on success; false with *error naming the path
  // and the system's reason.
  bool Open(std::string* error);
  // Flushes and closes. True on success (also when not open); false with *error set.
  bool Close(std::string* error);
  uint64_t Size() const override { return size_; }
  bool Write(const char* data, size_t len, std::string* error) override;
  bool Truncate(std::string* error) override;

 private:
  std::string path_;
  bool keep_;
  // The stream's buffer (tracked; large blocks cost less kernel time), released after fp_.
  void* buffer_ = nullptr;
  FILE* fp_ = nullptr;
  uint64_t size_ = 0;
};

// Writes to the caller's open stdio stream from its current position (which stays open).
class StreamSink : public TransferSink {
 public:
  // name is what messages call the stream; held counts bytes the stream already holds before
  // its current position (they count in Size() and Truncate drops them too).
  StreamSink(FILE* fp, const std::string& name, uint64_t held = 0)
      : fp_(fp), name_(name), size_(held) {}
  uint64_t Size() const override { return size_; }
  bool Write(const char* data, size_t len, std::string* error) override;
  // Goes back to where the stream started (before the held bytes) and cuts it there.
  bool Truncate(std::string* error) override;

 private:
  FILE* fp_;
  std::string name_;
  uint64_t size_;
};

// Collects the body in memory.
class StringSink : public TransferSink {
 public:
  uint64_t Size() const override { return data_.size(); }
  bool Write(const char* data, size_t len, std::string* error) override;
  bool Truncate(std::string* error) override;
  const std::string& data() const { return data_; }
  std::string* mutable_data() { return &data_; }

 private:
  std::string data_;
};

// Time, back-off sleeps and jitter.
class TransportClock {
 public:
  virtual ~TransportClock();
  // Milliseconds on a monotonic scale.
  virtual int64_t NowMs() = 0;
  // Waits ms milliseconds (a retry's back-off).
  virtual void SleepMs(int64_t ms) = 0;
  // A random number in [0, 1) for the back-off jitter.
  virtual double Random() = 0;
  // Seconds since 1970-01-01 UTC, for a Retry-After given as a date. The system's time unless
  // overridden.
  virtual int64_t WallSeconds();
};

// The real clock (CLOCK_MONOTONIC, nanosleep, a per-thread generator seeded from the kernel).
// Shared and stateless; never destroyed.
TransportClock* SystemTransportClock();

// One open byte stream, owned by the transport that asked for it.
class TransportConnection {
 public:
  virtual ~TransportConnection();
  // Sends all len bytes. True on success; false with *error saying what failed.
  virtual bool Send(const char* data, size_t len, std::string* error) = 0;
  // Waits at most ms for something to receive (bytes, the peer's close or an error).
  // Returns 1 when there is, 0 when the time passed, -1 on failure with *error set.
  virtual int WaitReadable(uint32_t ms, std::string* error) = 0;
  // Receives at most size bytes. Returns the count; 0 when the peer closed; -1 on failure with
  // *error set.
  virtual int Receive(char* buf, size_t size, std::string* error) = 0;
};

class TransportConnector {
 public:
  virtual ~TransportConnector();
  // An open connection for url within timeout_ms (0: no limit of our own). Null on failure with
  // *error filled (kResolve, kConnect, kConnectTimeout, kInvalidUrl for a scheme the connector
  // does not serve, kTls ...), the text naming the host.
  virtual std::unique_ptr<TransportConnection> Connect(const TransportUrl& url, uint32_t timeout_ms,
                                                       TransferError* error) = 0;
  // The request target for url: its path (origin form) unless the connector says otherwise.
  virtual std::string RequestTarget(const TransportUrl& url) const;
  // Header lines, each ended by CRLF, added to every request for url; empty by default.
  virtual std::string ExtraHeaders(const TransportUrl& url) const;
  // Connections for URLs with equal keys are interchangeable: scheme://host:port by default.
  virtual std::string ConnectionKey(const TransportUrl& url) const;
};

// A connection over one socket-layer handle; closes it on destruction.
class SocketConnection : public TransportConnection {
 public:
  // Takes over handle, which belongs to sockets (sockets must outlive this object).
  SocketConnection(Orvex_Sockets3* sockets, ORVEX_SOCKET* handle);
  ~SocketConnection() override;
  SocketConnection(const SocketConnection&) = delete;
  SocketConnection& operator=(const SocketConnection&) = delete;
  bool Send(const char* data, size_t len, std::string* error) override;
  int WaitReadable(uint32_t ms, std::string* error) override;
  int Receive(char* buf, size_t size, std::string* error) override;
  Orvex_Sockets3* sockets() const { return sockets_; }
  ORVEX_SOCKET* handle() const { return handle_; }

 private:
  Orvex_Sockets3* sockets_;
  ORVEX_SOCKET* handle_;
};

// Opens a TCP connection to host:port through sockets within timeout_ms (0: the socket layer's
// blocking connect). Returns it, or null with *error filled (kResolve, kConnect with the
// system's reason, kConnectTimeout), the text naming host and port.
std::unique_ptr<SocketConnection> OpenTcpConnection(Orvex_Sockets3* sockets,
                                                    const std::string& host, int port,
                                                    uint32_t timeout_ms, TransferError* error);

// Plain TCP for http:// addresses. Owns its socket object; connections must not outlive it.
class TcpConnector : public TransportConnector {
 public:
  TcpConnector();
  ~TcpConnector() override;
  TcpConnector(const TcpConnector&) = delete;
  TcpConnector& operator=(const TcpConnector&) = delete;
  // Refuses every scheme but http with kInvalidUrl.
  std::unique_ptr<TransportConnection> Connect(const TransportUrl& url, uint32_t timeout_ms,
                                               TransferError* error) override;

 private:
  Orvex_Sockets3* sockets_;
};

// One download.
struct TransferRequest {
  std::string url;
  // Most bytes the body may have (what the sink held before counts); 0: no limit.
  uint64_t max_bytes = 0;
  // Continue after what the sink holds (Range for http, REST for ftp); false starts over.
  bool resume = true;
  // Progress: (bytes held, bytes expected in all or 0 when unknown). False aborts the transfer.
  std::function<bool(uint64_t held, uint64_t total)> progress;
  // Asked while the transfer waits for the server (about once per wait slice) and before each
  // retry; true aborts it (kAborted). Empty: never.
  std::function<bool()> cancelled;
};

class Transport {
 public:
  // A null connector means plain TCP (a TcpConnector owned by the transport); a given one is
  // borrowed and must outlive the transport. A null clock means SystemTransportClock().
  explicit Transport(const TransportSettings& settings = TransportSettings(),
                     TransportConnector* connector = nullptr, TransportClock* clock = nullptr);
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Receives one line per retry, announcing it (what failed, when the next attempt starts).
  void SetRetryMessage(std::function<void(const std::string&)> message) {
    retry_message_ = std::move(message);
  }
  const TransportSettings& settings() const { return settings_; }

  // Downloads request.url into sink, retrying transient failures up to settings().retries
  // times with back-off (1 s, 2 s, 4 s ... each plus up to 25 % jitter, or the server's
  // Retry-After up to TRANSPORT_MAX_RETRY_AFTER_MS). Every attempt continues after what the
  // sink holds. True when the whole body is in the sink; false with *error describing the last
  // failure (the sink keeps what arrived, for a later resumption) and the thread's failure note
  // (failure_note.h) naming the URL and, for connection failures, the system's reason.
  bool Fetch(const TransferRequest& request, TransferSink* sink, TransferError* error);
  // One attempt of Fetch (redirects followed, no retries). Results as Fetch.
  bool FetchOnce(const TransferRequest& request, TransferSink* sink, TransferError* error);
  // Closes the idle connection, if any.
  void CloseIdle();
  // Connections opened and requests sent so far (for the caller's statistics).
  uint64_t connections_opened() const { return connections_opened_; }
  uint64_t requests_sent() const { return requests_sent_; }

 private:
  bool HttpOnce(const TransportUrl& url, const TransferRequest& request, TransferSink* sink,
                std::string* redirect, TransferError* error);
  bool FtpOnce(const TransportUrl& url, const TransferRequest& request, TransferSink* sink,
               TransferError* error);
  // The idle connection for url when *reused allows it and it is still usable, else a new
  // one; *reused then tells which it is. Null on failure with *error filled.
  std::unique_ptr<TransportConnection> Acquire(const TransportUrl& url, bool* reused,
                                               TransferError* error);
  int64_t BackoffMs(int retry, const TransferError& error);

  TransportSettings settings_;
  std::unique_ptr<TransportConnector> own_connector_;
  TransportConnector* connector_;
  TransportClock* clock_;
  std::function<void(const std::string&)> retry_message_;
  std::unique_ptr<TransportConnection> idle_;
  std::string idle_key_;
  uint64_t connections_opened_ = 0;
  uint64_t requests_sent_ = 0;
};

// Command-line values shared by the programs. Each returns true with the value stored, false
// (value untouched) for text that is not in the form.
// "SECONDS": a whole number 1..86400, stored in milliseconds.
bool ParseTimeoutOption(const char* text, uint32_t* ms);
// "BYTES/S:SECONDS": bytes per second 0.. and seconds 1..86400 (0 bytes switches it off).
bool ParseSpeedLimitOption(const char* text, uint64_t* bytes, uint32_t* seconds);
// "N": 0..100.
bool ParseRetriesOption(const char* text, int* retries);

#endif  // VELMOR_TRANSPORT_H_
