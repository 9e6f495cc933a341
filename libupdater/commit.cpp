// Committing: the only step that changes the installation. Moves verified copies into place,
// sets modes, deletes removed and obsolete files; performUpdate drives plan, stage and commit.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <map>

#include "GenLib.h"
#include "confined_dir.h"
#include "engine_internal.h"
#include "file_check.h"
#include "libupdater.h"
#include "memleak.h"

#define UPD_SRC "libupdater/commit"

using engine::kUnpackBlock;
using engine::TrackedBlock;

bool Updater::performUpdate() {
  AutoMutex hold(lock_);
  if (!beginRun()) return false;
  // Whatever this run installed is recorded for the quick check of the next run, also when it
  // stops early. A state that cannot be written only costs the next run some reading.
  struct SaveStates {
    FileCheck* check;
    ~SaveStates() {
      std::string ignored;
      if (check) check->save(&ignored);
    }
  } saveStates{fileCheck_.get()};
  if (!recordSerial()) return false;
  const Plan p = plan();
  if (!checkPlanTargets(p)) return false;
  if (!iniFile_.empty() && !saveGroupStates()) return false;
  if (!downloadPacks(p)) return false;
  if (!checkPacks(p)) return false;
  if (!installFiles(p)) return false;
  if (!applyModeChanges(p)) return false;
  removeMarkedFiles(p);
  removeObsoleteFiles(p);
  return true;
}

bool Updater::installFiles(const Plan& p) {
  if (p.installs.empty()) return true;
  statusf("%s", "");
  statusf("*** Installing Updated Files ***");
  statusf("%s", "");
  TrackedBlock inBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  TrackedBlock outBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  if (!inBlock.ptr || !outBlock.ptr) return setError("Out of memory for unpacking");
  std::map<std::string, int> packUsers;  // download path -> files still to install from it
  for (const PlanInstall& item : p.installs) packUsers[item.downloadPath]++;
  for (const PlanInstall& item : p.installs) {
    bool keepPack = --packUsers[item.downloadPath] > 0;
    if (!installFile(item, keepPack, inBlock.ptr, outBlock.ptr)) return false;
  }
  return true;
}

// The replacement is unpacked and verified beside the pack; the installed copy is replaced in
// one rename only when it is known good. The pack stays until then, so a run that is cut short
// finds it again.
bool Updater::installFile(const PlanInstall& item, bool keepPack, void* inBlock, void* outBlock) {
  const UpdateFile* f = item.file;
  std::string dest = baseDir_ + f->name;
  const bool self = strcasecmp(f->name.c_str(), programName_.c_str()) == 0;
  if (self) {
    dest += ".upd";
    statusf(
        "Note: the following file will install to %s.upd, Vantorex will automatically rename it "
        "to the proper thing next time it is run, or you can manually rename it if you wish",
        f->name.c_str());
  }
  size_t slash = dest.rfind('/');
  if (slash != std::string::npos && slash > 0) makeDirectories(dest.substr(0, slash).c_str());

  const std::string unpacked = item.downloadPath + engine::kUnpackSuffix;
  if (!f->stagedFromPatch) {
    statusf("Unpacking %s ...", f->name.c_str());
    if (!unpackAndVerify(item, unpacked, inBlock, outBlock)) return false;
  }
  statusf("Installing %s ... ", f->name.c_str());
  struct stat copy;
  ConfinedDir* dir = installation();
  const bool haveCopy = !self && dir && dir->Stat(relativeToBase(unpacked), &copy).ok();
  if (!moveIntoPlace(f, unpacked, dest, self)) return false;
  if (haveCopy) recordInstalled(f, copy);
  if (!keepPack) remove(item.downloadPath.c_str());
  return true;
}

// Records f's installed copy for the quick check when it is the verified copy (same inode),
// not a file left in place because the copy went beside it.
void Updater::recordInstalled(const UpdateFile* f, const struct stat& copy) {
  ConfinedDir* dir = installation();
  if (!fileCheck_ || !dir) return;
  struct stat now;
  if (dir->Stat(f->name, &now).ok() && now.st_ino == copy.st_ino && now.st_dev == copy.st_dev) {
    fileCheck_->recordInstalled(f->name, f->checksum);
  } else {
    fileCheck_->forget(f->name);
  }
}

// Renames unpacked to dest. When that fails for another file than the program itself, the
// installed copy cannot be replaced (something else stands in its place, or the directory
// refuses it): the copy goes beside it as dest + ".upd", with a note.
bool Updater::moveIntoPlace(const UpdateFile* f, const std::string& unpacked, std::string dest,
                            bool self) {
  if (rename(unpacked.c_str(), dest.c_str()) == 0) return true;
  int err = errno;
  if (!self) {
    dest += ".upd";
    statusf(
        "Note: the following file will install to %s.upd. You can rename it after the "
        "program has closed.",
        f->name.c_str());
    remove(dest.c_str());
    if (rename(unpacked.c_str(), dest.c_str()) == 0) return true;
    err = errno;
  }
  remove(unpacked.c_str());
  return setError("Error renaming %s to %s (%s)\n", unpacked.c_str(), dest.c_str(), strerror(err));
}

bool Updater::applyModeChanges(const Plan& p) {
  if (p.modeChanges.empty()) return true;
  statusf("%s", "");
  statusf("*** Setting File Modes ***");
  statusf("%s", "");
  for (const PlanModeChange& change : p.modeChanges) {
    statusf("Setting modes of %s to %04o", change.file->name.c_str(), change.to);
    const std::string path = baseDir_ + change.file->name;
    if (chmod(path.c_str(), change.to) != 0) {
      return setError("Error setting the modes of %s to %04o (%s)", path.c_str(), change.to,
                      strerror(errno));
    }
    // The contents were found current; only the status-change time moved.
    if (fileCheck_) fileCheck_->recordInstalled(change.file->name, change.file->checksum);
  }
  return true;
}

void Updater::removeMarkedFiles(const Plan& p) {
  bool first = true;
  for (const UpdateFile* f : p.removals) {
    if (first) {
      statusf("%s", "");
      statusf("*** Deleting Marked Files ***");
      statusf("%s", "");
      first = false;
    }
    statusf("Deleting file: %s", f->name.c_str());
    if (remove((baseDir_ + f->name).c_str()) != 0) {
      statusf("Error deleting file: %s", strerror(errno));
    }
  }
}

void Updater::removeObsoleteFiles(const Plan& p) {
  if (p.obsolete.empty()) return;
  statusf("%s", "");
  statusf("*** Deleting Outdated Files ***");
  statusf("%s", "");
  for (const std::string& name : p.obsolete) {
    bool ok = remove((baseDir_ + name).c_str()) == 0;
    statusf("Deleting %s: %s", name.c_str(), ok ? "OK" : "ERROR");
  }
}
