// Committing: the only step that changes the installation. A journal of every step is written
// and flushed first; then everything to be replaced or removed is moved aside into the backup
// area of the staging directory, the staged files are moved into place and the modes set, each
// phase made durable before the next. A failure undoes the steps done; a run that finds the
// journal of a killed commit finishes it, and a rollback undoes the last finished one.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <set>

#include "confined_dir.h"
#include "engine_internal.h"
#include "file_check.h"
#include "journal.h"
#include "libupdater.h"

namespace jp = journal_paths;

namespace {

// Largest journal or manifest read back (a line a file of the release).
const size_t kJournalLimit = 256u << 20;

bool isThere(ConfinedDir* dir, const std::string& rel) {
  struct stat st;
  return dir->Stat(rel, &st).ok();
}

bool isDirectory(ConfinedDir* dir, const std::string& rel) {
  struct stat st;
  return dir->Stat(rel, &st).ok() && S_ISDIR(st.st_mode);
}

// The base directory and the staging directory with its parent are never removed as emptied.
bool keptDirectory(const std::string& rel) {
  return rel.empty() || rel == "tmp" || rel == "tmp/updater";
}

// The directories whose entries the steps change.
std::set<std::string> touchedDirs(const Journal& j) {
  std::set<std::string> dirs = {"tmp/updater", jp::kStage, j.backupDir};
  for (const JournalStep& s : j.steps) {
    dirs.insert(ConfinedParent(s.target));
    if (!s.backup.empty()) dirs.insert(ConfinedParent(s.backup));
  }
  return dirs;
}

std::string replacePrefix(const std::string& path, const std::string& from, const std::string& to) {
  if (path.compare(0, from.size(), from) != 0) return path;
  return to + path.substr(from.size());
}

}  // namespace

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
  if (!finishInterrupted()) return false;
  if (!recordSerial()) return false;
  const Plan p = plan();
  if (!checkPlanTargets(p)) return false;
  if (!iniFile_.empty() && !saveGroupStates()) return false;
  if (!checkSpace(p)) return false;
  if (!downloadPacks(p)) return false;
  if (!checkPacks(p)) return false;
  if (!stageFiles(p)) {
    dir_->RemoveTree(jp::kStage);
    return false;
  }
  if (!commitPlan(p)) return false;
  for (const PlanInstall& item : p.installs) {
    if (item.sharesPackOf < 0) dir_->Unlink(relativeToBase(item.downloadPath));
  }
  return true;
}

bool Updater::openDir() {
  dir_ = installation();
  if (dir_) return true;
  return setError("Error opening the installation directory %s (%s)", baseDir_.c_str(),
                  strerror(errno ? errno : ENOENT));
}

// The staged copies and the packs still to download must fit beside the installation; a pack
// is counted at the size of its file.
bool Updater::checkSpace(const Plan& p) {
  if (p.installs.empty()) return true;
  uint64_t needed = static_cast<uint64_t>(p.downloadBytes);
  for (const PlanInstall& item : p.installs) needed += static_cast<uint64_t>(item.file->size);
  makeDirectories((baseDir_ + engine::kStagingDir).c_str());
  const std::string where = baseDir_ + engine::kStagingDir;
  struct statvfs sv;
  if (statvfs(where.c_str(), &sv) != 0) return true;  // cannot tell: the writes will
  const uint64_t freeBytes = static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize;
  if (needed <= freeBytes) return true;
  return setError(
      "Not enough free space in %s: the update needs %llu bytes there, %llu bytes are free; "
      "free some space and run the update again",
      where.c_str(), static_cast<unsigned long long>(needed),
      static_cast<unsigned long long>(freeBytes));
}

// ---- The forward commit ----

