// The rules that turn the parsed records, the group states and the installation into a plan,
// and the operations that change the states.
#include <string.h>
#include <strings.h>

#include <map>

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

// Files whose URLs end alike would share a download path: the same URL shares its pack, another
// URL gets a path of its own. A name ending like an unpacked copy is not used either, or
// unpacking another pack beside it would overwrite it.
void Updater::planInstalls(Plan* p) {
  const std::string tmpDir = baseDir_ + engine::kStagingDir;
  std::map<std::string, size_t> byPath;  // download path -> first install using it
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (!isToInstall(f)) continue;
    PlanInstall item;
    item.file = f;
    const std::string base = tmpDir + "/" + file_part(f->url.c_str());
    auto taken = [&](const std::string& path) {
      if (engine::endsWith(path, engine::kUnpackSuffix) || path == tmpDir + "/" + kRunLockName) {
        return true;
      }
      auto it = byPath.find(path);
      return it != byPath.end() && p->installs[it->second].file->url != f->url;
    };
    item.downloadPath = base;
    for (int n = 2; taken(item.downloadPath); n++)
      item.downloadPath = base + "~" + std::to_string(n);
    auto shared = byPath.find(item.downloadPath);
    if (shared != byPath.end()) {
      item.sharesPackOf = static_cast<int>(shared->second);
    } else {
      byPath[item.downloadPath] = p->installs.size();
      ConfinedDir* dir = installation();
      item.packPresent = dir && IsReusablePack(dir, relativeToBase(item.downloadPath), digestName(),
                                               f->packChecksum);
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
