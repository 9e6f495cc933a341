// Binary deltas between two versions of a file: a patch says how to build the new file from the
// old one, and is usually a small fraction of the new file for compiled code. The old file is
// suffix-sorted, the new one is covered by approximate matches against it (runs of old bytes
// with small byte-wise differences) and by literal bytes, and the result is kept as three
// zstd-compressed streams: control entries, byte differences and literal ("extra") bytes. The
// literal stream is compressed with the old file as its dictionary, so short matches that the
// approximate cover skipped still cost little. docs/delta-format.md describes the bytes.
//
// Making a patch holds both files (mapped) and a suffix array of four bytes per old byte.
// Applying one maps the old file, reads the patch through fixed buffers and writes the new file
// as it goes: its memory does not grow with the patch and stays below a few tens of MiB for
// any file. Every patch carries the sizes and SHA-256 digests of both files; an applier checks
// all of them, and every length inside the patch, before it reports success.
//
// Gzip files (a man page, a change log) change from their first block on when a version string
// near their start changes. When both files are gzip files whose new one zlib gives back
// exactly from its uncompressed content (gzip_member.h), the patch is made between the two
// uncompressed contents and carries the recompression recipe; applying it inflates the old file
// (its uncompressed content, at most kGzipMaxRawSize bytes, is held in memory) and recompresses
// the result as it is produced. Sizes and digests in the header are still those of the gzip
// files themselves.
//
// Thread rules: no shared state; every call may run in any thread on its own arguments.
#ifndef VELMOR_DELTA_H_
#define VELMOR_DELTA_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

// The largest old file a patch can be made from (the suffix array holds 32-bit positions).
const uint64_t kDeltaMaxOldSize = (uint64_t{1} << 31) - 1;

// What a patch's header says about it.
struct DeltaHeader {
  uint64_t old_size = 0, new_size = 0;
  uint8_t old_sha256[32] = {}, new_sha256[32] = {};
  uint64_t control_length = 0, diff_length = 0, extra_length = 0;  // compressed bytes
  uint32_t flags = 0;
  uint32_t recipe_length = 0;  // bytes of the gzip recompression recipe after the header
};

// The fixed size of a patch's header in bytes.
const size_t kDeltaHeaderSize = 128;

struct DeltaMakeOptions {
  int level = 19;    // zstd level for the three streams, 1 to 22
  bool gzip = true;  // a patch between the contents of two gzip files when it is smaller
};

// Figures of a made patch, for reports and benchmarks.
struct DeltaStats {
  uint64_t entries = 0;                          // control entries
  uint64_t diff_bytes = 0, extra_bytes = 0;      // uncompressed
  uint64_t control_packed = 0, diff_packed = 0;  // compressed
  uint64_t extra_packed = 0, patch_bytes = 0;    // compressed; whole patch
  bool gzip = false;                             // made between uncompressed contents
  uint64_t recipe_bytes = 0;                     // of the recompression recipe
};

// Makes the patch that turns old (old_size bytes) into new (new_size bytes) and appends it to
// *patch: between the uncompressed contents when both are gzip files, the new one reproducible
// and the patch so made smaller (options.gzip), else between the bytes. True on success; false with
// *error when old is larger than kDeltaMaxOldSize or compression fails. stats may be null.
bool DeltaMake(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
               const DeltaMakeOptions& options, std::string* patch, DeltaStats* stats,
               std::string* error);

// As DeltaMake over two files, writing the patch to patch_path (created or truncated, mode
// 0644). True on success; false with *error naming the path and the system's reason, and no
// patch file left behind.
bool DeltaMakeFile(const std::string& old_path, const std::string& new_path,
                   const std::string& patch_path, const DeltaMakeOptions& options,
                   DeltaStats* stats, std::string* error);

// Reads and checks the header at the start of the patch open at patch_fd (read with pread; the
// file position is not used). True with *header filled; false with *error when the patch is
// shorter than its header, has another magic or version, a damaged header, or a length that
// does not match the patch's size.
bool DeltaReadHeader(int patch_fd, DeltaHeader* header, std::string* error);

// Applies the patch open at patch_fd to the old file open at old_fd and writes the new file to
// out_fd from its current position. The old file must have the size and SHA-256 the patch was
// made for. True when the whole new file was written and its size and SHA-256 are those the
// patch names; false with *error saying what was wrong (the old file, a damaged or truncated
// patch, a write error). On failure out_fd may hold part of a file: the caller discards it.
bool DeltaApplyFd(int old_fd, int patch_fd, int out_fd, std::string* error);

// As DeltaApplyFd over paths; new_path is created or truncated (mode 0644) and removed again
// when applying fails. True on success; false with *error naming the path at fault.
bool DeltaApplyFile(const std::string& old_path, const std::string& patch_path,
                    const std::string& new_path, std::string* error);

#endif  // VELMOR_DELTA_H_
