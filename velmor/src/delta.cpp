#include "delta.h"

#include <divsufsort.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "gzip_member.h"
#include "unique_fd.h"

namespace {

const char kMagic[8] = {'V', 'L', 'D', 'E', 'L', 'T', 'A', '\x1a'};
const uint32_t kVersion = 1;
// The extra stream is one frame compressed with the old file as its raw-content prefix.
const uint32_t kFlagExtraPrefix = 1;
// The files are gzip files: the streams turn the old file's uncompressed content into the new
// file's, which a recompression recipe (after the header) turns into the new gzip file.
const uint32_t kFlagGzip = 2;
const uint32_t kKnownFlags = kFlagExtraPrefix | kFlagGzip;
// The largest recipe a reader accepts (it is read whole).
const uint32_t kMaxRecipeLength = 4 << 20;

// Windows of the streams compressed without the old file, and so the applier's buffers: small
// for the control and difference streams (measured on shared libraries, a larger window gains
// nothing there), larger for an extra stream too large to be compressed against the old file.
const int kControlWindowLog = 18;
const int kExtraWindowLog = 23;
// The largest extra stream (uncompressed) that is compressed against the old file, and the
// largest old file that is; the applier's buffer for that frame is at most the former.
const uint64_t kPrefixExtraMax = uint64_t{16} << 20;
const uint64_t kPrefixOldMax = uint64_t{1} << 30;

// A fresh exact match replaces the current alignment only when it is longer than the bytes the
// alignment already gets right over the same span by more than this.
// (Measured on shared libraries: 8 to 12 are best; fewer entries above, noisier diffs below.)
const int64_t kMinGain = 10;

// ---------------------------------------------------------------------------------------------
// Little-endian fields and variable-length integers.

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t GetU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void PutVarint(std::vector<uint8_t>* out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<uint8_t>(v));
}
uint64_t ZigZag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
int64_t UnZigZag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

// Header layout; docs/delta-format.md gives the same table.
enum HeaderOffset : size_t {
  kOffMagic = 0,
  kOffVersion = 8,
  kOffFlags = 12,
  kOffOldSize = 16,
  kOffNewSize = 24,
  kOffOldSha = 32,
  kOffNewSha = 64,
  kOffControlLength = 96,
  kOffDiffLength = 104,
  kOffExtraLength = 112,
  kOffRecipeLength = 120,  // 0 unless the gzip flag is set
  kOffCrc = 124,
};

void EncodeHeader(const DeltaHeader& h, uint8_t* out) {
  memset(out, 0, kDeltaHeaderSize);
  memcpy(out + kOffMagic, kMagic, sizeof(kMagic));
  PutU32(out + kOffVersion, kVersion);
  PutU32(out + kOffFlags, h.flags);
  PutU64(out + kOffOldSize, h.old_size);
  PutU64(out + kOffNewSize, h.new_size);
  memcpy(out + kOffOldSha, h.old_sha256, 32);
  memcpy(out + kOffNewSha, h.new_sha256, 32);
  PutU64(out + kOffControlLength, h.control_length);
  PutU64(out + kOffDiffLength, h.diff_length);
  PutU64(out + kOffExtraLength, h.extra_length);
  PutU32(out + kOffRecipeLength, h.recipe_length);
  PutU32(out + kOffCrc, static_cast<uint32_t>(crc32(0, out, kOffCrc)));
}

// ---------------------------------------------------------------------------------------------
// Matching: the old file's suffix array, longest exact matches, and the cover of the new file.

struct Control {
  uint64_t add;   // bytes: new = old + diff
  uint64_t copy;  // bytes taken from the extra stream
  int64_t seek;   // old position change after both
};

class Matcher {
 public:
  Matcher(const uint8_t* old_data, int64_t old_size, const int32_t* sa)
      : old_(old_data), n_(old_size), sa_(sa) {}

  // Length of the longest prefix of p[0, len) found in the old file, its old position in *pos.
  int64_t Longest(const uint8_t* p, int64_t len, int64_t* pos) const {
    *pos = 0;
    if (n_ == 0 || len == 0) return 0;
    // Binary search for where p sorts among the suffixes, skipping the prefix that both bounds
    // are known to share with p.
    int64_t lo = 0, hi = n_ - 1;
    int64_t lo_lcp = Lcp(sa_[lo], p, len, 0), hi_lcp = Lcp(sa_[hi], p, len, 0);
    while (hi - lo > 1) {
      int64_t mid = lo + (hi - lo) / 2;
      int64_t skip = std::min(lo_lcp, hi_lcp);
      int64_t l = Lcp(sa_[mid], p, len, skip);
      int64_t s = sa_[mid];
      bool suffix_less = (s + l == n_) || (l < len && old_[s + l] < p[l]);
      if (l == len) {
        *pos = s;
        return l;
      }
      if (suffix_less) {
        lo = mid;
        lo_lcp = l;
      } else {
        hi = mid;
        hi_lcp = l;
      }
    }
    if (lo_lcp >= hi_lcp) {
      *pos = sa_[lo];
      return lo_lcp;
    }
    *pos = sa_[hi];
    return hi_lcp;
  }

