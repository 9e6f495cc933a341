// Single-member gzip files (RFC 1952) taken apart and put back together bit for bit: a file is
// inflated while the uncompressed offset of every deflate block end is noted, and a "recipe"
// (zlib's level, memory level and strategy, the literal gzip header, and where blocks end) says
// how zlib gives back exactly the same compressed bytes from the uncompressed content. Patches
// between two versions of a compressed file are then made between their uncompressed contents,
// which differ only where the text does (docs/delta-format.md).
//
// Whether a recipe reproduces a file is never assumed: GzipFindRecipe recompresses with each
// candidate and compares every byte. gzip(1) ends blocks where zlib would not; recompressing
// with the original block ends (deflate's Z_BLOCK flush) and a symbol buffer as large as gzip's
// (memory level 9) gives back even large files of `gzip -9n`.
//
// Thread rules: no shared state; every call may run in any thread on its own arguments, and a
// GzipWriter is used by one thread at a time.
#ifndef VELMOR_GZIP_MEMBER_H_
#define VELMOR_GZIP_MEMBER_H_

#include <stddef.h>
#include <stdint.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

// The largest uncompressed content a gzip file is taken apart for (the applier holds the old
// file's uncompressed content in memory).
const uint64_t kGzipMaxRawSize = uint64_t{64} << 20;
// The largest gzip header kept literally (a header with an extra field and names).
const size_t kGzipMaxHeaderSize = 65536 + 8192;

// How zlib recompresses an uncompressed content into exactly one gzip file.
struct GzipRecipe {
  int level = 9;      // deflateInit2's level, 1 to 9
  int mem_level = 8;  // deflateInit2's memLevel, 1 to 9
  int strategy = Z_DEFAULT_STRATEGY;
  int window_bits = 15;  // of the raw deflate stream, 9 to 15
  std::string header;    // the gzip header, copied literally before the deflate stream
  // Uncompressed offsets, increasing, at which a block is ended (Z_BLOCK) before the final
  // block; empty: zlib ends blocks where it chooses.
  std::vector<uint64_t> block_ends;
};

// True when data looks like a gzip file zlib could have made: the magic 1f 8b and the deflate
// method. Nothing else is checked.
bool GzipLooksLike(const uint8_t* data, size_t size);

// Inflates the gzip file data[0, size), which must be one member and nothing after it, with a
// correct CRC-32 and length in its trailer. True with *raw (the uncompressed content, at most
// max_raw bytes), *header_size (bytes before the deflate stream) and, when block_ends is not
// null, the uncompressed offset of the end of every block but the last; false with *error
// saying what is wrong (not gzip, damaged, more than one member, larger than max_raw).
bool GzipInflate(const uint8_t* data, size_t size, uint64_t max_raw, std::vector<uint8_t>* raw,
                 size_t* header_size, std::vector<uint64_t>* block_ends, std::string* error);

// Looks for a recipe with which zlib gives back data (a gzip file that GzipInflate turned into
// raw, header_size and block_ends) byte for byte. True with *recipe when one of the candidates
// does; false when none does (the file was made by another compressor or other settings).
bool GzipFindRecipe(const uint8_t* data, size_t size, const std::vector<uint8_t>& raw,
                    size_t header_size, const std::vector<uint64_t>& block_ends,
                    GzipRecipe* recipe);

// Compresses an uncompressed content, given in pieces, into a gzip file by a recipe: the
// header, the deflate stream and a trailer with the content's CRC-32 and length. The bytes go
// to a sink as they are made; a sink that returns false (with its reason) stops the writer.
class GzipWriter {
 public:
  using Sink = std::function<bool(const uint8_t* data, size_t size, std::string* error)>;

  GzipWriter() = default;
  ~GzipWriter();
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  // Sets up zlib and writes the header. True on success; false with *error (settings that zlib
  // refuses, out of memory, the sink's reason).
  bool Start(const GzipRecipe& recipe, Sink sink, std::string* error);
  // Compresses the next size bytes. True on success; false with *error (the sink's reason).
  bool Write(const uint8_t* data, size_t size, std::string* error);
  // Ends the deflate stream and writes the trailer. True on success; false with *error, also
  // when the recipe names a block end beyond the content written.
  bool Finish(std::string* error);

 private:
  bool Deflate(const uint8_t* data, size_t size, int flush, std::string* error);

  z_stream strm_ = {};
  bool started_ = false;
  Sink sink_;
  std::vector<uint64_t> block_ends_;
  size_t next_end_ = 0;
  uint64_t written_ = 0;
  uLong crc_ = 0;
  std::vector<uint8_t> out_;
};

#endif  // VELMOR_GZIP_MEMBER_H_
