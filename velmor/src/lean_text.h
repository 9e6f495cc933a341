// Compact storage for the many short texts of large record sets (file names, URLs, digests of
// half a million records): an arena that keeps NUL-terminated copies in big shared blocks, a
// one-pointer reference to such a copy that reads like a std::string, and a digest kept as its
// bytes instead of its hex text.
//
// Thread rules: an arena belongs to one owner; the texts it hands out stay valid and unchanged
// until the arena is destroyed and may then be read from any thread. TextRef and DigestText are
// plain values.
#ifndef VELMOR_LEAN_TEXT_H_
#define VELMOR_LEAN_TEXT_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

// A read-only reference to NUL-terminated text that someone else keeps (an arena, a literal).
// A default TextRef is the empty text.
class TextRef {
 public:
  TextRef() : text_("") {}
  // text must outlive every copy of the reference; null is the empty text.
  explicit TextRef(const char* text) : text_(text ? text : "") {}

  const char* c_str() const { return text_; }
  size_t size() const { return strlen(text_); }
  bool empty() const { return text_[0] == '\0'; }
  char operator[](size_t i) const { return text_[i]; }
  std::string str() const { return text_; }
  operator std::string() const { return text_; }  // reads like the string it replaces
  // As std::string::compare and substr.
  int compare(size_t pos, size_t n, const std::string& other) const;
  std::string substr(size_t pos, size_t n = std::string::npos) const;

 private:
  const char* text_;
};

bool operator==(const TextRef& a, const TextRef& b);
bool operator==(const TextRef& a, const std::string& b);
bool operator==(const TextRef& a, const char* b);
inline bool operator==(const std::string& a, const TextRef& b) { return b == a; }
inline bool operator!=(const TextRef& a, const TextRef& b) { return !(a == b); }
inline bool operator!=(const TextRef& a, const std::string& b) { return !(a == b); }
inline bool operator!=(const TextRef& a, const char* b) { return !(a == b); }
std::string operator+(const std::string& a, const TextRef& b);
std::string operator+(const char* a, const TextRef& b);
std::string operator+(const TextRef& a, const std::string& b);
std::string operator+(const TextRef& a, const char* b);

// Keeps copies of texts in blocks of kBlock bytes (longer texts get a block of their own), so a
// text costs its length plus one byte, without a heap block of its own.
class TextArena {
 public:
  static const size_t kBlock = 256 * 1024;

  TextArena() = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;

  // A reference to a copy of text[0, n) with a NUL byte appended; the empty text costs nothing.
  TextRef add(const char* text, size_t n);
  TextRef add(const std::string& text) { return add(text.data(), text.size()); }
  // Bytes of all blocks.
  size_t capacity() const;
  // Frees every text: the references handed out are no longer valid.
  void clear() { std::vector<std::string>().swap(blocks_); }

 private:
  std::vector<std::string> blocks_;  // each filled up to its size, never beyond its capacity
};

// The hex text of a digest, on the stack; converts to const char* for the calls that take one.
struct HexText {
  char text[65] = {};
  const char* c_str() const { return text; }
  operator const char*() const { return text; }  // reads like the array it replaces
};

// A digest attribute as a document wrote it: hex text of 32 or 64 digits in one case is kept as
// its 16 or 32 bytes; any other text of at most 64 characters (which the engine then compares,
// and fails, as it would the text) is kept in an arena. text() gives back exactly the text set.
class DigestText {
 public:
  // Takes text (null: empty), cut at 64 characters; arena keeps it when it is no plain digest
  // (arena may be null for plain digests: such a text is then taken as empty).
  void set(const char* text, TextArena* arena);
  // Takes the bytes of a digest (at most 32), written back as lower-case hex.
  void setBytes(const uint8_t* bytes, size_t n);
  void clear() { form_ = kEmpty; }
  bool empty() const { return form_ == kEmpty; }
  HexText text() const;
  // Whether the text equals hex without regard to case.
  bool equalsNoCase(const char* hex) const;

 private:
  enum Form : uint8_t { kEmpty, kLower, kUpper, kOther };
  // The digest's bytes, or (kOther) the address of the text in the arena; bytes only, so that
  // three digests of a record pack without gaps.
  uint8_t bytes_[32] = {};
  uint8_t size_ = 0;  // bytes of bytes_ in use
  Form form_ = kEmpty;
};

#endif  // VELMOR_LEAN_TEXT_H_
