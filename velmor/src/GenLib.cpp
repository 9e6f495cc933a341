#include "GenLib.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include "memleak.h"

static_assert(sizeof(off_t) == 8, "64-bit file offsets are required (_FILE_OFFSET_BITS=64)");

#ifndef VELMOR_LIBC_HAS_STRLCPY
size_t strlcpy(char* dst, const char* src, size_t size) {
  size_t len = strlen(src);
  if (size != 0) {
    size_t n = len >= size ? size - 1 : len;
    memmove(dst, src, n);
    dst[n] = '\0';
  }
  return len;
}

size_t strlcat(char* dst, const char* src, size_t size) {
  size_t dlen = strnlen(dst, size);
  size_t slen = strlen(src);
  if (dlen == size) return size + slen;
  size_t n = slen;
  if (n >= size - dlen) n = size - dlen - 1;
  memmove(dst + dlen, src, n);
  dst[dlen + n] = '\0';
  return dlen + slen;
}
#endif

uint32_t str_replace(char* buf, size_t size, const char* pattern, const char* replacement) {
  if (buf == nullptr || pattern == nullptr || replacement == nullptr || *pattern == '\0' ||
      size == 0) {
    return 0;
  }
  size_t len = strnlen(buf, size);
  if (len == size) return 0;  // not terminated within the buffer: nothing safe to do
  const size_t plen = strlen(pattern);
  const size_t rlen = strlen(replacement);
  uint32_t count = 0;
  size_t pos = 0;
  while (pos <= len) {
    char* hit = strstr(buf + pos, pattern);
    if (hit == nullptr) break;
    if (rlen > plen && len + (rlen - plen) + 1 > size) break;
    size_t off = static_cast<size_t>(hit - buf);
    if (rlen != plen) memmove(hit + rlen, hit + plen, len - off - plen + 1);
    memcpy(hit, replacement, rlen);
    len = len - plen + rlen;
    pos = off + rlen;
    count++;
  }
  return count;
}

const char* file_part(const char* path) {
  if (path == nullptr) return nullptr;
  const char* p = strrchr(path, '/');
  if (p == nullptr) p = strrchr(path, '\\');
  return p != nullptr ? p + 1 : path;
}

char* file_part(char* path) { return const_cast<char*>(file_part(static_cast<const char*>(path))); }

const wchar_t* file_part_w(const wchar_t* path) {
  if (path == nullptr) return nullptr;
  const wchar_t* p = wcsrchr(path, L'/');
  if (p == nullptr) p = wcsrchr(path, L'\\');
  return p != nullptr ? p + 1 : path;
}

wchar_t* file_part_w(wchar_t* path) {
  return const_cast<wchar_t*>(file_part_w(static_cast<const wchar_t*>(path)));
}

