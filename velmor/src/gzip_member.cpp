#include "gzip_member.h"

#include <string.h>

#include <algorithm>

namespace {

// Header flags (RFC 1952).
enum GzipFlag : uint8_t {
  kFlagHeaderCrc = 2,
  kFlagExtra = 4,
  kFlagName = 8,
  kFlagComment = 16,
  kFlagsReserved = 0xe0,
};
const size_t kFixedHeader = 10;
const size_t kTrailerSize = 8;
const size_t kChunk = 64 * 1024;
// Pieces handed to zlib at once (its counters are 32 bits).
const size_t kMaxPiece = size_t{1} << 20;

uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Size of the header at the start of data; 0 when it is not a gzip header this code reads or
// it does not end inside data.
size_t HeaderSize(const uint8_t* data, size_t size) {
  if (!GzipLooksLike(data, size) || size < kFixedHeader || (data[3] & kFlagsReserved) != 0) {
    return 0;
  }
  const uint8_t flags = data[3];
  size_t at = kFixedHeader;
  if (flags & kFlagExtra) {
    if (size - at < 2) return 0;
    at += 2 + (size_t{data[at]} | size_t{data[at + 1]} << 8);
  }
  for (uint8_t text : {kFlagName, kFlagComment}) {
    if (!(flags & text)) continue;
    const void* nul = at < size ? memchr(data + at, 0, size - at) : nullptr;
    if (!nul) return 0;
    at = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) + 1;
  }
  if (flags & kFlagHeaderCrc) at += 2;
  return at <= size && at <= kGzipMaxHeaderSize ? at : 0;
}

struct InflateEnd {
  z_stream* strm;
  ~InflateEnd() { inflateEnd(strm); }
};

// Whether zlib with recipe gives back exactly data from raw; stops at the first byte that
// differs.
bool Reproduces(const uint8_t* data, size_t size, const std::vector<uint8_t>& raw,
                const GzipRecipe& recipe) {
  size_t at = 0;
  GzipWriter writer;
  std::string ignored;
  auto compare = [&](const uint8_t* p, size_t n, std::string* error) {
    if (n > size - at || memcmp(p, data + at, n) != 0) {
      *error = "differs";
      return false;
    }
    at += n;
    return true;
  };
  return writer.Start(recipe, compare, &ignored) &&
         writer.Write(raw.data(), raw.size(), &ignored) && writer.Finish(&ignored) && at == size;
}

}  // namespace

bool GzipLooksLike(const uint8_t* data, size_t size) {
  return size >= 3 && data[0] == 0x1f && data[1] == 0x8b && data[2] == Z_DEFLATED;
}

bool GzipInflate(const uint8_t* data, size_t size, uint64_t max_raw, std::vector<uint8_t>* raw,
                 size_t* header_size, std::vector<uint64_t>* block_ends, std::string* error) {
  raw->clear();
  if (block_ends) block_ends->clear();
  const size_t head = HeaderSize(data, size);
  if (head == 0) {
    *error = "not a gzip file (or a gzip header this program does not read)";
    return false;
  }
  z_stream strm = {};
  if (inflateInit2(&strm, -15) != Z_OK) {
    *error = "cannot set up zlib's decompressor";
    return false;
  }
  InflateEnd end{&strm};
  strm.next_in = const_cast<Bytef*>(data + head);
  size_t left = size - head;
  for (;;) {
    if (strm.avail_in == 0) {
      strm.avail_in = static_cast<uInt>(std::min(left, kMaxPiece));
      left -= strm.avail_in;
    }
    const size_t have = raw->size();
    const size_t room = static_cast<size_t>(std::min<uint64_t>(kChunk, max_raw - have + 1));
    raw->resize(have + room);
    strm.next_out = raw->data() + have;
    strm.avail_out = static_cast<uInt>(room);
    const int r = inflate(&strm, Z_BLOCK);
    raw->resize(have + room - strm.avail_out);
    if (raw->size() > max_raw) {
      *error = "the gzip file holds more than " + std::to_string(max_raw) + " bytes";
      return false;
    }
    if (r == Z_STREAM_END) break;
    if (r != Z_OK && !(r == Z_BUF_ERROR && (strm.avail_in > 0 || left > 0))) {
      *error = r == Z_BUF_ERROR ? "the gzip file is truncated"
                                : std::string("the gzip file is damaged (") +
                                      (strm.msg ? strm.msg : "zlib error") + ")";
      return false;
    }
    // At the end of a block that is not the last one.
    if (block_ends && (strm.data_type & 128) && !(strm.data_type & 64) &&
        (block_ends->empty() || block_ends->back() != raw->size())) {
      block_ends->push_back(raw->size());
    }
  }
  const size_t stream_end = size - left - strm.avail_in;
  if (size - stream_end != kTrailerSize) {
    *error = size - stream_end < kTrailerSize
                 ? "the gzip file is truncated (no trailer)"
                 : "the gzip file has data after its first member (several members or padding)";
    return false;
  }
  const uint8_t* trailer = data + stream_end;
  if (GetU32(trailer) != static_cast<uint32_t>(crc32_z(0, raw->data(), raw->size())) ||
      GetU32(trailer + 4) != static_cast<uint32_t>(raw->size())) {
    *error = "the gzip file is damaged (its CRC-32 or length does not match its content)";
    return false;
  }
  *header_size = head;
  return true;
}

