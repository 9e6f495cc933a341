// A fault-injecting installation-directory layer for tests. It wraps another ConfinedDir and
// (1) makes the n-th call of a chosen kind of operation fail with a chosen error without doing
// it, (2) can "cut the power" after n more operations, after which every operation fails, and
// (3) keeps what a power cut would lose: the bytes written to a file since its last fsync and
// the directory changes (creations, renames, removals) since the last fsync of the directories
// they touched. DropUnsynced then puts the tree into the state the disk would hold after such a
// cut, so a test can check what a restarted run finds.
//
// The model is the strict POSIX one: file data is durable only after DirFile::Sync, a name
// only after SyncDir of its directory (both directories for a rename). Files written in place
// lose only what grew beyond the synced size. The contents replaced or removed by a rename or
// unlink not yet made durable are kept in memory, so keep the trees of such tests small.
//
// Thread rules: one FaultInjectingDir may be used from several threads; its counters and
// records are guarded by its own mutex (the innermost lock). DropUnsynced must not run while
// other operations are under way.
#ifndef VELMOR_FAULT_DIR_H_
#define VELMOR_FAULT_DIR_H_

#include <errno.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "confined_dir.h"

// The kinds of operation counted and failed.
enum class DirOp {
  kCreate,   // Create
  kOpen,     // OpenRead, OpenOrCreate
  kRename,   // Rename
  kUnlink,   // Unlink, RemoveDir
  kMakeDir,  // MakeDir
  kChmod,    // DirFile::Chmod, ChangeMode
  kSync,     // DirFile::Sync, SyncDir
  kWrite,    // DirFile::Write
  kCount
};

class FaultInjectingDir : public ConfinedDirWrapper {
 public:
  // target must outlive the wrapper and is not owned.
  explicit FaultInjectingDir(ConfinedDir* target);
  ~FaultInjectingDir() override;

  // The n-th call of op from now on (1 = the next) fails with err and is not done; with
  // persistent set, every later call of op fails too. n <= 0 switches the fault of op off.
  void FailNth(DirOp op, int n, int err = EIO, bool persistent = false);
  // After n more operations of any kind that change the tree (create, open for writing, rename,
  // unlink, make directory, chmod, sync, write), every operation fails with EIO, reads
  // included, as if the machine had stopped. n <= 0 switches it off.
  void CutPowerAfter(int n);
  // Switches every fault off and restores power; counters and records stay.
  void ClearFaults();
  // Calls of op so far, failed ones included.
  int calls(DirOp op) const;
  // Calls made to fail so far.
  int injected() const;
  // Whether a cut set with CutPowerAfter has happened.
  bool powerCut() const;

  // Starts (or stops, dropping what was recorded) keeping what a power cut would lose. Only
  // operations made through this layer after the start are recorded.
  void TrackUnsynced(bool on);
  // Undoes, through the target layer, everything recorded that was not made durable: files are
  // cut back to their synced sizes, then unsynced directory changes undone in reverse order.
  // Clears the records and the faults and stops the tracking. Ok, or the first failure of the
  // target layer.
  DirStatus DropUnsynced();

  DirStatus OpenRead(const std::string& path, std::unique_ptr<DirFile>* file) override;
  DirStatus Create(const std::string& path, mode_t mode, std::unique_ptr<DirFile>* file) override;
  DirStatus OpenOrCreate(const std::string& path, mode_t mode,
                         std::unique_ptr<DirFile>* file) override;
  DirStatus Rename(const std::string& from, const std::string& to) override;
  DirStatus Unlink(const std::string& path) override;
  DirStatus MakeDir(const std::string& path, mode_t mode) override;
  DirStatus RemoveDir(const std::string& path) override;
  DirStatus ChangeMode(const std::string& path, mode_t mode) override;
  DirStatus SyncDir(const std::string& path) override;
  DirStatus Stat(const std::string& path, struct stat* st) override;

 private:
  friend class FaultFile;

  // One directory change not yet durable.
  struct Change {
    enum Kind { kCreated, kMadeDir, kRenamed, kRemoved, kRemovedDir } kind;
    std::string path;                   // the entry made or removed; the destination of a rename
    std::string from;                   // the source of a rename
    bool hadOld = false;                // a rename replaced, or an unlink removed, a regular file
    std::string oldText;                // its contents
    mode_t oldMode = 0;                 // its permission bits
    std::set<std::string> pendingDirs;  // directories still to be synced
  };

  // Counts a call of op; false (with *fail set) when it is to fail.
  bool Admit(DirOp op, bool changes, DirStatus* fail, const std::string& what,
             const std::string& path);
  // Reads a regular file at path through the target, for restoring it later.
  bool Keep(const std::string& path, std::string* text, mode_t* mode);
  void RecordFile(const std::string& path, int64_t syncedSize);
  void FileSynced(const std::string& path, int64_t size);
  void Record(Change change);
  DirStatus Restore(const std::string& path, const std::string& text, mode_t mode);

  struct Fault {
    int remaining = 0;  // calls before the failing one; 0 = off
    int err = EIO;
    bool persistent = false;
    bool firing = false;
  };

  mutable std::mutex mu_;
  Fault faults_[static_cast<int>(DirOp::kCount)];
  int calls_[static_cast<int>(DirOp::kCount)] = {};
  int injected_ = 0;
  int powerLeft_ = 0;  // changing operations before the cut; 0 = no cut armed
  bool powerCut_ = false;
  bool tracking_ = false;
  std::vector<Change> changes_;
  std::map<std::string, int64_t> syncedSizes_;  // tracked files by current path
};

#endif  // VELMOR_FAULT_DIR_H_
