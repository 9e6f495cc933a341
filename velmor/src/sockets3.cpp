#include "sockets3.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "GenLib.h"
#include "memleak.h"

namespace {

// Rounds of kernel random input after which an unseeded pool is given up.
const int kMaxSeedRounds = 100;

// Interval at which a wait that only sees hang-ups on descriptors waited on for writing looks
// again.
const long kHangupRecheckNs = 10 * 1000000L;

// How long Close waits for the peer's answer to its TLS close notify.
const int kShutdownWaitMs = 2000;

// Process-wide locks, created on first use and destroyed at exit.
Orvex_Mutex_pthreads& LibraryLock() {
  static Orvex_Mutex_pthreads lock(DEFAULT_LOCK_TIMEOUT);
  return lock;
}
Orvex_Mutex_pthreads& ContextLock() {
  static Orvex_Mutex_pthreads lock(DEFAULT_LOCK_TIMEOUT);
  return lock;
}
Orvex_Mutex_pthreads& ResolverLock() {
  static Orvex_Mutex_pthreads lock(DEFAULT_LOCK_TIMEOUT);
  return lock;
}

// Guarded by LibraryLock.
int g_init_count = 0;
bool g_init_result = false;
bool g_tls_ready = false;

// Codes that are recorded but never printed.
bool IsQuietCode(int code) {
  return code == 0 || code == ENOENT || code == EAGAIN || code == EWOULDBLOCK || code == ENOTCONN ||
         code == EINPROGRESS;
}

// The system's message for code, or null when it has none for it.
const char* SystemMessage(int code, char* buf, size_t size) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  if (strerrorname_np(code) == nullptr) return nullptr;
#endif
  // GNU strerror_r: returns the message, which need not be in buf.
  const char* msg = strerror_r(code, buf, size);
  return (msg != nullptr && *msg != '\0') ? msg : nullptr;
}

// Buffer sizes handed to the system calls that take int or ssize_t counts.
size_t ClampSize(uint32_t size) { return size > INT_MAX ? INT_MAX : size; }

