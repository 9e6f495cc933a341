// Small helpers shared by the fuzz targets: a scratch directory made once per process, and a
// reader that splits the fuzzer's bytes into the pieces a target needs.
#ifndef FUZZ_FUZZ_UTIL_H_
#define FUZZ_FUZZ_UTIL_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzzutil {

// A private directory for this process, removed at exit.
const std::string& ScratchDir();

// Hands out the input piece by piece; once it runs dry every piece is empty.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // The next byte, or 0 when none is left.
  uint8_t Byte();
  // A piece of up to max_len bytes (its length taken from the input), as text.
  std::string Piece(size_t max_len);
  // Everything that is left.
  std::string Rest();

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace fuzzutil

#endif  // FUZZ_FUZZ_UTIL_H_