 private:
  // Common prefix length of the old suffix at s and p, known to be at least from.
  int64_t Lcp(int64_t s, const uint8_t* p, int64_t len, int64_t from) const {
    int64_t limit = std::min(n_ - s, len);
    int64_t i = from;
    while (i + 8 <= limit) {
      uint64_t a, b;
      memcpy(&a, old_ + s + i, 8);
      memcpy(&b, p + i, 8);
      if (a != b) return i + (__builtin_ctzll(a ^ b) >> 3);
      i += 8;
    }
    while (i < limit && old_[s + i] == p[i]) ++i;
    return i;
  }

  const uint8_t* old_;
  int64_t n_;
  const int32_t* sa_;
};

// Covers the new file with control entries, difference bytes and extra bytes.
class Cover {
 public:
  Cover(const uint8_t* old_data, int64_t old_size, const uint8_t* new_data, int64_t new_size,
        const Matcher& matcher)
      : old_(old_data), n_(old_size), new_(new_data), m_(new_size), matcher_(matcher) {}

  void Run(std::vector<Control>* controls, std::vector<uint8_t>* diff,
           std::vector<uint8_t>* extra) {
    int64_t scan = 0, len = 0, pos = 0;
    int64_t last_scan = 0, last_pos = 0, last_offset = 0;
    while (scan < m_) {
      int64_t aligned = 0;  // bytes in [scan, counted) that the current alignment gets right
      int64_t counted = scan += len;
      for (; scan < m_; ++scan) {
        len = matcher_.Longest(new_ + scan, m_ - scan, &pos);
        for (; counted < scan + len; ++counted) aligned += Same(counted, counted + last_offset);
        if ((len == aligned && len != 0) || len > aligned + kMinGain) break;
        aligned -= Same(scan, scan + last_offset);
      }
      if (len == aligned && scan != m_) continue;
      if (scan == m_) pos = last_pos + (scan - last_scan);
      Emit(last_scan, last_pos, scan, pos, controls, diff, extra, &last_scan, &last_pos);
      last_offset = pos - scan;
    }
  }

 private:
  int Same(int64_t new_pos, int64_t old_pos) const {
    return old_pos >= 0 && old_pos < n_ && old_[old_pos] == new_[new_pos];
  }

  // One entry from the end of the previous match (last_scan in new, last_pos in old) up to the
  // match found at scan (old position pos): the previous alignment is extended forward and the
  // new one backward as long as at least half the bytes agree, the rest becomes extra bytes.
  void Emit(int64_t last_scan, int64_t last_pos, int64_t scan, int64_t pos,
            std::vector<Control>* controls, std::vector<uint8_t>* diff, std::vector<uint8_t>* extra,
            int64_t* next_scan, int64_t* next_pos) {
    int64_t fwd = 0;
    {
      int64_t score = 0, best = 0;
      for (int64_t i = 0; last_scan + i < scan && last_pos + i < n_; ++i) {
        score += old_[last_pos + i] == new_[last_scan + i] ? 1 : -1;
        if (score > best) {
          best = score;
          fwd = i + 1;
        }
      }
    }
    int64_t back = 0;
    if (scan < m_) {
      int64_t score = 0, best = 0;
      for (int64_t i = 1; scan >= last_scan + i && pos >= i; ++i) {
        score += old_[pos - i] == new_[scan - i] ? 1 : -1;
        if (score > best) {
          best = score;
          back = i;
        }
      }
    }
    if (last_scan + fwd > scan - back) {
      // The two extensions overlap: split the overlap where the two alignments together get
      // the most bytes right.
      int64_t overlap = (last_scan + fwd) - (scan - back);
      int64_t score = 0, best = 0, cut = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        int64_t at = scan - back + i;
        score += Same(at, last_pos + (at - last_scan)) - Same(at, pos + (at - scan));
        if (score > best) {
          best = score;
          cut = i + 1;
        }
      }
      fwd += cut - overlap;
      back -= cut;
    }
    for (int64_t i = 0; i < fwd; ++i) {
      diff->push_back(static_cast<uint8_t>(new_[last_scan + i] - old_[last_pos + i]));
    }
    int64_t copy_from = last_scan + fwd, copy_to = scan - back;
    extra->insert(extra->end(), new_ + copy_from, new_ + copy_to);
    Control c;
    c.add = static_cast<uint64_t>(fwd);
    c.copy = static_cast<uint64_t>(copy_to - copy_from);
    c.seek = (pos - back) - (last_pos + fwd);
    controls->push_back(c);
    *next_scan = scan - back;
    *next_pos = pos - back;
  }

  const uint8_t* old_;
  int64_t n_;
  const uint8_t* new_;
  int64_t m_;
  const Matcher& matcher_;
};

// ---------------------------------------------------------------------------------------------
// zstd helpers.

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// SHA-256 of a whole buffer into out; false when OpenSSL fails.
bool Sha256(const uint8_t* data, size_t len, uint8_t out[32]) {
  return EVP_Digest(data, len, out, nullptr, EVP_sha256(), nullptr) == 1;
}

int WindowLogFor(uint64_t bytes) {
  int log = 10;
  while (log < 31 && (uint64_t{1} << log) < bytes) ++log;
  return log;
}

