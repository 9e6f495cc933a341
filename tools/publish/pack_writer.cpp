#include "pack_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "hash.h"
#include "memleak.h"
#include "rc4.h"
#include "unique_fd.h"

namespace {

// Size of the read and write blocks: large enough that system calls stay rare, small enough that
// memory stays bounded whatever the file size.
const uint32_t kBlock = 256 * 1024;

std::string SysError(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + strerror(errno);
}

// read() that retries interrupted calls. Bytes read, 0 at the end, -1 on error.
ssize_t ReadSome(int fd, uint8_t* buf, size_t len) {
  for (;;) {
    ssize_t n = read(fd, buf, len);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool WriteAll(int fd, const uint8_t* buf, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Deflate state released with its scope.
class Deflater {
 public:
  explicit Deflater(int level) {
    memset(&zs_, 0, sizeof(zs_));
    ok_ = deflateInit(&zs_, level) == Z_OK;
  }
  ~Deflater() {
    if (ok_) deflateEnd(&zs_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  bool ok() const { return ok_; }
  z_stream* z() { return &zs_; }

 private:
  z_stream zs_;
  bool ok_;
};

}  // namespace

Digest::Digest(const char* name) : ctx_(hash_init(name)), size_(0) {
  const EVP_MD* md = EVP_get_digestbyname(name);
  if (md) size_ = static_cast<size_t>(EVP_MD_size(md));
}

Digest::~Digest() {
  if (ctx_) {
    uint8_t scratch[64];
    hash_finish(ctx_, scratch, sizeof(scratch));
  }
}

void Digest::Update(const void* data, size_t len) {
  if (ctx_ && len > 0) hash_update(ctx_, static_cast<const uint8_t*>(data), len);
}

std::string Digest::Finish() {
  if (!ctx_) return std::string();
  uint8_t bin[64];
  char hex[129];
  hash_finish(ctx_, bin, sizeof(bin));
  ctx_ = nullptr;
  bin_to_hex(bin, size_, hex);
  return hex;
}

bool DigestFile(const std::string& path, const DigestKinds& kinds, FileDigests* out,
                std::string* error) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    *error = SysError("cannot open", path);
    return false;
  }
  TrackedBlock buf(zmalloc(kBlock, __FILE__, __LINE__));
  if (!buf.bytes()) {
    *error = "out of memory while reading " + path;
    return false;
  }
  Digest sha("sha256"), md5("md5");
  out->size = 0;
  for (;;) {
    ssize_t n = ReadSome(fd.get(), buf.bytes(), kBlock);
    if (n < 0) {
      *error = SysError("cannot read", path);
      return false;
    }
    if (n == 0) break;
    if (kinds.sha256) sha.Update(buf.bytes(), static_cast<size_t>(n));
    if (kinds.md5) md5.Update(buf.bytes(), static_cast<size_t>(n));
    out->size += static_cast<uint64_t>(n);
  }
  out->sha256 = kinds.sha256 ? sha.Finish() : std::string();
  out->md5 = kinds.md5 ? md5.Finish() : std::string();
  return true;
}

bool WritePack(const std::string& src, const std::string& dst, const std::string& key, int level,
               uint64_t expected_size, const DigestKinds& kinds, FileDigests* file,
               FileDigests* pack, std::string* error) {
  UniqueFd in(open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    *error = SysError("cannot open", src);
    return false;
  }
  UniqueFd out(open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) {
    *error = SysError("cannot create", dst);
    return false;
  }
  // From here on every failure removes the partial pack.
  struct Remover {
    const std::string& path;
    bool keep = false;
    ~Remover() {
      if (!keep) unlink(path.c_str());
    }
  } remover{dst};

  TrackedBlock inbuf(zmalloc(kBlock, __FILE__, __LINE__));
  TrackedBlock outbuf(zmalloc(kBlock, __FILE__, __LINE__));
  Deflater deflater(level);
  if (!inbuf.bytes() || !outbuf.bytes() || !deflater.ok()) {
    *error = "out of memory while packing " + src;
    return false;
  }
  Rc4State rc4{};
  if (!key.empty() && !rc4_init(&rc4, reinterpret_cast<const uint8_t*>(key.data()), key.size())) {
    *error = "unusable RC4 key for " + src + " (1 to 256 bytes)";
    return false;
  }
  Digest file_sha("sha256"), file_md5("md5"), pack_sha("sha256"), pack_md5("md5");
  z_stream* zs = deflater.z();
  file->size = 0;
  pack->size = 0;
  bool at_end = false;
  while (!at_end) {
    ssize_t n = ReadSome(in.get(), inbuf.bytes(), kBlock);
    if (n < 0) {
      *error = SysError("cannot read", src);
      return false;
    }
    at_end = n == 0;
    if (kinds.sha256) file_sha.Update(inbuf.bytes(), static_cast<size_t>(n));
    if (kinds.md5) file_md5.Update(inbuf.bytes(), static_cast<size_t>(n));
    file->size += static_cast<uint64_t>(n);
    zs->next_in = inbuf.bytes();
    zs->avail_in = static_cast<uInt>(n);
    int rc;
    do {
      zs->next_out = outbuf.bytes();
      zs->avail_out = kBlock;
      rc = deflate(zs, at_end ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) {
        *error = "deflate failed for " + src;
        return false;
      }
      size_t have = kBlock - zs->avail_out;
      if (have > 0) {
        if (!key.empty()) rc4_crypt(&rc4, outbuf.bytes(), have);
        pack_sha.Update(outbuf.bytes(), have);
        if (kinds.md5) pack_md5.Update(outbuf.bytes(), have);
        if (!WriteAll(out.get(), outbuf.bytes(), have)) {
          *error = SysError("cannot write", dst);
          return false;
        }
        pack->size += have;
      }
    } while (zs->avail_out == 0 || (at_end && rc != Z_STREAM_END));
  }
  // The pack is on disk before it is renamed to the name a document will list.
  if (fsync(out.get()) != 0 || !out.Close()) {
    *error = SysError("cannot write", dst);
    return false;
  }
  if (file->size != expected_size) {
    *error = src + " changed while it was being published";
    return false;
  }
  file->sha256 = kinds.sha256 ? file_sha.Finish() : std::string();
  file->md5 = kinds.md5 ? file_md5.Finish() : std::string();
  pack->sha256 = pack_sha.Finish();
  pack->md5 = kinds.md5 ? pack_md5.Finish() : std::string();
  remover.keep = true;
  return true;
}

std::string RandomPackKey() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string key;
  uint8_t bytes[64];
  while (key.size() < 16) {
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) return std::string();
    for (uint8_t b : bytes) {
      // 248 = 4 * 62: values above it would favour the first letters.
      if (b < 248 && key.size() < 16) key.push_back(kChars[b % 62]);
    }
  }
  return key;
}
