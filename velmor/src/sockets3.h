// The socket layer. One Orvex_Sockets3 object owns every socket opened through it: it creates
// ORVEX_SOCKET handles, keeps them in a registry, resolves names, connects, sends and receives
// (also line by line and as datagrams), waits on one or many handles, listens and accepts, runs
// TLS through OpenSSL, and records the last error of each operation in itself and in the handle
// concerned. Every operation is virtual, and the composite operations (Connect,
// ConnectWithTimeout, RecvLine, Accept, the ms waits ...) call the primitive ones through the
// virtual table, so a subclass that replaces a primitive changes the composites built on it.
//
// Thread rules: the handle registry is guarded by the object's own recursive mutex (Create,
// Accept, Close, IsValidSocket). Everything else is unlocked: one handle is used by one thread at
// a time, and the object's last error is shared by all its handles and threads (a multi-threaded
// caller reads the copy kept in its own handle). Process-wide state (library start, TLS context
// creation, name resolution) has one lock each; no operation holds two of them at once.
#ifndef VELMOR_SOCKETS3_H_
#define VELMOR_SOCKETS3_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "Mutex_pthreads.h"

struct addrinfo;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;

// Feature numbers: Accept/Create flag bits and the arguments of IsSupported/IsEnabled.
#define SOCKFEAT_SSL 1   // TLS
#define SOCKFEAT_ZLIB 2  // stream compression; never available in this build

// The layer's own error codes: 0x4F53 ("OS") in the upper 16 bits, a sub-code in the lower 16.
#define ORVEX_SOCKERR_BASE (0x4F53 << 16)
#define ORVEX_SOCKERR(sub) (ORVEX_SOCKERR_BASE | (sub))

// Capacity of an ORVEX_SOCKET_SET.
#define ORVEX_SOCKET_SET_SIZE 256

// One open socket. Made zero-filled (tracked memory) by Create or Accept and freed only by
// Close of the object that made it; callers hold the pointer and never free it.
struct ORVEX_SOCKET {
  int sock;            // operating-system descriptor
  char remote_ip[40];  // numeric peer address; empty when unset
  // Numeric local address; empty when unset. As wide as remote_ip, so that every local address
  // a connection can have (IPv6 included) is shown rather than left empty.
  char local_ip[40];
  int remote_port;       // peer port (host order); 0 when unset
  int local_port;        // local port (host order); 0 when unset
  int family;            // as given to Create; 0 on accepted handles (any family)
  int type;              // as given to Create; 0 on accepted handles
  int protocol;          // as given to Create; 0 on accepted handles
  bool nonblocking;      // as last set through SetNonBlocking
  SSL* ssl;              // TLS connection object; null while the handle is plain
  int last_errno;        // last error code recorded for this handle
  char last_error[128];  // last error text recorded for this handle
};

// A fixed set of handles for the multi-handle waits. The waits rewrite it in place so that
// afterwards it holds only the members that are ready, in their original order.
struct ORVEX_SOCKET_SET {
  int count;                                     // handles in use
  ORVEX_SOCKET* handles[ORVEX_SOCKET_SET_SIZE];  // members in the order they were added
};

// Empties the set.
void SetClear(ORVEX_SOCKET_SET* set);
// Appends the handle (no duplicate check). Returns true when added, false (set unchanged) when
// the set already holds ORVEX_SOCKET_SET_SIZE handles.
bool SetAdd(ORVEX_SOCKET_SET* set, ORVEX_SOCKET* handle);
// True when the handle is among the first count members.
bool SetIsMember(const ORVEX_SOCKET_SET* set, const ORVEX_SOCKET* handle);

// Process-wide start of the layer, run by every constructor: the first user initialises
// OpenSSL's TLS part and seeds its random pool from the kernel. Returns true when the library
// is ready; false (after a message on standard output) when the pool could not be seeded.
// Later users only raise the count and get the stored result.
bool SocketsLibraryInit();
// Lowers the count taken by SocketsLibraryInit; at 0 the library counts as not ready (OpenSSL
// itself stays initialised). Run by every destructor.
void SocketsLibraryCleanup();
// Current number of SocketsLibraryInit users, and whether the TLS part is ready.
int SocketsLibraryInitCount();
bool SocketsLibraryReady();
// Fills length bytes from the kernel random source (getrandom, non-blocking), in at most 10
// calls. True when every byte was filled (at once for length 0), false otherwise.
bool FillRandom(unsigned char* buffer, size_t length);
// The seeding loop of SocketsLibraryInit: while pool_ready() is 0, fill a 1024-byte buffer with
// fill and feed it to OpenSSL's pool. Gives up after max_rounds rounds without a ready pool.
// Returns true when the pool is ready, false when the rounds ran out.
bool SocketsSeedRandomPool(int (*pool_ready)(), bool (*fill)(unsigned char*, size_t),
                           int max_rounds);

