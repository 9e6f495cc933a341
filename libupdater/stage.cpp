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
#include "download_nocurl.h"
#include "engine_internal.h"
#include "hash.h"
#include "libupdater.h"
#include "memleak.h"
#include "rc4.h"

#define UPD_SRC "libupdater/stage"

using engine::FilePtr;
using engine::kUnpackBlock;
using engine::TrackedBlock;

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
  void* user = label.ptr ? label.ptr : const_cast<char*>(file_part(f->name.c_str()));
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
  if (!discardLeftover(item.downloadPath)) return false;
  FilePtr fp(fopen(item.downloadPath.c_str(), "wb"));
  if (!fp) return setError("Error opening %s", item.downloadPath.c_str());
  writeBuffer.ptr = zmalloc(kUnpackBlock, UPD_SRC, __LINE__);
  if (writeBuffer.ptr) {
    setvbuf(fp.get(), static_cast<char*>(writeBuffer.ptr), _IOFBF, kUnpackBlock);
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

// Unpacks the pack of item into unpacked and checks the file checksum on the bytes as they are
// written. True when the copy is known good (its modes then set); false with the error set and
// both the copy and the pack removed.
bool Updater::unpackAndVerify(const PlanInstall& item, const std::string& unpacked, void* inBlock,
                              void* outBlock) {
  const UpdateFile* f = item.file;
  const std::string& source = item.downloadPath;
  Digest digest{hash_init(digestName())};
  const bool haveDigest = digest.ctx != nullptr;
  if (!discardLeftover(unpacked)) return false;
  bool unpackedOk = unpackTo(source.c_str(), unpacked.c_str(), unpacked.c_str(), f->key, f->size,
                             inBlock, outBlock, digest.ctx);
  digest.finish();
  char hex[2 * EVP_MAX_MD_SIZE + 1] = "";
  bin_to_hex(digest.sum, digest.size, hex);
  if (!unpackedOk || !haveDigest || strcasecmp(hex, f->checksum) != 0) {
    remove(unpacked.c_str());
    remove(source.c_str());
    if (!unpackedOk) return setError("Error unpacking %s", source.c_str());
    return setError("Checksum does not match for file '%s'!", file_part(f->name.c_str()));
  }
  if (f->modes != 0) chmod(unpacked.c_str(), f->modes & kModesMask);
  return true;
}

bool Updater::unpackTo(const char* source, const char* destination, const char* shownDestination,
                       const char* key, int64_t size, void* inBlock, void* outBlock,
                       HashContext* digest) {
  FilePtr in(fopen(source, "rb"));
  if (!in) return setError("Error opening %s for read!", source);
  off_t length = streamLength(in.get());
  if (length <= 0) {
    return setError("Error reading file data! (%s)",
                    length == 0 ? "empty file" : strerror(errno ? errno : EIO));
  }
  FilePtr out(fopen(destination, "wb"));
  if (!out) return setError("Error opening %s for write!", shownDestination);

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
  while (!ended && remaining > 0) {
    size_t want = remaining < kUnpackBlock ? static_cast<size_t>(remaining) : kUnpackBlock;
    errno = 0;
    size_t got = fread(inBuf, 1, want, in.get());
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
      if (n > 0 && fwrite(outBuf, 1, n, out.get()) != n) {
        return setError("Error writing file data! (%s)", strerror(errno ? errno : EIO));
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
  FILE* raw = out.release();
  if (fclose(raw) != 0) {
    return setError("Error writing file data! (%s)", strerror(errno ? errno : EIO));
  }
  return true;
}

bool Updater::unpackFile(const char* source, const char* destination, const char* key,
                         int64_t size) {
  AutoMutex hold(lock_);
  TrackedBlock inBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  TrackedBlock outBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  if (!inBlock.ptr || !outBlock.ptr) return setError("Error uncompressing data (%d)", Z_MEM_ERROR);
  // Written beside the destination and renamed over it only when complete, so the source may
  // be the destination itself and a failure leaves the destination as it was.
  std::string temp = std::string(destination) + engine::kUnpackSuffix;
  if (!unpackTo(source, temp.c_str(), destination, key, size, inBlock.ptr, outBlock.ptr, nullptr)) {
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
