#include "file_check.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>

#include <vector>

#include "hash.h"

namespace {

// Bytes read at a time while hashing (one block per hashing thread, kept for its life).
const size_t kHashBlock = 256 * 1024;

}  // namespace

FileCheck::FileCheck(ConfinedDir* dir, const std::string& statePath, const char* digestName,
                     const Options& options, Done done, void* user)
    : dir_(dir),
      statePath_(statePath),
      digestName_(digestName ? digestName : ""),
      options_(options),
      done_(done),
      user_(user) {
  struct stat base;
  if (!dir_->Stat("", &base).ok()) memset(&base, 0, sizeof(base));
  cache_.reset(new StatCache(digestName_, base, options_.clock, options_.racyWindowNs));
  std::string text;
  DirStatus read = dir_->ReadFile(statePath_, StatCache::kMaxStateSize, &text);
  if (!read.ok()) {
    ignored_ = read.message();
  } else if (!cache_->parse(text, &ignored_)) {
    ignored_ = statePath_ + ": " + ignored_;
  }
}

FileCheck::~FileCheck() { finish(); }

bool FileCheck::inMissingDir(const std::string& name) const {
  if (missingDirs_.empty()) return false;
  for (size_t slash = name.find('/'); slash != std::string::npos;
       slash = name.find('/', slash + 1)) {
    if (missingDirs_.count(name.substr(0, slash))) return true;
  }
  return false;
}

void FileCheck::noteMissing(const std::string& name) {
  std::string missing;
  for (size_t slash = name.rfind('/'); slash != std::string::npos && slash > 0;
       slash = name.rfind('/', slash - 1)) {
    std::string dir = name.substr(0, slash);
    struct stat st;
    if (dir_->Stat(dir, &st).code() != ENOENT) break;
    missing.swap(dir);
  }
  if (!missing.empty()) missingDirs_.insert(missing);
}

void FileCheck::check(const std::string& name, const char* expectedHex, void* item) {
  checked_ = true;
  struct stat st;
  if (inMissingDir(name)) {
    memset(&st, 0, sizeof(st));
    done_(item, false, nullptr, st, user_);
    return;
  }
  const DirStatus found = dir_->Stat(name, &st);
  if (!found.ok()) {
    if (found.code() == ENOENT) noteMissing(name);
    memset(&st, 0, sizeof(st));
    done_(item, false, nullptr, st, user_);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    done_(item, false, nullptr, st, user_);
    return;
  }
  uint8_t digest[StatCache::kMaxDigest];
  size_t size = 0;
  if (!options_.verifyAll && cache_->lookup(name, file_stat_from(st), digest, &size)) {
    char hex[2 * StatCache::kMaxDigest + 1];
    bin_to_hex(digest, size, hex);
    done_(item, strcasecmp(hex, expectedHex ? expectedHex : "") == 0, hex, st, user_);
    return;
  }
  if (!pool_) pool_.reset(new WorkPool(options_.threads, 4096));
  jobs_.emplace_back();
  Job* job = &jobs_.back();
  job->name = name;
  job->item = item;
  snprintf(job->expected, sizeof(job->expected), "%s", expectedHex ? expectedHex : "");
  pool_->submit([this, job] { run(job); });
  drainFinished();
}

void FileCheck::run(Job* job) {
  std::unique_ptr<DirFile> file;
  if (dir_->OpenRead(job->name, &file).ok()) {
    job->exists = file->Stat(&job->st).ok();
    HashContext* ctx = job->exists ? hash_init(digestName_.c_str()) : nullptr;
    if (ctx) {
      const size_t size = static_cast<size_t>(ctx->digest_size);
      thread_local std::vector<unsigned char> block(kHashBlock);
      bool ok = size <= StatCache::kMaxDigest;
      // Large files are read ahead further (a file not in the page cache, say).
      if (job->st.st_size >= static_cast<off_t>(4 * kHashBlock) && file->fd() >= 0) {
        posix_fadvise(file->fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
      }
      for (;;) {
        ssize_t n = file->Read(block.data(), block.size());
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (hash_update(ctx, block.data(), static_cast<size_t>(n)) != 1) ok = false;
      }
      uint8_t sum[EVP_MAX_MD_SIZE];
      hash_finish(ctx, sum, sizeof(sum));
      if (ok) {
        memcpy(job->digest, sum, size);
        job->digestSize = size;
        job->hashed = true;
      }
    }
    file->Close();
  }
  job->finished.store(true, std::memory_order_release);
}

void FileCheck::deliver(Job* job) {
  bool current = false;
  char hex[2 * StatCache::kMaxDigest + 1] = "";
  if (job->hashed) {
    hashed_++;
    bin_to_hex(job->digest, job->digestSize, hex);
    current = strcasecmp(hex, job->expected) == 0;
    cache_->record(job->name, file_stat_from(job->st), job->digest, job->digestSize);
    changed_ = true;
  }
  if (!job->exists) memset(&job->st, 0, sizeof(job->st));
  done_(job->item, current, job->hashed ? hex : nullptr, job->st, user_);
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
  // The tree may change before the next check().
  missingDirs_.clear();
}

void FileCheck::recordInstalled(const std::string& name, const char* digestHex) {
  const EVP_MD* md = EVP_get_digestbyname(digestName_.c_str());
  const size_t size = md ? static_cast<size_t>(EVP_MD_size(md)) : 0;
  const size_t len = digestHex ? strlen(digestHex) : 0;
  const bool valid = size > 0 && size <= StatCache::kMaxDigest && len == 2 * size &&
                     strspn(digestHex, "0123456789abcdefABCDEF") == len;
  changed_ = true;
  struct stat st;
  if (!valid || !dir_->Stat(name, &st).ok() || !S_ISREG(st.st_mode)) {
    cache_->forget(name);
    return;
  }
  uint8_t digest[StatCache::kMaxDigest];
  hex_to_bin(digestHex, digest, sizeof(digest));
  cache_->record(name, file_stat_from(st), digest, size);
}

void FileCheck::forget(const std::string& name) {
  cache_->forget(name);
  changed_ = true;
}

bool FileCheck::save(std::string* error) {
  finish();
  // After a check of the listed files, records of files no longer listed (or gone) go.
  if (checked_ && cache_->dropUnused() > 0) changed_ = true;
  if (!changed_) return true;
  DirStatus written = dir_->ReplaceFile(statePath_, cache_->serialize(), 0600);
  if (!written.ok()) {
    if (error) *error = written.message();
    return false;
  }
  changed_ = false;
  return true;
}
