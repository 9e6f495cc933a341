// The installation-directory layer: one directory handle bound to a base directory, and every
// operation on the tree below it done relative to that handle without ever following a
// symbolic link. Paths given to it are relative ("lib/x.so"); an absolute path or a ".."
// component is refused before anything is touched. Each directory on the way is opened with
// openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS) where the kernel has it, or component by
// component with openat(O_DIRECTORY | O_NOFOLLOW) where it does not. A link met on the way
// fails the operation with a DirStatus naming the entry and the link; a link in the final
// place is treated as the link itself (renamed over, unlinked, reported by Stat), never
// followed. New files are created with O_CREAT | O_EXCL | O_NOFOLLOW.
//
// ConfinedDir is an interface (in the manner of an environment object with a forwarding
// wrapper) so that tests can put a fault-injecting layer (fault_dir.h) in its place.
//
// Thread rules: a ConfinedDir may be used from several threads at once; the POSIX one holds
// nothing but the base directory's descriptor. A DirFile belongs to one thread at a time.
#ifndef VELMOR_CONFINED_DIR_H_
#define VELMOR_CONFINED_DIR_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// Outcome of one operation: ok, or the system's error number with the entry it concerned and,
// when a symbolic link was met, the link (relative to the base directory) and its target.
class DirStatus {
 public:
  DirStatus() = default;
  // A failure of what ("open", "rename", ...) on entry with the system error number code.
  static DirStatus Error(int code, const std::string& what, const std::string& entry);
  // A failure because link, a symbolic link with the given target, stands on the way to entry.
  static DirStatus Link(const std::string& what, const std::string& entry, const std::string& link,
                        const std::string& target);

  bool ok() const { return code_ == 0; }
  // The system error number (ELOOP for a link met), 0 when ok.
  int code() const { return code_; }
  const std::string& entry() const { return entry_; }
  // The symbolic link met, empty when the failure was not caused by one.
  const std::string& link() const { return link_; }
  // One line naming the operation, the entry, the link met or the system's reason; "OK" when ok.
  std::string message() const;

 private:
  int code_ = 0;
  std::string what_;
  std::string entry_;
  std::string link_;
  std::string linkTarget_;
};

// An open file of the tree. Closing (or destroying) it releases the descriptor.
class DirFile {
 public:
  virtual ~DirFile() = default;
  // Path relative to the base directory, as it was opened.
  virtual const std::string& path() const = 0;
  // Reads up to length bytes. Returns the count (0 at the end), or -1 with errno set.
  virtual ssize_t Read(void* buffer, size_t length) = 0;
  // Writes all length bytes at the current position. Ok, or the error of the failed write.
  virtual DirStatus Write(const void* data, size_t length) = 0;
  // Sets the permission bits with fchmod on the open file.
  virtual DirStatus Chmod(mode_t mode) = 0;
  // fsync: the data and size are on stable storage when this returns ok.
  virtual DirStatus Sync() = 0;
  // fstat of the open file.
  virtual DirStatus Stat(struct stat* st) = 0;
  // Cuts or extends the file to length bytes.
  virtual DirStatus Truncate(int64_t length) = 0;
  // Closes the descriptor; the error of close, if any. Later calls do nothing and return ok.
  virtual DirStatus Close() = 0;
  // The descriptor, for calls that need one (flock, fdopen of a dup); -1 once closed. Writes
  // made through it bypass a wrapping layer's bookkeeping.
  virtual int fd() const = 0;
};

// Operations on the tree below one base directory. Every path is relative to that directory;
// "" names the base directory itself (for Stat and SyncDir).
class ConfinedDir {
 public:
  virtual ~ConfinedDir() = default;

  // The base directory as it was given to OpenConfinedDir.
  virtual const std::string& base() const = 0;
  // lstat-like: the entry itself, a link reported as a link.
  virtual DirStatus Stat(const std::string& path, struct stat* st) = 0;
  // Opens an existing regular file for reading; a link in the final place fails with ELOOP.
  virtual DirStatus OpenRead(const std::string& path, std::unique_ptr<DirFile>* file) = 0;
  // Creates a new file (O_CREAT | O_EXCL | O_NOFOLLOW) open for writing with mode (before the
  // umask). Anything already in the place, a link included, fails with EEXIST.
  virtual DirStatus Create(const std::string& path, mode_t mode,
                           std::unique_ptr<DirFile>* file) = 0;
  // Opens a regular file for reading and writing, creating it with mode when missing; a link in
  // the final place fails with ELOOP, anything but a regular file with EINVAL. For lock and
  // state files that are kept from run to run; callers check the owner with DirFile::Stat.
  virtual DirStatus OpenOrCreate(const std::string& path, mode_t mode,
                                 std::unique_ptr<DirFile>* file) = 0;
  // renameat: replaces whatever is at to (a link is replaced as a link).
  virtual DirStatus Rename(const std::string& from, const std::string& to) = 0;
  // unlinkat: removes a file or a link (never what it points to).
  virtual DirStatus Unlink(const std::string& path) = 0;
  // mkdirat with mode (before the umask); an existing entry fails with EEXIST.
  virtual DirStatus MakeDir(const std::string& path, mode_t mode) = 0;
  // Removes an empty directory.
  virtual DirStatus RemoveDir(const std::string& path) = 0;
  // Sets the permission bits of an existing regular file or directory through a descriptor;
  // a link fails with ELOOP, other kinds of entry with EINVAL.
  virtual DirStatus ChangeMode(const std::string& path, mode_t mode) = 0;
  // fsync of a directory, so that the entries made, renamed or removed in it are durable.
  virtual DirStatus SyncDir(const std::string& path) = 0;
  // The target of the symbolic link at path in *target; EINVAL when path is not a link.
  virtual DirStatus ReadLink(const std::string& path, std::string* target) = 0;
  // The names in the directory path ("" for the base), "." and ".." left out, sorted; a link
  // in the final place fails with ELOOP.
  virtual DirStatus ListDir(const std::string& path, std::vector<std::string>* names) = 0;