// Removes trailing LF characters and then, if the text ends in CR, trailing CR characters.
// Returns the remaining length.
int StripLineEnd(char* buf) {
  size_t len = strlen(buf);
  while (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
  while (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
  return static_cast<int>(len);
}

// The line end among n peeked bytes: the first LF, or when there is none the first CR.
// Searched over all n bytes, so that a NUL inside a line does not hide its end.
const char* FindLineEnd(const char* buf, size_t n) {
  const char* end = static_cast<const char*>(memchr(buf, '\n', n));
  if (end == nullptr) end = static_cast<const char*>(memchr(buf, '\r', n));
  return end;
}

struct timeval MsToTimeval(uint32_t ms) {
  struct timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

int64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Holds SIGPIPE back from the calling thread while OpenSSL reads or writes through its socket
// BIO, which cannot pass MSG_NOSIGNAL: a write to a peer that has gone away then fails with
// EPIPE, as a plain send does, instead of raising a signal that ends a process which does not
// ignore it. A SIGPIPE raised meanwhile is consumed; one that was pending before stays.
class SigpipeHold {
 public:
  SigpipeHold() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    held_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~SigpipeHold() {
    if (!held_) return;
    int saved_errno = errno;
    sigset_t pending;
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      struct timespec zero = {0, 0};
      while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = saved_errno;
  }
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
  bool held_ = false;
};

// One descriptor of a wait: what is asked for and, afterwards, what is ready.
struct WaitEntry {
  int fd;
  bool want_read, want_write;
  bool readable, writable;
};

// Waits with poll (no descriptor-number limit) with the readiness rules of select: a
// descriptor counts as readable on input, hang-up or error, and as writable on output space or
// error. Returns the number of ready (entry, direction) pairs, 0 when the time ran out, -1 on
// failure with errno set (EBADF for a descriptor that is not open, EINVAL for a bad time-out).
int PollWait(WaitEntry* entries, size_t n, const struct timeval* tv) {
  struct timespec limit = {0, 0};
  if (tv != nullptr) {
    if (tv->tv_sec < 0 || tv->tv_usec < 0) {
      errno = EINVAL;
      return -1;
    }
    // Far beyond any real wait; keeps the arithmetic below in range.
    const time_t kMaxSeconds = 1000000000;
    limit.tv_sec = tv->tv_sec + tv->tv_usec / 1000000;
    limit.tv_nsec = (tv->tv_usec % 1000000) * 1000;
    if (limit.tv_sec > kMaxSeconds) limit.tv_sec = kMaxSeconds;
  }
  struct pollfd fds[2 * ORVEX_SOCKET_SET_SIZE];
  for (size_t i = 0; i < n; i++) {
    fds[i].fd = entries[i].fd;
    fds[i].events = static_cast<short>((entries[i].want_read ? POLLIN : 0) |
                                       (entries[i].want_write ? POLLOUT : 0));
    fds[i].revents = 0;
    entries[i].readable = entries[i].writable = false;
  }
  int64_t start = MonotonicNs();
  for (;;) {
    struct timespec rest = {0, 0};
    if (tv != nullptr) {
      int64_t left =
          static_cast<int64_t>(limit.tv_sec) * 1000000000 + limit.tv_nsec - (MonotonicNs() - start);
      if (left < 0) left = 0;
      rest.tv_sec = left / 1000000000;
      rest.tv_nsec = left % 1000000000;
    }
    int r = ppoll(fds, n, tv != nullptr ? &rest : nullptr, nullptr);
    if (r <= 0) return r;
    int ready = 0;
    for (size_t i = 0; i < n; i++) {
      short ev = fds[i].revents;
      if (ev & POLLNVAL) {
        errno = EBADF;
        return -1;
      }
      entries[i].readable = entries[i].want_read && (ev & (POLLIN | POLLHUP | POLLERR));
      entries[i].writable = entries[i].want_write && (ev & (POLLOUT | POLLERR));
      ready += (entries[i].readable ? 1 : 0) + (entries[i].writable ? 1 : 0);
    }
    if (ready > 0) return ready;
    // Only hang-ups on descriptors waited on for writing: poll reports them at once every
    // time, while select keeps waiting for the others (and for those to turn writable). Look
    // again in short steps until something is ready or the time is up.
    if (tv != nullptr && rest.tv_sec == 0 && rest.tv_nsec == 0) return 0;
    struct timespec step = {0, kHangupRecheckNs};
    if (tv != nullptr && rest.tv_sec == 0 && rest.tv_nsec < step.tv_nsec) step = rest;
    nanosleep(&step, nullptr);
  }
}

// Adds fd to the wait list (once per descriptor) and returns its index.
size_t AddWaitEntry(WaitEntry* entries, size_t* n, int fd, bool read, bool write) {
  for (size_t i = 0; i < *n; i++) {
    if (entries[i].fd == fd) {
      entries[i].want_read = entries[i].want_read || read;
      entries[i].want_write = entries[i].want_write || write;
      return i;
    }
  }
  entries[*n] = WaitEntry{fd, read, write, false, false};
  return (*n)++;
}

int SetCount(const ORVEX_SOCKET_SET* set) {
  if (set->count < 0) return 0;
  return set->count > ORVEX_SOCKET_SET_SIZE ? ORVEX_SOCKET_SET_SIZE : set->count;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Socket sets

void SetClear(ORVEX_SOCKET_SET* set) { set->count = 0; }

bool SetAdd(ORVEX_SOCKET_SET* set, ORVEX_SOCKET* handle) {
  if (set->count < 0) set->count = 0;
  if (set->count >= ORVEX_SOCKET_SET_SIZE) return false;
  set->handles[set->count++] = handle;
  return true;
}

bool SetIsMember(const ORVEX_SOCKET_SET* set, const ORVEX_SOCKET* handle) {
  int count = SetCount(set);
  for (int i = 0; i < count; i++) {
    if (set->handles[i] == handle) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Process-wide library state

bool FillRandom(unsigned char* buffer, size_t length) {
  if (length == 0) return true;
  size_t filled = 0;
  for (int call = 0; call < 10; call++) {
    ssize_t got = getrandom(buffer + filled, length - filled, GRND_NONBLOCK);
    if (got > 0) {
      filled += static_cast<size_t>(got);
      if (filled >= length) return true;
    }
  }
  return false;
}

bool SocketsSeedRandomPool(int (*pool_ready)(), bool (*fill)(unsigned char*, size_t),
                           int max_rounds) {
  unsigned char buf[1024];
  bool ready = true;
  for (int round = 0; pool_ready() != 1; round++) {
    if (round >= max_rounds) {
      ready = false;
      break;
    }
    if (fill(buf, sizeof(buf))) RAND_add(buf, sizeof(buf), 1023.0);
  }
  OPENSSL_cleanse(buf, sizeof(buf));
  return ready;
}

bool SocketsLibraryInit() {
  // The process-wide locks are destroyed at exit in the reverse order of their making. Made
  // here, before the first object is complete, all of them outlive every object, also one of
  // static storage duration whose destructor runs at exit.
  ContextLock();
  ResolverLock();
  AutoMutex lock(LibraryLock());
  g_init_count++;
  if (g_init_count > 1) return g_init_result;
  g_init_result = false;
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
  if (!SocketsSeedRandomPool(RAND_status, FillRandom, kMaxSeedRounds)) {
    printf("SocketsLibraryInit(): the random pool could not be seeded after %d rounds\n",
           kMaxSeedRounds);
    return false;
  }
  g_tls_ready = true;
  g_init_result = true;
  return true;
}

void SocketsLibraryCleanup() {
  AutoMutex lock(LibraryLock());
  bool was_used = g_init_count > 0;
  if (was_used) g_init_count--;
  if (!was_used || g_init_count == 0) g_tls_ready = false;
}

int SocketsLibraryInitCount() {
  AutoMutex lock(LibraryLock());
  return g_init_count;
}

bool SocketsLibraryReady() {
  AutoMutex lock(LibraryLock());
  return g_tls_ready;
}

// ---------------------------------------------------------------------------------------------
// Object, handles, errors

Orvex_Sockets3::Orvex_Sockets3()
    : hMutex(DEFAULT_LOCK_TIMEOUT), last_errno(0), silent(true), ssl_ctx(nullptr) {
  SocketsLibraryInit();
  memset(last_error, 0, sizeof(last_error));
  last_errno = 0;
  silent = true;
}

Orvex_Sockets3::~Orvex_Sockets3() {
  {
    AutoMutex lock(hMutex);
    for (ORVEX_SOCKET* sock : sockets) {
      if (!silent) {
        printf(
            "WARNING: ORVEX_SOCKET 0x%p (%s:%d) was not closed before Orvex_Sockets3 was "
            "deleted!\n",
            static_cast<void*>(sock), sock->remote_ip, sock->remote_port);
      }
    }
  }
  {
    AutoMutex lock(ContextLock());
    if (ssl_ctx != nullptr) {
      SSL_CTX_free(ssl_ctx);
      ssl_ctx = nullptr;
    }
  }
  SocketsLibraryCleanup();
}

void Orvex_Sockets3::pUpdateError(ORVEX_SOCKET* sock, const char* text) {
  int code = errno;
  last_errno = code;
  if (text != nullptr) {
    strlcpy(last_error, text, sizeof(last_error));
  } else if (code != 0) {
    char buf[256];
    const char* msg = SystemMessage(code, buf, sizeof(buf));
    if (msg != nullptr) {
      strlcpy(last_error, msg, sizeof(last_error) - 1);
    } else {
      snprintf(last_error, sizeof(last_error), "Unknown Error (Code: %d)", code);
    }
  }
  if (sock != nullptr) {
    sock->last_errno = last_errno;
    strlcpy(sock->last_error, last_error, sizeof(sock->last_error));
  }
  if (!IsQuietCode(code) && !silent) printf("pUpdateError(): %d -> %s\n", code, last_error);
  // Callers read errno again after recording (Connect records a second time).
  errno = code;
}

void Orvex_Sockets3::SetOwnError(int code, const char* text) {
  last_errno = code;
  strlcpy(last_error, text, sizeof(last_error));
}

bool Orvex_Sockets3::IsSupported(int feature) { return feature == SOCKFEAT_SSL; }

bool Orvex_Sockets3::IsEnabled(int feature) {
  return feature == SOCKFEAT_SSL && ssl_ctx != nullptr;
}

void Orvex_Sockets3::SetSilent(bool on) { silent = on; }

int Orvex_Sockets3::GetLastError(ORVEX_SOCKET* sock) {
  return sock != nullptr ? sock->last_errno : last_errno;
}

const char* Orvex_Sockets3::GetLastErrorString(ORVEX_SOCKET* sock) {
  return sock != nullptr ? sock->last_error : last_error;
}

ORVEX_SOCKET* Orvex_Sockets3::Create(int family, int type, int protocol, uint32_t flags) {
  ORVEX_SOCKET* sock =
      static_cast<ORVEX_SOCKET*>(zmalloc(sizeof(ORVEX_SOCKET), __FILE__, __LINE__));
  if (sock == nullptr) {
    errno = ENOMEM;
    pUpdateError(nullptr);
    return nullptr;
  }
  sock->family = family;
  sock->type = type;
  sock->protocol = protocol;
  sock->sock = socket(family, type, protocol);
  if (sock->sock < 0) {
    pUpdateError(sock);
    zfree(sock, __FILE__, __LINE__);
    return nullptr;
  }
  if (flags & SOCKFEAT_ZLIB) {
    Close(sock);
    SetOwnError(ORVEX_SOCKERR(0), "VSL has not been compiled with zlib support");
    return nullptr;
  }
  AutoMutex lock(hMutex);
  sockets.push_back(sock);
  return sock;
}

int Orvex_Sockets3::Close(ORVEX_SOCKET* sock) {
  if (sock == nullptr) return -1;
  {
    AutoMutex lock(hMutex);
    for (size_t i = sockets.size(); i-- > 0;) {
      if (sockets[i] == sock) {
        sockets.erase(sockets.begin() + static_cast<ptrdiff_t>(i));
        break;
      }
    }
  }
  if (sock->ssl != nullptr) {
    // The second shutdown call reads the peer's close notify. A peer that never sends it
    // would keep a blocking handle in Close for ever, so its answer is awaited for a bounded
    // time only.
    SigpipeHold hold;
    if (SSL_shutdown(sock->ssl) == 0) {
      struct pollfd p = {sock->sock, POLLIN, 0};
      if (SSL_pending(sock->ssl) > 0 || poll(&p, 1, kShutdownWaitMs) > 0) {
        SSL_shutdown(sock->ssl);
      }
    }
    SSL_free(sock->ssl);
    sock->ssl = nullptr;
    // A shutdown that could not complete (peer gone, handshake unfinished) leaves entries in
    // the thread's error queue; they must not be reported as the cause of a later failure.
    ERR_clear_error();
  }
  int result = close(sock->sock);
  if (result != 0) pUpdateError(sock);
  zfree(sock, __FILE__, __LINE__);
  return result;
}

bool Orvex_Sockets3::IsValidSocket(ORVEX_SOCKET* sock) {
  if (sock == nullptr) return false;
  AutoMutex lock(hMutex);
  for (ORVEX_SOCKET* s : sockets) {
    if (s == sock) return true;
  }
  return false;
}

bool Orvex_Sockets3::IsNonBlocking(ORVEX_SOCKET* sock) {
  return sock != nullptr && sock->nonblocking;
}

void Orvex_Sockets3::SetNonBlocking(ORVEX_SOCKET* sock, bool on) {
  if (sock == nullptr) return;
  sock->nonblocking = on;
  int flags = fcntl(sock->sock, F_GETFL);
  if (flags == -1) {
    pUpdateError(sock);
    return;
  }
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(sock->sock, F_SETFL, flags) == -1) pUpdateError(sock);
}

namespace {
int SetIntOption(ORVEX_SOCKET* sock, int option, bool on) {
  int value = on ? 1 : 0;
  return setsockopt(sock->sock, SOL_SOCKET, option, &value, sizeof(value));
}
}  // namespace

int Orvex_Sockets3::SetReuseAddr(ORVEX_SOCKET* sock, bool on) {
  int r = SetIntOption(sock, SO_REUSEADDR, on);
  if (r != 0) pUpdateError(sock);
  return r;
}

int Orvex_Sockets3::SetKeepAlive(ORVEX_SOCKET* sock, bool on) {
  int r = SetIntOption(sock, SO_KEEPALIVE, on);
  if (r != 0) pUpdateError(sock);
  return r;
}

int Orvex_Sockets3::SetBroadcast(ORVEX_SOCKET* sock, bool on) {
  int r = SetIntOption(sock, SO_BROADCAST, on);
  if (r != 0) pUpdateError(sock);
  return r;
}

int Orvex_Sockets3::SetLinger(ORVEX_SOCKET* sock, bool on, uint32_t seconds) {
  struct linger value;
  value.l_onoff = on ? 1 : 0;
  value.l_linger = on ? static_cast<uint16_t>(seconds) : 0;
  int r = setsockopt(sock->sock, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
  if (r != 0) pUpdateError(sock);
  return r;
}

bool Orvex_Sockets3::UnsupportedFeature(ORVEX_SOCKET* sock) {
  pUpdateError(sock, "Feature not supported on this platform");
  return false;
}

bool Orvex_Sockets3::IsAvailable() { return true; }

// ---------------------------------------------------------------------------------------------
// Name resolution and connecting

// A failed lookup is recorded with the resolver's own code and message (negative EAI_* codes,
// distinct from system and own codes, for example -2 "Name or service not known"), so that a
// caller learns why the name did not resolve; only EAI_SYSTEM records the system error.
struct addrinfo* Orvex_Sockets3::Resolve(ORVEX_SOCKET* sock, const char* host, int port) {
  char service[64];
  snprintf(service, sizeof(service), "%d", port);
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = sock->family;
  hints.ai_socktype = sock->type;
  hints.ai_protocol = sock->protocol;
  hints.ai_flags = 0;
  struct addrinfo* list = nullptr;
  int rc;
  int saved_errno;
  {
    AutoMutex lock(ResolverLock());
    rc = getaddrinfo(host, service, &hints, &list);
    saved_errno = errno;
  }
  if (rc != 0) {
    if (rc == EAI_SYSTEM) {
      errno = saved_errno;
      pUpdateError(sock);
    } else {
      errno = rc;
      pUpdateError(sock, gai_strerror(rc));
      errno = saved_errno;
    }
    return nullptr;
  }
  return list;
}

// Keeps errno as it was, so that a failed connect's error is what the caller records next.
void Orvex_Sockets3::RefreshAddresses(ORVEX_SOCKET* sock) {
  int saved_errno = errno;
  sock->remote_ip[0] = '\0';
  sock->local_ip[0] = '\0';
  sock->remote_port = 0;
  sock->local_port = 0;
  struct sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  char service[8];
  if (getpeername(sock->sock, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
    if (getnameinfo(reinterpret_cast<struct sockaddr*>(&addr), len, sock->remote_ip,
                    sizeof(sock->remote_ip), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
      sock->remote_port = atoi(service);
    } else {
      sock->remote_ip[0] = '\0';
    }
  }
  len = sizeof(addr);
  if (getsockname(sock->sock, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
    if (getnameinfo(reinterpret_cast<struct sockaddr*>(&addr), len, sock->local_ip,
                    sizeof(sock->local_ip), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
      sock->local_port = atoi(service);
    } else {
      sock->local_ip[0] = '\0';
    }
  }
  errno = saved_errno;
}

int Orvex_Sockets3::GetFamilyForHost(const char* host, int port) {
  ORVEX_SOCKET probe;
  memset(&probe, 0, sizeof(probe));
  struct addrinfo* list = Resolve(&probe, host, port);
  if (list == nullptr) return AF_INET;
  int family = list->ai_family;
  freeaddrinfo(list);
  return family;
}

std::string Orvex_Sockets3::GetHostIP(const char* host) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  struct addrinfo* list = nullptr;
  int rc;
  int saved_errno;
  {
    AutoMutex lock(ResolverLock());
    rc = getaddrinfo(host, "", &hints, &list);
    saved_errno = errno;
  }
  if (rc != 0) {
    if (rc == EAI_SYSTEM) {
      errno = saved_errno;
      pUpdateError(nullptr);
    } else {
      errno = rc;
      pUpdateError(nullptr, gai_strerror(rc));
      errno = saved_errno;
    }
    return std::string();
  }
  std::string result;
  for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    char text[40];
    if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) ==
        0) {
      result = text;
      break;
    }
  }
  freeaddrinfo(list);
  return result;
}

bool Orvex_Sockets3::ConnectAddr(ORVEX_SOCKET* sock, const struct sockaddr* addr,
                                 socklen_t addrlen) {
  if (connect(sock->sock, addr, addrlen) != 0) {
    pUpdateError(sock);
    RefreshAddresses(sock);
    return false;
  }
  RefreshAddresses(sock);
  return true;
}

bool Orvex_Sockets3::Connect(ORVEX_SOCKET* sock, const char* host, int port) {
  struct addrinfo* list = Resolve(sock, host, port);
  if (list == nullptr) return false;
  for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ConnectAddr(sock, ai->ai_addr, ai->ai_addrlen)) {
      freeaddrinfo(list);
      return true;
    }
    if (sock->nonblocking || ai->ai_next == nullptr) {
      pUpdateError(sock);
      freeaddrinfo(list);
      return false;
    }
  }
  freeaddrinfo(list);
  return false;
}

bool Orvex_Sockets3::ConnectWithTimeout(ORVEX_SOCKET* sock, const char* host, int port,
                                        uint32_t ms) {
  struct addrinfo* list = Resolve(sock, host, port);
  if (list == nullptr) return false;
  bool was_nonblocking = sock->nonblocking;
  if (!was_nonblocking) SetNonBlocking(sock, true);
  bool connected = false;
  int tried = 0;
  for (struct addrinfo* ai = list; ai != nullptr && tried < 5; ai = ai->ai_next, tried++) {
    ConnectAddr(sock, ai->ai_addr, ai->ai_addrlen);
    struct timeval tv = MsToTimeval(ms);
    if (SelectWrite(sock, &tv) > 0) {
      RefreshAddresses(sock);
      connected = true;
      break;
    }
  }
  if (!was_nonblocking) SetNonBlocking(sock, false);
  freeaddrinfo(list);
  return connected;
}

bool Orvex_Sockets3::Bind(ORVEX_SOCKET* sock, const char* host, int port) {
  struct addrinfo* list = Resolve(sock, host, port);
  if (list != nullptr) {
    bool matched = false;
    for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
      if (sock->family != 0 && ai->ai_family != sock->family) continue;
      if (port > 0) {
        if (ai->ai_family == AF_INET) {
          reinterpret_cast<struct sockaddr_in*>(ai->ai_addr)->sin_port =
              htons(static_cast<uint16_t>(port));
        } else if (ai->ai_family == AF_INET6) {
          reinterpret_cast<struct sockaddr_in6*>(ai->ai_addr)->sin6_port =
              htons(static_cast<uint16_t>(port));
        }
      }
      if (bind(sock->sock, ai->ai_addr, ai->ai_addrlen) == 0) {
        freeaddrinfo(list);
        return true;
      }
      pUpdateError(sock);
      matched = true;
    }
    freeaddrinfo(list);
    if (matched) return false;
  }
  pUpdateError(sock, "Could not resolve any addresses matching address family.");
  return false;
}

// ---------------------------------------------------------------------------------------------
// Sending and receiving

int Orvex_Sockets3::RawRecv(ORVEX_SOCKET* sock, char* buf, uint32_t size) {
  if (sock->ssl != nullptr) {
    ERR_clear_error();
    int r;
    {
      SigpipeHold hold;
      r = SSL_read(sock->ssl, buf, static_cast<int>(ClampSize(size)));
    }
    if (r > 0) return r;
    snprintf(last_error, sizeof(last_error), "Error returned by SSL_read(): %d", r);
    last_errno = ORVEX_SOCKERR(0x0014);
    ERR_print_errors_fp(stderr);
    return r == 0 ? 0 : -1;
  }
  // A close is recorded with code 0 rather than with whatever errno held before.
  errno = 0;
  ssize_t r = recv(sock->sock, buf, ClampSize(size), 0);
  if (r > 0) return static_cast<int>(r);
  pUpdateError(sock);
  return r == 0 ? 0 : -1;
}

int Orvex_Sockets3::Recv(ORVEX_SOCKET* sock, char* buf, uint32_t size) {
  return RawRecv(sock, buf, size);
}

int Orvex_Sockets3::Send(ORVEX_SOCKET* sock, const char* data, int32_t len, bool send_all) {
  if (len == -1) {
    size_t text_len = strlen(data);
    len = text_len > INT32_MAX ? INT32_MAX : static_cast<int32_t>(text_len);
  }
  if (len < 0) {
    errno = EINVAL;
    pUpdateError(sock);
    return -1;
  }
  if (len == 0) return 0;
  if (sock->ssl != nullptr) {
    ERR_clear_error();
    int r;
    {
      SigpipeHold hold;
      r = SSL_write(sock->ssl, data, len);
    }
    if (r > 0) return r;
    last_errno = ORVEX_SOCKERR(0x0020);
    ERR_error_string(ERR_get_error(), last_error);
    printf("OpenSSL Error: %s\n", last_error);
    return -1;
  }
  int32_t sent = 0;
  int32_t remaining = len;
  while (remaining > 0) {
    errno = 0;
    // MSG_NOSIGNAL: a peer that has gone away yields EPIPE instead of a SIGPIPE that would end
    // a process which does not ignore the signal.
    ssize_t r = send(sock->sock, data + sent, static_cast<size_t>(remaining), MSG_NOSIGNAL);
    if (r <= 0) {
      pUpdateError(sock);
      return static_cast<int>(r);
    }
    sent += static_cast<int32_t>(r);
    remaining -= static_cast<int32_t>(r);
    if (!send_all) break;
  }
  return sent;
}

int Orvex_Sockets3::Peek(ORVEX_SOCKET* sock, char* buf, uint32_t size) {
  if (sock->ssl != nullptr) {
    ERR_clear_error();
    int r;
    {
      SigpipeHold hold;
      r = SSL_peek(sock->ssl, buf, static_cast<int>(ClampSize(size)));
    }
    if (r >= 0) return r;
    memset(last_error, 0, sizeof(last_error));
    ERR_error_string_n(ERR_get_error(), last_error, sizeof(last_error));
    last_errno = ORVEX_SOCKERR(0x0014);
    ERR_print_errors_fp(stderr);
    return -1;
  }
  errno = 0;
  ssize_t r = recv(sock->sock, buf, ClampSize(size), MSG_PEEK);
  if (r > 0) return static_cast<int>(r);
  pUpdateError(sock);
  return static_cast<int>(r);
}

int Orvex_Sockets3::RecvLine(ORVEX_SOCKET* sock, char* buf, uint32_t size) {
  // A buffer without room for one character and its terminator can never hold a line.
  if (size < 2) return -2;
  int n = Peek(sock, buf, size - 1);
  if (n < 0) return -4;
  if (n == 0) return -3;
  // A replaced Peek must not make the terminator land past the buffer.
  if (static_cast<uint32_t>(n) > size - 1) n = static_cast<int>(size - 1);
  buf[n] = '\0';
  const char* end = FindLineEnd(buf, static_cast<size_t>(n));
  if (end == nullptr) return static_cast<uint32_t>(n) < size - 1 ? -1 : -2;
  uint32_t line_len = static_cast<uint32_t>(end - buf) + 1;
  memset(buf, 0, size);
  Recv(sock, buf, line_len);
  // The terminator stays in place even if a replaced Recv filled all it was given.
  buf[size - 1] = '\0';
  return StripLineEnd(buf);
}

int Orvex_Sockets3::SelectRead(ORVEX_SOCKET* sock, struct timeval* tv) {
  if (sock->ssl != nullptr && SSL_pending(sock->ssl) > 0) return 1;
  WaitEntry entry{sock->sock, true, false, false, false};
  int r = PollWait(&entry, 1, tv);
  if (r < 0) {
    pUpdateError(sock);
    return r;
  }
  if (sock->ssl != nullptr && r == 1) {
    char one;
    int peeked = Peek(sock, &one, 1);
    return peeked < 0 ? peeked : 1;
  }
  return r;
}

int Orvex_Sockets3::SelectRead(ORVEX_SOCKET* sock, uint32_t ms) {
  struct timeval tv = MsToTimeval(ms);
  return SelectRead(sock, &tv);
}

int Orvex_Sockets3::SelectWrite(ORVEX_SOCKET* sock, struct timeval* tv) {
  WaitEntry entry{sock->sock, false, true, false, false};
  int r = PollWait(&entry, 1, tv);
  if (r < 0) pUpdateError(sock);
  return r;
}

int Orvex_Sockets3::SelectWrite(ORVEX_SOCKET* sock, uint32_t ms) {
  struct timeval tv = MsToTimeval(ms);
  return SelectWrite(sock, &tv);
}

int Orvex_Sockets3::Wait(ORVEX_SOCKET_SET* rd, ORVEX_SOCKET_SET* wr, struct timeval* tv) {
  WaitEntry entries[2 * ORVEX_SOCKET_SET_SIZE];
  size_t n = 0;
  ORVEX_SOCKET* rd_members[ORVEX_SOCKET_SET_SIZE];
  ORVEX_SOCKET* wr_members[ORVEX_SOCKET_SET_SIZE];
  size_t rd_index[ORVEX_SOCKET_SET_SIZE];
  size_t wr_index[ORVEX_SOCKET_SET_SIZE];
  int rd_count = rd != nullptr ? SetCount(rd) : 0;
  int wr_count = wr != nullptr ? SetCount(wr) : 0;
  for (int i = 0; i < rd_count; i++) {
    rd_members[i] = rd->handles[i];
    if (rd_members[i] == nullptr) {
      errno = EBADF;
      pUpdateError(nullptr);
      return -1;
    }
    rd_index[i] = AddWaitEntry(entries, &n, rd_members[i]->sock, true, false);
  }
  for (int i = 0; i < wr_count; i++) {
    wr_members[i] = wr->handles[i];
    if (wr_members[i] == nullptr) {
      errno = EBADF;
      pUpdateError(nullptr);
      return -1;
    }
    wr_index[i] = AddWaitEntry(entries, &n, wr_members[i]->sock, false, true);
  }
  if (rd != nullptr) rd->count = 0;
  if (wr != nullptr) wr->count = 0;
  int r = PollWait(entries, n, tv);
  if (r < 0) {
    pUpdateError(nullptr);
    return r;
  }
  for (int i = 0; i < rd_count; i++) {
    if (entries[rd_index[i]].readable) SetAdd(rd, rd_members[i]);
  }
  for (int i = 0; i < wr_count; i++) {
    if (entries[wr_index[i]].writable) SetAdd(wr, wr_members[i]);
  }
  return r;
}

int Orvex_Sockets3::SelectReadSet(ORVEX_SOCKET_SET* set, struct timeval* tv) {
  return Wait(set, nullptr, tv);
}

int Orvex_Sockets3::SelectReadSet(ORVEX_SOCKET_SET* set, uint32_t ms) {
  struct timeval tv = MsToTimeval(ms);
  return SelectReadSet(set, &tv);
}

int Orvex_Sockets3::SelectSets(ORVEX_SOCKET_SET* rd, ORVEX_SOCKET_SET* wr, struct timeval* tv) {
  return Wait(rd, wr, tv);
}

int Orvex_Sockets3::SelectSets(ORVEX_SOCKET_SET* rd, ORVEX_SOCKET_SET* wr, uint32_t ms) {
  struct timeval tv = MsToTimeval(ms);
  return SelectSets(rd, wr, &tv);
}

namespace {
int SetTimeOption(ORVEX_SOCKET* sock, int option, uint32_t ms) {
  struct timeval tv = MsToTimeval(ms);
  return setsockopt(sock->sock, SOL_SOCKET, option, &tv, sizeof(tv));
}
}  // namespace

int Orvex_Sockets3::SetRecvTimeout(ORVEX_SOCKET* sock, uint32_t ms) {
  int r = SetTimeOption(sock, SO_RCVTIMEO, ms);
  if (r != 0) pUpdateError(sock);
  return r;
}

int Orvex_Sockets3::SetSendTimeout(ORVEX_SOCKET* sock, uint32_t ms) {
  int r = SetTimeOption(sock, SO_SNDTIMEO, ms);
  if (r != 0) pUpdateError(sock);
  return r;
}

// ---------------------------------------------------------------------------------------------
// Datagrams

int Orvex_Sockets3::SendTo(ORVEX_SOCKET* sock, const char* host, int port, const char* data,
                           int32_t len) {
  if (sock->ssl != nullptr) {
    SetOwnError(ORVEX_SOCKERR(0), "SendTo doesn't work with SSL");
    return -1;
  }
  if (len == -1) {
    size_t text_len = strlen(data);
    len = text_len > INT32_MAX ? INT32_MAX : static_cast<int32_t>(text_len);
  }
  if (len < 0) {
    errno = EINVAL;
    pUpdateError(sock);
    return -1;
  }
  struct addrinfo* list = Resolve(sock, host, port);
  if (list == nullptr) {
    // Recorded once more, with the code and text Resolve recorded (the resolver's own): errno
    // alone would replace that cause with an unrelated, often zero, code.
    char text[sizeof(last_error)];
    strlcpy(text, last_error, sizeof(text));
    errno = last_errno;
    pUpdateError(sock, text);
    return -1;
  }
  // An empty datagram sends 0 bytes without failing; it is then recorded with code 0 (quiet)
  // rather than with whatever an earlier call left in errno.
  errno = 0;
  ssize_t r = sendto(sock->sock, data, static_cast<size_t>(len), MSG_NOSIGNAL, list->ai_addr,
                     list->ai_addrlen);
  if (r < 1) pUpdateError(sock);
  freeaddrinfo(list);
  RefreshAddresses(sock);
  return static_cast<int>(r);
}

int Orvex_Sockets3::ReceiveFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port,
                                char* buf, uint32_t size, int flags, const char* tls_refusal) {
  if (sock->ssl != nullptr) {
    SetOwnError(ORVEX_SOCKERR(0), tls_refusal);
    return -1;
  }
  struct sockaddr_storage from;
  memset(&from, 0, sizeof(from));
  socklen_t from_len = sizeof(from);
  errno = 0;
  ssize_t r = recvfrom(sock->sock, buf, ClampSize(size), flags,
                       reinterpret_cast<struct sockaddr*>(&from), &from_len);
  if (r == -1) {
    pUpdateError(sock);
    return -1;
  }
  if (r == 0) pUpdateError(sock);
  if (from.ss_family != AF_INET && from.ss_family != AF_INET6) {
    SetOwnError(ORVEX_SOCKERR(0), "Unknown address family!");
    return -1;
  }
  char service[8];
  if (getnameinfo(reinterpret_cast<struct sockaddr*>(&from), from_len, sock->remote_ip,
                  sizeof(sock->remote_ip), service, sizeof(service),
                  NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    sock->remote_port = atoi(service);
  } else {
    sock->remote_ip[0] = '\0';
    sock->remote_port = 0;
  }
  if (host != nullptr && host_size > 0) {
    memset(host, 0, host_size);
    strlcpy(host, sock->remote_ip, host_size);
  }
  if (port != nullptr) *port = sock->remote_port;
  return static_cast<int>(r);
}

int Orvex_Sockets3::RecvFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port,
                             char* buf, uint32_t size) {
  return ReceiveFrom(sock, host, host_size, port, buf, size, 0, "RecvFrom doesn't work with SSL");
}

int Orvex_Sockets3::PeekFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port,
                             char* buf, uint32_t size) {
  return ReceiveFrom(sock, host, host_size, port, buf, size, MSG_PEEK,
                     "PeekFrom doesn't work with SSL");
}

int Orvex_Sockets3::RecvLineFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port,
                                 char* buf, uint32_t size) {
  if (size < 2) {
    // No room for a line and its terminator.
    errno = EINVAL;
    pUpdateError(sock);
    return -4;
  }
  int n = PeekFrom(sock, host, host_size, port, buf, size - 1);
  if (n <= 0) {
    pUpdateError(sock);
    return n == 0 ? -3 : -4;
  }
  if (static_cast<uint32_t>(n) > size - 1) n = static_cast<int>(size - 1);
  buf[n] = '\0';
  const char* lf = static_cast<const char*>(memchr(buf, '\n', static_cast<size_t>(n)));
  if (lf == nullptr) return -1;
  uint32_t line_len = static_cast<uint32_t>(lf - buf) + 1;
  memset(buf, 0, size);
  RecvFrom(sock, host, host_size, port, buf, line_len);
  buf[size - 1] = '\0';
  return StripLineEnd(buf);
}