// Compresses data into *out as one frame (with its content size), against prefix when given.
bool Compress(const std::vector<uint8_t>& data, int level, int window_log, const uint8_t* prefix,
              size_t prefix_size, std::string* out, std::string* error) {
  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
  if (!cctx) {
    *error = "out of memory for the zstd compressor";
    return false;
  }
  ZSTD_CCtx* c = cctx.get();
  size_t r = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
  int window = prefix ? WindowLogFor(prefix_size + data.size() + 1)
                      : std::min(window_log, WindowLogFor(data.size()));
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1);
  if (!ZSTD_isError(r) && prefix && prefix_size > 0) {
    r = ZSTD_CCtx_refPrefix(c, prefix, prefix_size);
  }
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setPledgedSrcSize(c, data.size());
  if (ZSTD_isError(r)) {
    *error = std::string("cannot set up the zstd compressor: ") + ZSTD_getErrorName(r);
    return false;
  }
  size_t start = out->size();
  out->resize(start + ZSTD_compressBound(data.size()));
  r = ZSTD_compress2(c, &(*out)[start], out->size() - start, data.data(), data.size());
  if (ZSTD_isError(r)) {
    out->resize(start);
    *error = std::string("zstd compression failed: ") + ZSTD_getErrorName(r);
    return false;
  }
  out->resize(start + r);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Files.

// A read-only mapping of a whole file (nothing mapped for an empty one).
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() {
    if (data_) munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // True on success; false with errno set.
  bool Map(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
      errno = EINVAL;
      return false;
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ == 0) return true;
    void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return false;
    data_ = static_cast<uint8_t*>(p);
    madvise(data_, size_, MADV_SEQUENTIAL);
    return true;
  }
  const uint8_t* data() const { return data_ ? data_ : reinterpret_cast<const uint8_t*>(""); }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

bool WriteAll(int fd, const uint8_t* p, size_t len) {
  while (len > 0) {
    ssize_t w = write(fd, p, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    len -= static_cast<size_t>(w);
  }
  return true;
}

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// ---------------------------------------------------------------------------------------------
// Applying.

const size_t kInChunk = 64 * 1024;
const size_t kOutChunk = 256 * 1024;

// One compressed stream of the patch, read with pread from [offset, offset + length) and
// decompressed in pieces.
class StreamReader {
 public:
  StreamReader(const char* name, int fd, uint64_t offset, uint64_t length)
      : name_(name), fd_(fd), next_(offset), left_(length) {}

  // Prepares the decompressor; prefix (may be empty) is the old file for the extra stream.
  // Frames may have a window of at most 2^window_log bytes (any with the prefix).
  bool Init(int window_log, const uint8_t* prefix, size_t prefix_size, bool use_prefix,
            std::string* error) {
    dctx_.reset(ZSTD_createDCtx());
    if (!dctx_) {
      *error = "out of memory for the zstd decompressor";
      return false;
    }
    prefix_ = prefix;
    prefix_size_ = prefix_size;
    use_prefix_ = use_prefix;
    // Small patches get small buffers: a fresh buffer costs its page faults.
    in_buf_.resize(static_cast<size_t>(std::min<uint64_t>(kInChunk, left_ + 1)));
    out_buf_.resize(kInChunk);
    size_t r =
        ZSTD_DCtx_setParameter(dctx_.get(), ZSTD_d_windowLogMax, use_prefix ? 31 : window_log);
    if (!ZSTD_isError(r) && use_prefix && prefix_size > 0) {
      r = ZSTD_DCtx_refPrefix(dctx_.get(), prefix, prefix_size);
    }
    if (ZSTD_isError(r)) {
      *error = std::string("cannot set up the zstd decompressor: ") + ZSTD_getErrorName(r);
      return false;
    }
    return true;
  }

  // Next up to want bytes; sets *got (0 only at the true end of the stream). False with
  // *error when the stream is damaged or cannot be read.
  bool Read(uint8_t* dst, size_t want, size_t* got, std::string* error) {
    *got = 0;
    while (*got < want) {
      if (out_pos_ < out_len_) {
        size_t n = std::min(want - *got, out_len_ - out_pos_);
        memcpy(dst + *got, out_buf_.data() + out_pos_, n);
        out_pos_ += n;
        *got += n;
        continue;
      }
      if (finished_) return true;
      if (!Decode(error)) return false;
    }
    return true;
  }

  // True when every byte of the stream has been consumed and its frame is complete.
  bool AtEnd(std::string* error) {
    while (out_pos_ == out_len_ && !finished_) {
      if (!Decode(error)) return false;
    }
    return finished_ && out_pos_ == out_len_;
  }

  const char* name() const { return name_; }

 private:
  bool Decode(std::string* error) {
    if (in_.pos == in_.size && left_ > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left_, in_buf_.size()));
      ssize_t r;
      do {
        r = pread(fd_, in_buf_.data(), n, static_cast<off_t>(next_));
      } while (r < 0 && errno == EINTR);
      if (r <= 0) {
        *error = std::string("cannot read the patch's ") + name_ +
                 " stream: " + (r < 0 ? strerror(errno) : "the patch is truncated");
        return false;
      }
      next_ += static_cast<uint64_t>(r);
      left_ -= static_cast<uint64_t>(r);
      in_ = {in_buf_.data(), static_cast<size_t>(r), 0};
    }
    if (!header_checked_ && !CheckFrameHeader(error)) return false;
    ZSTD_outBuffer out = {out_buf_.data(), out_buf_.size(), 0};
    size_t r = ZSTD_decompressStream(dctx_.get(), &out, &in_);
    if (ZSTD_isError(r)) {
      *error =
          std::string("the patch's ") + name_ + " stream is damaged (" + ZSTD_getErrorName(r) + ")";
      return false;
    }
    out_len_ = out.pos;
    out_pos_ = 0;
    if (r == 0) {
      // One frame per stream: the frame must end exactly where the stream does.
      if (in_.pos != in_.size || left_ > 0) {
        *error = std::string("the patch's ") + name_ + " stream has data after its end";
        return false;
      }
      finished_ = true;
    } else if (out.pos == 0 && in_.pos == in_.size && left_ == 0) {
      *error = std::string("the patch's ") + name_ + " stream is truncated";
      return false;
    }
    return true;
  }

  // The frame against the old file must say how large it is, so that the decompressor's buffer
  // stays small whatever its window.
  bool CheckFrameHeader(std::string* error) {
    if (!use_prefix_) {
      header_checked_ = true;
      return true;
    }
    unsigned long long content = ZSTD_getFrameContentSize(in_.src, in_.size);
    if (content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR ||
        content > kPrefixExtraMax) {
      *error = std::string("the patch's ") + name_ + " stream has a damaged frame header";
      return false;
    }
    header_checked_ = true;
    return true;
  }

  const char* name_;
  int fd_;
  uint64_t next_, left_;
  std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx_;
  const uint8_t* prefix_ = nullptr;
  size_t prefix_size_ = 0;
  bool use_prefix_ = false;
  bool header_checked_ = false;
  std::vector<uint8_t> in_buf_, out_buf_;
  ZSTD_inBuffer in_ = {nullptr, 0, 0};
  size_t out_len_ = 0, out_pos_ = 0;
  bool finished_ = false;
};

