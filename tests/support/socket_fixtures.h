// Loopback connections made through the socket layer for its tests: a listening handle on an
// ephemeral port, a connected client/server pair, and descriptor bookkeeping. Not thread-safe.
#ifndef TESTS_SUPPORT_SOCKET_FIXTURES_H_
#define TESTS_SUPPORT_SOCKET_FIXTURES_H_

#include <string>

#include "sockets3.h"

namespace testutil {

// A listening stream handle bound to the loopback address of family (AF_INET: 127.0.0.1,
// AF_INET6: ::1) on an ephemeral port, which goes to *port. Null on failure.
ORVEX_SOCKET* ListenLoopback(Orvex_Sockets3* s, int family, int* port, int backlog = 64);

// A connected pair of stream handles of the same object over loopback (the listener is closed
// again). False on failure, with nothing left open.
bool ConnectedPair(Orvex_Sockets3* s, int family, ORVEX_SOCKET** client, ORVEX_SOCKET** server);

// Waits until at least n bytes can be peeked from descriptor fd; false after timeout_ms.
bool WaitForBytes(int fd, size_t n, int timeout_ms);

// Number of descriptors this process has open.
int CountOpenFds();

// True when descriptor fd is open.
bool FdIsOpen(int fd);

// The local port of descriptor fd, or -1.
int LocalPort(int fd);

}  // namespace testutil

#endif  // TESTS_SUPPORT_SOCKET_FIXTURES_H_
