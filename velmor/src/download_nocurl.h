// Download client: fetches one remote file over HTTP/1.0 (plain or TLS, directly or through a
// proxy, see connector.h) or passive-mode FTP and writes
// it into a file named by path, an open stdio FILE, or a StreamHandle. OrvexDownloadCore is the
// abstract interface (progress callback, user data, sticky error code, the two file
// operations); OrvexDownloadNoCurl is the concrete client, which owns one Orvex_Sockets3 for
// its whole life and opens a fresh connection for every transfer.
//
// Errors are sticky: once GetError() is nonzero every download returns false without doing
// anything, so a failed client is destroyed and a new one built. Addresses, paths and
// credentials that hold control characters or that do not fit their fields are refused at
// construction with ODL_ERROR_INVALID_URL.
//
// Thread rules: a client is used by one thread at a time; clients share no state of their own
// (each has its own socket object, buffers and settings). A transfer blocks the calling thread.
#ifndef VELMOR_DOWNLOAD_NOCURL_H_
#define VELMOR_DOWNLOAD_NOCURL_H_

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "proxy.h"
#include "stream_handle.h"

class Orvex_Sockets3;
struct ORVEX_SOCKET;
struct OriginConnection;

// Progress report: (bytes received so far, bytes expected or 0 when unknown, user data).
// Returning false aborts the transfer with ODL_ERROR_CALLBACK_ABORT.
typedef bool (*DownloadProgressCallback)(uint64_t received, uint64_t total, void* user_data);

enum {
  ODL_ERROR_NONE = 0,
  ODL_ERROR_FILE_ACCESS = 1,
  ODL_ERROR_CONNECT = 2,
  ODL_ERROR_INVALID_RESPONSE = 3,
  ODL_ERROR_CREATE_SOCKET = 4,
  ODL_ERROR_LIBRARY_INIT = 5,
  ODL_ERROR_WRITE = 6,
  ODL_ERROR_INVALID_URL = 7,
  ODL_ERROR_CALLBACK_ABORT = 8,
  ODL_ERROR_INVALID_PROTOCOL = 9,
  ODL_ERROR_NOT_FOUND = 10,
  ODL_ERROR_REDIRECT = 11,
  ODL_ERROR_TIMEOUT = 12,
  ODL_ERROR_AUTH = 13,
  ODL_ERROR_TLS_UNTRUSTED = 14,      // the server's certificate chain is not trusted
  ODL_ERROR_TLS_EXPIRED = 15,        // the server's certificate is expired or not yet valid
  ODL_ERROR_TLS_NAME = 16,           // the server's certificate names another host
  ODL_ERROR_TLS_HANDSHAKE = 17,      // the TLS handshake failed otherwise
  ODL_ERROR_TLS_TRUST_STORE = 18,    // the trusted certificates could not be loaded
  ODL_ERROR_PROXY = 19,              // the proxy is unusable, refused or wants credentials
  ODL_ERROR_INSECURE_REDIRECT = 20,  // an https address redirected to a plain http one
};

enum {
  ODL_PROTOCOL_HTTP = 0,
  ODL_PROTOCOL_FTP = 2,
};

// Sizes of the text fields, terminator included.
#define ODL_HOST_SIZE 128
#define ODL_PATH_SIZE 512
#define ODL_USER_AGENT_SIZE 512
#define ODL_CREDENTIAL_SIZE 128

// The user agent sent unless SetUserAgent replaces it.
#define ODL_DEFAULT_USER_AGENT "Orvex HTTP Downloader Class (Mozilla)"
// Password of an anonymous FTP login when none is given.
#define ODL_ANONYMOUS_PASSWORD "guest@orvex.net"
// Connect time-out of an HTTP transfer when the client's time-out is 0.
#define ODL_DEFAULT_CONNECT_TIMEOUT_MS 60000
// Working buffer of a transfer: request, reply lines and data blocks.
#define ODL_BUFFER_SIZE 16384

// Parses an HTTP status line, "HTTP/x.y NNN" followed by the end or a blank and the reason:
// true with the minor version and the three-digit code stored; false (nothing stored) for
// any other text.
bool ParseHttpStatusLine(const char* line, int* minor, int* status);

