#include "site_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char kSiteLockName[] = ".publish.lock";

namespace {

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsLeftoverName(const std::string& name) {
  if (name == "." || name == "..") return false;
  return EndsWith(name, ".tmp") || name.find(".tmp-") != std::string::npos;
}

}  // namespace

SiteLock::~SiteLock() {
  if (fd_ >= 0) close(fd_);
}

bool SiteLock::Acquire(const std::string& site, std::string* error) {
  const std::string path = site + "/" + kSiteLockName;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open the site lock " + path + ": " + strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) {
      *error = "another publish into " + site + " is running (it holds " + path +
               "); wait for it to finish and publish again";
    } else {
      *error = "cannot lock the site " + site + " (" + path + "): " + strerror(err);
    }
    return false;
  }
  fd_ = fd;
  return true;
}

bool SyncPath(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    *error = "cannot flush " + path + " to disk: " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  close(fd);
  return true;
}

bool WriteDurably(const std::string& path, const std::string& text, std::string* error) {
  const std::string tmp = path + ".tmp-" + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + tmp + ": " + strerror(errno);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    *error = "cannot write " + tmp + ": " + strerror(errno ? errno : EIO);
    unlink(tmp.c_str());
    return false;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + tmp + " to " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return SyncPath(ParentOf(path), error);
}

int RemoveLeftoverTemps(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  int removed = 0;
  while (struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (!IsLeftoverName(name)) continue;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(path.c_str()) == 0) {
      removed++;
    }
  }
  closedir(d);
  return removed;
}
