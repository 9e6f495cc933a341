// Fuzzed packs against an independent oracle: unpacking never crashes, never writes more than
// the declared size, leaves the destination untouched on failure, and on success yields exactly
// what a separate decipher-and-inflate of the same bytes yields.
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "guard.h"
#include "libupdater.h"
#include "memleak.h"
#include "rc4.h"

namespace {

std::string Slurp(const std::string& path, bool* ok) {
  std::string s;
  FILE* f = fopen(path.c_str(), "rb");
  *ok = f != nullptr;
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// Inflates one zlib stream of at most limit output bytes; false when the stream is damaged,
// incomplete or longer than limit.
bool Inflate(const std::string& in, size_t limit, std::string* out) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  std::vector<char> buf(65536);
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef*>(buf.data());
    zs.avail_out = static_cast<uInt>(buf.size());
    rc = inflate(&zs, Z_NO_FLUSH);
    out->append(buf.data(), buf.size() - zs.avail_out);
    if (out->size() > limit) break;
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
  }
  inflateEnd(&zs);
  return rc == Z_STREAM_END && out->size() <= limit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& scratch = fuzzutil::EnterScratch();
  fuzzguard::AllowedDir() = scratch;
  fuzzutil::Input in(data, size);
  bool use_key = in.Byte() & 1;
  std::string key = in.Piece(16);
  int64_t declared = in.Byte() * 256 + in.Byte();
  std::string pack = in.Rest();
  if (use_key && key.empty()) key = "k";
  key = key.c_str();
  if (!use_key) key.clear();

  std::string src = scratch + "/pack", dst = scratch + "/out";
  FILE* f = fopen(src.c_str(), "wb");
  fwrite(pack.data(), 1, pack.size(), f);
  fclose(f);
  f = fopen(dst.c_str(), "wb");
  fputs("previous", f);
  fclose(f);

  uint64_t blocks = zmem_blocks();
  bool ok;
  {
    Updater u;
    ok = u.unpackFile(src.c_str(), dst.c_str(), key.empty() ? "" : key.c_str(), declared);
  }
  if (zmem_blocks() != blocks) __builtin_trap();

  bool read_ok;
  std::string got = Slurp(dst, &read_ok);
  if (!ok) {
    if (got != "previous") __builtin_trap();  // a failed unpack must not touch the destination
    return 0;
  }
  // The independent result: RC4 with the key padded to 16 bytes, then inflate.
  std::string plain = pack;
  if (!key.empty()) {
    uint8_t k16[16] = {};
    memcpy(k16, key.data(), key.size() < 16 ? key.size() : 16);
    Rc4State st;
    rc4_init(&st, k16, 16);
    rc4_crypt(&st, reinterpret_cast<uint8_t*>(&plain[0]), plain.size());
  }
  std::string expect;
  if (!Inflate(plain, static_cast<size_t>(declared), &expect)) __builtin_trap();
  if (got != expect) __builtin_trap();
  return 0;
}
