#include "fault_dir.h"

#include <algorithm>
#include <utility>

namespace {

// Largest file whose replaced or removed contents are kept for a later DropUnsynced.
const size_t kKeepLimit = 64u << 20;

bool IsUnder(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

}  // namespace

// A file of the fault-injecting layer: counts and fails writes, chmods and syncs, and records
// the size at each sync.
class FaultFile : public DirFile {
 public:
  FaultFile(std::unique_ptr<DirFile> inner, FaultInjectingDir* owner)
      : inner_(std::move(inner)), owner_(owner) {}

  const std::string& path() const override { return inner_->path(); }
  ssize_t Read(void* buffer, size_t length) override {
    DirStatus fail;
    if (!owner_->Admit(DirOp::kCount, false, &fail, "read", path())) {
      errno = fail.code();
      return -1;
    }
    return inner_->Read(buffer, length);
  }
  DirStatus Write(const void* data, size_t length) override {
    DirStatus fail;
    if (!owner_->Admit(DirOp::kWrite, true, &fail, "write", path())) return fail;
    return inner_->Write(data, length);
  }
  DirStatus Chmod(mode_t mode) override {
    DirStatus fail;
    if (!owner_->Admit(DirOp::kChmod, true, &fail, "change the modes of", path())) return fail;
    return inner_->Chmod(mode);
  }
  DirStatus Sync() override {
    DirStatus fail;
    if (!owner_->Admit(DirOp::kSync, true, &fail, "sync", path())) return fail;
    DirStatus s = inner_->Sync();
    struct stat st;
    if (s.ok() && inner_->Stat(&st).ok()) owner_->FileSynced(path(), st.st_size);
    return s;
  }
  DirStatus Stat(struct stat* st) override {
    DirStatus fail;
    if (!owner_->Admit(DirOp::kCount, false, &fail, "stat", path())) return fail;
    return inner_->Stat(st);
  }
  DirStatus Truncate(int64_t length) override {
    DirStatus fail;
    if (!owner_->Admit(DirOp::kWrite, true, &fail, "truncate", path())) return fail;
    return inner_->Truncate(length);
  }
  DirStatus Close() override { return inner_->Close(); }
  int fd() const override { return inner_->fd(); }