// One step a plan entry, in plan order: installs, mode changes, removals, obsolete files. A
// file goes beside its place as name + ".upd" when it is the running program or when a
// directory stands in its place.
Journal Updater::journalFor(const Plan& p) {
  Journal j;
  j.direction = Journal::kForward;
  j.backupDir = jp::kUndo;
  auto backupFor = [&](const std::string& target) {
    return isThere(dir_, target) ? std::string(jp::kUndo) + "/" + std::to_string(j.steps.size())
                                 : std::string();
  };
  for (size_t i = 0; i < p.installs.size(); i++) {
    const UpdateFile* f = p.installs[i].file;
    JournalStep s;
    s.kind = JournalStep::kInstall;
    s.target = f->name;
    if (isSelf(f) || isDirectory(dir_, s.target)) s.target += ".upd";
    s.staged = stagedPath(i);
    s.backup = backupFor(s.target);
    j.steps.push_back(s);
  }
  for (const PlanModeChange& change : p.modeChanges) {
    JournalStep s;
    s.kind = JournalStep::kModes;
    s.target = change.file->name;
    s.oldMode = change.from;
    s.newMode = change.to;
    j.steps.push_back(s);
  }
  std::vector<std::string> removed;
  for (const UpdateFile* f : p.removals) removed.push_back(f->name);
  removed.insert(removed.end(), p.obsolete.begin(), p.obsolete.end());
  for (const std::string& name : removed) {
    JournalStep s;
    s.kind = JournalStep::kRemove;
    s.target = name;
    s.backup = std::string(jp::kUndo) + "/" + std::to_string(j.steps.size());
    j.steps.push_back(s);
  }
  return j;
}

bool Updater::isSelf(const UpdateFile* f) const {
  return strcasecmp(f->name.c_str(), programName_.c_str()) == 0;
}

bool Updater::commitPlan(const Plan& p) {
  Journal j = journalFor(p);
  DirStatus s = dir_->RemoveTree(jp::kUndo);
  if (s.ok()) s = dir_->MakeDirs(jp::kUndo, 0700);
  if (!s.ok()) return layerError(s);
  if (!writeJournal(j)) return false;
  std::vector<int> removeErrors(j.steps.size(), 0);
  bool ok = moveAside(j, &removeErrors) && syncDirs(j) && moveIn(j, true) && applyModes(j, true) &&
            syncDirs(j);
  if (!ok) {
    std::string error = lastError_;
    undoCommit(&j);
    lastError_ = error;
    return false;
  }
  recordInstalled(p, j);
  reportRemovals(p, j, removeErrors);
  pruneRemoved(j);
  return finishForward(j);
}

// The files now in place as the release has them are recorded for the quick check of the next
// run; a file that went beside its place as ".upd" is not.
void Updater::recordInstalled(const Plan& p, const Journal& j) {
  if (!fileCheck_) return;
  for (size_t i = 0; i < p.installs.size(); i++) {
    const UpdateFile* f = p.installs[i].file;
    if (j.steps[i].target == f->name) {
      fileCheck_->recordInstalled(f->name, f->checksum.text());
    } else {
      fileCheck_->forget(f->name);
    }
  }
  // The contents of these were found current; only their status-change time moved.
  for (const PlanModeChange& change : p.modeChanges) {
    fileCheck_->recordInstalled(change.file->name, change.file->checksum.text());
  }
}

bool Updater::writeJournal(const Journal& j) {
  DirStatus s = dir_->ReplaceFile(jp::kJournal, EncodeJournal(j), 0600);
  return s.ok() || layerError(s);
}

bool Updater::layerError(const DirStatus& s) {
  return setError("Error in %s: %s", baseDir_.c_str(), s.message().c_str());
}

bool Updater::renameError(const std::string& from, const std::string& to, const DirStatus& s) {
  return setError("Error renaming %s%s to %s%s (%s)\n", baseDir_.c_str(), from.c_str(),
                  baseDir_.c_str(), to.c_str(), strerror(s.code()));
}

