// The rules that turn the parsed records, the group states and the installation into a plan,
// and the operations that change the states.
#include <string.h>
#include <strings.h>

#include <functional>
#include <string>
#include <vector>

#include "GenLib.h"
#include "engine_internal.h"
#include "hash.h"
#include "libupdater.h"
#include "run_guard.h"

const char* Updater::digestName() const { return infoVersion_ <= 1 ? "md5" : "sha256"; }

// Installed and kept current: no groups, or a group at state 1.
bool Updater::isSelected(const UpdateFile* f) const {
  if (f->groups.empty()) return true;
  for (const UpdateGroup* g : f->groups) {
    if (g->state == UPDATE_GROUP_INSTALL) return true;
  }
  return false;
}

bool Updater::isToInstall(const UpdateFile* f) const { return f->needsUpdate && isSelected(f); }

bool Updater::isModeChange(const UpdateFile* f) const {
  return !f->needsUpdate && f->modesDiffer && isSelected(f);
}

// All groups (at least one) at state 2, and something stands at the file's path.
bool Updater::isToRemove(const UpdateFile* f) const {
  if (f->groups.empty()) return false;
  for (const UpdateGroup* g : f->groups) {
    if (g->state != UPDATE_GROUP_REMOVE) return false;
  }
  return installedEntryExists(f->name);
}

void Updater::recountPending() {
  pendingCount_ = 0;
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (isToInstall(f) || isToRemove(f)) pendingCount_++;
  }
}

void Updater::setGroupState(UpdateGroup* group, int32_t state) {
  AutoMutex hold(lock_);
  if (group) group->state = state;
  recountPending();
}

bool Updater::needsUpdate() {
  AutoMutex hold(lock_);
  if (pendingCount_ > 0 || !outdated_.empty()) return true;
  for (const UpdateFile* f = filesHead_; f; f = f->next) {
    if (isModeChange(f)) return true;
  }
  return false;
}

Plan Updater::plan() {
  AutoMutex hold(lock_);
  Plan p;
  planInstalls(&p);
  planPatches(&p);
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (isModeChange(f)) {
      p.modeChanges.push_back({f, f->installedModes, f->modes & kModesMask});
    } else if (isToRemove(f)) {
      p.removals.push_back(f);
    }
  }
  p.obsolete = outdated_;
  p.rollbackAvailable = rollbackAvailable();
  return p;
}

namespace {

// The installs that own a download path, found by the path: an open-addressing table of
// indices into Plan::installs, hashed by the path text (no copy of the paths).
class PathIndex {
 public:
  PathIndex(const std::vector<PlanInstall>* installs, size_t count) : installs_(installs) {
    size_t size = 16;
    while (size < 2 * count) size *= 2;
    slots_.assign(size, uint32_t{kEmpty});
  }
  // Index of the install that owns path, or -1.
  int find(const std::string& path) const {
    for (size_t i = start(path);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == kEmpty) return -1;
      if ((*installs_)[slots_[i]].downloadPath == path) return static_cast<int>(slots_[i]);
    }
  }
  // Records that install index owns path (which no install owns yet).
  void add(const std::string& path, size_t index) {
    size_t i = start(path);
    while (slots_[i] != kEmpty) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = static_cast<uint32_t>(index);
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  size_t start(const std::string& path) const {
    return std::hash<std::string>()(path) & (slots_.size() - 1);
  }
  const std::vector<PlanInstall>* installs_;
  std::vector<uint32_t> slots_;
};

}  // namespace

// Files whose URLs end alike would share a download path: the same URL shares its pack, another
// URL gets a path of its own. A name ending like an unpacked copy is not used either, or
// unpacking another pack beside it would overwrite it.
void Updater::planInstalls(Plan* p) {
  const std::string tmpDir = baseDir_ + engine::kStagingDir;
  const std::string lockPath = tmpDir + "/" + kRunLockName;
  size_t count = 0;
  for (const UpdateFile* f = filesHead_; f; f = f->next) {
    if (isToInstall(f)) count++;
  }
  p->installs.reserve(count);
  PathIndex byPath(&p->installs, count);
  std::string base, path;
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (!isToInstall(f)) continue;
    PlanInstall item;
    item.file = f;
    base.assign(tmpDir).append("/").append(file_part(f->url.c_str()));
    path = base;
    int owner;
    for (int n = 2;; n++) {
      owner = byPath.find(path);
      const bool taken = engine::endsWith(path, engine::kUnpackSuffix) || path == lockPath ||
                         (owner >= 0 && p->installs[owner].file->url != f->url);
      if (!taken) break;
      path = base + "~" + std::to_string(n);
    }
    if (owner >= 0) {
      item.sharesPackOf = owner;
      item.downloadPath = p->installs[owner].downloadPath;
    } else {
      item.downloadPath = p->texts->add(path);
      byPath.add(path, p->installs.size());
      ConfinedDir* dir = installation();
      item.packPresent =
          dir && IsReusablePack(dir, relativeToBase(path), digestName(), f->packChecksum.text());
      if (item.packPresent) {
        p->alreadyDownloaded++;
      } else {
        p->downloads++;
        p->downloadBytes += f->packSize > 0 ? f->packSize : f->size;
      }
    }
    p->installs.push_back(item);
  }
}