class OrvexDownloadCore {
 public:
  OrvexDownloadCore(DownloadProgressCallback callback, void* user_data);
  OrvexDownloadCore(const OrvexDownloadCore&) = delete;
  OrvexDownloadCore& operator=(const OrvexDownloadCore&) = delete;

  // Clears the progress callback, the user data and the error code.
  virtual void Reset();
  virtual ~OrvexDownloadCore();

  // Truncates or creates path and downloads into it. True when the whole transfer finished and
  // the file was closed; false with the error code set (ODL_ERROR_FILE_ACCESS when path cannot
  // be opened, ODL_ERROR_WRITE when closing the file fails), or at once, without touching the
  // file, when the error code is already nonzero. A failed transfer leaves the partly written
  // file in place.
  virtual bool DownloadToFile(const char* path);
  // Downloads into the caller's open FILE at its current position; the FILE stays open.
  // Results as DownloadToFile.
  virtual bool DownloadToFP(FILE* fp);
  // Downloads into out through its write operation only (never seeks, flushes or closes it).
  // True when the transfer finished; false with the error code set (or unchanged, see the FTP
  // transfer) otherwise.
  virtual bool DownloadToHandle(StreamHandle* out) = 0;
  // Connect and receive time-out in milliseconds; 0 restores the built-in behaviour.
  virtual void SetTimeout(uint64_t ms) = 0;
  // Replaces the user agent; longer text is cut to fit, and so is text at a control character.
  virtual void SetUserAgent(const char* text) = 0;
  virtual void SetFollowRedirects(bool follow) = 0;
  virtual void SetFailOnRedirect(bool fail) = 0;
  // The current error code, 0 when none.
  virtual int32_t GetError();
  // The constant text of the current error code; "Unkown Error" for codes above 20.
  virtual const char* GetErrorString();
  // For certificate, proxy and redirect failures (codes 14 and up) a text that names the host
  // and the cause; otherwise GetErrorString().
  virtual const char* GetErrorDetail();

 protected:
  DownloadProgressCallback callback_;
  void* user_data_;
  int32_t error_;
  std::string error_detail_;  // empty unless the failure has a detailed text
};

class OrvexDownloadNoCurl : public OrvexDownloadCore {
 public:
  // From an http or https address ("http://host[:port]/path", "https://host[:port]/path"; the
  // port defaults to 80 or 443). Errors: ODL_ERROR_INVALID_PROTOCOL for
  // an address without any "/"; ODL_ERROR_INVALID_URL for another scheme, a missing path, a
  // control character, or a part that does not fit its field. Never contacts the network.
  OrvexDownloadNoCurl(const char* url, DownloadProgressCallback callback, const char* user,
                      const char* password, void* user_data);
  // Explicit target. For ODL_PROTOCOL_FTP a missing user name becomes "anonymous" and a missing
  // password ODL_ANONYMOUS_PASSWORD. Errors: ODL_ERROR_INVALID_PROTOCOL for a protocol other
  // than ODL_PROTOCOL_HTTP or ODL_PROTOCOL_FTP; ODL_ERROR_INVALID_URL as above.
  OrvexDownloadNoCurl(int32_t protocol, const char* host, int32_t port, const char* path,
                      DownloadProgressCallback callback, const char* user, const char* password,
                      void* user_data);

  // Empties target and credentials, restores the default settings (body bounds and resume
  // offset included) and the error code, drops the callback and gives the client a fresh
  // socket object. User agent, protocol and user data keep their values.
  void Reset() override;
  ~OrvexDownloadNoCurl() override;

  bool DownloadToHandle(StreamHandle* out) override;
  void SetTimeout(uint64_t ms) override;
  void SetUserAgent(const char* text) override;
  void SetFollowRedirects(bool follow) override;
  void SetFailOnRedirect(bool fail) override;
  // Trusted certificates and proxy settings for the next transfers (and the redirects they
  // follow). The environment is read through env (getenv by default) at each connection.
  void SetNetOptions(const NetOptions& options, EnvLookup env = ProcessEnvironment());

