// General helpers shared by the whole system: bounded string copy and append, in-place
// replacement inside a fixed buffer, the file-name part of a path, 64-bit file positions, and
// smaller utilities (tokenizer, trimming, wildcard matching, quoting, a per-user settings
// directory, wide/narrow conversion, byte order, UTF-8 validation).
//
// Helpers that return new strings allocate them as tracked memory (memleak.h); the caller
// releases them with zfree (StrTokenizer's strings with its FreeString).
//
// Thread rules: every function is safe to call from any thread on its own arguments; none keeps
// state between calls except msec_clock's process start time. A StrTokenizer belongs to one
// thread at a time.
#ifndef VELMOR_GENLIB_H_
#define VELMOR_GENLIB_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <wchar.h>

#include <string>
#include <vector>

// Newer C libraries declare the BSD pair themselves (with the same rules); use theirs then.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
#define VELMOR_LIBC_HAS_STRLCPY 1
#else
// Copies at most size - 1 bytes of src into dst and terminates it when size is not 0 (size 0
// writes nothing). Returns strlen(src); a result of size or more means the copy was cut.
size_t strlcpy(char* dst, const char* src, size_t size);
// Appends src to the text in dst, keeping the whole within size bytes and terminated. Returns
// the length the full result would have had: min(strlen(dst), size) + strlen(src). When dst
// holds no terminator within its first size bytes nothing is written (result size + strlen(src)).
size_t strlcat(char* dst, const char* src, size_t size);
#endif

// Replaces occurrences of pattern in the text held by buf (size bytes in all) from left to
// right, never searching text that a replacement brought in. Stops at the first occurrence whose
// replacement would not fit with the terminator, leaving it and the rest unchanged. Returns the
// number of replacements; 0 for an empty pattern or null arguments.
uint32_t str_replace(char* buf, size_t size, const char* pattern, const char* replacement);

// The part of path after its last '/'; without '/', after its last '\'; else path itself.
// Returns a pointer into path (null for a null path).
const char* file_part(const char* path);
char* file_part(char* path);
const wchar_t* file_part_w(const wchar_t* path);
wchar_t* file_part_w(wchar_t* path);

// Repositions fp with a 64-bit offset; origin is SEEK_SET, SEEK_CUR or SEEK_END.
// 0 on success, -1 on failure.
int fseek64(FILE* fp, int64_t offset, int origin);
// The position of fp as a 64-bit offset, -1 on failure.
int64_t ftell64(FILE* fp);

// Splits a text at a one-character separator. Separators at the start and runs of separators
// yield no empty tokens; a separator as the very last character adds one empty token at the
// end. Tokens are numbered from 1.
class StrTokenizer {
 public:
  // With do_copy the tokenizer works on its own tracked copy of text; otherwise it cuts the
  // caller's text up in place (the text must outlive the tokenizer). A null text has no tokens.
  StrTokenizer(char* text, char separator, bool do_copy = true);
  // Always works on a copy.
  StrTokenizer(const char* text, char separator);
  ~StrTokenizer();
  StrTokenizer(const StrTokenizer&) = delete;
  StrTokenizer& operator=(const StrTokenizer&) = delete;

  // Number of tokens.
  size_t NumTok() const;
  // Tokens first..last joined by the separator, as a new tracked string (release it with
  // FreeString or zfree). A first of 0 counts as 1; last is capped at NumTok(); an empty range
  // gives "". Null only when memory runs out.
  char* GetTok(size_t first, size_t last) const;
  // Token n as a new tracked string ("" when there is no token n).
  char* GetSingleTok(size_t n) const;
  // The same as standard strings.
  std::string stdGetTok(size_t first, size_t last) const;
  std::string stdGetSingleTok(size_t n) const;
  // Releases a string returned by GetTok or GetSingleTok.
  void FreeString(char* str) const;

 private:
  void Split(char* text);

  char separator_;
  char* copy_ = nullptr;  // tracked copy when the tokenizer made one
  std::vector<const char*> tokens_;
};

#define TRIM_LEFT 1
#define TRIM_RIGHT 2

