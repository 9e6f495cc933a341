// Staging: downloading the packs of the plan into tmp/updater and unpacking, deciphering and
// verifying them there. Nothing installed is touched here.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <zlib.h>

#include <memory>

#include "GenLib.h"
#include "confined_dir.h"
#include "download_nocurl.h"
#include "engine_internal.h"
#include "hash.h"
#include "journal.h"
#include "libupdater.h"
#include "memleak.h"
#include "rc4.h"

#define UPD_SRC "libupdater/stage"

using engine::FilePtr;
using engine::kUnpackBlock;
using engine::UnpackSink;

namespace {

// The digest of the bytes as they are unpacked; the context is released on every way out.
struct Digest {
  HashContext* ctx;
  uint8_t sum[EVP_MAX_MD_SIZE] = {};
  size_t size = 0;
  void finish() {
    if (!ctx) return;
    size = static_cast<size_t>(ctx->digest_size);
    hash_finish(ctx, sum, sizeof(sum));
    ctx = nullptr;
  }
  ~Digest() { finish(); }
};

// Ends a zlib inflate stream when the scope ends.
struct InflateEnd {
  z_stream* z;
  ~InflateEnd() { inflateEnd(z); }
};

// Length of an open stream, positioned back at its start; -1 when it cannot be found.
off_t streamLength(FILE* fp) {
  off_t length = -1;
  if (fseeko(fp, 0, SEEK_END) == 0) length = ftello(fp);
  if (length > 0 && fseeko(fp, 0, SEEK_SET) != 0) return -1;
  return length;
}

}  // namespace

void Updater::makeDirectories(const char* path) {
  AutoMutex hold(lock_);
  if (!path) return;
  struct stat whole;
  if (stat(path, &whole) == 0 && S_ISDIR(whole.st_mode)) return;
  std::string prefix;
  if (path[0] == '/') prefix = "/";
  const char* p = path;
  while (*p) {
    while (*p == '/') p++;
    if (!*p) break;
    const char* end = strchr(p, '/');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    prefix.append(p, len);
    struct stat st;
    if (stat(prefix.c_str(), &st) != 0) mkdir(prefix.c_str(), 0755);
    p += len;
  }
}

// ---- Downloading ----

bool Updater::downloadPacks(const Plan& p) {
  const std::string tmpDir = baseDir_ + engine::kStagingDir;
  bool first = true;
  for (const PlanInstall& item : p.installs) {
    if (first) {
      statusf("*** Downloading Updated Files ***");
      statusf("%s", "");
      first = false;
    }
    makeDirectories(tmpDir.c_str());
    item.file->downloadPath = item.downloadPath;
    if (item.sharesPackOf >= 0 || item.packPresent) {
      statusf("Already have %s, skipping download...", item.file->name.c_str());
      continue;
    }
    if (item.patch >= 0 && stagePatch(item)) continue;
    if (!downloadPack(item)) return false;
  }
  return true;
}

// The one place where a pack is fetched: its URL into its download path.
bool Updater::downloadPack(const PlanInstall& item) {
  const UpdateFile* f = item.file;
  TrackedBlock label(zstrdup(file_part(f->name.c_str()), UPD_SRC, __LINE__), UPD_SRC);
  void* user = label.get() ? label.get() : const_cast<char*>(file_part(f->name.c_str()));
  std::unique_ptr<OrvexDownloadNoCurl> client(new OrvexDownloadNoCurl(
      f->url.c_str(), callbacks_ ? callbacks_->fileProgress : nullptr, nullptr, nullptr, user));
  if (client->GetError() != 0) {
    return setError("ODL reports '%s' while downloading '%s'", client->GetErrorString(),
                    f->name.c_str());
  }
  client->SetNetOptions(net_);
  // Packs are written in large blocks rather than the stream's default small ones; the block
  // outlives the stream.
  TrackedBlock writeBuffer(nullptr, UPD_SRC);
  FilePtr fp(openStagingStream(item.downloadPath, true));
  if (!fp) return setError("Error opening %s", item.downloadPath.c_str());
  writeBuffer.reset(zmalloc(kUnpackBlock, UPD_SRC, __LINE__));
  if (writeBuffer.get()) {
    setvbuf(fp.get(), writeBuffer.chars(), _IOFBF, kUnpackBlock);
  }
  bool over = false;
  if (!DownloadBounded(client.get(), fp.get(), PackLimit(f->packSize), &over)) {
    if (over) return setError("%s", PackTooLong(f->name, f->url, f->packSize).c_str());
    return setError("ODL reports '%s' while downloading '%s'", client->GetErrorDetail(),
                    f->name.c_str());
  }
  return true;
}

// ---- Unpacking ----

