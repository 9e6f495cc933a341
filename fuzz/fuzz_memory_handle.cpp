// Memory handles driven by arbitrary sequences of seek, read, write and tell, checked against a
// plain model of a fixed-size block: the position stays within [0, size], transfers are cut at
// the end, and the block never grows (AddressSanitizer watches its edges).
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "stream_handle.h"

namespace {

int64_t Clamp(int64_t pos, int64_t size) { return pos < 0 ? 0 : (pos > size ? size : pos); }

int64_t Add(int64_t a, int64_t b) {
  int64_t s;
  if (__builtin_add_overflow(a, b, &s)) return b > 0 ? INT64_MAX : INT64_MIN;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Input in(data, size);
  size_t block_size = in.Byte() % 64;
  bool owned = in.Byte() & 1;
  std::vector<unsigned char> caller(block_size);
  StreamHandle* h =
      owned ? CreateMemoryHandle(block_size) : WrapMemoryHandle(caller.data(), block_size);
  if (h == nullptr) __builtin_trap();
  std::vector<unsigned char> model(block_size, 0);
  int64_t pos = 0, sz = static_cast<int64_t>(block_size);
  for (int step = 0; step < 64; ++step) {
    uint8_t op = in.Byte();
    if (op == 0) break;
    switch (op % 4) {
      case 0: {
        int64_t off = static_cast<int8_t>(in.Byte());
        if (in.Byte() & 1) off = off < 0 ? INT64_MIN + (off + 128) : INT64_MAX - off;
        int whence = in.Byte() % 4;
        if (h->seek(h, off, whence) != 0) __builtin_trap();
        if (whence == 0) pos = Clamp(off, sz);
        if (whence == 1) pos = Clamp(Add(pos, off), sz);
        if (whence == 2) pos = Clamp(Add(sz, off), sz);
        break;
      }
      case 1: {
        unsigned int len = in.Byte() % 80;
        std::vector<unsigned char> buf(len);
        int64_t got = h->read(buf.data(), len, h);
        int64_t want = std::min<int64_t>(len, sz - pos);
        if (got != want) __builtin_trap();
        if (got > 0 && memcmp(buf.data(), model.data() + pos, static_cast<size_t>(got)) != 0)
          __builtin_trap();
        pos += got;
        break;
      }
      case 2: {
        std::string piece = in.Piece(80);
        int64_t put = h->write(piece.data(), static_cast<unsigned int>(piece.size()), h);
        int64_t want = std::min<int64_t>(static_cast<int64_t>(piece.size()), sz - pos);
        if (put != want) __builtin_trap();
        if (put > 0) memcpy(model.data() + pos, piece.data(), static_cast<size_t>(put));
        pos += put;
        break;
      }
      default:
        break;
    }
    if (h->tell(h) != pos) __builtin_trap();
  }
  if (h->close(h) != 0) __builtin_trap();
  if (!owned && block_size > 0 && memcmp(caller.data(), model.data(), block_size) != 0)
    __builtin_trap();
  return 0;
}
