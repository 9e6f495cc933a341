#include "lean_text.h"

#include <strings.h>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int TextRef::compare(size_t pos, size_t n, const std::string& other) const {
  return std::string(text_).compare(pos, n, other);
}

std::string TextRef::substr(size_t pos, size_t n) const {
  return std::string(text_).substr(pos, n);
}

bool operator==(const TextRef& a, const TextRef& b) { return strcmp(a.c_str(), b.c_str()) == 0; }
bool operator==(const TextRef& a, const std::string& b) {
  return a.size() == b.size() && memcmp(a.c_str(), b.data(), b.size()) == 0;
}
bool operator==(const TextRef& a, const char* b) { return strcmp(a.c_str(), b ? b : "") == 0; }
std::string operator+(const std::string& a, const TextRef& b) { return a + b.c_str(); }
std::string operator+(const char* a, const TextRef& b) { return std::string(a) + b.c_str(); }
std::string operator+(const TextRef& a, const std::string& b) { return a.c_str() + b; }
std::string operator+(const TextRef& a, const char* b) { return std::string(a.c_str()) + b; }

TextRef TextArena::add(const char* text, size_t n) {
  if (n == 0) return TextRef();
  std::string* block = blocks_.empty() ? nullptr : &blocks_.back();
  if (!block || block->capacity() - block->size() < n + 1) {
    blocks_.emplace_back();
    blocks_.back().reserve(n + 1 > kBlock ? n + 1 : kBlock);
    block = &blocks_.back();
  }
  // Appending within the reserved capacity never moves the block's bytes.
  const size_t at = block->size();
  block->append(text, n);
  block->push_back('\0');
  return TextRef(block->data() + at);
}

size_t TextArena::capacity() const {
  size_t total = 0;
  for (const std::string& b : blocks_) total += b.capacity();
  return total;
}

void DigestText::set(const char* text, TextArena* arena) {
  form_ = kEmpty;
  if (!text || !*text) return;
  const size_t n = strnlen(text, 64);
  bool lower = true, upper = true;
  for (size_t i = 0; i < n; i++) {
    const char c = text[i];
    if (c >= 'a' && c <= 'f') {
      upper = false;
    } else if (c >= 'A' && c <= 'F') {
      lower = false;
    } else if (c < '0' || c > '9') {
      lower = upper = false;
    }
  }
  if ((n == 32 || n == 64) && (lower || upper)) {
    for (size_t i = 0; i < n / 2; i++) {
      bytes_[i] = static_cast<uint8_t>(HexValue(text[2 * i]) << 4 | HexValue(text[2 * i + 1]));
    }
    size_ = static_cast<uint8_t>(n / 2);
    form_ = lower ? kLower : kUpper;
    return;
  }
  if (!arena) return;
  const char* kept = arena->add(text, n).c_str();
  memcpy(bytes_, &kept, sizeof(kept));
  form_ = kOther;
}

void DigestText::setBytes(const uint8_t* bytes, size_t n) {
  if (n == 0 || n > sizeof(bytes_)) {
    form_ = kEmpty;
    return;
  }
  memcpy(bytes_, bytes, n);
  size_ = static_cast<uint8_t>(n);
  form_ = kLower;
}

HexText DigestText::text() const {
  HexText out;
  if (form_ == kOther) {
    const char* kept;
    memcpy(&kept, bytes_, sizeof(kept));
    memcpy(out.text, kept, strlen(kept) + 1);
  } else if (form_ != kEmpty) {
    const char* digits = form_ == kLower ? "0123456789abcdef" : "0123456789ABCDEF";
    for (size_t i = 0; i < size_; i++) {
      out.text[2 * i] = digits[bytes_[i] >> 4];
      out.text[2 * i + 1] = digits[bytes_[i] & 15];
    }
    out.text[2 * size_] = '\0';
  }
  return out;
}

bool DigestText::equalsNoCase(const char* hex) const {
  return strcasecmp(text().c_str(), hex ? hex : "") == 0;
}
