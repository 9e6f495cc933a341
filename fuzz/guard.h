// Guards for fuzz targets that drive the engine and the download client: the process may
// connect only to loopback addresses and resolve only loopback names, and may open for writing,
// create, rename or remove only paths inside an allowed directory. Anything else traps, so a
// fuzzed document or reply can never reach the network or a file outside the scratch area.
// Include from exactly one source file of a target.
#ifndef FUZZ_GUARD_H_
#define FUZZ_GUARD_H_

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace fuzzguard {

// Directory under which writes are allowed; empty: no file checks. Never destroyed, so that
// removals made by exit handlers are still checked.
inline std::string& AllowedDir() {
  static std::string* dir = new std::string;
  return *dir;
}

inline bool Under(const std::string& p, const char* dir) {
  size_t n = strlen(dir);
  return n > 0 && p.compare(0, n, dir) == 0 && (p.size() == n || p[n] == '/');
}

inline bool Inside(const char* path) {
  const std::string& dir = AllowedDir();
  if (dir.empty() || path == nullptr) return true;
  std::string p = path;
  if (p.empty()) return true;
  if (p[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof(cwd))) return false;
    p = std::string(cwd) + "/" + p;
  }
  // Lexical check: no ".." component may climb out.
  if (p.find("/../") != std::string::npos ||
      (p.size() >= 3 && p.compare(p.size() - 3, 3, "/..") == 0)) {
    return false;
  }
  // The fuzzer's own crash reports go to the directory the fuzz command names.
  const char* artifacts = getenv("VELMOR_FUZZ_ARTIFACTS");
  return Under(p, dir.c_str()) || (artifacts && Under(p, artifacts));
}

inline void CheckWrite(const char* what, const char* path) {
  if (!Inside(path)) {
    fprintf(stderr, "fuzz guard: %s outside the scratch directory: %s\n", what, path);
    __builtin_trap();
  }
}

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace fuzzguard

extern "C" {

int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  bool loopback = false;
  if (addr && addr->sa_family == AF_INET) {
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(addr);
    loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  } else if (addr && addr->sa_family == AF_INET6) {
    const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    loopback = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
  } else if (addr && addr->sa_family == AF_UNIX) {
    loopback = true;
  }
  if (!loopback) {
    errno = ECONNREFUSED;
    return -1;
  }
  static auto real = fuzzguard::Real<int (*)(int, const struct sockaddr*, socklen_t)>("connect");
  return real(fd, addr, len);
}

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** res) {
  if (node && strcmp(node, "localhost") != 0 && strncmp(node, "127.", 4) != 0 &&
      strcmp(node, "::1") != 0) {
    return EAI_NONAME;  // no name service traffic from fuzzed input
  }
  static auto real =
      fuzzguard::Real<int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**)>(
          "getaddrinfo");
  return real(node, service, hints, res);
}

// The C library's headers redirect fopen and open to their 64-bit names here, so both names
// are defined explicitly.
FILE* guard_fopen(const char* path, const char* mode) __asm__("fopen");
FILE* guard_fopen64(const char* path, const char* mode) __asm__("fopen64");
int guard_open(const char* path, int flags, ...) __asm__("open");
int guard_open64(const char* path, int flags, ...) __asm__("open64");

static FILE* guard_fopen_common(const char* real_name, const char* path, const char* mode) {
  if (mode && (strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+'))) {
    fuzzguard::CheckWrite("fopen", path);
  }
  auto real = fuzzguard::Real<FILE* (*)(const char*, const char*)>(real_name);
  return real(path, mode);
}

FILE* guard_fopen(const char* path, const char* mode) {
  return guard_fopen_common("fopen", path, mode);
}

FILE* guard_fopen64(const char* path, const char* mode) {
  return guard_fopen_common("fopen64", path, mode);
}

static int guard_open_common(const char* real_name, const char* path, int flags, mode_t mode) {
  if (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) fuzzguard::CheckWrite("open", path);
  auto real = fuzzguard::Real<int (*)(const char*, int, ...)>(real_name);
  return real(path, flags, mode);
}

int guard_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  return guard_open_common("open", path, flags, mode);
}

int guard_open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  return guard_open_common("open64", path, flags, mode);
}

int rename(const char* from, const char* to) {
  fuzzguard::CheckWrite("rename from", from);
  fuzzguard::CheckWrite("rename to", to);
  static auto real = fuzzguard::Real<int (*)(const char*, const char*)>("rename");
  return real(from, to);
}

int remove(const char* path) {
  fuzzguard::CheckWrite("remove", path);
  static auto real = fuzzguard::Real<int (*)(const char*)>("remove");
  return real(path);
}

int unlink(const char* path) {
  fuzzguard::CheckWrite("unlink", path);
  static auto real = fuzzguard::Real<int (*)(const char*)>("unlink");
  return real(path);
}

int mkdir(const char* path, mode_t mode) {
  fuzzguard::CheckWrite("mkdir", path);
  static auto real = fuzzguard::Real<int (*)(const char*, mode_t)>("mkdir");
  return real(path, mode);
}

int chmod(const char* path, mode_t mode) {
  fuzzguard::CheckWrite("chmod", path);
  static auto real = fuzzguard::Real<int (*)(const char*, mode_t)>("chmod");
  return real(path, mode);
}

}  // extern "C"

#endif  // FUZZ_GUARD_H_
