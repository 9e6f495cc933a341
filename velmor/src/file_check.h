// Answers, for many files of one tree, whether each holds the contents of a given digest, as
// cheaply as it can, through the tree's directory layer (confined_dir.h, so no symbolic link is
// ever followed): a file that is missing or not a regular file (a link included) does not; a file
// whose stat data match its record in the StatCache has the recorded digest without being read (the
// quick check; not in verify-all mode); every other file is hashed, on a WorkPool sized to the
// machine's cores. Hashed files and files recorded after an install are recorded in the cache,
// which save() writes back.
//
// Thread rules: a FileCheck belongs to the thread that created it; its answers are delivered on
// that thread, from check() or from finish(). Hashing runs on the pool's workers, which touch
// only their own job.
#ifndef VELMOR_FILE_CHECK_H_
#define VELMOR_FILE_CHECK_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>

#include "confined_dir.h"
#include "stat_cache.h"
#include "work_pool.h"

class FileCheck {
 public:
  struct Options {
    bool verifyAll = false;                // hash every file, trusting no record
    unsigned threads = 0;                  // hashing threads; 0 = one per core
    int64_t (*clock)() = realtime_now_ns;  // time of recording, for the racy rule
    int64_t racyWindowNs = StatCache::kDefaultRacyWindowNs;
  };

  // Answer for one file: current is true when the entry name is a regular file with the
  // expected digest; digestHex is the digest it has (lower-case hex; null when the file is
  // missing, not a regular file or unreadable); st holds its stat data (zero when missing).
  typedef void (*Done)(void* item, bool current, const char* digestHex, const struct stat& st,
                       void* user);

  // dir is the tree (borrowed; it must outlive the check); statePath is the state file in it
  // (read now; a missing, damaged or foreign one is ignored); digestName names the digest of
  // the expected texts ("sha256", "md5"). done receives every answer, with user.
  FileCheck(ConfinedDir* dir, const std::string& statePath, const char* digestName,
            const Options& options, Done done, void* user);
  ~FileCheck();
  FileCheck(const FileCheck&) = delete;
  FileCheck& operator=(const FileCheck&) = delete;

  // Checks the entry name against expectedHex (hex text, either case). The answer comes at once
  // or, when the file must be read, from a later check() or finish(). The checks up to finish()
  // take the tree as unchanging: a directory found missing is not looked into again (the files
  // of a fresh installation cost one call per missing directory, not one per file).
  void check(const std::string& name, const char* expectedHex, void* item);
  // Waits for every pending hash and delivers the remaining answers.
  void finish();

  // Records the entry name, just installed with the contents of digestHex, in the cache; a
  // name that is no longer a regular file, or a text that is no digest of this kind, is
  // forgotten instead.
  void recordInstalled(const std::string& name, const char* digestHex);
  // Drops the record of name (the file was removed, say).
  void forget(const std::string& name);
  // Writes the state file (mode 0600; its directory must exist) when a record changed since it
  // was read. After check() calls, the records of names never checked or recorded are dropped
  // first (their files are no longer listed). True on success or when nothing changed; false with
  // the cause in *error.
  bool save(std::string* error);
  // Why the state file was not used at start, empty when it was read.
  const std::string& ignoredStateReason() const { return ignored_; }
  // Files hashed so far (the rest were answered from the cache or without reading).
  size_t hashedCount() const { return hashed_; }

 private:
  struct Job {
    std::string name;
    void* item = nullptr;
    char expected[2 * StatCache::kMaxDigest + 1] = {};
    bool exists = false;
    bool hashed = false;
    struct stat st {};
    uint8_t digest[StatCache::kMaxDigest] = {};
    size_t digestSize = 0;
    std::atomic<bool> finished{false};
  };

  void run(Job* job);
  // Whether a directory on the way to name was found missing since the last finish().
  bool inMissingDir(const std::string& name) const;
  // name is missing: notes the highest of its directories that is missing too, if any.
  void noteMissing(const std::string& name);
  void deliver(Job* job);
  void drainFinished();

  ConfinedDir* dir_;
  std::string statePath_;
  std::string digestName_;
  Options options_;
  Done done_;
  void* user_;
  std::unique_ptr<StatCache> cache_;
  std::string ignored_;
  bool changed_ = false;
  bool checked_ = false;  // check() was called: the records not met since are stale
  size_t hashed_ = 0;
  // Jobs handed to the pool, oldest first; answered in that order once finished.
  std::deque<Job> jobs_;
  std::unique_ptr<WorkPool> pool_;
  std::unordered_set<std::string> missingDirs_;
};

#endif  // VELMOR_FILE_CHECK_H_
