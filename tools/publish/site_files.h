// Keeping a site consistent on disk while it is published: one publish at a time (a lock file
// in the site), everything flushed before it becomes visible, and the temporary files of a
// publish that was killed removed by the next one.
//
// Thread rules: the functions keep no state; a SiteLock belongs to one publish.
#ifndef TOOLS_PUBLISH_SITE_FILES_H_
#define TOOLS_PUBLISH_SITE_FILES_H_

#include <string>

// Name of the lock file in the site directory.
extern const char kSiteLockName[];

// The exclusive lock of one site, held from Acquire until the object goes (the kernel drops it
// when the process ends, a killed publish included).
class SiteLock {
 public:
  SiteLock() = default;
  ~SiteLock();
  SiteLock(const SiteLock&) = delete;
  SiteLock& operator=(const SiteLock&) = delete;

  // Takes the lock of site without waiting (the lock file stays empty, so that a site's bytes
  // do not depend on who published it). True when held; false with a message in *error when
  // another publish holds it ("another publish into SITE is running ...") or the lock file
  // cannot be opened.
  bool Acquire(const std::string& site, std::string* error);

 private:
  int fd_ = -1;
};

// fsync of a file or directory. True on success; false with a message naming it in *error.
bool SyncPath(const std::string& path, std::string* error);

// Writes text to a temporary file beside path, flushes it to disk, renames it over path and
// flushes the directory. True on success; false with a message in *error (path untouched).
bool WriteDurably(const std::string& path, const std::string& text, std::string* error);

// Removes what a killed publish left in dir: temporary packs and patches (".NAME.tmp") and
// temporary documents ("NAME.tmp" and "NAME.tmp-PID"); only regular files. Returns how many
// were removed.
int RemoveLeftoverTemps(const std::string& dir);

#endif  // TOOLS_PUBLISH_SITE_FILES_H_