bool GzipFindRecipe(const uint8_t* data, size_t size, const std::vector<uint8_t>& raw,
                    size_t header_size, const std::vector<uint64_t>& block_ends,
                    GzipRecipe* recipe) {
  // gzip notes level 9 as 2 and level 1 as 4 in the header's extra flags; try those first,
  // then gzip's default, then the rest.
  const uint8_t xfl = size > 8 ? data[8] : 0;
  std::vector<int> levels = {xfl == 4 ? 1 : 9, 6};
  for (int level = 1; level <= 9; ++level) {
    if (std::find(levels.begin(), levels.end(), level) == levels.end()) levels.push_back(level);
  }
  GzipRecipe r;
  r.header.assign(reinterpret_cast<const char*>(data), header_size);
  for (int level : levels) {
    r.level = level;
    for (bool with_ends : {false, true}) {
      if (with_ends && block_ends.empty()) continue;
      r.block_ends = with_ends ? block_ends : std::vector<uint64_t>();
      // zlib's symbol buffer holds 16K symbols at memory level 8 and 32K at 9 (as gzip's).
      for (int mem_level : {8, 9}) {
        r.mem_level = mem_level;
        if (Reproduces(data, size, raw, r)) {
          *recipe = r;
          return true;
        }
      }
    }
  }
  return false;
}

GzipWriter::~GzipWriter() {
  if (started_) deflateEnd(&strm_);
}

bool GzipWriter::Start(const GzipRecipe& recipe, Sink sink, std::string* error) {
  for (size_t i = 0; i < recipe.block_ends.size(); ++i) {
    if (recipe.block_ends[i] <= (i == 0 ? 0 : recipe.block_ends[i - 1])) {
      *error = "the recompression recipe lists block ends out of order";
      return false;
    }
  }
  if (recipe.window_bits < 9 || recipe.window_bits > 15 ||
      deflateInit2(&strm_, recipe.level, Z_DEFLATED, -recipe.window_bits, recipe.mem_level,
                   recipe.strategy) != Z_OK) {
    *error = "zlib refuses the recompression settings (level " + std::to_string(recipe.level) +
             ", memory level " + std::to_string(recipe.mem_level) + ")";
    return false;
  }
  started_ = true;
  sink_ = std::move(sink);
  block_ends_ = recipe.block_ends;
  crc_ = crc32(0, nullptr, 0);
  out_.resize(kChunk);
  return sink_(reinterpret_cast<const uint8_t*>(recipe.header.data()), recipe.header.size(), error);
}

bool GzipWriter::Write(const uint8_t* data, size_t size, std::string* error) {
  while (size > 0) {
    size_t take = std::min(size, kMaxPiece);
    int flush = Z_NO_FLUSH;
    if (next_end_ < block_ends_.size() && block_ends_[next_end_] - written_ <= take) {
      take = static_cast<size_t>(block_ends_[next_end_] - written_);
      flush = Z_BLOCK;
      ++next_end_;
    }
    crc_ = crc32(crc_, data, static_cast<uInt>(take));
    if (!Deflate(data, take, flush, error)) return false;
    written_ += take;
    data += take;
    size -= take;
  }
  return true;
}

bool GzipWriter::Finish(std::string* error) {
  if (next_end_ < block_ends_.size()) {
    *error = "the recompression recipe ends a block past the end of the content";
    return false;
  }
  if (!Deflate(nullptr, 0, Z_FINISH, error)) return false;
  uint8_t trailer[kTrailerSize];
  for (int i = 0; i < 4; ++i) {
    trailer[i] = static_cast<uint8_t>(crc_ >> (8 * i));
    trailer[4 + i] = static_cast<uint8_t>(written_ >> (8 * i));
  }
  return sink_(trailer, sizeof(trailer), error);
}

bool GzipWriter::Deflate(const uint8_t* data, size_t size, int flush, std::string* error) {
  strm_.next_in = const_cast<Bytef*>(data);
  strm_.avail_in = static_cast<uInt>(size);
  for (;;) {
    strm_.next_out = out_.data();
    strm_.avail_out = static_cast<uInt>(out_.size());
    const int r = deflate(&strm_, flush);
    const size_t have = out_.size() - strm_.avail_out;
    if (r == Z_STREAM_ERROR || (r == Z_BUF_ERROR && have == 0 && strm_.avail_in > 0)) {
      *error = "zlib's compressor failed";
      return false;
    }
    if (have > 0 && !sink_(out_.data(), have, error)) return false;
    if (flush == Z_FINISH ? r == Z_STREAM_END : strm_.avail_out != 0 && strm_.avail_in == 0) {
      return true;
    }
  }
}
