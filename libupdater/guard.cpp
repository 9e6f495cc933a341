// The engine's side of keeping a run inside its installation: the directory layer it works
// through, the run lock, and the checks made before the plan touches anything.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "GenLib.h"
#include "confined_dir.h"
#include "engine_internal.h"
#include "libupdater.h"
#include "run_guard.h"

ConfinedDir* Updater::installation() const {
  if (customDir_) return customDir_;
  if (!ownDir_) {
    std::unique_ptr<ConfinedDir> dir;
    if (!OpenConfinedDir(baseDir_.empty() ? "." : baseDir_, &dir).ok()) return nullptr;
    ownDir_ = std::move(dir);
  }
  return ownDir_.get();
}

std::string Updater::relativeToBase(const std::string& path) const {
  if (!baseDir_.empty() && path.compare(0, baseDir_.size(), baseDir_) == 0) {
    return path.substr(baseDir_.size());
  }
  return path;
}

void Updater::setDirectoryLayer(ConfinedDir* layer) {
  AutoMutex hold(lock_);
  endRun();
  customDir_ = layer;
}

void Updater::setAllowSharedDir(bool allow) {
  AutoMutex hold(lock_);
  allowSharedDir_ = allow;
}

bool Updater::beginRun() {
  AutoMutex hold(lock_);
  if (runLock_ && runLock_->held()) return true;
  if (!customDir_ && !installation()) {
    const std::string base = baseDir_.empty() ? "." : baseDir_;
    if (!make_directories(base.c_str(), 0755)) {
      return setError("Cannot create the base directory %s (%s)", base.c_str(), strerror(errno));
    }
  }
  ConfinedDir* dir = installation();
  if (!dir) {
    return setError("Cannot open the base directory %s (%s)", baseDir_.c_str(), strerror(errno));
  }
  struct stat base;
  if (dir->Stat("", &base).ok() && base.st_nlink == 0) {
    // A removed directory (the working directory of a run started in it, say) takes no new
    // entry, so there is nothing to lock; each step that would write there reports it.
    return true;
  }
  std::string error;
  // The base is checked before anything is made in it, the staging directory once it is there.
  if (!CheckRootOnlyDirs(dir, "", allowSharedDir_, &error) ||
      !PrepareStagingDir(dir, engine::kStagingDir, &error) ||
      !CheckRootOnlyDirs(dir, engine::kStagingDir, allowSharedDir_, &error)) {
    return setError("%s", error.c_str());
  }
  std::unique_ptr<RunLock> lock(new RunLock);
  if (!lock->Acquire(dir, std::string(engine::kStagingDir) + "/" + kRunLockName, &error)) {
    return setError("%s", error.c_str());
  }
  runLock_ = std::move(lock);
  return true;
}

void Updater::endRun() {
  AutoMutex hold(lock_);
  runLock_.reset();
}

bool Updater::installedEntryExists(const std::string& name) const {
  ConfinedDir* dir = installation();
  if (!dir) return false;
  struct stat st;
  DirStatus s = dir->Stat(name, &st);
  return s.ok() || !s.link().empty();
}

bool Updater::checkPlanTargets(const Plan& p) {
  ConfinedDir* dir = installation();
  if (!dir) return true;       // nothing installed yet: every directory is made by this run
  std::set<std::string> dirs;  // parent directories written into, checked once each
  auto check = [&](const std::string& name) {
    struct stat st;
    DirStatus s = dir->Stat(name, &st);
    if (!s.link().empty()) {
      return setError("Refusing to change %s: %s", name.c_str(), s.message().c_str());
    }
    dirs.insert(ConfinedParent(name));
    return true;
  };
  for (const PlanInstall& item : p.installs) {
    if (!check(item.file->name)) return false;
  }
  for (const PlanModeChange& change : p.modeChanges) {
    if (!check(change.file->name)) return false;
  }
  for (const UpdateFile* f : p.removals) {
    if (!check(f->name)) return false;
  }
  for (const std::string& name : p.obsolete) {
    if (!check(name)) return false;
  }
  std::string error;
  for (const std::string& d : dirs) {
    if (!CheckRootOnlyDirs(dir, d, allowSharedDir_, &error)) return setError("%s", error.c_str());
  }
  return true;
}

bool Updater::discardLeftover(const std::string& path) {
  ConfinedDir* dir = installation();
  if (!dir) return true;
  // What cannot be removed (a directory, say) makes the open that follows fail and say so.
  dir->Unlink(relativeToBase(path));
  return true;
}

FILE* Updater::openStagingAppend(const std::string& path, uint64_t* held) {
  *held = 0;
  ConfinedDir* dir = installation();
  const std::string rel = relativeToBase(path);
  int fd = -1;
  if (!dir || rel == path) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } else {
    std::unique_ptr<DirFile> file;
    struct stat st;
    if (dir->OpenOrCreate(rel, 0600, &file).ok() && file->Stat(&st).ok() &&
        st.st_uid == geteuid()) {
      fd = dup(file->fd());
    }
  }
  FILE* fp = fd >= 0 ? fdopen(fd, "r+b") : nullptr;
  if (!fp && fd >= 0) close(fd);
  off_t end = fp && fseeko(fp, 0, SEEK_END) == 0 ? ftello(fp) : -1;
  if (end < 0) {
    // Not one of ours (a link, another user's file) or not usable: start anew.
    if (fp) fclose(fp);
    return openStagingStream(path, true);
  }
  *held = static_cast<uint64_t>(end);
  return fp;
}

FILE* Updater::openStagingStream(const std::string& path, bool write) {
  ConfinedDir* dir = installation();
  const std::string rel = relativeToBase(path);
  if (!dir || rel == path) return fopen(path.c_str(), write ? "wb" : "rb");
  std::unique_ptr<DirFile> file;
  DirStatus s;
  if (write) {
    discardLeftover(path);
    s = dir->Create(rel, 0600, &file);
  } else {
    s = dir->OpenRead(rel, &file);
  }
  if (!s.ok()) {
    errno = s.code();
    return nullptr;
  }
  int fd = dup(file->fd());
  FILE* fp = fd >= 0 ? fdopen(fd, write ? "wb" : "rb") : nullptr;
  if (!fp && fd >= 0) close(fd);
  return fp;
}
