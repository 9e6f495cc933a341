#include "ini-reader.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "GenLib.h"
#include "memleak.h"

namespace {

// Normalises text in place: removes every CR, turns every TAB into a space and collapses every
// run of spaces into one. One pass gives the same text as repeating the pairwise replacement
// until no two adjacent spaces remain, and never grows it.
void Normalise(char* text) {
  char* out = text;
  for (const char* in = text; *in; in++) {
    char c = *in;
    if (c == '\r') continue;
    if (c == '\t') c = ' ';
    if (c == ' ' && out > text && out[-1] == ' ') continue;
    *out++ = c;
  }
  *out = '\0';
}

// Cuts the normalised text into its non-empty lines (in place: each LF becomes a terminator).
std::vector<char*> SplitLines(char* text) {
  std::vector<char*> lines;
  char* p = text;
  while (*p) {
    char* nl = strchr(p, '\n');
    if (nl != nullptr) *nl = '\0';
    if (*p != '\0') lines.push_back(p);
    if (nl == nullptr) break;
    p = nl + 1;
  }
  return lines;
}

// A header naming section: '[', the name (ASCII case-insensitive), then ']'.
bool NamesSection(const char* line, const char* section) {
  if (line[0] != '[') return false;
  size_t n = strlen(section);
  return strncasecmp(line + 1, section, n) == 0 && line[1 + n] == ']';
}

// Inside a block: a line that begins with '[' and holds a ']' anywhere ends it.
bool EndsBlock(const char* line) { return line[0] == '[' && strchr(line, ']') != nullptr; }

std::string TrimSpaces(const char* begin, const char* end) {
  while (begin < end && *begin == ' ') begin++;
  while (end > begin && end[-1] == ' ') end--;
  return std::string(begin, end);
}

// For a key line, its trimmed key and value; false for a line without '='.
bool SplitKeyLine(const char* line, std::string* key, std::string* value) {
  const char* eq = strchr(line, '=');
  if (eq == nullptr) return false;
  *key = TrimSpaces(line, eq);
  *value = TrimSpaces(eq + 1, eq + 1 + strlen(eq + 1));
  return true;
}

// RAII owner of a tracked block.
struct TrackedText {
  char* p = nullptr;
  ~TrackedText() {
    if (p != nullptr) zfree(p, __FILE__, __LINE__);
  }
};

struct FileCloser {
  FILE* fp;
  ~FileCloser() {
    if (fp != nullptr) fclose(fp);
  }
};

// Reads the whole open file into tracked memory (terminated). False when the size cannot be
// found, the file is empty or too large, memory runs out, or one read does not deliver it all.
bool ReadWhole(FILE* fp, TrackedText* text) {
  if (fseek64(fp, 0, SEEK_END) != 0) return false;
  int64_t size = ftell64(fp);
  if (size <= 0 || size >= static_cast<int64_t>(UINT32_MAX)) return false;
  if (fseek64(fp, 0, SEEK_SET) != 0) return false;
  text->p = static_cast<char*>(zmalloc(static_cast<uint32_t>(size + 1), __FILE__, __LINE__));
  if (text->p == nullptr) return false;
  text->p[size] = '\0';
  return fread(text->p, 1, static_cast<size_t>(size), fp) == static_cast<size_t>(size);
}

// Adds one line and its CR LF.
void AddLine(std::string* out, const std::string& text) {
  out->append(text);
  out->append("\r\n");
}

std::string KeyLine(const char* key, const char* value) { return std::string(key) + "=" + value; }

// The complete new text of the file, from its current (normalised) text.
std::string BuildText(char* old_text, const char* section, const char* key, const char* value) {
  std::vector<char*> lines = SplitLines(old_text);
  std::string out;
  if (lines.empty()) {
    AddLine(&out, std::string("[") + section + "]");
    AddLine(&out, KeyLine(key, value));
    return out;
  }
  bool inside = false;
  bool written = false;
  std::string line_key, line_value;
  for (char* line : lines) {
    if (!inside) {
      AddLine(&out, line);
      if (NamesSection(line, section)) inside = true;
      continue;
    }
    if (EndsBlock(line)) {
      if (!written) {
        AddLine(&out, KeyLine(key, value));
        out.append("\r\n");
        written = true;
      }
      // This header is not compared with the section: the search resumes after it.
      AddLine(&out, line);
      inside = false;
    } else if (SplitKeyLine(line, &line_key, &line_value) &&
               strcasecmp(line_key.c_str(), key) == 0) {
      AddLine(&out, KeyLine(key, value));
      written = true;
    } else {
      AddLine(&out, line);
    }
  }
  if (!written) {
    if (!inside) AddLine(&out, std::string("[") + section + "]");
    AddLine(&out, KeyLine(key, value));
  }
  return out;
}

bool WriteAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file at target with data in one step: the data goes to a new file in the same
// directory, which is flushed to disk and renamed over target. With old_st (the old file's
// status), the new file keeps its permission bits and, where allowed, its owner. On any failure
// the temporary file is removed and target is untouched.
bool ReplaceFile(const std::string& target, const std::string& data, const struct stat* old_st) {
  static unsigned counter = 0;
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    char suffix[64];
    snprintf(suffix, sizeof(suffix), ".tmp%ld.%u", static_cast<long>(getpid()),
             __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED));
    tmp = target + suffix;
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = true;
  if (old_st != nullptr) {
    if (fchown(fd, old_st->st_uid, old_st->st_gid) != 0) {
      // Not permitted for other owners; the new file then belongs to the caller.
    }
    if (fchmod(fd, old_st->st_mode & 07777) != 0) ok = false;
  }
  ok = ok && WriteAll(fd, data) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here does not undo the write.
  std::string dir = target;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

// A section or key that stays one name in the file: no line break and none of the characters
// that would end it early.
bool WritableName(const char* name, const char* enders) {
  for (const char* p = name; *p; p++) {
    if (*p == '\n' || *p == '\r' || strchr(enders, *p) != nullptr) return false;
  }
  return true;
}

}  // namespace

