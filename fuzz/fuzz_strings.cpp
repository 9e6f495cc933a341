// Bounded string helpers on arbitrary input: str_replace never writes past its buffer and
// leaves it terminated; utf8_validate points inside the string or says it is whole; strlcpy
// and strlcat keep their bounds.
#include <string.h>

#include <string>
#include <vector>

#include "GenLib.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Input in(data, size);
  size_t buf_size = 1 + in.Byte() % 96;
  std::string pattern = in.Piece(8);
  std::string replacement = in.Piece(16);
  std::string text = in.Rest();
  for (char& c : pattern)
    if (!c) c = 'x';
  for (char& c : replacement)
    if (!c) c = 'y';

  // The buffer sits in its own heap block, so AddressSanitizer sees any write past it.
  std::vector<char> buf(buf_size);
  strlcpy(buf.data(), text.c_str(), buf.size());
  if (strlen(buf.data()) >= buf.size()) __builtin_trap();
  std::string before = buf.data();
  uint32_t n = str_replace(buf.data(), buf.size(), pattern.c_str(), replacement.c_str());
  if (strnlen(buf.data(), buf.size()) >= buf.size()) __builtin_trap();
  if (pattern.empty() && n != 0) __builtin_trap();
  if (pattern == replacement && before != buf.data()) __builtin_trap();

  std::vector<char> cat(buf_size);
  strlcpy(cat.data(), pattern.c_str(), cat.size());
  size_t want = strlen(cat.data()) + strlen(text.c_str());
  if (strlcat(cat.data(), text.c_str(), cat.size()) != want) __builtin_trap();
  if (strlen(cat.data()) >= cat.size()) __builtin_trap();

  const char* bad = utf8_validate(text.c_str());
  if (bad && (bad < text.c_str() || bad > text.c_str() + strlen(text.c_str()))) __builtin_trap();
  if ((bad == nullptr) != utf8_is_valid(text.c_str())) __builtin_trap();
  if (bad != nullptr) {
    // Everything before the first bad sequence is well-formed on its own.
    std::string prefix(text.c_str(), static_cast<size_t>(bad - text.c_str()));
    if (utf8_validate(prefix.c_str()) != nullptr) __builtin_trap();
  }

  file_part(text.c_str());
  wildcard_match(pattern.c_str(), text.c_str());
  return 0;
}
