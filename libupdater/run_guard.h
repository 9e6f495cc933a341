// What keeps one run of the engine to its own installation: the private staging directory, the
// run lock, the check that a run as root writes only into directories root alone can write, and
// the test a leftover pack must pass before it is reused. Everything goes through the
// installation-directory layer (confined_dir.h), so no link planted in the installation is
// followed. Messages name the full path (the layer's base followed by the entry).
//
// Thread rules: the functions keep no state; a RunLock belongs to one run and is used from one
// thread at a time.
#ifndef LIBUPDATER_RUN_GUARD_H_
#define LIBUPDATER_RUN_GUARD_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "confined_dir.h"

// Creates the staging directory rel (its parents 0755, itself 0700, owned by the effective
// user) or checks the one that is there: refused when it is a symbolic link, not a directory,
// another user's, or writable by group or others; one of ours with other modes is made 0700.
// True when it is private afterwards; false with the message in *error.
bool PrepareStagingDir(ConfinedDir* dir, const std::string& rel, std::string* error);

// When the effective user is root: checks the base directory and every existing directory on
// the way to rel ("" for the base alone) and rel itself, refusing any that a user other than
// root can write (owned by another user, or writable by group or others, as sshd's StrictModes
// asks of a user's files). True when none is, when not root, or when allowShared is set; false
// with a message naming the directory and the way out in *error.
bool CheckRootOnlyDirs(ConfinedDir* dir, const std::string& rel, bool allowShared,
                       std::string* error);

// Whether the leftover pack at rel may be used instead of a download: a regular file (not a
// link) owned by the effective user whose digest (digestName, "sha256" or "md5") is expected,
// compared without regard to case. An empty expected digest never matches.
bool IsReusablePack(ConfinedDir* dir, const std::string& rel, const char* digestName,
                    const char* expected);

// Name of the run lock file in the staging directory; no pack is stored under it.
const char kRunLockName[] = "updater.lock";

// The lock of one installation: flock on a lock file that records the holder's pid. Released
// when the object goes (or by Release), which also removes the file; the kernel drops the lock
// when the process ends, and the file left behind then is taken over by the next run.
class RunLock {
 public:
  RunLock() = default;
  ~RunLock() { Release(); }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock through the file rel (created 0600 when missing; refused when it is a link
  // or another user's). True when held; false at once, without waiting, when another process
  // holds it ("another update is running (pid N) in BASE; ...") or on a failure, the message in
  // *error.
  bool Acquire(ConfinedDir* dir, const std::string& rel, std::string* error);
  void Release();
  bool held() const { return file_ != nullptr; }

 private:
  std::unique_ptr<DirFile> file_;
  ConfinedDir* dir_ = nullptr;
  std::string rel_;
};

#endif  // LIBUPDATER_RUN_GUARD_H_
