// Base64 and hex text on arbitrary input: decoding never writes past 3 * length / 4 bytes and
// either fails or returns a count that matches the text's length and padding; what decodes
// encodes back to a text of the same length; every byte string survives encode then decode.
// hex_to_bin keeps to its output size and agrees with bin_to_hex.
#include <string.h>

#include <string>
#include <vector>

#include "base64.h"
#include "fuzz_util.h"
#include "hash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Input in(data, size);
  std::string text = in.Piece(1024);
  std::string bytes = in.Rest();

  // Decode arbitrary text into a heap block of exactly the documented size.
  std::vector<unsigned char> out(3 * text.size() / 4);
  int64_t n = base64_decode(text.data(), text.size(), out.data());
  if (n < -1) __builtin_trap();
  if (n >= 0) {
    size_t pad = 0;
    if (!text.empty() && text.back() == '=')
      pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    if (static_cast<size_t>(n) != 3 * text.size() / 4 - pad) __builtin_trap();
    std::vector<char> again(4 * ((out.size() + 2) / 3) + 1);
    if (base64_encode(out.data(), static_cast<size_t>(n), again.data()) != text.size())
      __builtin_trap();
  }

  // Round trip of arbitrary bytes.
  std::vector<char> enc(4 * ((bytes.size() + 2) / 3) + 1);
  size_t len = base64_encode(bytes.data(), bytes.size(), enc.data());
  if (len != enc.size() - 1 || strlen(enc.data()) != len) __builtin_trap();
  std::vector<unsigned char> dec(3 * len / 4);
  int64_t m = base64_decode(enc.data(), len, dec.data());
  if (m != static_cast<int64_t>(bytes.size())) __builtin_trap();
  if (m > 0 && memcmp(dec.data(), bytes.data(), bytes.size()) != 0) __builtin_trap();

  // Hex: the output block is exactly as large as the caller says.
  std::vector<unsigned char> bin(text.size() / 2 + (bytes.size() & 3));
  bool ok = hex_to_bin(text.c_str(), bin.data(), bin.size());
  bool expect = strlen(text.c_str()) % 2 == 0 && bin.size() >= strlen(text.c_str()) / 2;
  if (ok != expect) __builtin_trap();
  std::vector<char> hex(2 * bytes.size() + 1);
  bin_to_hex(bytes.data(), bytes.size(), hex.data());
  std::vector<unsigned char> back(bytes.size());
  if (!hex_to_bin(hex.data(), back.data(), back.size())) __builtin_trap();
  if (!bytes.empty() && memcmp(back.data(), bytes.data(), bytes.size()) != 0) __builtin_trap();
  return 0;
}
