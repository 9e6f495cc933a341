// Base64 and hex conversions: encoding then decoding returns the input; decoding arbitrary
// text stays inside the buffer its length calls for.
#include <string.h>

#include <vector>

#include "base64.h"
#include "fuzz_util.h"
#include "hash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Round trip of arbitrary bytes.
  std::vector<char> text(4 * ((size + 2) / 3) + 1);
  size_t n = base64_encode(data, size, text.data());
  if (n % 4 != 0 || n != 4 * ((size + 2) / 3) || text[n] != '\0') __builtin_trap();
  std::vector<uint8_t> back(3 * n / 4 + 1);
  int64_t m = base64_decode(text.data(), n, back.data());
  if (m != static_cast<int64_t>(size) || (size && memcmp(back.data(), data, size) != 0)) {
    __builtin_trap();
  }

  // Decoding the input itself as text: exactly the documented room, so ASan sees overruns.
  std::vector<uint8_t> out(3 * size / 4 ? 3 * size / 4 : 1);
  int64_t d = base64_decode(reinterpret_cast<const char*>(data), size, out.data());
  if (d > static_cast<int64_t>(3 * size / 4)) __builtin_trap();

  // Hex: text to bytes with exactly half the length, and back.
  std::string hex(reinterpret_cast<const char*>(data), size);
  hex = hex.c_str();  // the converters read terminated text
  std::vector<uint8_t> bin(hex.size() / 2 ? hex.size() / 2 : 1);
  bool ok = hex_to_bin(hex.c_str(), bin.data(), hex.size() / 2);
  if (ok != (hex.size() % 2 == 0)) __builtin_trap();
  if (ok) {
    std::vector<char> again(hex.size() + 1);
    bin_to_hex(bin.data(), hex.size() / 2, again.data());
    for (size_t i = 0; i < hex.size(); i++) {
      char c = hex[i];
      if (isxdigit(static_cast<unsigned char>(c)) && tolower(c) != again[i]) __builtin_trap();
    }
  }
  return 0;
}