namespace {

class StdioSink : public UnpackSink {
 public:
  explicit StdioSink(FILE* fp) : fp_(fp) {}
  bool write(const uint8_t* data, size_t n, int* err) override {
    if (fwrite(data, 1, n, fp_.get()) == n) return true;
    *err = errno ? errno : EIO;
    return false;
  }
  bool finish(int* err) override {
    if (fclose(fp_.release()) == 0) return true;
    *err = errno ? errno : EIO;
    return false;
  }

 private:
  FilePtr fp_;
};

// A staged file: written through the installation-directory layer and synced before closing,
// so it is on disk before the commit renames it into place.
class StagedSink : public UnpackSink {
 public:
  explicit StagedSink(std::unique_ptr<DirFile> file) : file_(std::move(file)) {}
  bool write(const uint8_t* data, size_t n, int* err) override {
    return check(file_->Write(data, n), err);
  }
  bool finish(int* err) override { return check(file_->Sync(), err) && check(file_->Close(), err); }
  DirFile* file() { return file_.get(); }

 private:
  static bool check(const DirStatus& s, int* err) {
    if (!s.ok()) *err = s.code();
    return s.ok();
  }
  std::unique_ptr<DirFile> file_;
};

}  // namespace

bool Updater::stageFiles(const Plan& p) {
  if (p.installs.empty()) return true;
  statusf("%s", "");
  statusf("*** Installing Updated Files ***");
  statusf("%s", "");
  TrackedBlock inBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  TrackedBlock outBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  if (!inBlock.get() || !outBlock.get()) return setError("Out of memory for unpacking");
  DirStatus s = dir_->RemoveTree(journal_paths::kStage);
  if (s.ok()) s = dir_->MakeDirs(journal_paths::kStage, 0700);
  if (!s.ok())
    return setError("Error preparing %s%s (%s)", baseDir_.c_str(), journal_paths::kStage,
                    s.message().c_str());
  for (size_t i = 0; i < p.installs.size(); i++) {
    const PlanInstall& item = p.installs[i];
    if (item.file->stagedFromPatch) {
      if (!adoptPatched(item, stagedPath(i))) return false;
      continue;
    }
    statusf("Unpacking %s ...", item.file->name.c_str());
    if (!stageFile(item, stagedPath(i), inBlock.get(), outBlock.get())) return false;
  }
  s = dir_->SyncDir(journal_paths::kStage);
  if (!s.ok())
    return setError("Error syncing %s%s (%s)", baseDir_.c_str(), journal_paths::kStage,
                    s.message().c_str());
  return true;
}

std::string Updater::stagedPath(size_t index) const {
  return std::string(journal_paths::kStage) + "/" + std::to_string(index);
}

// Unpacks the pack of item into the staged file rel, checking the file checksum on the bytes as
// they are written, and gives the copy its modes. True when the copy is known good and synced;
// false with the error set and both the copy and the (damaged) pack removed.
bool Updater::stageFile(const PlanInstall& item, const std::string& rel, void* inBlock,
                        void* outBlock) {
  const UpdateFile* f = item.file;
  const std::string& source = item.downloadPath;
  const std::string shown = baseDir_ + rel;
  FilePtr in;
  int64_t length = 0;
  if (!openPack(source.c_str(), &in, &length)) return failStaging(item, rel);
  std::unique_ptr<DirFile> file;
  DirStatus s = dir_->Create(rel, 0666, &file);
  if (!s.ok())
    return setError("Error opening %s for write! (%s)", shown.c_str(), s.message().c_str());
  StagedSink sink(std::move(file));
  if (f->modes != 0) sink.file()->Chmod(f->modes & kModesMask);
  Digest digest{hash_init(digestName())};
  const bool haveDigest = digest.ctx != nullptr;
  bool unpackedOk =
      inflateInto(in.get(), length, &sink, f->key, f->size, inBlock, outBlock, digest.ctx);
  digest.finish();
  char hex[2 * EVP_MAX_MD_SIZE + 1] = "";
  bin_to_hex(digest.sum, digest.size, hex);
  if (!unpackedOk) return failStaging(item, rel);
  if (!haveDigest || strcasecmp(hex, f->checksum) != 0) {
    failStaging(item, rel);
    return setError("Checksum does not match for file '%s'!", file_part(f->name.c_str()));
  }
  return true;
}

// A copy already built from a patch beside the pack joins the staged files, synced like them.
bool Updater::adoptPatched(const PlanInstall& item, const std::string& rel) {
  const std::string built = relativeToBase(item.downloadPath + engine::kUnpackSuffix);
  std::unique_ptr<DirFile> file;
  DirStatus s = dir_->Rename(built, rel);
  if (s.ok()) s = dir_->OpenRead(rel, &file);
  if (s.ok() && item.file->modes != 0) s = file->Chmod(item.file->modes & kModesMask);
  if (s.ok()) s = file->Sync();
  return s.ok() || layerError(s);
}