Orvex_Mutex_pthreads* Get_INI_Mutex() {
  static Orvex_Mutex_pthreads mutex(DEFAULT_LOCK_TIMEOUT);
  return &mutex;
}

char* Get_INI_String_Memory(const char* ini_text, const char* section, const char* key, char* out,
                            size_t out_size, const char* def) {
  AutoMutex lock(Get_INI_Mutex());
  if (out == nullptr || out_size == 0) return nullptr;
  memset(out, 0, out_size);
  if (ini_text != nullptr && section != nullptr && key != nullptr) {
    TrackedText copy;
    copy.p = zstrdup(ini_text, __FILE__, __LINE__);
    if (copy.p != nullptr) {
      Normalise(copy.p);
      std::vector<char*> lines = SplitLines(copy.p);
      bool inside = false;
      std::string line_key, line_value;
      for (char* line : lines) {
        if (!inside) {
          inside = NamesSection(line, section);
          continue;
        }
        if (EndsBlock(line)) {
          inside = false;  // this header is not compared with the section
          continue;
        }
        if (SplitKeyLine(line, &line_key, &line_value) && strcasecmp(line_key.c_str(), key) == 0) {
          strlcpy(out, line_value.c_str(), out_size);
          return out;
        }
      }
    }
  }
  if (def == nullptr) return nullptr;
  strlcpy(out, def, out_size);
  return out;
}

char* Get_INI_String(const char* path, const char* section, const char* key, char* out,
                     size_t out_size, const char* def) {
  AutoMutex lock(Get_INI_Mutex());
  if (out == nullptr || out_size == 0) return nullptr;
  FileCloser file{path != nullptr ? fopen(path, "rb") : nullptr};
  if (file.fp == nullptr) {
    memset(out, 0, out_size);
    if (def == nullptr) return nullptr;
    strlcpy(out, def, out_size);
    return out;
  }
  TrackedText text;
  if (!ReadWhole(file.fp, &text)) return nullptr;
  return Get_INI_String_Memory(text.p, section, key, out, out_size, def);
}

int64_t Get_INI_Int(const char* path, const char* section, const char* key, int64_t def) {
  AutoMutex lock(Get_INI_Mutex());
  char buf[64];
  if (Get_INI_String(path, section, key, buf, sizeof(buf), nullptr) == nullptr) return def;
  return strtoll(buf, nullptr, 10);
}

int Write_INI_String(const char* path, const char* section, const char* key, const char* value) {
  if (path == nullptr || *path == '\0' || section == nullptr || key == nullptr ||
      value == nullptr) {
    return -1;
  }
  if (!WritableName(section, "]") || !WritableName(key, "=") || key[0] == '[' ||
      strchr(value, '\n') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  const std::string target = path;
  // The file is opened without following a link, and only when it is the caller's own.
  FileCloser file{nullptr};
  int rfd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (rfd < 0) {
    struct stat lst;
    if (errno == ELOOP || (lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode))) {
      errno = ELOOP;
      return -1;
    }
    // Only a file that does not exist is created; one that cannot be read is left alone.
    if (errno != ENOENT) return -1;
    std::string text;
    AddLine(&text, std::string("[") + section + "]");
    AddLine(&text, KeyLine(key, value));
    return ReplaceFile(target, text, nullptr) ? 0 : -1;
  }
  file.fp = fdopen(rfd, "rb");
  if (file.fp == nullptr) {
    close(rfd);
    return -1;
  }
  struct stat st;
  if (fstat(fileno(file.fp), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  if (st.st_uid != geteuid()) {
    errno = EPERM;
    return -1;
  }
  // The rename below would replace even a file that the caller may not write; refuse such a
  // file as rewriting it in place would. Opening without O_TRUNC leaves it as it is.
  int wfd = open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (wfd < 0) return -1;
  close(wfd);
  TrackedText old_text;
  if (!ReadWhole(file.fp, &old_text)) return -1;
  fclose(file.fp);
  file.fp = nullptr;

  Normalise(old_text.p);
  std::string text = BuildText(old_text.p, section, key, value);
  return ReplaceFile(target, text, &st) ? 0 : -1;
}

int Write_INI_Int(const char* path, const char* section, const char* key, int64_t value) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%ld", static_cast<long>(value));
  return Write_INI_String(path, section, key, buf);
}