// Reads one variable-length integer from the control stream; false at a clean end (*clean_end
// set) or with *error for a damaged one.
bool ReadVarint(StreamReader* s, uint64_t* v, bool* clean_end, std::string* error) {
  *v = 0;
  *clean_end = false;
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t b;
    size_t got;
    if (!s->Read(&b, 1, &got, error)) return false;
    if (got == 0) {
      if (shift == 0) {
        *clean_end = true;
      } else {
        *error = "the patch's control stream ends inside an entry";
      }
      return false;
    }
    if (shift == 63 && b > 1) break;
    *v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return true;
  }
  *error = "the patch's control stream holds a number that is too large";
  return false;
}

// Where applied bytes go: a function that takes the next piece of the new content.
using Sink = GzipWriter::Sink;

// The new file as it is written: its bytes are counted and hashed on their way to out_fd, and
// a file that grows past the size the header names is stopped there.
class FileOutput {
 public:
  FileOutput(int out_fd, const DeltaHeader& h) : fd_(out_fd), h_(h) {}

  // True when the digest is ready; false with *error.
  bool Start(std::string* error) {
    if (!sha_ || EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr) != 1) {
      *error = "cannot set up the SHA-256 digest";
      return false;
    }
    return true;
  }

  bool Write(const uint8_t* data, size_t size, std::string* error) {
    if (size > h_.new_size - written_) {
      *error = "the new file grows past the size the patch names (damaged patch)";
      return false;
    }
    if (EVP_DigestUpdate(sha_.get(), data, size) != 1) {
      *error = "cannot compute the SHA-256 digest";
      return false;
    }
    if (!WriteAll(fd_, data, size)) {
      *error = std::string("cannot write the new file: ") + strerror(errno);
      return false;
    }
    written_ += size;
    return true;
  }

  Sink AsSink() {
    return [this](const uint8_t* data, size_t size, std::string* error) {
      return Write(data, size, error);
    };
  }

  // True when the file written has the size and SHA-256 digest the header names.
  bool Check(std::string* error) {
    uint8_t digest[32];
    if (EVP_DigestFinal_ex(sha_.get(), digest, nullptr) != 1) {
      *error = "cannot finish the SHA-256 digest";
      return false;
    }
    if (written_ != h_.new_size || memcmp(digest, h_.new_sha256, 32) != 0) {
      *error = written_ != h_.new_size
                   ? "the new file does not have the size the patch names (damaged patch)"
                   : "the new file does not have the SHA-256 digest the patch names (damaged "
                     "patch)";
      return false;
    }
    return true;
  }

 private:
  int fd_;
  const DeltaHeader& h_;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> sha_{EVP_MD_CTX_new()};
  uint64_t written_ = 0;
};

// Runs the three streams of a patch over the old content (old_size bytes) and hands the
// new_size bytes they produce to a sink.
class Applier {
 public:
  Applier(const uint8_t* old_data, size_t old_size, uint64_t new_size, int patch_fd,
          const DeltaHeader& h, Sink sink)
      : old_(old_data),
        old_size_(old_size),
        new_size_(new_size),
        h_(h),
        sink_(std::move(sink)),
        control_("control", patch_fd, kDeltaHeaderSize + h.recipe_length, h.control_length),
        diff_("difference", patch_fd, kDeltaHeaderSize + h.recipe_length + h.control_length,
              h.diff_length),
        extra_("extra", patch_fd,
               kDeltaHeaderSize + h.recipe_length + h.control_length + h.diff_length,
               h.extra_length) {}

