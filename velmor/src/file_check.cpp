#include "file_check.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "hash.h"

namespace {

// Bytes read at a time while hashing (on the worker's stack).
const size_t kHashBlock = 64 * 1024;

// Directory part of path ("" when it has none).
std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Creates every missing directory of path with mode 0755; true when path is a directory then.
bool MakeDirectories(const std::string& path) {
  struct stat st;
  if (path.empty() || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) return true;
  if (!MakeDirectories(DirectoryOf(path))) return false;
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

FileCheck::FileCheck(const std::string& baseDir, const std::string& statePath,
                     const char* digestName, const Options& options, Done done, void* user)
    : baseDir_(baseDir),
      statePath_(statePath),
      digestName_(digestName ? digestName : ""),
      options_(options),
      done_(done),
      user_(user) {
  struct stat dir;
  if (stat(baseDir_.empty() ? "." : baseDir_.c_str(), &dir) != 0) memset(&dir, 0, sizeof(dir));
  cache_.reset(new StatCache(digestName_, dir, options_.clock, options_.racyWindowNs));
  cache_->load(statePath_, &ignored_);
}

FileCheck::~FileCheck() { finish(); }

void FileCheck::check(const std::string& name, const char* expectedHex, void* item) {
  const std::string path = baseDir_ + name;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    memset(&st, 0, sizeof(st));
    done_(item, false, false, st, user_);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    done_(item, false, true, st, user_);
    return;
  }
  uint8_t digest[StatCache::kMaxDigest];
  size_t size = 0;
  if (!options_.verifyAll && cache_->lookup(name, file_stat_from(st), digest, &size)) {
    char hex[2 * StatCache::kMaxDigest + 1];
    bin_to_hex(digest, size, hex);
    done_(item, strcasecmp(hex, expectedHex ? expectedHex : "") == 0, true, st, user_);
    return;
  }
  if (!pool_) pool_.reset(new WorkPool(options_.threads));
  jobs_.emplace_back();
  Job* job = &jobs_.back();
  job->name = name;
  job->item = item;
  snprintf(job->expected, sizeof(job->expected), "%s", expectedHex ? expectedHex : "");
  pool_->submit([this, job] { run(job); });
  drainFinished();
}

void FileCheck::run(Job* job) {
  const std::string path = baseDir_ + job->name;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    job->exists = fstat(fd, &job->st) == 0;
    HashContext* ctx =
        job->exists && S_ISREG(job->st.st_mode) ? hash_init(digestName_.c_str()) : nullptr;
    if (ctx) {
      const size_t size = static_cast<size_t>(ctx->digest_size);
      unsigned char block[kHashBlock];
      bool ok = size <= StatCache::kMaxDigest;
      for (;;) {
        ssize_t n = read(fd, block, sizeof(block));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (hash_update(ctx, block, static_cast<size_t>(n)) != 1) ok = false;
      }
      uint8_t sum[EVP_MAX_MD_SIZE];
      hash_finish(ctx, sum, sizeof(sum));
      if (ok) {
        memcpy(job->digest, sum, size);
        job->digestSize = size;
        job->hashed = true;
      }
    }
    close(fd);
  }
  job->finished.store(true, std::memory_order_release);
}

void FileCheck::deliver(Job* job) {
  bool current = false;
  if (job->hashed) {
    hashed_++;
    char hex[2 * StatCache::kMaxDigest + 1];
    bin_to_hex(job->digest, job->digestSize, hex);
    current = strcasecmp(hex, job->expected) == 0;
    cache_->record(job->name, file_stat_from(job->st), job->digest, job->digestSize);
    changed_ = true;
  }
  done_(job->item, current, job->exists, job->st, user_);
}

void FileCheck::drainFinished() {
  while (!jobs_.empty() && jobs_.front().finished.load(std::memory_order_acquire)) {
    deliver(&jobs_.front());
    jobs_.pop_front();
  }
}

void FileCheck::finish() {
  if (pool_) pool_->wait();
  drainFinished();
}

void FileCheck::recordInstalled(const std::string& name, const char* digestHex) {
  const std::string path = baseDir_ + name;
  struct stat st;
  uint8_t digest[StatCache::kMaxDigest];
  size_t len = digestHex ? strlen(digestHex) : 0;
  const EVP_MD* md = EVP_get_digestbyname(digestName_.c_str());
  const size_t size = md ? static_cast<size_t>(EVP_MD_size(md)) : 0;
  bool valid = size > 0 && size <= StatCache::kMaxDigest && len == 2 * size &&
               strspn(digestHex, "0123456789abcdefABCDEF") == len;
  changed_ = true;
  if (!valid || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    cache_->forget(name);
    return;
  }
  hex_to_bin(digestHex, digest, sizeof(digest));
  cache_->record(name, file_stat_from(st), digest, size);
}

void FileCheck::forget(const std::string& name) {
  cache_->forget(name);
  changed_ = true;
}

bool FileCheck::save(std::string* error) {
  finish();
  if (!changed_) return true;
  if (!MakeDirectories(DirectoryOf(statePath_))) {
    if (error) *error = "cannot create " + DirectoryOf(statePath_) + " (" + strerror(errno) + ")";
    return false;
  }
  if (!cache_->save(statePath_, error)) return false;
  changed_ = false;
  return true;
}