class Orvex_Sockets3 {
 public:
  Orvex_Sockets3();
  Orvex_Sockets3(const Orvex_Sockets3&) = delete;
  Orvex_Sockets3& operator=(const Orvex_Sockets3&) = delete;

  // Plain recv, or SSL_read on a TLS handle. Returns the byte count; 0 when the peer closed;
  // -1 on failure (error recorded).
  virtual int RawRecv(ORVEX_SOCKET* sock, char* buf, uint32_t size);
  // Warns (unless silent) about handles still open, which stay allocated and open; releases the
  // TLS context.
  virtual ~Orvex_Sockets3();

  // True exactly for SOCKFEAT_SSL.
  virtual bool IsSupported(int feature);
  // True exactly for SOCKFEAT_SSL once a TLS context exists.
  virtual bool IsEnabled(int feature);
  // Switches the optional console messages off (true, the default) or on.
  virtual void SetSilent(bool silent);
  // Last error code of the handle, or of the object when sock is null: a system errno value,
  // one of the layer's own ORVEX_SOCKERR codes, or, for a name that did not resolve, the
  // resolver's negative EAI_* code (with its gai_strerror text).
  virtual int GetLastError(ORVEX_SOCKET* sock);
  // Last error text of the handle, or of the object when sock is null; owned by them.
  virtual const char* GetLastErrorString(ORVEX_SOCKET* sock);

  // New registered handle for socket(family, type, protocol), or null on failure (also when
  // flags hold SOCKFEAT_ZLIB). SOCKFEAT_SSL in flags is ignored.
  virtual ORVEX_SOCKET* Create(int family, int type, int protocol, uint32_t flags);
  // Unregisters the handle, shuts TLS down (waiting at most 2 seconds for the peer's answer to
  // the close notify), closes the descriptor and frees the record. Returns the close result
  // (0 or -1); -1 for null.
  virtual int Close(ORVEX_SOCKET* sock);
  // True when the pointer is a handle of this object's registry.
  virtual bool IsValidSocket(ORVEX_SOCKET* sock);

  // Family of the first address host resolves to; AF_INET when it does not resolve.
  virtual int GetFamilyForHost(const char* host, int port);
  // Connects to the addresses of host in turn (only the first on a non-blocking handle).
  // True when one connected; false otherwise (error recorded).
  virtual bool Connect(ORVEX_SOCKET* sock, const char* host, int port);
  // connect to one socket address and refresh the handle's addresses. True on success.
  virtual bool ConnectAddr(ORVEX_SOCKET* sock, const struct sockaddr* addr, socklen_t addrlen);
  // Non-blocking connect to at most 5 addresses of host, waiting ms for each to turn writable.
  // True when one did (a refused connection may count; its error shows at the next receive).
  // The handle's blocking mode is left as it was.
  virtual bool ConnectWithTimeout(ORVEX_SOCKET* sock, const char* host, int port, uint32_t ms);

  // Makes the object's TLS context (method: 0 flexible, 1 TLS 1.2, 2 TLS 1.1, 3 TLS 1.0, other
  // values flexible) with the certificate and key of one PEM file, replacing (and releasing) a
  // previous context. True on success; false with the object's error set and no context.
  virtual bool EnableSSL(const char* pem_file, int method);
  // As EnableSSL, with the certificate (followed by any intermediate certificates) and the key
  // in files of their own.
  virtual bool EnableSSLFiles(const char* cert_file, const char* key_file, int method);
  // Makes the object's TLS context one for clients that check their peers: TLS 1.2 or later, no
  // certificate of its own, peers verified against ca_file and/or the hashed directory ca_path,
  // or against the system's store when both are null or empty. Replaces a previous context.
  // True on success; false with own code 0x0030 and a text naming the file, and no context.
  virtual bool EnableVerifiedClient(const char* ca_file, const char* ca_path);
  // Client handshake on a connected handle that checks the peer's chain and that its
  // certificate names host (a host name, sent as server name indication, or an IPv4/IPv6
  // literal). Needs a context from EnableVerifiedClient. True when established; false with the
  // code and a text naming host and the reason in the object and the handle: own sub-code
  // 0x0031 issuer not trusted, 0x0032 expired or not yet valid, 0x0033 issued for another name,
  // 0x0034 handshake failed (protocol, closed connection, time-out). Prints nothing.
  virtual bool SwitchToSSL_Verified(ORVEX_SOCKET* sock, const char* host);
  // TLS server handshake on an accepted handle. True when established.
  virtual bool SwitchToSSL_Server(ORVEX_SOCKET* sock);
  // TLS client handshake on a connected handle. True when established.
  virtual bool SwitchToSSL_Client(ORVEX_SOCKET* sock);
  // The peer's certificate (the caller releases it with X509_free), or null.
  virtual X509* GetPeerCertificate(ORVEX_SOCKET* sock);
  // The object's TLS context, or null.
  virtual SSL_CTX* GetSSLContext();