  bool Run(std::string* error) {
    const bool prefix = (h_.flags & kFlagExtraPrefix) != 0;
    if (!control_.Init(kControlWindowLog, nullptr, 0, false, error) ||
        !diff_.Init(kControlWindowLog, nullptr, 0, false, error) ||
        !extra_.Init(kExtraWindowLog, old_, old_size_, prefix, error)) {
      return false;
    }
    buf_.resize(static_cast<size_t>(std::min<uint64_t>(kOutChunk, new_size_ + 1)));
    int64_t old_pos = 0;
    uint64_t new_pos = 0;
    for (;;) {
      uint64_t add, copy, seek;
      bool end;
      if (!ReadVarint(&control_, &add, &end, error)) {
        if (!end) return false;
        break;
      }
      if (!ReadVarint(&control_, &copy, &end, error) ||
          !ReadVarint(&control_, &seek, &end, error)) {
        if (end) *error = "the patch's control stream ends inside an entry";
        return false;
      }
      if (add > new_size_ - new_pos || copy > new_size_ - new_pos - add) {
        *error = "the patch's control stream writes past the end of the new file";
        return false;
      }
      if (old_pos < 0 || add > old_size_ || static_cast<uint64_t>(old_pos) > old_size_ - add) {
        *error = "the patch's control stream reads outside the old file";
        return false;
      }
      if (!AddDiff(static_cast<size_t>(old_pos), add, error) || !CopyExtra(copy, error)) {
        return false;
      }
      new_pos += add + copy;
      int64_t step = UnZigZag(seek);
      if ((step > 0 && old_pos + static_cast<int64_t>(add) > INT64_MAX - step) ||
          (step < 0 && old_pos + static_cast<int64_t>(add) < INT64_MIN - step)) {
        *error = "the patch's control stream seeks outside the old file";
        return false;
      }
      old_pos += static_cast<int64_t>(add) + step;
    }
    if (new_pos != new_size_) {
      *error = "the patch ends before the new file is complete (truncated or damaged patch)";
      return false;
    }
    for (StreamReader* s : {&diff_, &extra_, &control_}) {
      std::string why;
      if (!s->AtEnd(&why)) {
        *error = why.empty() ? std::string("the patch's ") + s->name() +
                                   " stream holds more data than its control stream uses"
                             : why;
        return false;
      }
    }
    return Flush(error);
  }

 private:
  bool AddDiff(size_t old_pos, uint64_t len, std::string* error) {
    while (len > 0) {
      size_t room = std::min<uint64_t>(len, buf_.size() - fill_);
      size_t got;
      if (!diff_.Read(buf_.data() + fill_, room, &got, error)) return false;
      if (got < room) {
        *error = "the patch's difference stream is shorter than its control stream says";
        return false;
      }
      const uint8_t* o = old_ + old_pos;
      uint8_t* d = buf_.data() + fill_;
      for (size_t i = 0; i < room; ++i) d[i] = static_cast<uint8_t>(d[i] + o[i]);
      old_pos += room;
      len -= room;
      fill_ += room;
      if (fill_ == buf_.size() && !Flush(error)) return false;
    }
    return true;
  }

  bool CopyExtra(uint64_t len, std::string* error) {
    while (len > 0) {
      size_t room = std::min<uint64_t>(len, buf_.size() - fill_);
      size_t got;
      if (!extra_.Read(buf_.data() + fill_, room, &got, error)) return false;
      if (got < room) {
        *error = "the patch's extra stream is shorter than its control stream says";
        return false;
      }
      len -= room;
      fill_ += room;
      if (fill_ == buf_.size() && !Flush(error)) return false;
    }
    return true;
  }

  bool Flush(std::string* error) {
    if (fill_ > 0 && !sink_(buf_.data(), fill_, error)) return false;
    fill_ = 0;
    return true;
  }