  // HTTP: read no more body than the Content-Length header announced (default off: the body
  // runs until the connection ends); a body that ends before it fails with
  // ODL_ERROR_INVALID_RESPONSE either way.
  void SetStopAtContentLength(bool stop) { stop_at_content_length_ = stop; }
  // Most body bytes accepted (0, the default: no limit). A longer body, or an announced length
  // above it, fails with ODL_ERROR_INVALID_RESPONSE before the excess is written, and
  // GetLimitExceeded() turns true.
  void SetMaxBodySize(uint64_t bytes) { max_body_size_ = bytes; }
  // FTP: ask the server to start at this byte ("REST"); the file then arrives from there and
  // is read until the data connection ends. A server that refuses fails the transfer with
  // ODL_ERROR_INVALID_RESPONSE and GetResumeRefused() true, before any byte is written.
  void SetResumeOffset(uint64_t offset) { resume_offset_ = offset; }
  bool GetLimitExceeded() const { return limit_exceeded_; }
  bool GetResumeRefused() const { return resume_refused_; }
  // The code of the last FTP reply read, 0 when none.
  int GetFtpReply() const { return ftp_reply_; }

  // Read access to the parsed target and settings.
  const char* GetHost() const { return host_; }
  const char* GetPath() const { return path_; }
  const char* GetUserAgent() const { return user_agent_; }
  const char* GetUser() const { return user_; }
  const char* GetPassword() const { return password_; }
  int32_t GetPort() const { return port_; }
  int32_t GetProtocol() const { return protocol_; }
  uint64_t GetTimeout() const { return timeout_; }
  bool GetFollowRedirects() const { return follow_redirects_; }
  bool GetFailOnRedirect() const { return fail_on_redirect_; }
  bool GetTls() const { return tls_; }

 private:
  void SetDefaults();
  // Notes the address of a failed transfer (failure_note.h), with the socket layer's reason
  // when sock is not null.
  void NoteTransferFailure(ORVEX_SOCKET* sock);
  // The same with the given reason (null or empty: none).
  void NoteTransferFailureText(const char* reason);
  // The target as a URL: scheme://host:port/path.
  std::string Address() const;
  // The body bounds, the resume offset and what the last transfer reported about them.
  void ResetTransferSettings();
  // Copies user and password (null stays empty); false when either does not fit or holds a
  // control character.
  bool CopyCredentials(const char* user, const char* password);
  void ParseAddress(const char* url);
  bool HttpTransfer(StreamHandle* out);
  // The three phases of HttpTransfer. Each returns true to go on; false with the error code
  // set, or, from ReadStatusAndHeaders, with *redirected true and the target in *location.
  bool SendHttpRequest(ORVEX_SOCKET* conn, char* buf, const OriginConnection& route);
  bool ReadStatusAndHeaders(ORVEX_SOCKET* conn, char* buf, int64_t* expected, bool* redirected,
                            std::string* location);
  bool ReadHttpBody(ORVEX_SOCKET* conn, char* buf, int64_t expected, StreamHandle* out);
  // Whether a body of received bytes plus n more stays within the maximum (sets the flag and
  // the error when not).
  bool WithinLimit(uint64_t received, uint64_t n);
  bool FtpTransfer(StreamHandle* out);
  bool FollowRedirect(const char* target, StreamHandle* out);
  // Opens the connection of an HTTP transfer (route->handle). False with the error code set.
  bool OpenHttpConnection(OriginConnection* route);

  char host_[ODL_HOST_SIZE];
  char path_[ODL_PATH_SIZE];
  char user_agent_[ODL_USER_AGENT_SIZE];
  int32_t port_;
  bool follow_redirects_;
  bool fail_on_redirect_;
  uint64_t timeout_;
  int32_t protocol_;
  char user_[ODL_CREDENTIAL_SIZE];
  char password_[ODL_CREDENTIAL_SIZE];
  bool tls_ = false;
  NetOptions net_;
  EnvLookup env_ = ProcessEnvironment();
  bool stop_at_content_length_ = false;
  uint64_t max_body_size_ = 0;
  uint64_t resume_offset_ = 0;
  bool limit_exceeded_ = false;
  bool resume_refused_ = false;
  int ftp_reply_ = 0;
  Orvex_Sockets3* sockets_;
};

#endif  // VELMOR_DOWNLOAD_NOCURL_H_