// Phase 1: whatever stands where a staged file goes, and every file to remove, is moved into
// the backup area. A file to remove that cannot be moved stays, its error in *removeErrors.
bool Updater::moveAside(const Journal& j, std::vector<int>* removeErrors) {
  for (size_t k = 0; k < j.steps.size(); k++) {
    const JournalStep& s = j.steps[k];
    if (s.backup.empty() || s.kind == JournalStep::kModes) continue;
    if (s.kind == JournalStep::kInstall && !isThere(dir_, s.staged)) continue;  // done before
    if (isThere(dir_, s.backup)) continue;                                      // done before
    DirStatus r;
    std::vector<std::string> names;
    if (s.kind == JournalStep::kRemove && isDirectory(dir_, s.target) &&
        (!dir_->ListDir(s.target, &names).ok() || !names.empty())) {
      r = DirStatus::Error(ENOTEMPTY, "remove", s.target);  // only an empty one goes aside
    } else {
      r = dir_->Rename(s.target, s.backup);
    }
    if (r.ok() || (r.code() == ENOENT && s.kind == JournalStep::kInstall)) continue;
    if (s.kind == JournalStep::kInstall) return renameError(s.target, s.backup, r);
    if (removeErrors) (*removeErrors)[k] = r.code();
  }
  return true;
}

// Phase 2: the staged files are moved into place, with the "Installing" lines when reporting.
bool Updater::moveIn(const Journal& j, bool report) {
  for (const JournalStep& s : j.steps) {
    if (s.kind != JournalStep::kInstall) continue;
    const bool beside = engine::endsWith(s.target, ".upd");
    const std::string name = beside ? s.target.substr(0, s.target.size() - 4) : s.target;
    if (report) reportInstall(name, beside, true);
    if (isThere(dir_, s.staged)) {
      DirStatus r = dir_->MakeDirs(ConfinedParent(s.target), 0755);
      if (r.ok()) r = dir_->Rename(s.staged, s.target);
      if (!r.ok()) return renameError(s.staged, s.target, r);
    }
    if (report) reportInstall(name, beside, false);
  }
  return true;
}

// The notes of a file installed beside its place: the running program's before its
// "Installing" line, any other after it.
void Updater::reportInstall(const std::string& name, bool beside, bool before) {
  bool self = strcasecmp(name.c_str(), programName_.c_str()) == 0;
  if (before) {
    if (beside && self) {
      statusf(
          "Note: the following file will install to %s.upd, Vantorex will automatically rename "
          "it to the proper thing next time it is run, or you can manually rename it if you "
          "wish",
          name.c_str());
    }
    statusf("Installing %s ... ", name.c_str());
  } else if (beside && !self) {
    statusf(
        "Note: the following file will install to %s.upd. You can rename it after the "
        "program has closed.",
        name.c_str());
  }
}

// Phase 3: permission bits of files whose content is current.
bool Updater::applyModes(const Journal& j, bool report) {
  bool first = true;
  for (const JournalStep& s : j.steps) {
    if (s.kind != JournalStep::kModes) continue;
    if (report && first) {
      statusf("%s", "");
      statusf("*** Setting File Modes ***");
      statusf("%s", "");
    }
    first = false;
    if (report) statusf("Setting modes of %s to %04o", s.target.c_str(), s.newMode);
    DirStatus r = dir_->ChangeMode(s.target, s.newMode);
    if (!r.ok()) {
      return setError("Error setting the modes of %s%s to %04o (%s)", baseDir_.c_str(),
                      s.target.c_str(), s.newMode, strerror(r.code()));
    }
  }
  return true;
}

bool Updater::syncDirs(const Journal& j) {
  for (const std::string& rel : touchedDirs(j)) {
    DirStatus s = dir_->SyncDir(rel);
    // A directory that is not there (or a file in its place) holds no entries to make durable.
    if (!s.ok() && s.code() != ENOENT && s.code() != ENOTDIR) return layerError(s);
  }
  return true;
}

// The deletion sections, from what phase 1 did: marked files first, then obsolete ones.
void Updater::reportRemovals(const Plan& p, const Journal& j, const std::vector<int>& errors) {
  size_t k = p.installs.size() + p.modeChanges.size();
  for (size_t i = 0; i < p.removals.size(); i++, k++) {
    if (i == 0) {
      statusf("%s", "");
      statusf("*** Deleting Marked Files ***");
      statusf("%s", "");
    }
    statusf("Deleting file: %s", j.steps[k].target.c_str());
    if (errors[k] != 0) statusf("Error deleting file: %s", strerror(errors[k]));
  }
  if (p.obsolete.empty()) return;
  statusf("%s", "");
  statusf("*** Deleting Outdated Files ***");
  statusf("%s", "");
  for (; k < j.steps.size(); k++) {
    statusf("Deleting %s: %s", j.steps[k].target.c_str(), errors[k] == 0 ? "OK" : "ERROR");
  }
}

