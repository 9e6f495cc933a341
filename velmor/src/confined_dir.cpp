#include "confined_dir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

// ---- DirStatus ----

DirStatus DirStatus::Error(int code, const std::string& what, const std::string& entry) {
  DirStatus s;
  s.code_ = code ? code : EIO;
  s.what_ = what;
  s.entry_ = entry;
  return s;
}

DirStatus DirStatus::Link(const std::string& what, const std::string& entry,
                          const std::string& link, const std::string& target) {
  DirStatus s = Error(ELOOP, what, entry);
  s.link_ = link;
  s.linkTarget_ = target;
  return s;
}

std::string DirStatus::message() const {
  if (ok()) return "OK";
  std::string text = "cannot " + what_ + " \"" + entry_ + "\": ";
  if (!link_.empty()) {
    text += link_ == entry_ ? std::string("it") : "\"" + link_ + "\"";
    text += " is a symbolic link (to \"" + linkTarget_ +
            "\"); links inside the installation are never followed";
    return text;
  }
  if (code_ == EINVAL && !IsConfinedPath(entry_)) {
    return text + "not a relative path inside the base directory";
  }
  return text + strerror(code_);
}

// ---- Paths ----

namespace {

// Splits a path into its components, dropping empty and "." ones. False for a path the layer
// refuses (see IsConfinedPath); an empty path gives no components.
bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
  parts->clear();
  if (!path.empty() && path[0] == '/') return false;
  if (path.find('\0') != std::string::npos) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(part);
    start = end + 1;
  }
  return true;
}

// A descriptor closed when the holder goes; borrowed ones (the base) are left open.
class Fd {
 public:
  Fd() = default;
  Fd(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_), owned_(other.owned_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      owned_ = other.owned_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  void Reset() {
    if (fd_ >= 0 && owned_) close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  bool owned_ = false;
};

std::string ReadLinkAt(int dirfd, const std::string& name) {
  char buf[4096];
  ssize_t n = readlinkat(dirfd, name.c_str(), buf, sizeof(buf) - 1);
  return n < 0 ? std::string("?") : std::string(buf, static_cast<size_t>(n));
}

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
  std::string joined;
  for (size_t i = 0; i < count; i++) {
    if (i) joined += '/';
    joined += parts[i];
  }
  return joined;
}

// Kernels and sandboxes without openat2 answer these; the component walk is used from then on.
std::atomic<bool> gOpenat2Missing{false};
std::atomic<bool> gWalkOnly{false};

// openat2 beneath dirfd without any link; -1 with errno when it fails or is missing.
int OpenBeneath(int dirfd, const std::string& path) {
#ifdef SYS_openat2
  if (gOpenat2Missing.load(std::memory_order_relaxed) ||
      gWalkOnly.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  struct open_how how;
  memset(&how, 0, sizeof(how));
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof(how));
  if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
    gOpenat2Missing.store(true, std::memory_order_relaxed);
  }
  return static_cast<int>(fd);
#else
  (void)dirfd;
  (void)path;
  errno = ENOSYS;
  return -1;
#endif
}

// One open file of the POSIX layer.
class PosixFile : public DirFile {
 public:
  PosixFile(int fd, const std::string& path) : fd_(fd), path_(path) {}
  ~PosixFile() override { Close(); }