// A pack that cannot be unpacked is damaged: it goes with its partial copy, so the next run
// fetches it again. Always false, with "Error unpacking" and the pack's path.
bool Updater::failStaging(const PlanInstall& item, const std::string& rel) {
  dir_->Unlink(rel);
  dir_->Unlink(relativeToBase(item.downloadPath));
  return setError("Error unpacking %s", item.downloadPath.c_str());
}

bool Updater::openPack(const char* source, FilePtr* in, int64_t* length) {
  in->reset(openStagingStream(source, false));
  if (!*in) return setError("Error opening %s for read!", source);
  *length = streamLength(in->get());
  if (*length <= 0) {
    return setError("Error reading file data! (%s)",
                    *length == 0 ? "empty file" : strerror(errno ? errno : EIO));
  }
  return true;
}

bool Updater::inflateInto(FILE* in, int64_t length, UnpackSink* out, const char* key, int64_t size,
                          void* inBlock, void* outBlock, HashContext* digest) {
  Rc4State rc4;
  const bool encrypted = key && key[0] != '\0';
  if (encrypted) {
    // The key is always 16 bytes; a shorter text is padded with NUL bytes.
    uint8_t k16[16] = {};
    memcpy(k16, key, strnlen(key, sizeof(k16)));
    rc4_init(&rc4, k16, sizeof(k16));
  }

  z_stream zs;
  memset(&zs, 0, sizeof(zs));
  if (inflateInit(&zs) != Z_OK) return setError("Error uncompressing data (%d)", Z_MEM_ERROR);
  InflateEnd endInflate{&zs};

  uint8_t* inBuf = static_cast<uint8_t*>(inBlock);
  uint8_t* outBuf = static_cast<uint8_t*>(outBlock);
  const uint64_t limit = size > 0 ? static_cast<uint64_t>(size) : 0;
  uint64_t produced = 0;
  uint64_t remaining = static_cast<uint64_t>(length);
  bool ended = false;
  int err = 0;
  while (!ended && remaining > 0) {
    size_t want = remaining < kUnpackBlock ? static_cast<size_t>(remaining) : kUnpackBlock;
    errno = 0;
    size_t got = fread(inBuf, 1, want, in);
    if (got != want) {
      return setError("Error reading file data! (%s)", errno ? strerror(errno) : "short read");
    }
    remaining -= got;
    if (encrypted) rc4_crypt(&rc4, inBuf, got);
    zs.next_in = inBuf;
    zs.avail_in = static_cast<uInt>(got);
    do {
      zs.next_out = outBuf;
      zs.avail_out = static_cast<uInt>(kUnpackBlock);
      int ret = inflate(&zs, Z_NO_FLUSH);
      if (ret == Z_NEED_DICT) ret = Z_DATA_ERROR;
      if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) {
        return setError("Error uncompressing data (%d)", ret);
      }
      size_t n = kUnpackBlock - zs.avail_out;
      if (produced + n > limit) return setError("Error uncompressing data (%d)", Z_BUF_ERROR);
      produced += n;
      if (n > 0 && !out->write(outBuf, n, &err)) {
        return setError("Error writing file data! (%s)", strerror(err));
      }
      if (n > 0 && digest) hash_update(digest, outBuf, n);
      if (ret == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (ret == Z_BUF_ERROR) break;  // no progress possible until more input arrives
    } while (zs.avail_in > 0 || zs.avail_out == 0);
  }
  if (!ended) {
    // The data stopped before the end of the stream: with room left for output the data is
    // damaged, with the output already at its limit it is too long for it.
    return setError("Error uncompressing data (%d)",
                    produced >= limit ? Z_BUF_ERROR : Z_DATA_ERROR);
  }
  if (!out->finish(&err)) return setError("Error writing file data! (%s)", strerror(err));
  return true;
}

bool Updater::unpackFile(const char* source, const char* destination, const char* key,
                         int64_t size) {
  AutoMutex hold(lock_);
  TrackedBlock inBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  TrackedBlock outBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  if (!inBlock.get() || !outBlock.get())
    return setError("Error uncompressing data (%d)", Z_MEM_ERROR);
  // Written beside the destination and renamed over it only when complete, so the source may
  // be the destination itself and a failure leaves the destination as it was.
  std::string temp = std::string(destination) + engine::kUnpackSuffix;
  FilePtr in;
  int64_t length = 0;
  if (!openPack(source, &in, &length)) return false;
  bool ok;
  {
    FILE* fp = fopen(temp.c_str(), "wb");
    if (!fp) return setError("Error opening %s for write!", destination);
    StdioSink sink(fp);
    ok = inflateInto(in.get(), length, &sink, key, size, inBlock.get(), outBlock.get(), nullptr);
  }
  if (!ok) {
    remove(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), destination) != 0) {
    int err = errno;
    remove(temp.c_str());
    return setError("Error renaming %s to %s (%s)", temp.c_str(), destination, strerror(err));
  }
  return true;
}