 private:
  std::unique_ptr<DirFile> inner_;
  FaultInjectingDir* owner_;
};

FaultInjectingDir::FaultInjectingDir(ConfinedDir* target) : ConfinedDirWrapper(target) {}

FaultInjectingDir::~FaultInjectingDir() = default;

void FaultInjectingDir::FailNth(DirOp op, int n, int err, bool persistent) {
  std::lock_guard<std::mutex> hold(mu_);
  Fault& f = faults_[static_cast<int>(op)];
  f = Fault();
  if (n <= 0) return;
  f.remaining = n;
  f.err = err;
  f.persistent = persistent;
}

void FaultInjectingDir::CutPowerAfter(int n) {
  std::lock_guard<std::mutex> hold(mu_);
  powerCut_ = false;
  powerLeft_ = n > 0 ? n + 1 : 0;
}

void FaultInjectingDir::ClearFaults() {
  std::lock_guard<std::mutex> hold(mu_);
  for (Fault& f : faults_) f = Fault();
  powerLeft_ = 0;
  powerCut_ = false;
}

int FaultInjectingDir::calls(DirOp op) const {
  std::lock_guard<std::mutex> hold(mu_);
  return calls_[static_cast<int>(op)];
}

int FaultInjectingDir::injected() const {
  std::lock_guard<std::mutex> hold(mu_);
  return injected_;
}

bool FaultInjectingDir::powerCut() const {
  std::lock_guard<std::mutex> hold(mu_);
  return powerCut_;
}

bool FaultInjectingDir::Admit(DirOp op, bool changes, DirStatus* fail, const std::string& what,
                              const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  if (!powerCut_ && changes && powerLeft_ > 0 && --powerLeft_ == 0) powerCut_ = true;
  if (powerCut_) {
    injected_++;
    *fail = DirStatus::Error(EIO, what, path);
    return false;
  }
  if (op == DirOp::kCount) return true;
  calls_[static_cast<int>(op)]++;
  Fault& f = faults_[static_cast<int>(op)];
  if (!f.firing && f.remaining > 0 && --f.remaining == 0) f.firing = true;
  if (!f.firing) return true;
  injected_++;
  *fail = DirStatus::Error(f.err, what, path);
  if (!f.persistent) f = Fault();
  return false;
}

void FaultInjectingDir::TrackUnsynced(bool on) {
  std::lock_guard<std::mutex> hold(mu_);
  tracking_ = on;
  changes_.clear();
  syncedSizes_.clear();
}

bool FaultInjectingDir::Keep(const std::string& path, std::string* text, mode_t* mode) {
  struct stat st;
  if (!target()->Stat(path, &st).ok() || !S_ISREG(st.st_mode)) return false;
  *mode = st.st_mode & 07777;
  return target()->ReadFile(path, kKeepLimit, text).ok();
}

void FaultInjectingDir::RecordFile(const std::string& path, int64_t syncedSize) {
  std::lock_guard<std::mutex> hold(mu_);
  if (tracking_) syncedSizes_[NormalConfinedPath(path)] = syncedSize;
}

void FaultInjectingDir::FileSynced(const std::string& path, int64_t size) {
  std::lock_guard<std::mutex> hold(mu_);
  auto it = syncedSizes_.find(NormalConfinedPath(path));
  if (it != syncedSizes_.end()) it->second = size;
}

void FaultInjectingDir::Record(Change change) {
  std::lock_guard<std::mutex> hold(mu_);
  if (!tracking_) return;
  const std::string path = NormalConfinedPath(change.path);
  change.path = path;
  change.pendingDirs.insert(ConfinedParent(path));
  if (change.kind == Change::kRenamed) {
    const std::string from = NormalConfinedPath(change.from);
    change.from = from;
    change.pendingDirs.insert(ConfinedParent(from));
    // The synced sizes follow the files (and the files below a renamed directory).
    syncedSizes_.erase(path);
    std::map<std::string, int64_t> moved;
    for (auto it = syncedSizes_.begin(); it != syncedSizes_.end();) {
      if (it->first == from || IsUnder(it->first, from)) {
        moved[path + it->first.substr(from.size())] = it->second;
        it = syncedSizes_.erase(it);
      } else {
        ++it;
      }
    }
    syncedSizes_.insert(moved.begin(), moved.end());
  } else if (change.kind == Change::kRemoved) {
    syncedSizes_.erase(path);
  }
  changes_.push_back(std::move(change));
}

DirStatus FaultInjectingDir::OpenRead(const std::string& path, std::unique_ptr<DirFile>* file) {
  DirStatus fail;
  if (!Admit(DirOp::kOpen, false, &fail, "open", path)) return fail;
  std::unique_ptr<DirFile> inner;
  DirStatus s = target()->OpenRead(path, &inner);
  if (s.ok()) file->reset(new FaultFile(std::move(inner), this));
  return s;
}

DirStatus FaultInjectingDir::Create(const std::string& path, mode_t mode,
                                    std::unique_ptr<DirFile>* file) {
  DirStatus fail;
  if (!Admit(DirOp::kCreate, true, &fail, "create", path)) return fail;
  std::unique_ptr<DirFile> inner;
  DirStatus s = target()->Create(path, mode, &inner);
  if (!s.ok()) return s;
  Change c{Change::kCreated, path, "", false, "", 0, {}};
  Record(std::move(c));
  RecordFile(path, 0);
  file->reset(new FaultFile(std::move(inner), this));
  return s;
}

DirStatus FaultInjectingDir::OpenOrCreate(const std::string& path, mode_t mode,
                                          std::unique_ptr<DirFile>* file) {
  DirStatus fail;
  if (!Admit(DirOp::kOpen, true, &fail, "open", path)) return fail;
  struct stat before;
  const bool existed = target()->Stat(path, &before).ok();
  std::unique_ptr<DirFile> inner;
  DirStatus s = target()->OpenOrCreate(path, mode, &inner);
  if (!s.ok()) return s;
  if (!existed) Record(Change{Change::kCreated, path, "", false, "", 0, {}});
  RecordFile(path, existed ? before.st_size : 0);
  file->reset(new FaultFile(std::move(inner), this));
  return s;
}

DirStatus FaultInjectingDir::Rename(const std::string& from, const std::string& to) {
  DirStatus fail;
  if (!Admit(DirOp::kRename, true, &fail, "rename \"" + from + "\" to", to)) return fail;
  Change c{Change::kRenamed, to, from, false, "", 0, {}};
  bool tracking;
  {
    std::lock_guard<std::mutex> hold(mu_);
    tracking = tracking_;
  }
  if (tracking) c.hadOld = Keep(to, &c.oldText, &c.oldMode);
  DirStatus s = target()->Rename(from, to);
  if (s.ok()) Record(std::move(c));
  return s;
}

DirStatus FaultInjectingDir::Unlink(const std::string& path) {
  DirStatus fail;
  if (!Admit(DirOp::kUnlink, true, &fail, "remove", path)) return fail;
  Change c{Change::kRemoved, path, "", false, "", 0, {}};
  bool tracking;
  {
    std::lock_guard<std::mutex> hold(mu_);
    tracking = tracking_;
  }
  if (tracking) c.hadOld = Keep(path, &c.oldText, &c.oldMode);
  DirStatus s = target()->Unlink(path);
  if (s.ok()) Record(std::move(c));
  return s;
}

DirStatus FaultInjectingDir::MakeDir(const std::string& path, mode_t mode) {
  DirStatus fail;
  if (!Admit(DirOp::kMakeDir, true, &fail, "make directory", path)) return fail;
  DirStatus s = target()->MakeDir(path, mode);
  if (s.ok()) Record(Change{Change::kMadeDir, path, "", false, "", 0, {}});
  return s;
}

DirStatus FaultInjectingDir::RemoveDir(const std::string& path) {
  DirStatus fail;
  if (!Admit(DirOp::kUnlink, true, &fail, "remove directory", path)) return fail;
  DirStatus s = target()->RemoveDir(path);
  if (s.ok()) Record(Change{Change::kRemovedDir, path, "", false, "", 0, {}});
  return s;
}

DirStatus FaultInjectingDir::ChangeMode(const std::string& path, mode_t mode) {
  DirStatus fail;
  if (!Admit(DirOp::kChmod, true, &fail, "change the modes of", path)) return fail;
  return target()->ChangeMode(path, mode);
}

DirStatus FaultInjectingDir::SyncDir(const std::string& path) {
  DirStatus fail;
  if (!Admit(DirOp::kSync, true, &fail, "sync", path)) return fail;
  DirStatus s = target()->SyncDir(path);
  if (!s.ok()) return s;
  std::lock_guard<std::mutex> hold(mu_);
  const std::string dir = NormalConfinedPath(path);
  for (Change& c : changes_) c.pendingDirs.erase(dir);
  changes_.erase(std::remove_if(changes_.begin(), changes_.end(),
                                [](const Change& c) { return c.pendingDirs.empty(); }),
                 changes_.end());
  return s;
}

DirStatus FaultInjectingDir::Stat(const std::string& path, struct stat* st) {
  DirStatus fail;
  if (!Admit(DirOp::kCount, false, &fail, "stat", path)) return fail;
  return target()->Stat(path, st);
}

DirStatus FaultInjectingDir::Restore(const std::string& path, const std::string& text,
                                     mode_t mode) {
  target()->Unlink(path);
  std::unique_ptr<DirFile> file;
  DirStatus s = target()->Create(path, 0600, &file);
  if (s.ok()) s = file->Write(text.data(), text.size());
  if (s.ok()) s = file->Chmod(mode);
  DirStatus closed = file ? file->Close() : DirStatus();
  return s.ok() ? closed : s;
}

DirStatus FaultInjectingDir::DropUnsynced() {
  std::vector<Change> changes;
  std::map<std::string, int64_t> sizes;
  {
    std::lock_guard<std::mutex> hold(mu_);
    changes.swap(changes_);
    sizes.swap(syncedSizes_);
    for (Fault& f : faults_) f = Fault();
    powerLeft_ = 0;
    powerCut_ = false;
  }
  DirStatus first;
  auto note = [&first](const DirStatus& s) {
    if (first.ok() && !s.ok() && s.code() != ENOENT) first = s;
  };
  // Data written since the last sync is lost first, while every file is at its current name.
  for (const auto& entry : sizes) {
    struct stat st;
    if (!target()->Stat(entry.first, &st).ok() || !S_ISREG(st.st_mode)) continue;
    if (st.st_size <= entry.second) continue;
    const mode_t mode = st.st_mode & 07777;
    const bool locked = (mode & 0200) == 0;
    if (locked) note(target()->ChangeMode(entry.first, mode | 0600));
    std::unique_ptr<DirFile> file;
    DirStatus s = target()->OpenOrCreate(entry.first, 0600, &file);
    if (s.ok()) s = file->Truncate(entry.second);
    note(s);
    if (locked) note(target()->ChangeMode(entry.first, mode));
  }
  for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
    switch (it->kind) {
      case Change::kCreated:
        note(target()->Unlink(it->path));
        break;
      case Change::kMadeDir:
        target()->RemoveDir(it->path);  // kept when durable entries stand in it
        break;
      case Change::kRenamed:
        note(target()->Rename(it->path, it->from));
        if (it->hadOld) note(Restore(it->path, it->oldText, it->oldMode));
        break;
      case Change::kRemoved:
        if (it->hadOld) note(Restore(it->path, it->oldText, it->oldMode));
        break;
      case Change::kRemovedDir:
        note(target()->MakeDir(it->path, 0755));
        break;
    }
  }
  std::lock_guard<std::mutex> hold(mu_);
  tracking_ = false;
  return first;
}