  // Sends len bytes (len -1: data is NUL-terminated text), all of them when send_all (a TLS
  // handle always sends all). Returns the count sent; 0 for len 0; -1 or 0 on failure (partial
  // sends are then not reported).
  virtual int Send(ORVEX_SOCKET* sock, const char* data, int32_t len, bool send_all);
  // Calls RawRecv.
  virtual int Recv(ORVEX_SOCKET* sock, char* buf, uint32_t size);
  // Reads one line (ended by LF, or by CR when no LF is waiting) without its line end into buf.
  // Returns its length; -1 no complete line waiting yet; -2 buffer full without a line end (also
  // for a buffer too small to hold any line); -3 connection closed; -4 receive error.
  virtual int RecvLine(ORVEX_SOCKET* sock, char* buf, uint32_t size);
  // Like Recv, but the bytes stay queued. Returns the count; 0 peer closed; -1 failure.
  virtual int Peek(ORVEX_SOCKET* sock, char* buf, uint32_t size);
  // Waits until the handle is readable (tv null: no limit). 1 readable, 0 time-out, -1 error
  // (or a negative Peek result on a TLS handle).
  virtual int SelectRead(ORVEX_SOCKET* sock, struct timeval* tv);
  virtual int SelectRead(ORVEX_SOCKET* sock, uint32_t ms);
  // Waits until the handle is writable. 1 writable, 0 time-out, -1 error.
  virtual int SelectWrite(ORVEX_SOCKET* sock, struct timeval* tv);
  virtual int SelectWrite(ORVEX_SOCKET* sock, uint32_t ms);
  // Waits until members of the set are readable; the set keeps only those. Returns their
  // number, 0 on time-out, -1 on error (the set's content is then not meaningful).
  virtual int SelectReadSet(ORVEX_SOCKET_SET* set, struct timeval* tv);
  virtual int SelectReadSet(ORVEX_SOCKET_SET* set, uint32_t ms);
  // Both kinds of wait at once; a null set is not waited on and left untouched. Returns the
  // readable plus writable count, 0 on time-out, -1 on error.
  virtual int SelectSets(ORVEX_SOCKET_SET* rd, ORVEX_SOCKET_SET* wr, struct timeval* tv);
  virtual int SelectSets(ORVEX_SOCKET_SET* rd, ORVEX_SOCKET_SET* wr, uint32_t ms);

  // Accepts a connection into a new registered handle (TLS server handshake first when flags
  // hold SOCKFEAT_SSL). addr/addrlen receive the peer address as from accept. Returns the
  // handle, or null (the accepted connection, if any, closed again).
  virtual ORVEX_SOCKET* Accept(ORVEX_SOCKET* sock, struct sockaddr* addr, socklen_t* addrlen,
                               uint32_t flags);
  virtual ORVEX_SOCKET* Accept(ORVEX_SOCKET* sock, uint32_t flags);
  // Binds to the wildcard address (IPv6 for an AF_INET6 handle) and port. True on success.
  virtual bool BindPort(ORVEX_SOCKET* sock, int port);
  // Puts the handle in the listening state. True on success.
  virtual bool Listen(ORVEX_SOCKET* sock, int backlog);