  const std::string& path() const override { return path_; }
  ssize_t Read(void* buffer, size_t length) override {
    ssize_t n;
    do {
      n = read(fd_, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  DirStatus Write(const void* data, size_t length) override {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
      ssize_t n = write(fd_, p, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return DirStatus::Error(n < 0 ? errno : ENOSPC, "write", path_);
      p += n;
      length -= static_cast<size_t>(n);
    }
    return DirStatus();
  }
  DirStatus Chmod(mode_t mode) override {
    if (fchmod(fd_, mode) != 0) return DirStatus::Error(errno, "change the modes of", path_);
    return DirStatus();
  }
  DirStatus Sync() override {
    if (fsync(fd_) != 0) return DirStatus::Error(errno, "sync", path_);
    return DirStatus();
  }
  DirStatus Stat(struct stat* st) override {
    if (fstat(fd_, st) != 0) return DirStatus::Error(errno, "stat", path_);
    return DirStatus();
  }
  DirStatus Truncate(int64_t length) override {
    if (ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      return DirStatus::Error(errno, "truncate", path_);
    }
    return DirStatus();
  }
  DirStatus Close() override {
    if (fd_ < 0) return DirStatus();
    int rc = close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) return DirStatus::Error(errno, "close", path_);
    return DirStatus();
  }
  int fd() const override { return fd_; }

 private:
  int fd_;
  std::string path_;
};

class PosixDir : public ConfinedDir {
 public:
  PosixDir(int fd, const std::string& base) : fd_(fd), base_(base) {}
  ~PosixDir() override { close(fd_); }

  const std::string& base() const override { return base_; }

  DirStatus Stat(const std::string& path, struct stat* st) override {
    if (path.empty()) {
      if (fstat(fd_, st) != 0) return DirStatus::Error(errno, "stat", path);
      return DirStatus();
    }
    Fd parent;
    std::string name;
    DirStatus s = Parent(path, "stat", &parent, &name);
    if (!s.ok()) return s;
    if (fstatat(parent.get(), name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
      return DirStatus::Error(errno, "stat", path);
    }
    return DirStatus();
  }

  DirStatus OpenRead(const std::string& path, std::unique_ptr<DirFile>* file) override {
    return OpenFile(path, O_RDONLY | O_NONBLOCK, 0, "open", true, file);
  }

  DirStatus Create(const std::string& path, mode_t mode, std::unique_ptr<DirFile>* file) override {
    return OpenFile(path, O_WRONLY | O_CREAT | O_EXCL, mode, "create", false, file);
  }

  DirStatus OpenOrCreate(const std::string& path, mode_t mode,
                         std::unique_ptr<DirFile>* file) override {
    return OpenFile(path, O_RDWR | O_CREAT | O_NONBLOCK, mode, "open", true, file);
  }

  DirStatus Rename(const std::string& from, const std::string& to) override {
    Fd fromParent, toParent;
    std::string fromName, toName;
    DirStatus s = Parent(from, "rename", &fromParent, &fromName);
    if (s.ok()) s = Parent(to, "rename", &toParent, &toName);
    if (!s.ok()) return s;
    if (renameat(fromParent.get(), fromName.c_str(), toParent.get(), toName.c_str()) != 0) {
      return DirStatus::Error(errno, "rename \"" + from + "\" to", to);
    }
    return DirStatus();
  }

  DirStatus Unlink(const std::string& path) override { return UnlinkAt(path, 0, "remove"); }

  DirStatus RemoveDir(const std::string& path) override {
    return UnlinkAt(path, AT_REMOVEDIR, "remove directory");
  }

  DirStatus MakeDir(const std::string& path, mode_t mode) override {
    Fd parent;
    std::string name;
    DirStatus s = Parent(path, "make directory", &parent, &name);
    if (!s.ok()) return s;
    if (mkdirat(parent.get(), name.c_str(), mode) != 0) {
      return DirStatus::Error(errno, "make directory", path);
    }
    return DirStatus();
  }

  DirStatus ChangeMode(const std::string& path, mode_t mode) override {
    const char* what = "change the modes of";
    Fd parent;
    std::string name;
    DirStatus s = Parent(path, what, &parent, &name);
    if (!s.ok()) return s;
    // A descriptor of the entry itself: O_PATH where reading is not allowed (a file of mode
    // 0200), the modes then set through its /proc name, which names that very file.
    int fd = openat(parent.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    bool pathOnly = false;
    if (fd < 0 && errno == EACCES) {
      fd = openat(parent.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
      pathOnly = true;
    }
    if (fd < 0) return FinalError(errno, what, path, parent.get(), name);
    Fd held(fd, true);
    struct stat st;
    if (fstat(fd, &st) != 0) return DirStatus::Error(errno, what, path);
    if (S_ISLNK(st.st_mode)) return FinalError(ELOOP, what, path, parent.get(), name);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return DirStatus::Error(EINVAL, what, path);
    int rc;
    if (pathOnly) {
      char procName[64];
      snprintf(procName, sizeof(procName), "/proc/self/fd/%d", fd);
      rc = chmod(procName, mode);
    } else {
      rc = fchmod(fd, mode);
    }
    if (rc != 0) return DirStatus::Error(errno, what, path);
    return DirStatus();
  }

  DirStatus SyncDir(const std::string& path) override {
    if (path.empty()) {
      if (fsync(fd_) != 0) return DirStatus::Error(errno, "sync", path);
      return DirStatus();
    }
    Fd parent;
    std::string name;
    DirStatus s = Parent(path, "sync", &parent, &name);
    if (!s.ok()) return s;
    int fd = openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FinalError(errno, "sync", path, parent.get(), name);
    Fd held(fd, true);
    if (fsync(fd) != 0) return DirStatus::Error(errno, "sync", path);
    return DirStatus();
  }

  DirStatus ReadLink(const std::string& path, std::string* target) override {
    Fd parent;
    std::string name;
    DirStatus s = Parent(path, "read the link", &parent, &name);
    if (!s.ok()) return s;
    char buf[4096];
    ssize_t n = readlinkat(parent.get(), name.c_str(), buf, sizeof(buf));
    if (n < 0) return DirStatus::Error(errno, "read the link", path);
    target->assign(buf, static_cast<size_t>(n));
    return DirStatus();
  }

  DirStatus ListDir(const std::string& path, std::vector<std::string>* names) override {
    int fd;
    if (path.empty()) {
      fd = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) return DirStatus::Error(errno, "list", path);
    } else {
      Fd parent;
      std::string name;
      DirStatus s = Parent(path, "list", &parent, &name);
      if (!s.ok()) return s;
      fd = openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return FinalError(errno, "list", path, parent.get(), name);
    }
    DIR* d = fdopendir(fd);
    if (!d) {
      int err = errno;
      close(fd);
      return DirStatus::Error(err, "list", path);
    }
    names->clear();
    errno = 0;
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
    }
    int err = errno;
    closedir(d);
    if (err != 0) return DirStatus::Error(err, "list", path);
    std::sort(names->begin(), names->end());
    return DirStatus();
  }

 private:
  // Opens the directory holding the last component of path and gives that component in *name.
  DirStatus Parent(const std::string& path, const char* what, Fd* parent, std::string* name) {
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts) || parts.empty()) return DirStatus::Error(EINVAL, what, path);
    *name = parts.back();
    const size_t depth = parts.size() - 1;
    if (depth == 0) {
      *parent = Fd(fd_, false);
      return DirStatus();
    }
    int fd = OpenBeneath(fd_, JoinParts(parts, depth));
    if (fd >= 0) {
      *parent = Fd(fd, true);
      return DirStatus();
    }
    // openat2 refuses every link on the way with ELOOP, so its ENOENT means a directory that
    // is simply missing: the walk would only find the same (and it costs two more calls for
    // every file of a fresh installation).
    if (errno == ENOENT) return DirStatus::Error(ENOENT, what, path);
    // No openat2, or it failed otherwise: the walk tells which component is in the way.
    Fd cur(fd_, false);
    for (size_t i = 0; i < depth; i++) {
      int next = openat(cur.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      int err = errno;
      struct stat st;
      if (next >= 0 && fstat(next, &st) == 0 && S_ISDIR(st.st_mode)) {
        cur = Fd(next, true);
        continue;
      }
      if (next >= 0) {
        close(next);
        err = ENOTDIR;
      }
      if (fstatat(cur.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        return DirStatus::Link(what, path, JoinParts(parts, i + 1),
                               ReadLinkAt(cur.get(), parts[i]));
      }
      return DirStatus::Error(err, what, path);
    }
    *parent = std::move(cur);
    return DirStatus();
  }

  // The status of a failed operation on the final component: a link there is named as such.
  DirStatus FinalError(int err, const char* what, const std::string& path, int parent,
                       const std::string& name) {
    struct stat st;
    if ((err == ELOOP || err == ENOTDIR || err == EMLINK) &&
        fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      return DirStatus::Link(what, path, path, ReadLinkAt(parent, name));
    }
    return DirStatus::Error(err, what, path);
  }

  DirStatus OpenFile(const std::string& path, int flags, mode_t mode, const char* what,
                     bool regularOnly, std::unique_ptr<DirFile>* file) {
    Fd parent;
    std::string name;
    DirStatus s = Parent(path, what, &parent, &name);
    if (!s.ok()) return s;
    int fd = openat(parent.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return FinalError(errno, what, path, parent.get(), name);
    Fd held(fd, true);
    if (regularOnly) {
      struct stat st;
      if (fstat(fd, &st) != 0) return DirStatus::Error(errno, what, path);
      if (!S_ISREG(st.st_mode))
        return DirStatus::Error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, what, path);
    }
    // Reads and writes block as usual once the file is known to be regular.
    if (flags & O_NONBLOCK) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file->reset(new PosixFile(held.Release(), path));
    return DirStatus();
  }

  DirStatus UnlinkAt(const std::string& path, int flags, const char* what) {
    Fd parent;
    std::string name;
    DirStatus s = Parent(path, what, &parent, &name);
    if (!s.ok()) return s;
    if (unlinkat(parent.get(), name.c_str(), flags) != 0) {
      return DirStatus::Error(errno, what, path);
    }
    return DirStatus();
  }

  int fd_;
  std::string base_;
};

}  // namespace

bool IsConfinedPath(const std::string& path) {
  std::vector<std::string> parts;
  return SplitPath(path, &parts) && !parts.empty();
}

void ConfinedDirUseWalkOnly(bool walkOnly) { gWalkOnly.store(walkOnly); }

std::string NormalConfinedPath(const std::string& path) {
  std::vector<std::string> parts;
  if (!SplitPath(path, &parts)) return std::string();
  return JoinParts(parts, parts.size());
}

std::string ConfinedParent(const std::string& path) {
  std::vector<std::string> parts;
  if (!SplitPath(path, &parts) || parts.empty()) return std::string();
  return JoinParts(parts, parts.size() - 1);
}

DirStatus OpenConfinedDir(const std::string& base, std::unique_ptr<ConfinedDir>* dir) {
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return DirStatus::Error(errno, "open the directory", base);
  dir->reset(new PosixDir(fd, base));
  return DirStatus();
}

// ---- Helpers over the interface ----

DirStatus ConfinedDir::MakeDirs(const std::string& path, mode_t mode) {
  std::vector<std::string> parts;
  if (!SplitPath(path, &parts)) return DirStatus::Error(EINVAL, "make directory", path);
  for (size_t i = 1; i <= parts.size(); i++) {
    const std::string prefix = JoinParts(parts, i);
    struct stat st;
    DirStatus s = Stat(prefix, &st);
    if (s.ok() && S_ISDIR(st.st_mode)) continue;
    if (s.ok()) {
      std::string target;
      if (S_ISLNK(st.st_mode) && ReadLink(prefix, &target).ok()) {
        return DirStatus::Link("make directory", path, prefix, target);
      }
      return DirStatus::Error(ENOTDIR, "make directory", path);
    }
    if (s.code() != ENOENT) return s;
    s = MakeDir(prefix, mode);
    if (!s.ok() && s.code() != EEXIST) return s;
    if (!s.ok() && (!Stat(prefix, &st).ok() || !S_ISDIR(st.st_mode))) return s;
  }
  return DirStatus();
}

DirStatus ConfinedDir::RemoveTree(const std::string& path) {
  struct stat st;
  DirStatus s = Stat(path, &st);
  if (!s.ok()) return s.code() == ENOENT ? DirStatus() : s;
  if (!S_ISDIR(st.st_mode)) return Unlink(path);
  std::vector<std::string> names;
  s = ListDir(path, &names);
  for (size_t i = 0; s.ok() && i < names.size(); i++) s = RemoveTree(path + "/" + names[i]);
  return s.ok() ? RemoveDir(path) : s;
}

DirStatus ConfinedDir::ReadFile(const std::string& path, size_t limit, std::string* text) {
  std::unique_ptr<DirFile> file;
  DirStatus s = OpenRead(path, &file);
  if (!s.ok()) return s;
  text->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = file->Read(buf, sizeof(buf));
    if (n < 0) return DirStatus::Error(errno, "read", path);
    if (n == 0) break;
    if (text->size() + static_cast<size_t>(n) > limit) {
      return DirStatus::Error(EFBIG, "read", path);
    }
    text->append(buf, static_cast<size_t>(n));
  }
  return DirStatus();
}

DirStatus ConfinedDir::ReplaceFile(const std::string& path, const std::string& text, mode_t mode) {
  std::vector<std::string> parts;
  if (!SplitPath(path, &parts) || parts.empty()) return DirStatus::Error(EINVAL, "write", path);
  const std::string dir = JoinParts(parts, parts.size() - 1);
  const std::string temp = (dir.empty() ? "" : dir + "/") + "." + parts.back() + ".new";
  std::unique_ptr<DirFile> file;
  DirStatus s = Create(temp, mode, &file);
  if (s.code() == EEXIST) {
    // A leftover of a run that stopped here; it is only ever a name of ours.
    Unlink(temp);
    s = Create(temp, mode, &file);
  }
  if (!s.ok()) return s;
  s = file->Write(text.data(), text.size());
  if (s.ok()) s = file->Chmod(mode);
  if (s.ok()) s = file->Sync();
  DirStatus closed = file->Close();
  if (s.ok()) s = closed;
  if (s.ok()) s = Rename(temp, path);
  if (!s.ok()) {
    Unlink(temp);
    return s;
  }
  return SyncDir(dir);
}
