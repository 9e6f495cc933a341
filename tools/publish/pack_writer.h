// Packs for the updater: one zlib stream of a whole file, optionally enciphered with RC4, written
// as a stream through fixed-size buffers so that a file of any size needs bounded memory. Also the
// streaming digests (SHA-256, MD5) that the update-information document carries for files and
// packs, and the random per-file keys.
//
// Thread rules: no shared state; each object is used by one thread at a time.
#ifndef TOOLS_PUBLISH_PACK_WRITER_H_
#define TOOLS_PUBLISH_PACK_WRITER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

struct HashContext;

// One running digest by OpenSSL name ("sha256", "md5"). Finish returns the lower-case hex text,
// or an empty text when the name is unknown; the object may not be fed after Finish.
class Digest {
 public:
  explicit Digest(const char* name);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  bool ok() const { return ctx_ != nullptr; }
  void Update(const void* data, size_t len);
  std::string Finish();

 private:
  HashContext* ctx_;
  size_t size_;
};

// Which digests to take of a file (and of its pack).
struct DigestKinds {
  bool sha256 = true;
  bool md5 = false;
};

struct FileDigests {
  std::string sha256, md5;  // hex, empty when not asked for
  uint64_t size = 0;        // bytes read
};

// Digests of the file at path, read in blocks. True on success; false with *error naming the
// path and the system's reason.
bool DigestFile(const std::string& path, const DigestKinds& kinds, FileDigests* out,
                std::string* error);

// Writes the pack of the file at src to dst (created or truncated, mode 0644): the zlib stream of
// the whole file at the given deflate level, enciphered with RC4 under key when key is not empty.
// expected_size is the size the file had when the release was walked; a file that has changed
// since is refused. Fills *file with the digests of the file and *pack with those of the pack
// (always SHA-256, MD5 too when kinds asks for it). True on success; false with *error, and dst
// removed.
bool WritePack(const std::string& src, const std::string& dst, const std::string& key, int level,
               uint64_t expected_size, const DigestKinds& kinds, FileDigests* file,
               FileDigests* pack, std::string* error);

// A fresh random key of 16 letters and digits, from OpenSSL's random generator. Empty on failure.
std::string RandomPackKey();

#endif  // TOOLS_PUBLISH_PACK_WRITER_H_