// Removes, in place, characters of trim_chars from the left (TRIM_LEFT), the right (TRIM_RIGHT)
// or both sides of str. Returns str.
char* strtrim(char* str, const char* trim_chars = " \t\r\n", int sides = TRIM_LEFT | TRIM_RIGHT);
// Lower-cases the ASCII capitals of str in place; every other byte stays. Returns str.
char* strlwr(char* str);
// True for a null pointer or an empty string.
bool str_is_empty(const char* str);
// value raised to min_value, then lowered to max_value.
int64_t clamp(int64_t value, int64_t min_value, int64_t max_value);

// Matches text against pattern: '*' is any run of characters (also none), '?' any one
// character, every other byte matches only itself. 1 for a match, 0 otherwise (also for nulls).
int wildcard_match(const char* pattern, const char* text);
// The same, comparing ASCII letters without regard to case.
int wildcard_matchi(const char* pattern, const char* text);
// Splits pattern_list at any of the characters in delimiters; 1 when text matches one of the
// patterns by wildcard_matchi, 0 otherwise.
int wildcard_match_list(const char* pattern_list, const char* text, const char* delimiters);

// Fills out (out_size bytes) with text in double quotes, a backslash put before each double
// quote inside it; cut to the size and terminated. Returns out.
char* quote_string(const char* text, char* out, size_t out_size);

// Wide form of str_replace with size counted in wide characters. Searches again from the start
// of the text after each replacement, until no occurrence is left or the result with its
// terminator would no longer fit. Returns the number of replacements.
uint32_t wcs_replace(wchar_t* buf, size_t size, const wchar_t* pattern, const wchar_t* replacement);

// Path of the directory "." + name inside the user's base directory ($HOME when set and not
// empty, else the working directory, else "./"), ending in '/', as a tracked string. Creates the
// directory (mode 0755, one level) when nothing exists under that path. Null only when memory
// runs out.
char* get_user_dir(const char* name);
// get_user_dir(name) followed directly by file, as one tracked string.
char* get_user_file(const char* name, const char* file);

// Creates every missing directory along path with mode (before the umask), as mkdir -p does;
// existing directories are kept. True when path is a directory afterwards; false with errno
// set otherwise (ENOTDIR when something else stands on the way).
bool make_directories(const char* path, mode_t mode);
// Milliseconds since the process started: whole seconds since the start times 1000, plus the
// current microseconds / 1000.
int64_t msec_clock();

// Wide string to a new tracked multibyte string in the current locale; "ERROR in wcstombs"
// (tracked) when it cannot be converted.
char* wcs_to_mbs(const wchar_t* str);
// Multibyte string to a new zero-filled tracked wide string; "ERROR in mbstowcs" (tracked wide)
// when it cannot be converted.
wchar_t* mbs_to_wcs(const char* str);

// Byte order. The platform is little-endian: the little-endian conversions return the value
// unchanged, the big-endian ones reverse its bytes.
uint16_t byteswap16(uint16_t v);
uint32_t byteswap32(uint32_t v);
uint64_t byteswap64(uint64_t v);
uint16_t host_to_le16(uint16_t v);
uint32_t host_to_le32(uint32_t v);
uint64_t host_to_le64(uint64_t v);
uint16_t le_to_host16(uint16_t v);
uint32_t le_to_host32(uint32_t v);
uint64_t le_to_host64(uint64_t v);
uint16_t host_to_be16(uint16_t v);
uint32_t host_to_be32(uint32_t v);
uint64_t host_to_be64(uint64_t v);
uint16_t be_to_host16(uint16_t v);
uint32_t be_to_host32(uint32_t v);
uint64_t be_to_host64(uint64_t v);

// Pointer to the first byte of the first ill-formed UTF-8 sequence in str, or null when the
// whole string is well-formed (surrogates, overlong forms, code points above U+10FFFF and
// U+FFFE/U+FFFF are refused).
const char* utf8_validate(const char* str);
// True when utf8_validate(str) is null.
bool utf8_is_valid(const char* str);

#endif  // VELMOR_GENLIB_H_