// Directories left empty by removed files go too, up to the base directory.
void Updater::pruneRemoved(const Journal& j) {
  for (const JournalStep& s : j.steps) {
    if (s.kind == JournalStep::kRemove && !isThere(dir_, s.target)) pruneUp(s.target);
  }
}

void Updater::pruneUp(const std::string& rel) {
  for (std::string d = ConfinedParent(rel); !keptDirectory(d); d = ConfinedParent(d)) {
    if (!dir_->RemoveDir(d).ok()) return;
    dir_->SyncDir(ConfinedParent(d));
  }
}

// The backups of the release before are dropped; this commit's become the ones a rollback
// uses, with the journal kept beside them as their manifest.
bool Updater::finishForward(const Journal& j) {
  (void)j;
  const std::string manifest = std::string(jp::kUndo) + "/" + jp::kManifest;
  DirStatus s = dir_->RemoveTree(jp::kBackup);
  if (s.ok()) s = dir_->Rename(jp::kJournal, manifest);
  if (s.ok()) s = dir_->SyncDir(jp::kUndo);
  if (s.ok()) s = dir_->SyncDir("tmp/updater");
  if (!s.ok()) return layerError(s);  // the journal stays: the next run finishes this
  // The update is whole from here on; backups not yet in place are put there by the next run.
  std::string error = lastError_;
  if (!settleBackups()) lastError_ = error;
  dir_->RemoveTree(jp::kStage);
  return true;
}

// With no journal: a finished commit whose backups were not yet put in place gets them in
// place; backups of a commit that never wrote its journal are dropped.
bool Updater::settleBackups() {
  const std::string manifest = std::string(jp::kUndo) + "/" + jp::kManifest;
  DirStatus s;
  if (isThere(dir_, manifest)) {
    s = dir_->RemoveTree(jp::kBackup);
    if (s.ok()) s = dir_->Rename(jp::kUndo, jp::kBackup);
    if (s.ok()) s = dir_->SyncDir("tmp/updater");
  } else {
    s = dir_->RemoveTree(jp::kUndo);
  }
  return s.ok() || layerError(s);
}

// ---- Undoing ----

void Updater::undoCommit(Journal* j) {
  j->direction = Journal::kBack;
  if (writeJournal(*j) && undoSteps(*j, false)) finishBack(*j);
}

// Every step in reverse: backups go back into place, added files are removed, modes restored.
// Goes on past a failure; true when every step could be undone, false with the first error.
bool Updater::undoSteps(const Journal& j, bool report) {
  bool ok = true;
  for (auto it = j.steps.rbegin(); it != j.steps.rend(); ++it) {
    ok = undoStep(*it, report) && ok;
  }
  return syncDirs(j) && ok;
}

bool Updater::undoStep(const JournalStep& s, bool report) {
  DirStatus r;
  if (s.kind == JournalStep::kModes) {
    struct stat st;
    if (!dir_->Stat(s.target, &st).ok() || !S_ISREG(st.st_mode)) return true;
    if (report) statusf("Restoring the modes of %s", s.target.c_str());
    r = dir_->ChangeMode(s.target, s.oldMode);
  } else if (!s.backup.empty() && isThere(dir_, s.backup)) {
    if (report) statusf("Restoring %s", s.target.c_str());
    r = dir_->MakeDirs(ConfinedParent(s.target), 0755);
    if (r.ok()) r = dir_->Rename(s.backup, s.target);
  } else if (s.kind == JournalStep::kInstall && s.backup.empty()) {
    // An added file: removed when it was moved in, and the directories made for it go when they
    // are empty (also when an earlier run removed the file and was stopped before them).
    if (!isThere(dir_, s.staged) && isThere(dir_, s.target) && !isDirectory(dir_, s.target)) {
      if (report) statusf("Removing %s", s.target.c_str());
      r = dir_->Unlink(s.target);
    }
    if (r.ok()) pruneUp(s.target);
  }
  return r.ok() || layerError(r);
}