// ---------------------------------------------------------------------------------------------
// Listening and accepting

bool Orvex_Sockets3::BindPort(ORVEX_SOCKET* sock, int port) {
  int r;
  if (sock->family == AF_INET6) {
    struct sockaddr_in6 addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(static_cast<uint16_t>(port));
    r = bind(sock->sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  } else {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    r = bind(sock->sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  }
  if (r != 0) pUpdateError(sock);
  return r == 0;
}

bool Orvex_Sockets3::Listen(ORVEX_SOCKET* sock, int backlog) {
  if (listen(sock->sock, backlog) == 0) return true;
  pUpdateError(sock);
  return false;
}

ORVEX_SOCKET* Orvex_Sockets3::Accept(ORVEX_SOCKET* sock, struct sockaddr* addr, socklen_t* addrlen,
                                     uint32_t flags) {
  ORVEX_SOCKET* conn =
      static_cast<ORVEX_SOCKET*>(zmalloc(sizeof(ORVEX_SOCKET), __FILE__, __LINE__));
  if (conn == nullptr) {
    errno = ENOMEM;
    pUpdateError(nullptr);
    return nullptr;
  }
  if (addr != nullptr && addrlen != nullptr) memset(addr, 0, *addrlen);
  conn->sock = accept(sock->sock, addr, addrlen);
  if (conn->sock < 0) {
    pUpdateError(conn);
    zfree(conn, __FILE__, __LINE__);
    return nullptr;
  }
  {
    AutoMutex lock(hMutex);
    sockets.push_back(conn);
  }
  RefreshAddresses(conn);
  if (flags & SOCKFEAT_SSL) {
    if (!IsEnabled(SOCKFEAT_SSL)) {
      Close(conn);
      SetOwnError(ORVEX_SOCKERR(0), "SSL has not been enabled!");
      return nullptr;
    }
    if (!SwitchToSSL_Server(conn)) {
      Close(conn);
      return nullptr;
    }
  }
  if (flags & SOCKFEAT_ZLIB) {
    Close(conn);
    SetOwnError(ORVEX_SOCKERR(0), "VSL has not been compiled with zlib support");
    return nullptr;
  }
  return conn;
}

ORVEX_SOCKET* Orvex_Sockets3::Accept(ORVEX_SOCKET* sock, uint32_t flags) {
  struct sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  return Accept(sock, reinterpret_cast<struct sockaddr*>(&addr), &len, flags);
}

// ---------------------------------------------------------------------------------------------
// TLS

namespace {
// The fixed-version methods are deprecated in newer OpenSSL releases but still offered, and
// callers can ask for them by number.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
const SSL_METHOD* FixedVersionMethod(int method) {
  switch (method) {
    case 1:
      return TLSv1_2_method();
    case 2:
      return TLSv1_1_method();
    case 3:
      return TLSv1_method();
    default:
      return nullptr;
  }
}
#pragma GCC diagnostic pop
}  // namespace

bool Orvex_Sockets3::EnableSSL(const char* pem_file, int method) {
  return LoadContext(pem_file, pem_file, false, method);
}

bool Orvex_Sockets3::EnableSSLFiles(const char* cert_file, const char* key_file, int method) {
  return LoadContext(cert_file, key_file, true, method);
}

bool Orvex_Sockets3::LoadContext(const char* cert_file, const char* key_file, bool chain,
                                 int method) {
  AutoMutex lock(ContextLock());
  // A context made before is replaced; SSL objects made from it keep their own reference.
  if (ssl_ctx != nullptr) {
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
  }
  const SSL_METHOD* chosen;
  if (method == 0) {
    chosen = TLS_method();
  } else if (method >= 1 && method <= 3) {
    chosen = FixedVersionMethod(method);
  } else {
    if (!silent) printf("Orvex_Sockets3: Unknown TLS method, using default...\n");
    chosen = TLS_method();
  }
  ssl_ctx = SSL_CTX_new(chosen);
  if (ssl_ctx == nullptr) {
    ERR_print_errors_fp(stderr);
    SetOwnError(ORVEX_SOCKERR(0x0001), "Error initializing a SSL_CTX structure!");
    return false;
  }
  SSL_CTX_set_mode(ssl_ctx, SSL_CTX_get_mode(ssl_ctx) | SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_options(ssl_ctx, SSL_OP_NO_SSLv3);
  int code = 0;
  const char* text = nullptr;
  // A missing file name is a certificate that cannot be loaded (fopen must not see null).
  if (cert_file == nullptr ||
      (chain ? SSL_CTX_use_certificate_chain_file(ssl_ctx, cert_file)
             : SSL_CTX_use_certificate_file(ssl_ctx, cert_file, SSL_FILETYPE_PEM)) <= 0) {
    code = 0x0002;
    text = "Error loading your certificate!";
  } else if (key_file == nullptr ||
             SSL_CTX_use_PrivateKey_file(ssl_ctx, key_file, SSL_FILETYPE_PEM) <= 0) {
    code = 0x0003;
    text = "Error loading your Private Key!";
  } else if (SSL_CTX_check_private_key(ssl_ctx) == 0) {
    code = 0x0004;
    text = "Private key does not match the certificate public key!";
  }
  if (text != nullptr) {
    ERR_print_errors_fp(stderr);
    SetOwnError(ORVEX_SOCKERR(code), text);
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
    return false;
  }
  return true;
}

bool Orvex_Sockets3::AttachSSL(ORVEX_SOCKET* sock) {
  if (sock->ssl != nullptr) return true;
  BIO* bio = BIO_new_socket(sock->sock, BIO_NOCLOSE);
  if (bio == nullptr) {
    SetOwnError(ORVEX_SOCKERR(0x0010), "Error Allocating a BIO!\n");
    return false;
  }
  SSL* ssl = ssl_ctx != nullptr ? SSL_new(ssl_ctx) : nullptr;
  if (ssl == nullptr) {
    SetOwnError(ORVEX_SOCKERR(0x0011), "Error Allocating a SSL!\n");
    BIO_free(bio);
    return false;
  }
  SSL_set_bio(ssl, bio, bio);
  sock->ssl = ssl;
  return true;
}

bool Orvex_Sockets3::EnableVerifiedClient(const char* ca_file, const char* ca_path) {
  AutoMutex lock(ContextLock());
  if (ssl_ctx != nullptr) {
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
  }
  ssl_ctx = SSL_CTX_new(TLS_client_method());
  if (ssl_ctx == nullptr) {
    SetOwnError(ORVEX_SOCKERR(0x0001), "Error initializing a SSL_CTX structure!");
    return false;
  }
  SSL_CTX_set_mode(ssl_ctx, SSL_CTX_get_mode(ssl_ctx) | SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_min_proto_version(ssl_ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ssl_ctx, SSL_VERIFY_PEER, nullptr);
  bool own_file = ca_file != nullptr && ca_file[0] != '\0';
  bool own_dir = ca_path != nullptr && ca_path[0] != '\0';
  ERR_clear_error();
  int loaded = own_file || own_dir
                   ? SSL_CTX_load_verify_locations(ssl_ctx, own_file ? ca_file : nullptr,
                                                   own_dir ? ca_path : nullptr)
                   : SSL_CTX_set_default_verify_paths(ssl_ctx);
  if (loaded != 1) {
    char reason[256];
    ERR_error_string_n(ERR_get_error(), reason, sizeof(reason));
    snprintf(last_error, sizeof(last_error), "Cannot load the trusted certificates from %s: %s",
             own_file  ? ca_file
             : own_dir ? ca_path
                       : "the system store",
             reason);
    last_errno = ORVEX_SOCKERR(0x0030);
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
    return false;
  }
  return true;
}

namespace {

bool IsAddressLiteral(const char* host) {
  unsigned char buf[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

// Own sub-code and wording of a failed certificate check.
int VerifyFailureCode(long result, const char** what) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      *what = "is outside its validity period";
      return 0x0032;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      *what = "was not issued for that name";
      return 0x0033;
    default:
      *what = "is not trusted";
      return 0x0031;
  }
}

}  // namespace

bool Orvex_Sockets3::SwitchToSSL_Verified(ORVEX_SOCKET* sock, const char* host) {
  if (!AttachSSL(sock)) return false;
  X509_VERIFY_PARAM* param = SSL_get0_param(sock->ssl);
  bool literal = IsAddressLiteral(host);
  int named = literal ? X509_VERIFY_PARAM_set1_ip_asc(param, host)
                      : X509_VERIFY_PARAM_set1_host(param, host, 0);
  // A server name indication carries names only, never addresses.
  if (named != 1 || (!literal && SSL_set_tlsext_host_name(sock->ssl, host) != 1)) {
    snprintf(last_error, sizeof(last_error), "Cannot check the certificate of %s: bad host name",
             host);
    last_errno = ORVEX_SOCKERR(0x0033);
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ERR_clear_error();
    errno = 0;
    int r;
    {
      SigpipeHold hold;
      r = SSL_connect(sock->ssl);
    }
    if (r == 1) return true;
    int saved_errno = errno;
    long verdict = SSL_get_verify_result(sock->ssl);
    unsigned long queued = ERR_get_error();
    if (verdict != X509_V_OK) {
      const char* what;
      last_errno = ORVEX_SOCKERR(VerifyFailureCode(verdict, &what));
      snprintf(last_error, sizeof(last_error), "The certificate of %s %s: %s", host, what,
               X509_verify_cert_error_string(verdict));
    } else {
      char reason[256];
      if (queued != 0) {
        ERR_error_string_n(queued, reason, sizeof(reason));
      } else if (saved_errno != 0) {
        snprintf(reason, sizeof(reason), "%s", strerror(saved_errno));
      } else {
        snprintf(reason, sizeof(reason), "the connection was closed");
      }
      last_errno = ORVEX_SOCKERR(0x0034);
      snprintf(last_error, sizeof(last_error), "TLS handshake with %s failed: %s", host, reason);
    }
    ERR_clear_error();
  }
  sock->last_errno = last_errno;
  strlcpy(sock->last_error, last_error, sizeof(sock->last_error));
  return false;
}

bool Orvex_Sockets3::SwitchToSSL(ORVEX_SOCKET* sock, bool server) {
  if (!AttachSSL(sock)) return false;
  ERR_clear_error();
  int r;
  {
    SigpipeHold hold;
    r = server ? SSL_accept(sock->ssl) : SSL_connect(sock->ssl);
  }
  if (r == 1) {
    if (!silent) {
      printf("SSL connection established\n");
      printf("SSL Version: %s, Cipher: %s\n", SSL_get_version(sock->ssl),
             SSL_get_cipher_name(sock->ssl));
    }
    int alg_bits = 0;
    int secret_bits = SSL_CIPHER_get_bits(SSL_get_current_cipher(sock->ssl), &alg_bits);
    if (!silent) {
      printf("Using %d of %d maximum possible bits for security\n", secret_bits, alg_bits);
    }
    return true;
  }
  if (r == 0) {
    last_errno = ORVEX_SOCKERR(0x0012);
    snprintf(last_error, sizeof(last_error), "SSL connection failed cleanly: %d",
             SSL_get_error(sock->ssl, r));
    if (!server) {
      ERR_print_errors_fp(stderr);
    } else {
      ERR_error_string(ERR_get_error(), last_error);
      printf("OpenSSL Error: %d, %s\n", 0, last_error);
    }
    return false;
  }
  last_errno = ORVEX_SOCKERR(0x0013);
  ERR_error_string(ERR_get_error(), last_error);
  if (!server) {
    printf("OpenSSL Error: %s\n", last_error);
  } else {
    printf("OpenSSL Error: %d, %s\n", r, last_error);
  }
  return false;
}

bool Orvex_Sockets3::SwitchToSSL_Server(ORVEX_SOCKET* sock) { return SwitchToSSL(sock, true); }

bool Orvex_Sockets3::SwitchToSSL_Client(ORVEX_SOCKET* sock) { return SwitchToSSL(sock, false); }

X509* Orvex_Sockets3::GetPeerCertificate(ORVEX_SOCKET* sock) {
  if (sock == nullptr || sock->ssl == nullptr) return nullptr;
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  return SSL_get1_peer_certificate(sock->ssl);
#else
  return SSL_get_peer_certificate(sock->ssl);
#endif
}

SSL_CTX* Orvex_Sockets3::GetSSLContext() { return ssl_ctx; }