  // Creates each missing directory along path with mode; existing directories are kept, a link
  // or a non-directory on the way fails. Ok when path is a directory afterwards.
  DirStatus MakeDirs(const std::string& path, mode_t mode);
  // Reads a whole regular file without following links. Fails with EFBIG when it holds more
  // than limit bytes.
  DirStatus ReadFile(const std::string& path, size_t limit, std::string* text);
  // Removes path and, when it is a directory, everything below it, links as links. Ok when
  // nothing is at path afterwards (also when nothing was there).
  DirStatus RemoveTree(const std::string& path);
  // Writes text to a new file beside path, syncs it, sets mode, renames it over path and syncs
  // the directory. Whatever was at path (a link included) is replaced, never written through.
  DirStatus ReplaceFile(const std::string& path, const std::string& text, mode_t mode);
};

// Forwards every operation to a target layer it does not own; a base for layers that change a
// few operations.
class ConfinedDirWrapper : public ConfinedDir {
 public:
  explicit ConfinedDirWrapper(ConfinedDir* target) : target_(target) {}
  ConfinedDir* target() const { return target_; }

  const std::string& base() const override { return target_->base(); }
  DirStatus Stat(const std::string& path, struct stat* st) override {
    return target_->Stat(path, st);
  }
  DirStatus OpenRead(const std::string& path, std::unique_ptr<DirFile>* file) override {
    return target_->OpenRead(path, file);
  }
  DirStatus Create(const std::string& path, mode_t mode, std::unique_ptr<DirFile>* file) override {
    return target_->Create(path, mode, file);
  }
  DirStatus OpenOrCreate(const std::string& path, mode_t mode,
                         std::unique_ptr<DirFile>* file) override {
    return target_->OpenOrCreate(path, mode, file);
  }
  DirStatus Rename(const std::string& from, const std::string& to) override {
    return target_->Rename(from, to);
  }
  DirStatus Unlink(const std::string& path) override { return target_->Unlink(path); }
  DirStatus MakeDir(const std::string& path, mode_t mode) override {
    return target_->MakeDir(path, mode);
  }
  DirStatus RemoveDir(const std::string& path) override { return target_->RemoveDir(path); }
  DirStatus ChangeMode(const std::string& path, mode_t mode) override {
    return target_->ChangeMode(path, mode);
  }
  DirStatus SyncDir(const std::string& path) override { return target_->SyncDir(path); }
  DirStatus ReadLink(const std::string& path, std::string* target) override {
    return target_->ReadLink(path, target);
  }
  DirStatus ListDir(const std::string& path, std::vector<std::string>* names) override {
    return target_->ListDir(path, names);
  }

 private:
  ConfinedDir* target_;
};

// Opens base (which may itself be reached through links; it is the caller's choice) as a
// directory and returns the POSIX layer bound to it in *dir. Ok, or the error of opening it.
DirStatus OpenConfinedDir(const std::string& base, std::unique_ptr<ConfinedDir>* dir);

// Whether path is acceptable to the layer: not empty, relative, no ".." component, no NUL.
// "." components and repeated slashes are allowed and ignored.
bool IsConfinedPath(const std::string& path);
// path with "." components and repeated slashes dropped ("a//./b" gives "a/b"); "" for a path
// IsConfinedPath refuses.
std::string NormalConfinedPath(const std::string& path);
// For tests: resolve directories with the component walk only, as on kernels without openat2
// (true), or use openat2 where the kernel has it again (false). Affects every layer.
void ConfinedDirUseWalkOnly(bool walkOnly);
// The normal form of the directory holding the last component of path; "" for the base.
std::string ConfinedParent(const std::string& path);

#endif  // VELMOR_CONFINED_DIR_H_