bool Updater::finishBack(const Journal& j) {
  DirStatus s = dir_->RemoveTree(j.backupDir);
  if (s.ok()) s = dir_->RemoveTree(jp::kStage);
  if (s.ok()) s = dir_->Unlink(jp::kJournal);
  if (s.ok()) s = dir_->SyncDir("tmp/updater");
  return s.ok() || layerError(s);
}

// ---- Recovery and rollback ----

bool Updater::readJournal(const std::string& rel, Journal* j, bool* found) {
  std::string text;
  DirStatus s = dir_->ReadFile(rel, kJournalLimit, &text);
  *found = s.ok();
  if (!s.ok()) return s.code() == ENOENT || s.code() == ENOTDIR || layerError(s);
  if (DecodeJournal(text, j)) return true;
  return setError("Damaged journal %s%s: it cannot be read; remove it to go on", baseDir_.c_str(),
                  rel.c_str());
}

bool Updater::finishInterrupted() {
  AutoMutex hold(lock_);
  if (!installation()) return true;  // no installation, nothing to finish
  if (!openDir()) return false;
  struct stat st;
  if (!dir_->Stat(jp::kJournal, &st).ok() && !dir_->Stat(jp::kUndo, &st).ok()) return true;
  if (!beginRun() || !openDir()) return false;
  Journal j;
  bool found = false;
  if (!readJournal(jp::kJournal, &j, &found)) return false;
  if (!found) return settleBackups();
  bool ok;
  if (j.direction == Journal::kForward) {
    statusf("Finishing the update that was interrupted in %s", baseDir_.c_str());
    ok = moveAside(j, nullptr) && syncDirs(j) && moveIn(j, false) && applyModes(j, false) &&
         syncDirs(j);
    if (ok) pruneRemoved(j);
    ok = ok && finishForward(j);
  } else {
    statusf("Finishing the rollback that was interrupted in %s", baseDir_.c_str());
    ok = undoSteps(j, false) && finishBack(j);
  }
  if (ok) recheckInstallation();
  return ok;
}

// After a finished journal changed the tree, the records parsed before describe it no more.
void Updater::recheckInstallation() {
  if (fileCheck_) {
    for (UpdateFile* f = filesHead_; f; f = f->next) {
      f->modesDiffer = false;
      fileCheck_->check(f->name, f->checksum.text(), f);
    }
  }
  std::vector<std::string> outdated;
  for (const std::string& name : outdated_) {
    if (installedEntryExists(name)) outdated.push_back(name);
  }
  outdated_ = outdated;
  finishChecks();
}

bool Updater::rollbackAvailable() {
  AutoMutex hold(lock_);
  const std::string error = lastError_;
  if (!openDir()) {
    lastError_ = error;
    return false;
  }
  return isThere(dir_, jp::kJournal) ||
         isThere(dir_, std::string(jp::kBackup) + "/" + jp::kManifest) ||
         isThere(dir_, std::string(jp::kUndo) + "/" + jp::kManifest);
}

bool Updater::rollback() {
  AutoMutex hold(lock_);
  if (!beginRun() || !openDir()) return false;
  Journal j;
  bool found = false;
  if (!readJournal(jp::kJournal, &j, &found)) return false;
  if (found) {
    statusf(j.direction == Journal::kForward ? "*** Rolling Back the Interrupted Update ***"
                                             : "*** Finishing the Interrupted Rollback ***");
  } else {
    if (!settleBackups()) return false;
    const std::string manifest = std::string(jp::kBackup) + "/" + jp::kManifest;
    if (!readJournal(manifest, &j, &found)) return false;
    if (!found) {
      return setError("No earlier release to roll back to: %s%s holds no backup of one",
                      baseDir_.c_str(), jp::kBackup);
    }
    j.backupDir = jp::kBackup;
    for (JournalStep& s : j.steps) s.backup = replacePrefix(s.backup, jp::kUndo, jp::kBackup);
    statusf("*** Rolling Back the Last Update ***");
  }
  statusf("%s", "");
  j.direction = Journal::kBack;
  return writeJournal(j) && undoSteps(j, true) && finishBack(j);
}
