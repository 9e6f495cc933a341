#include "run_guard.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include "hash.h"

namespace {

std::string FullPath(ConfinedDir* dir, const std::string& rel) {
  std::string base = dir->base();
  if (rel.empty()) return base;
  if (!base.empty() && base.back() != '/') base += '/';
  return base + rel;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[2048];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof(buf), fmt, args);
  va_end(args);
  return buf;
}

// A layer failure as a message that names the installation.
std::string LayerError(ConfinedDir* dir, const DirStatus& s) {
  return s.message() + " (in " + dir->base() + ")";
}

// Writable by a user other than root: another owner, or write permission for group or others.
bool WritableByOthers(const struct stat& st) {
  return st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace

bool PrepareStagingDir(ConfinedDir* dir, const std::string& rel, std::string* error) {
  const std::string parent = ConfinedParent(rel);
  if (!parent.empty()) {
    DirStatus s = dir->MakeDirs(parent, 0755);
    if (!s.ok()) {
      *error = "Cannot create the staging directory: " + LayerError(dir, s);
      return false;
    }
  }
  DirStatus s = dir->MakeDir(rel, 0700);
  if (!s.ok() && s.code() != EEXIST) {
    *error = "Cannot create the staging directory: " + LayerError(dir, s);
    return false;
  }
  const std::string full = FullPath(dir, rel);
  struct stat st;
  s = dir->Stat(rel, &st);
  if (!s.ok()) {
    *error = "Cannot check the staging directory: " + LayerError(dir, s);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    std::string target;
    dir->ReadLink(rel, &target);
    *error = Format(
        "The staging directory %s is a symbolic link (to %s); remove it and run the update "
        "again",
        full.c_str(), target.c_str());
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = Format("The staging directory %s is not a directory; remove it and run again",
                    full.c_str());
    return false;
  }
  if (st.st_uid != geteuid()) {
    *error = Format(
        "The staging directory %s belongs to another user (uid %lu); remove it and run the "
        "update again",
        full.c_str(), static_cast<unsigned long>(st.st_uid));
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *error = Format(
        "The staging directory %s is writable by group or others (mode %04o); remove it and "
        "run the update again",
        full.c_str(), static_cast<unsigned>(st.st_mode & 07777));
    return false;
  }
  if ((st.st_mode & 07777) != 0700) {
    s = dir->ChangeMode(rel, 0700);
    if (!s.ok()) {
      *error = "Cannot make the staging directory private: " + LayerError(dir, s);
      return false;
    }
  }
  return true;
}

bool CheckRootOnlyDirs(ConfinedDir* dir, const std::string& rel, bool allowShared,
                       std::string* error) {
  if (allowShared || geteuid() != 0) return true;
  const std::string normal = NormalConfinedPath(rel);
  std::string prefix;
  size_t pos = 0;
  for (;;) {
    struct stat st;
    DirStatus s = dir->Stat(prefix, &st);
    if (!s.ok()) {
      if (s.code() == ENOENT) return true;  // made later, by root
      *error = "Cannot check " + FullPath(dir, prefix) + ": " + LayerError(dir, s);
      return false;
    }
    if (S_ISDIR(st.st_mode) && WritableByOthers(st)) {
      *error = Format(
          "Refusing to update as root: %s can be written by users other than root (owner uid "
          "%lu, mode %04o), who could redirect what root writes there. Make it writable by root "
          "alone, or run with --allow-shared-dir if it is shared on purpose",
          FullPath(dir, prefix).c_str(), static_cast<unsigned long>(st.st_uid),
          static_cast<unsigned>(st.st_mode & 07777));
      return false;
    }
    if (pos >= normal.size()) return true;
    size_t slash = normal.find('/', pos);
    if (slash == std::string::npos) slash = normal.size();
    prefix = normal.substr(0, slash);
    pos = slash + 1;
  }
}

bool IsReusablePack(ConfinedDir* dir, const std::string& rel, const char* digestName,
                    const char* expected) {
  if (!expected || !*expected) return false;
  std::unique_ptr<DirFile> file;
  if (!dir->OpenRead(rel, &file).ok()) return false;
  struct stat st;
  if (!file->Stat(&st).ok() || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) return false;
  HashContext* ctx = hash_init(digestName);
  if (!ctx) return false;
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = file->Read(buf, sizeof(buf));
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    hash_update(ctx, buf, static_cast<size_t>(n));
  }
  uint8_t sum[64] = {};
  const size_t size = static_cast<size_t>(ctx->digest_size);
  hash_finish(ctx, sum, sizeof(sum));
  char hex[129];
  bin_to_hex(sum, size, hex);
  return ok && strcasecmp(hex, expected) == 0;
}

bool RunLock::Acquire(ConfinedDir* dir, const std::string& rel, std::string* error) {
  Release();
  // The holder removes the file when it is done: a lock taken on a file that is no longer the
  // one at rel is worth nothing, and the next attempt opens the new one.
  for (int attempt = 0; attempt < 100; attempt++) {
    std::unique_ptr<DirFile> file;
    DirStatus s = dir->OpenOrCreate(rel, 0600, &file);
    if (!s.ok()) {
      *error = "Cannot open the lock file: " + LayerError(dir, s);
      return false;
    }
    struct stat st;
    s = file->Stat(&st);
    if (!s.ok()) {
      *error = "Cannot check the lock file: " + LayerError(dir, s);
      return false;
    }
    if (st.st_uid != geteuid()) {
      *error = Format("The lock file %s belongs to another user (uid %lu); remove it and run again",
                      FullPath(dir, rel).c_str(), static_cast<unsigned long>(st.st_uid));
      return false;
    }
    int rc;
    do {
      rc = flock(file->fd(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      if (errno != EWOULDBLOCK) {
        *error = Format("Cannot lock %s: %s", FullPath(dir, rel).c_str(), strerror(errno));
        return false;
      }
      char text[32] = {};
      ssize_t n = file->Read(text, sizeof(text) - 1);
      long pid = n > 0 ? strtol(text, nullptr, 10) : 0;
      std::string holder = pid > 0 ? Format("pid %ld", pid) : std::string("pid unknown");
      *error = Format(
          "another update is running (%s) in %s; wait for it to finish, then run the update "
          "again",
          holder.c_str(), dir->base().c_str());
      return false;
    }
    struct stat now;
    if (!dir->Stat(rel, &now).ok() || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
      continue;  // removed by the holder before it let go
    }
    char text[32];
    int len = snprintf(text, sizeof(text), "%ld\n", static_cast<long>(getpid()));
    s = file->Truncate(0);
    if (s.ok() && lseek(file->fd(), 0, SEEK_SET) != 0) s = DirStatus::Error(errno, "write", rel);
    if (s.ok()) s = file->Write(text, static_cast<size_t>(len));
    if (!s.ok()) {
      *error = "Cannot write the lock file: " + LayerError(dir, s);
      return false;
    }
    file_ = std::move(file);
    dir_ = dir;
    rel_ = rel;
    return true;
  }
  *error = Format("Cannot lock %s: it keeps being replaced", FullPath(dir, rel).c_str());
  return false;
}

void RunLock::Release() {
  if (!file_) return;
  // Removed while still held, so that no other run can take a lock on the name in between.
  dir_->Unlink(rel_);
  file_->Close();
  file_.reset();
}