  const uint8_t* old_;
  size_t old_size_;
  uint64_t new_size_;
  const DeltaHeader& h_;
  Sink sink_;
  StreamReader control_, diff_, extra_;
  std::vector<uint8_t> buf_;
  size_t fill_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The recompression recipe of a patch between gzip files (docs/delta-format.md, "Gzip files").

struct GzipSection {
  uint64_t old_raw_size = 0, new_raw_size = 0;  // the uncompressed contents
  GzipRecipe recipe;
};

void EncodeRecipe(const GzipSection& g, std::vector<uint8_t>* out) {
  const GzipRecipe& r = g.recipe;
  for (int v : {r.level, r.mem_level, r.strategy, r.window_bits}) {
    out->push_back(static_cast<uint8_t>(v));
  }
  PutVarint(out, g.old_raw_size);
  PutVarint(out, g.new_raw_size);
  PutVarint(out, r.header.size());
  out->insert(out->end(), r.header.begin(), r.header.end());
  PutVarint(out, r.block_ends.size());
  uint64_t last = 0;
  for (uint64_t end : r.block_ends) {
    PutVarint(out, end - last);
    last = end;
  }
}

// Reads the recipe in p[0, size). True with *g; false with *error when a field is out of its
// range or the bytes do not hold exactly one recipe.
bool DecodeRecipe(const uint8_t* p, size_t size, GzipSection* g, std::string* error) {
  size_t at = 0;
  auto varint = [&](uint64_t* v) {
    *v = 0;
    for (int shift = 0; shift < 64 && at < size; shift += 7) {
      const uint8_t b = p[at++];
      *v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return shift < 63 || b <= 1;
    }
    return false;
  };
  GzipRecipe& r = g->recipe;
  uint64_t header_size = 0, count = 0;
  bool ok = size >= 4;
  if (ok) {
    r.level = p[0];
    r.mem_level = p[1];
    r.strategy = p[2];
    r.window_bits = p[3];
    at = 4;
    ok = r.level >= 1 && r.level <= 9 && r.mem_level >= 1 && r.mem_level <= 9 && r.strategy >= 0 &&
         r.strategy <= Z_FIXED && r.window_bits >= 9 && r.window_bits <= 15;
  }
  ok = ok && varint(&g->old_raw_size) && varint(&g->new_raw_size) && varint(&header_size) &&
       g->old_raw_size <= kGzipMaxRawSize && g->new_raw_size <= kGzipMaxRawSize &&
       header_size <= kGzipMaxHeaderSize && header_size <= size - at;
  if (ok) {
    r.header.assign(reinterpret_cast<const char*>(p + at), static_cast<size_t>(header_size));
    at += static_cast<size_t>(header_size);
    ok = varint(&count) && count <= g->new_raw_size;
  }
  uint64_t last = 0;
  for (uint64_t i = 0; ok && i < count; ++i) {
    uint64_t step;
    ok = varint(&step) && step >= 1 && step <= g->new_raw_size - last;
    last += step;
    if (ok) r.block_ends.push_back(last);
  }
  if (!ok || at != size) {
    *error = "the patch's recompression recipe is damaged";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Making.

// Covers new with old and appends the three compressed streams to *body, their lengths and the
// prefix flag set in *h and the figures in *stats.
bool MakeStreams(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                 int level, DeltaHeader* h, std::string* body, DeltaStats* stats,
                 std::string* error) {
  std::vector<int32_t> sa(old_size);
  if (old_size > 0 && divsufsort(old_data, sa.data(), static_cast<int32_t>(old_size)) != 0) {
    *error = "suffix sorting of the old file failed";
    return false;
  }
  Matcher matcher(old_data, static_cast<int64_t>(old_size), sa.data());
  std::vector<Control> controls;
  std::vector<uint8_t> diff, extra;
  diff.reserve(new_size);
  Cover(old_data, static_cast<int64_t>(old_size), new_data, static_cast<int64_t>(new_size), matcher)
      .Run(&controls, &diff, &extra);
  std::vector<int32_t>().swap(sa);

  std::vector<uint8_t> control_bytes;
  for (const Control& c : controls) {
    PutVarint(&control_bytes, c.add);
    PutVarint(&control_bytes, c.copy);
    PutVarint(&control_bytes, ZigZag(c.seek));
  }
  const bool prefix = old_size > 0 && old_size <= kPrefixOldMax && extra.size() <= kPrefixExtraMax;
  if (prefix) h->flags |= kFlagExtraPrefix;
  const size_t start = body->size();
  if (!Compress(control_bytes, level, kControlWindowLog, nullptr, 0, body, error)) return false;
  h->control_length = body->size() - start;
  if (!Compress(diff, level, kControlWindowLog, nullptr, 0, body, error)) return false;
  h->diff_length = body->size() - start - h->control_length;
  if (!Compress(extra, level, kExtraWindowLog, prefix ? old_data : nullptr, prefix ? old_size : 0,
                body, error)) {
    return false;
  }
  h->extra_length = body->size() - start - h->control_length - h->diff_length;
  stats->entries = controls.size();
  stats->diff_bytes = diff.size();
  stats->extra_bytes = extra.size();
  stats->control_packed = h->control_length;
  stats->diff_packed = h->diff_length;
  stats->extra_packed = h->extra_length;
  return true;
}

// Makes the patch between the contents of two gzip files into *body (recipe and streams) with
// *h's flags and lengths. False when the files cannot be taken apart or the new one is not
// reproducible (no error: the byte patch serves), or with *error when making the patch fails.
bool MakeGzipBody(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                  size_t new_size, int level, DeltaHeader* h, std::string* body, DeltaStats* stats,
                  std::string* error) {
  std::vector<uint8_t> old_raw, new_raw;
  std::vector<uint64_t> ends;
  size_t old_head = 0, new_head = 0;
  std::string why;
  GzipSection g;
  if (!GzipInflate(old_data, old_size, kGzipMaxRawSize, &old_raw, &old_head, nullptr, &why) ||
      !GzipInflate(new_data, new_size, kGzipMaxRawSize, &new_raw, &new_head, &ends, &why) ||
      old_raw.size() > kDeltaMaxOldSize ||
      !GzipFindRecipe(new_data, new_size, new_raw, new_head, ends, &g.recipe)) {
    return false;
  }
  g.old_raw_size = old_raw.size();
  g.new_raw_size = new_raw.size();
  std::vector<uint8_t> recipe;
  EncodeRecipe(g, &recipe);
  h->flags |= kFlagGzip;
  h->recipe_length = static_cast<uint32_t>(recipe.size());
  body->assign(recipe.begin(), recipe.end());
  if (!MakeStreams(old_raw.data(), old_raw.size(), new_raw.data(), new_raw.size(), level, h, body,
                   stats, error)) {
    *error = "gzip contents: " + *error;
    return false;
  }
  stats->gzip = true;
  stats->recipe_bytes = recipe.size();
  return true;
}

// Reads and checks the old gzip file's recipe and content for a patch with the gzip flag.
bool LoadGzipSide(int patch_fd, const DeltaHeader& h, const MappedFile& old_map, GzipSection* g,
                  std::vector<uint8_t>* old_raw, std::string* error) {
  std::vector<uint8_t> recipe(h.recipe_length);
  size_t have = 0;
  while (have < recipe.size()) {
    ssize_t r = pread(patch_fd, recipe.data() + have, recipe.size() - have,
                      static_cast<off_t>(kDeltaHeaderSize + have));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      *error = std::string("cannot read the patch's recompression recipe: ") +
               (r < 0 ? strerror(errno) : "the patch is truncated");
      return false;
    }
    have += static_cast<size_t>(r);
  }
  if (!DecodeRecipe(recipe.data(), recipe.size(), g, error)) return false;
  size_t head;
  std::string why;
  if (!GzipInflate(old_map.data(), old_map.size(), g->old_raw_size, old_raw, &head, nullptr,
                   &why) ||
      old_raw->size() != g->old_raw_size) {
    *error = "the old file's gzip content is not the one the patch was made for" +
             (why.empty() ? std::string() : " (" + why + ")");
    return false;
  }
  return true;
}

}  // namespace

bool DeltaMake(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
               const DeltaMakeOptions& options, std::string* patch, DeltaStats* stats,
               std::string* error) {
  if (old_size > kDeltaMaxOldSize) {
    *error = "the old file is too large for a patch (more than " +
             std::to_string(kDeltaMaxOldSize) + " bytes)";
    return false;
  }
  if (options.level < 1 || options.level > ZSTD_maxCLevel()) {
    *error = "the compression level must be from 1 to " + std::to_string(ZSTD_maxCLevel());
    return false;
  }
  DeltaHeader h;
  h.old_size = old_size;
  h.new_size = new_size;
  if (!Sha256(old_data, old_size, h.old_sha256) || !Sha256(new_data, new_size, h.new_sha256)) {
    *error = "cannot compute SHA-256 digests";
    return false;
  }
  DeltaHeader plain = h, gz = h;
  std::string plain_body, gz_body, gz_error;
  DeltaStats plain_stats, gz_stats;
  const bool gzip = options.gzip && GzipLooksLike(old_data, old_size) &&
                    GzipLooksLike(new_data, new_size) &&
                    MakeGzipBody(old_data, old_size, new_data, new_size, options.level, &gz,
                                 &gz_body, &gz_stats, &gz_error);
  if (!gz_error.empty()) {
    *error = gz_error;
    return false;
  }
  if (!MakeStreams(old_data, old_size, new_data, new_size, options.level, &plain, &plain_body,
                   &plain_stats, error)) {
    return false;
  }
  const bool use_gzip = gzip && gz_body.size() < plain_body.size();
  h = use_gzip ? gz : plain;
  const std::string& body = use_gzip ? gz_body : plain_body;
  uint8_t head[kDeltaHeaderSize];
  EncodeHeader(h, head);
  patch->append(reinterpret_cast<const char*>(head), sizeof(head));
  patch->append(body);
  if (stats) {
    *stats = use_gzip ? gz_stats : plain_stats;
    stats->patch_bytes = sizeof(head) + body.size();
  }
  return true;
}

bool DeltaMakeFile(const std::string& old_path, const std::string& new_path,
                   const std::string& patch_path, const DeltaMakeOptions& options,
                   DeltaStats* stats, std::string* error) {
  UniqueFd old_fd(open(old_path.c_str(), O_RDONLY | O_CLOEXEC));
  MappedFile old_map, new_map;
  if (old_fd.get() < 0 || !old_map.Map(old_fd.get())) {
    *error = SysError("cannot read", old_path);
    return false;
  }
  UniqueFd new_fd(open(new_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (new_fd.get() < 0 || !new_map.Map(new_fd.get())) {
    *error = SysError("cannot read", new_path);
    return false;
  }
  std::string patch;
  if (!DeltaMake(old_map.data(), old_map.size(), new_map.data(), new_map.size(), options, &patch,
                 stats, error)) {
    *error = "cannot make a patch from " + old_path + " to " + new_path + ": " + *error;
    return false;
  }
  UniqueFd out(open(patch_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) {
    *error = SysError("cannot create", patch_path);
    return false;
  }
  if (!WriteAll(out.get(), reinterpret_cast<const uint8_t*>(patch.data()), patch.size()) ||
      !out.Close()) {
    *error = SysError("cannot write", patch_path);
    unlink(patch_path.c_str());
    return false;
  }
  return true;
}

bool DeltaReadHeader(int patch_fd, DeltaHeader* header, std::string* error) {
  uint8_t head[kDeltaHeaderSize];
  size_t have = 0;
  while (have < sizeof(head)) {
    ssize_t r = pread(patch_fd, head + have, sizeof(head) - have, static_cast<off_t>(have));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *error = std::string("cannot read the patch: ") + strerror(errno);
      return false;
    }
    if (r == 0) break;
    have += static_cast<size_t>(r);
  }
  if (have < sizeof(head)) {
    *error = "the patch is truncated (" + std::to_string(have) + " bytes, shorter than its " +
             std::to_string(kDeltaHeaderSize) + "-byte header)";
    return false;
  }
  if (memcmp(head + kOffMagic, kMagic, sizeof(kMagic)) != 0) {
    *error = "not a patch of this format (wrong magic)";
    return false;
  }
  if (GetU32(head + kOffCrc) != static_cast<uint32_t>(crc32(0, head, kOffCrc))) {
    *error = "the patch's header is damaged (checksum mismatch)";
    return false;
  }
  uint32_t version = GetU32(head + kOffVersion);
  if (version != kVersion) {
    *error = "the patch has format version " + std::to_string(version) + "; this program reads " +
             std::to_string(kVersion);
    return false;
  }
  DeltaHeader h;
  h.flags = GetU32(head + kOffFlags);
  h.recipe_length = GetU32(head + kOffRecipeLength);
  if ((h.flags & ~kKnownFlags) != 0 || ((h.flags & kFlagGzip) == 0) != (h.recipe_length == 0)) {
    *error = "the patch uses features this program does not know";
    return false;
  }
  if (h.recipe_length > kMaxRecipeLength) {
    *error = "the patch's recompression recipe is too large (damaged patch)";
    return false;
  }
  h.old_size = GetU64(head + kOffOldSize);
  h.new_size = GetU64(head + kOffNewSize);
  memcpy(h.old_sha256, head + kOffOldSha, 32);
  memcpy(h.new_sha256, head + kOffNewSha, 32);
  h.control_length = GetU64(head + kOffControlLength);
  h.diff_length = GetU64(head + kOffDiffLength);
  h.extra_length = GetU64(head + kOffExtraLength);
  struct stat st;
  if (fstat(patch_fd, &st) != 0) {
    *error = std::string("cannot read the patch: ") + strerror(errno);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t body = size - kDeltaHeaderSize - h.recipe_length;
  if (size < kDeltaHeaderSize + h.recipe_length || h.control_length > body ||
      h.diff_length > body - h.control_length ||
      h.extra_length != body - h.control_length - h.diff_length) {
    *error = "the patch's size (" + std::to_string(size) +
             " bytes) does not match the stream lengths in its header (truncated or damaged)";
    return false;
  }
  *header = h;
  return true;
}

bool DeltaApplyFd(int old_fd, int patch_fd, int out_fd, std::string* error) {
  DeltaHeader h;
  if (!DeltaReadHeader(patch_fd, &h, error)) return false;
  MappedFile old_map;
  if (!old_map.Map(old_fd)) {
    *error = std::string("cannot read the old file: ") + strerror(errno);
    return false;
  }
  uint8_t digest[32];
  if (old_map.size() != h.old_size || !Sha256(old_map.data(), old_map.size(), digest) ||
      memcmp(digest, h.old_sha256, 32) != 0) {
    *error = "the patch was made for another old file (size or SHA-256 differs)";
    return false;
  }
  FileOutput file(out_fd, h);
  if (!file.Start(error)) return false;
  if (!(h.flags & kFlagGzip)) {
    return Applier(old_map.data(), old_map.size(), h.new_size, patch_fd, h, file.AsSink())
               .Run(error) &&
           file.Check(error);
  }
  GzipSection g;
  std::vector<uint8_t> old_raw;
  if (!LoadGzipSide(patch_fd, h, old_map, &g, &old_raw, error)) return false;
  GzipWriter writer;
  auto recompress = [&writer](const uint8_t* data, size_t size, std::string* why) {
    return writer.Write(data, size, why);
  };
  return writer.Start(g.recipe, file.AsSink(), error) &&
         Applier(old_raw.data(), old_raw.size(), g.new_raw_size, patch_fd, h, recompress)
             .Run(error) &&
         writer.Finish(error) && file.Check(error);
}

bool DeltaApplyFile(const std::string& old_path, const std::string& patch_path,
                    const std::string& new_path, std::string* error) {
  UniqueFd old_fd(open(old_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (old_fd.get() < 0) {
    *error = SysError("cannot open", old_path);
    return false;
  }
  UniqueFd patch_fd(open(patch_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (patch_fd.get() < 0) {
    *error = SysError("cannot open", patch_path);
    return false;
  }
  UniqueFd out(open(new_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) {
    *error = SysError("cannot create", new_path);
    return false;
  }
  std::string why;
  bool ok = DeltaApplyFd(old_fd.get(), patch_fd.get(), out.get(), &why);
  if (ok && !out.Close()) {
    why = std::string("cannot write the new file: ") + strerror(errno);
    ok = false;
  }
  if (!ok) {
    *error = "cannot apply " + patch_path + " to " + old_path + ": " + why;
    unlink(new_path.c_str());
  }
  return ok;
}