  // Receives one datagram into buf; the sender's numeric address goes to remote_ip and (cut to
  // host_size - 1) to host, its port to remote_port and *port. host and port may be null.
  // Returns the byte count (0 for an empty datagram), -1 on failure.
  virtual int RecvFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port, char* buf,
                       uint32_t size);
  // Like RecvFrom, but the datagram stays queued.
  virtual int PeekFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port, char* buf,
                       uint32_t size);
  // Reads the line at the start of the waiting datagram (the rest of the datagram is dropped).
  // Returns its length; -1 the datagram holds no LF (it stays queued); -3 empty datagram or
  // closed; -4 error.
  virtual int RecvLineFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port, char* buf,
                           uint32_t size);
  // Sends one datagram (len -1: text) to the first address of host. Returns the count, or -1.
  virtual int SendTo(ORVEX_SOCKET* sock, const char* host, int port, const char* data, int32_t len);
  // Binds to the first address of host (of the handle's family, any family for accepted
  // handles) that binds; port 0 asks for an ephemeral port. True on success.
  virtual bool Bind(ORVEX_SOCKET* sock, const char* host, int port);

  // SO_RCVTIMEO / SO_SNDTIMEO of ms (0: none). Returns the setsockopt result (0 or -1).
  virtual int SetRecvTimeout(ORVEX_SOCKET* sock, uint32_t ms);
  virtual int SetSendTimeout(ORVEX_SOCKET* sock, uint32_t ms);
  // The handle's nonblocking field.
  virtual bool IsNonBlocking(ORVEX_SOCKET* sock);
  // Stores the flag and sets or clears O_NONBLOCK on the descriptor.
  virtual void SetNonBlocking(ORVEX_SOCKET* sock, bool on);
  // SO_REUSEADDR. Returns the setsockopt result (0 or -1).
  virtual int SetReuseAddr(ORVEX_SOCKET* sock, bool on);
  // SO_LINGER, seconds taken modulo 65536. Returns the setsockopt result (0 or -1).
  virtual int SetLinger(ORVEX_SOCKET* sock, bool on, uint32_t seconds);
  // An option this platform does not offer: records "Feature not supported on this platform"
  // and returns false.
  virtual bool UnsupportedFeature(ORVEX_SOCKET* sock);
  // SO_KEEPALIVE / SO_BROADCAST. Return the setsockopt result (0 or -1).
  virtual int SetKeepAlive(ORVEX_SOCKET* sock, bool on);
  virtual int SetBroadcast(ORVEX_SOCKET* sock, bool on);
  // Always true.
  virtual bool IsAvailable();
  // Numeric text of the first address host resolves to; empty on failure.
  virtual std::string GetHostIP(const char* host);

 protected:
  // Records errno as the last error code (with text, or else the system message when errno is
  // not 0) in the object and, when given, the handle; prints it unless quiet or silent.
  void pUpdateError(ORVEX_SOCKET* sock, const char* text = nullptr);
  // Records one of the layer's own codes and its text in the object only; prints nothing.
  void SetOwnError(int code, const char* text);
  // Address list of host:port for the handle's family, type and protocol (released with
  // freeaddrinfo), or null with the error recorded.
  struct addrinfo* Resolve(ORVEX_SOCKET* sock, const char* host, int port);
  // Refills the address fields of the handle from the operating system.
  void RefreshAddresses(ORVEX_SOCKET* sock);

  Orvex_Mutex_pthreads hMutex;         // guards sockets
  std::vector<ORVEX_SOCKET*> sockets;  // registry of open handles, in creation order
  char last_error[512];                // last error text of the object
  int last_errno;                      // last error code of the object
  bool silent;                         // no optional console messages when true
  SSL_CTX* ssl_ctx;                    // TLS context from EnableSSL, or null

 private:
  // Shared body of RecvFrom and PeekFrom.
  int ReceiveFrom(ORVEX_SOCKET* sock, char* host, uint32_t host_size, int* port, char* buf,
                  uint32_t size, int flags, const char* tls_refusal);
  // Shared body of EnableSSL and EnableSSLFiles; chain loads intermediate certificates too.
  bool LoadContext(const char* cert_file, const char* key_file, bool chain, int method);
  // Gives the handle its TLS connection object from the context unless it has one. False with
  // the error recorded (0x0010 or 0x0011).
  bool AttachSSL(ORVEX_SOCKET* sock);
  // Shared body of the two handshakes.
  bool SwitchToSSL(ORVEX_SOCKET* sock, bool server);
  // poll-based wait behind every Select* operation.
  int Wait(ORVEX_SOCKET_SET* rd, ORVEX_SOCKET_SET* wr, struct timeval* tv);
};

#endif  // VELMOR_SOCKETS3_H_
