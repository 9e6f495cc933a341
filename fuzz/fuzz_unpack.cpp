// The pack unpacker on arbitrary bytes: it never crashes or leaks, never writes more than the
// size it is given, leaves the destination untouched when it fails, and a real zlib stream of
// the input (enciphered when a key is given) comes back unchanged.
#include <string.h>
#include <zlib.h>

#include <string>

#include "fuzz_util.h"
#include "libupdater.h"
#include "memleak.h"
#include "rc4.h"

namespace {

bool WriteAll(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

std::string ReadAll(const std::string& path) {
  std::string s;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Input in(data, size);
  std::string key = in.Piece(20);
  if (key.find('\0') != std::string::npos) key.clear();
  uint8_t mode = in.Byte();
  int64_t limit = in.Byte() * 64;
  std::string body = in.Rest();
  const std::string& dir = fuzzutil::ScratchDir();
  std::string pack = dir + "/pack", out = dir + "/out";

  uint64_t blocksBefore = zmem_blocks();
  {
    Updater u;
    if (mode & 1) {
      // A genuine pack of the input must come back unchanged whenever it fits.
      uLongf packedLen = compressBound(body.size());
      std::string packed(packedLen, '\0');
      if (compress(reinterpret_cast<Bytef*>(&packed[0]), &packedLen,
                   reinterpret_cast<const Bytef*>(body.data()), body.size()) != Z_OK) {
        return 0;
      }
      packed.resize(packedLen);
      if (!key.empty()) {
        uint8_t k16[16] = {};
        memcpy(k16, key.data(), key.size() < 16 ? key.size() : 16);
        Rc4State st;
        rc4_init(&st, k16, 16);
        rc4_crypt(&st, reinterpret_cast<uint8_t*>(&packed[0]), packed.size());
      }
      if (!WriteAll(pack, packed) || !WriteAll(out, "before")) return 0;
      bool ok = u.unpackFile(pack.c_str(), out.c_str(), key.c_str(), limit);
      bool fits = static_cast<int64_t>(body.size()) <= limit;
      if (ok != fits) __builtin_trap();
      if (ok && ReadAll(out) != body) __builtin_trap();
      if (!ok && (ReadAll(out) != "before" ||
                  std::string(u.lastError()) != "Error uncompressing data (-5)")) {
        __builtin_trap();
      }
    } else {
      if (!WriteAll(pack, body) || !WriteAll(out, "before")) return 0;
      if (u.unpackFile(pack.c_str(), out.c_str(), key.c_str(), limit)) {
        if (static_cast<int64_t>(ReadAll(out).size()) > limit) __builtin_trap();
      } else if (ReadAll(out) != "before") {
        __builtin_trap();
      }
    }
  }
  if (zmem_blocks() != blocksBefore) __builtin_trap();
  return 0;
}