int fseek64(FILE* fp, int64_t offset, int origin) {
  if (fp == nullptr) return -1;
  return fseeko(fp, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

int64_t ftell64(FILE* fp) {
  if (fp == nullptr) return -1;
  off_t pos = ftello(fp);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

// ---- StrTokenizer ----

StrTokenizer::StrTokenizer(char* text, char separator, bool do_copy) : separator_(separator) {
  if (text == nullptr) return;
  if (do_copy) {
    copy_ = zstrdup(text, __FILE__, __LINE__);
    if (copy_ == nullptr) return;
    Split(copy_);
  } else {
    Split(text);
  }
}

StrTokenizer::StrTokenizer(const char* text, char separator) : separator_(separator) {
  if (text == nullptr) return;
  copy_ = zstrdup(text, __FILE__, __LINE__);
  if (copy_ != nullptr) Split(copy_);
}

StrTokenizer::~StrTokenizer() {
  if (copy_ != nullptr) zfree(copy_, __FILE__, __LINE__);
}

void StrTokenizer::Split(char* text) {
  size_t len = strlen(text);
  if (len == 0) return;
  bool trailing = text[len - 1] == separator_;
  char sep[2] = {separator_, '\0'};
  char* save = nullptr;
  for (char* tok = strtok_r(text, sep, &save); tok != nullptr;
       tok = strtok_r(nullptr, sep, &save)) {
    tokens_.push_back(tok);
  }
  if (trailing) tokens_.push_back("");
}

size_t StrTokenizer::NumTok() const { return tokens_.size(); }

std::string StrTokenizer::stdGetTok(size_t first, size_t last) const {
  std::string out;
  if (first == 0) first = 1;
  if (last > tokens_.size()) last = tokens_.size();
  for (size_t i = first; i <= last; i++) {
    if (i > first) out += separator_;
    out += tokens_[i - 1];
  }
  return out;
}

std::string StrTokenizer::stdGetSingleTok(size_t n) const { return stdGetTok(n == 0 ? 1 : n, n); }

char* StrTokenizer::GetTok(size_t first, size_t last) const {
  std::string joined = stdGetTok(first, last);
  if (joined.size() >= UINT32_MAX) return nullptr;
  char* out =
      static_cast<char*>(zmalloc(static_cast<uint32_t>(joined.size() + 1), __FILE__, __LINE__));
  if (out != nullptr) memcpy(out, joined.c_str(), joined.size() + 1);
  return out;
}

char* StrTokenizer::GetSingleTok(size_t n) const { return GetTok(n == 0 ? 1 : n, n); }

void StrTokenizer::FreeString(char* str) const {
  if (str != nullptr) zfree(str, __FILE__, __LINE__);
}

// ---- small string helpers ----

char* strtrim(char* str, const char* trim_chars, int sides) {
  if (str == nullptr || trim_chars == nullptr) return str;
  if (sides & TRIM_RIGHT) {
    size_t len = strlen(str);
    while (len > 0 && strchr(trim_chars, str[len - 1]) != nullptr) len--;
    str[len] = '\0';
  }
  if (sides & TRIM_LEFT) {
    size_t skip = strspn(str, trim_chars);
    if (skip > 0) memmove(str, str + skip, strlen(str + skip) + 1);
  }
  return str;
}

char* strlwr(char* str) {
  if (str == nullptr) return str;
  for (char* p = str; *p; p++) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
  return str;
}

bool str_is_empty(const char* str) { return str == nullptr || *str == '\0'; }

int64_t clamp(int64_t value, int64_t min_value, int64_t max_value) {
  if (value < min_value) value = min_value;
  if (value > max_value) value = max_value;
  return value;
}

static inline unsigned char ascii_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Greedy matching with one backtrack point (the last '*'): linear in practice, and never
// recursive, so hostile patterns cannot exhaust the stack.
static int wildcard_match_impl(const char* pattern, const char* text, bool fold) {
  if (pattern == nullptr || text == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pattern);
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* star = nullptr;
  const unsigned char* star_text = nullptr;
  while (*s) {
    if (*p == '*') {
      star = p++;
      star_text = s;
      continue;
    }
    if (*p != '\0' && (*p == '?' || *p == *s || (fold && ascii_lower(*p) == ascii_lower(*s)))) {
      p++;
      s++;
      continue;
    }
    if (star != nullptr) {
      p = star + 1;
      s = ++star_text;
      continue;
    }
    return 0;
  }
  while (*p == '*') p++;
  return *p == '\0' ? 1 : 0;
}

int wildcard_match(const char* pattern, const char* text) {
  return wildcard_match_impl(pattern, text, false);
}

int wildcard_matchi(const char* pattern, const char* text) {
  return wildcard_match_impl(pattern, text, true);
}

int wildcard_match_list(const char* pattern_list, const char* text, const char* delimiters) {
  if (pattern_list == nullptr || text == nullptr) return 0;
  if (delimiters == nullptr) delimiters = "";
  std::string list(pattern_list);
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(delimiters, start);
    if (end == std::string::npos) end = list.size();
    if (end > start && wildcard_matchi(list.substr(start, end - start).c_str(), text)) return 1;
    start = end + 1;
  }
  return 0;
}

char* quote_string(const char* text, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return out;
  size_t o = 0;
  auto put = [&](char c) {
    if (o + 1 < out_size) out[o++] = c;
  };
  put('"');
  for (const char* p = text != nullptr ? text : ""; *p; p++) {
    if (*p == '"') put('\\');
    put(*p);
  }
  put('"');
  out[o] = '\0';
  return out;
}

uint32_t wcs_replace(wchar_t* buf, size_t size, const wchar_t* pattern,
                     const wchar_t* replacement) {
  if (buf == nullptr || pattern == nullptr || replacement == nullptr || *pattern == L'\0' ||
      size == 0) {
    return 0;
  }
  // Replacing a text by itself would find the same occurrence again forever.
  if (wcscmp(pattern, replacement) == 0) return 0;
  size_t len = wcsnlen(buf, size);
  if (len == size) return 0;
  const size_t plen = wcslen(pattern);
  const size_t rlen = wcslen(replacement);
  uint32_t count = 0;
  for (;;) {
    wchar_t* hit = wcsstr(buf, pattern);
    if (hit == nullptr) break;
    if (rlen > plen && len + (rlen - plen) + 1 > size) break;
    size_t off = static_cast<size_t>(hit - buf);
    if (rlen != plen) wmemmove(hit + rlen, hit + plen, len - off - plen + 1);
    wmemcpy(hit, replacement, rlen);
    len = len - plen + rlen;
    count++;
  }
  return count;
}

// ---- per-user directory ----

bool make_directories(const char* path, mode_t mode) {
  if (path == nullptr || *path == '\0') {
    errno = ENOENT;
    return false;
  }
  std::string prefix;
  const char* p = path;
  while (*p) {
    const char* end = strchr(p + 1, '/');
    if (end == nullptr) end = p + strlen(p);
    prefix.assign(path, static_cast<size_t>(end - path));
    p = end;
    if (prefix.back() == '/') continue;  // the root, or a run of slashes
    if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      // A directory that exists may refuse creation with another error (a read-only mount).
      int err = errno;
      struct stat st;
      if (stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = err;
        return false;
      }
    }
  }
  struct stat st;
  if (stat(path, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

char* get_user_dir(const char* name) {
  char path[1024];
  const char* home = getenv("HOME");
  if (home != nullptr && *home != '\0') {
    strlcpy(path, home, sizeof(path));
  } else if (getcwd(path, sizeof(path)) == nullptr) {
    strlcpy(path, "./", sizeof(path));
  }
  size_t len = strlen(path);
  if (len == 0 || path[len - 1] != '/') strlcat(path, "/", sizeof(path));
  strlcat(path, ".", sizeof(path));
  strlcat(path, name != nullptr ? name : "", sizeof(path));
  struct stat st;
  if (stat(path, &st) != 0) mkdir(path, 0755);
  strlcat(path, "/", sizeof(path));
  return zstrdup(path, __FILE__, __LINE__);
}

char* get_user_file(const char* name, const char* file) {
  char* dir = get_user_dir(name);
  if (dir == nullptr) return nullptr;
  char* out = zmprintf("%s%s", dir, file != nullptr ? file : "");
  zfree(dir, __FILE__, __LINE__);
  return out;
}

// ---- clock ----

static struct timeval g_start_time;
static bool g_start_time_set = false;

static bool take_start_time() {
  gettimeofday(&g_start_time, nullptr);
  g_start_time_set = true;
  return true;
}

// Taken during static initialisation, before main.
static const bool g_start_time_taken = take_start_time();

int64_t msec_clock() {
  (void)g_start_time_taken;
  if (!g_start_time_set) take_start_time();
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec - g_start_time.tv_sec) * 1000 + now.tv_usec / 1000;
}

// ---- wide / narrow ----

char* wcs_to_mbs(const wchar_t* str) {
  size_t n = str != nullptr ? wcstombs(nullptr, str, 0) : static_cast<size_t>(-1);
  if (n == static_cast<size_t>(-1) || n >= UINT32_MAX) {
    return zstrdup("ERROR in wcstombs", __FILE__, __LINE__);
  }
  char* out = static_cast<char*>(zmalloc(static_cast<uint32_t>(n + 1), __FILE__, __LINE__));
  if (out != nullptr) wcstombs(out, str, n + 1);
  return out;
}

wchar_t* mbs_to_wcs(const char* str) {
  size_t n = str != nullptr ? mbstowcs(nullptr, str, 0) : static_cast<size_t>(-1);
  if (n == static_cast<size_t>(-1) || n >= UINT32_MAX / sizeof(wchar_t) - 1) {
    return zwcsdup(L"ERROR in mbstowcs", __FILE__, __LINE__);
  }
  wchar_t* out = static_cast<wchar_t*>(
      zmalloc(static_cast<uint32_t>((n + 1) * sizeof(wchar_t)), __FILE__, __LINE__));
  if (out != nullptr) mbstowcs(out, str, n + 1);
  return out;
}

// ---- byte order ----

uint16_t byteswap16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t byteswap32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t byteswap64(uint64_t v) { return __builtin_bswap64(v); }
uint16_t host_to_le16(uint16_t v) { return v; }
uint32_t host_to_le32(uint32_t v) { return v; }
uint64_t host_to_le64(uint64_t v) { return v; }
uint16_t le_to_host16(uint16_t v) { return v; }
uint32_t le_to_host32(uint32_t v) { return v; }
uint64_t le_to_host64(uint64_t v) { return v; }
uint16_t host_to_be16(uint16_t v) { return byteswap16(v); }
uint32_t host_to_be32(uint32_t v) { return byteswap32(v); }
uint64_t host_to_be64(uint64_t v) { return byteswap64(v); }
uint16_t be_to_host16(uint16_t v) { return byteswap16(v); }
uint32_t be_to_host32(uint32_t v) { return byteswap32(v); }
uint64_t be_to_host64(uint64_t v) { return byteswap64(v); }

// ---- UTF-8 ----

const char* utf8_validate(const char* str) {
  if (str == nullptr) return nullptr;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(str);
  while (*s) {
    const unsigned c = *s;
    if (c < 0x80) {
      s++;
      continue;
    }
    int need;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return reinterpret_cast<const char*>(s);
    }
    // Each check stops at the first bad byte, so the terminator is never read past.
    if (s[1] < lo || s[1] > hi) return reinterpret_cast<const char*>(s);
    for (int i = 2; i <= need; i++) {
      if (s[i] < 0x80 || s[i] > 0xBF) return reinterpret_cast<const char*>(s);
    }
    if (c == 0xEF && s[1] == 0xBF && (s[2] == 0xBE || s[2] == 0xBF)) {
      return reinterpret_cast<const char*>(s);  // U+FFFE, U+FFFF
    }
    s += need + 1;
  }
  return nullptr;
}

bool utf8_is_valid(const char* str) { return utf8_validate(str) == nullptr; }
