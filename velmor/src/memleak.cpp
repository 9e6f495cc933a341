#include "memleak.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <new>

#include "Mutex_pthreads.h"

namespace {

const char kGuard[16] = {'V', 'E', 'L', 'M', 'O', 'R', 'A', 'S',
                         '_', 'M', 'E', 'M', 'L', 'E', 'A', 'K'};
const size_t kGuardLen = sizeof(kGuard);

// The registry lives in static storage and is never torn down, so that blocks released by
// other objects' destructors during exit still find it.
struct Registry {
  Orvex_Mutex_pthreads mutex{DEFAULT_LOCK_TIMEOUT};
  std::map<void*, BlockRecord*> blocks;
  uint64_t count = 0;
  uint64_t bytes = 0;
};

Registry& registry() {
  alignas(Registry) static unsigned char storage[sizeof(Registry)];
  static Registry* reg = new (storage) Registry();
  return *reg;
}

// Fault injection: remaining successes before a failure (0: off), and whether failures persist.
std::atomic<int64_t> g_fail_countdown{0};
std::atomic<bool> g_fail_persistent{false};
std::atomic<bool> g_fail_tripped{false};
std::atomic<uint64_t> g_failures{0};

// True when this allocation is to fail.
bool injected_failure() {
  if (g_fail_tripped.load(std::memory_order_relaxed)) {
    if (g_fail_persistent.load()) {
      g_failures++;
      return true;
    }
    return false;
  }
  if (g_fail_countdown.load(std::memory_order_relaxed) <= 0) return false;
  if (--g_fail_countdown == 0) {
    g_fail_tripped = true;
    g_failures++;
    return true;
  }
  return false;
}

// Created before main by static initialisation.
const Registry& g_registry_init = registry();

void copy_file_name(BlockRecord* rec, const char* file) {
  const char* f = file ? file : "";
  size_t n = strlen(f);
  if (n > sizeof(rec->file) - 1) n = sizeof(rec->file) - 1;
  memcpy(rec->file, f, n);
  rec->file[n] = '\0';
}

void set_tag(BlockRecord* rec, const char* tag) {
  memset(rec->tag, 0, sizeof(rec->tag));
  strncpy(rec->tag, tag, sizeof(rec->tag) - 1);
}

const char* file_part_of(const char* path) {
  const char* slash = strrchr(path, '/');
  if (slash) return slash + 1;
  const char* back = strrchr(path, '\\');
  return back ? back + 1 : path;
}

// Reports one damaged guard: which side, which operation, then the block's last owner.
void report_corruption(const char* side, const char* op, const unsigned char* guard,
                       const BlockRecord* rec, const char* file, int line) {
  char msg[256];
  snprintf(msg, sizeof(msg), "Warning! Pointer has been corrupted (%s, %s, %c%c%c%c%c%c%c%c)!",
           side, op, guard[0], guard[1], guard[2], guard[3], guard[4], guard[5], guard[6],
           guard[7]);
  MemLeak_Message(2, msg, file, line);
  snprintf(msg, sizeof(msg), "^ Last FFL -> %s, size: %u, ptr: %p", rec->tag, rec->length,
           rec->block);
  MemLeak_Message(2, msg, rec->file, rec->line);
}

// Checks both guards of a block; with dump set, a damaged block is hex-dumped to stdout.
void check_guards(const BlockRecord* rec, const char* op, bool dump, const char* file, int line) {
  const unsigned char* block = static_cast<const unsigned char*>(rec->block);
  const unsigned char* back = block + kGuardLen + rec->length;
  if (memcmp(block, kGuard, kGuardLen) != 0) {
    report_corruption("pre", op, block, rec, file, line);
    if (dump) hexdump(stdout, block, rec->length + 2 * kGuardLen);
  }
  if (memcmp(back, kGuard, kGuardLen) != 0) {
    report_corruption("post", op, back, rec, file, line);
    if (dump) hexdump(stdout, block, rec->length + 2 * kGuardLen);
  }
}

}  // namespace

void* zmalloc(uint32_t length, const char* file, int line) {
  if (length == 0) return nullptr;
  if (injected_failure()) return nullptr;
  BlockRecord* rec = static_cast<BlockRecord*>(calloc(1, sizeof(BlockRecord)));
  if (!rec) return nullptr;
  // size_t is 64-bit here, so length + 32 cannot wrap.
  unsigned char* block = static_cast<unsigned char*>(malloc(size_t{length} + 2 * kGuardLen));
  if (!block) {
    free(rec);
    return nullptr;
  }
  memcpy(block, kGuard, kGuardLen);
  memset(block + kGuardLen, 0, length);
  memcpy(block + kGuardLen + length, kGuard, kGuardLen);
  set_tag(rec, "zmalloc");
  copy_file_name(rec, file);
  rec->line = line;
  rec->length = length;
  rec->block = block;
  void* user = block + kGuardLen;
  Registry& reg = registry();
  {
    AutoMutex hold(&reg.mutex);
    try {
      reg.blocks[user] = rec;
    } catch (const std::bad_alloc&) {
      free(block);
      free(rec);
      return nullptr;
    }
    reg.count++;
    reg.bytes += length;
  }
  return user;
}

char* zstrdup(const char* str, const char* file, int line) {
  if (!str) return nullptr;
  size_t len = strlen(str);
  if (len >= UINT32_MAX) return nullptr;
  char* copy = static_cast<char*>(zmalloc(static_cast<uint32_t>(len + 1), file, line));
  if (copy) memcpy(copy, str, len + 1);
  return copy;
}

wchar_t* zwcsdup(const wchar_t* str, const char* file, int line) {
  if (!str) return nullptr;
  size_t bytes = (wcslen(str) + 1) * sizeof(wchar_t);
  if (bytes > UINT32_MAX) return nullptr;
  wchar_t* copy = static_cast<wchar_t*>(zmalloc(static_cast<uint32_t>(bytes), file, line));
  if (copy) memcpy(copy, str, bytes);
  return copy;
}

void zfree(void* ptr, const char* file, int line) {
  Registry& reg = registry();
  BlockRecord* rec = nullptr;
  {
    AutoMutex hold(&reg.mutex);
    auto it = reg.blocks.find(ptr);
    if (it == reg.blocks.end()) {
      MemLeak_Message(1, "Warning! Attempted to zfree() non-registered pointer!", file, line);
      return;
    }
    rec = it->second;
    reg.blocks.erase(it);
    reg.count--;
    reg.bytes -= rec->length;
  }
  check_guards(rec, "zfree", true, file, line);
  free(rec->block);
  free(rec);
}

void* zrealloc(void* ptr, uint32_t length, const char* file, int line) {
  if (!ptr) return zmalloc(length, file, line);
  if (length == 0) {
    zfree(ptr, file, line);
    return nullptr;
  }
  Registry& reg = registry();
  AutoMutex hold(&reg.mutex);
  auto it = reg.blocks.find(ptr);
  if (it == reg.blocks.end()) {
    MemLeak_Message(2, "Warning! Attempted to zrealloc() an unregistered ptr!", file, line);
    return nullptr;
  }
  BlockRecord* rec = it->second;
  check_guards(rec, "zrealloc", false, file, line);
  if (length > rec->length && injected_failure()) return nullptr;
  unsigned char* block =
      static_cast<unsigned char*>(realloc(rec->block, size_t{length} + 2 * kGuardLen));
  if (!block) {
    // The old block is untouched by a failed realloc and stays registered.
    return nullptr;
  }
  reg.blocks.erase(it);
  memcpy(block, kGuard, kGuardLen);
  memcpy(block + kGuardLen + length, kGuard, kGuardLen);
  void* user = block + kGuardLen;
  reg.bytes -= rec->length;
  reg.bytes += length;
  rec->block = block;
  rec->length = length;
  rec->line = line;
  set_tag(rec, "zrealloc");
  copy_file_name(rec, file);
  try {
    reg.blocks[user] = rec;
  } catch (const std::bad_alloc&) {
    // Cannot register the moved block: give it up rather than hand out an untracked pointer.
    reg.count--;
    reg.bytes -= length;
    free(block);
    free(rec);
    return nullptr;
  }
  return user;
}

char* zvmprintf(const char* fmt, va_list args) {
  char* text = nullptr;
  if (vasprintf(&text, fmt, args) < 0 || !text)
    return zstrdup("vasprintf error", __FILE__, __LINE__);
  char* copy = zstrdup(text, __FILE__, __LINE__);
  free(text);
  return copy;
}

char* zmprintf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char* text = zvmprintf(fmt, args);
  va_end(args);
  return text;
}

void zfreeall(const char* file, int line) {
  Registry& reg = registry();
  AutoMutex hold(&reg.mutex);
  while (!reg.blocks.empty()) zfree(reg.blocks.begin()->first, file, line);
}

BlockRecord* zlookup(void* ptr, bool remove) {
  Registry& reg = registry();
  AutoMutex hold(&reg.mutex);
  auto it = reg.blocks.find(ptr);
  if (it == reg.blocks.end()) return nullptr;
  BlockRecord* rec = it->second;
  if (remove) reg.blocks.erase(it);
  return rec;
}

uint64_t zmem_bytes() {
  Registry& reg = registry();
  AutoMutex hold(&reg.mutex);
  return reg.bytes;
}

uint64_t zmem_blocks() {
  Registry& reg = registry();
  AutoMutex hold(&reg.mutex);
  return reg.count;
}

void MemLeakExit(FILE* out) {
  Registry& reg = registry();
  AutoMutex hold(&reg.mutex);
  if (reg.blocks.empty()) {
    fprintf(out, "MemLeakExit() -> No Unfreed Ptrs Found (That is good)\n");
    fflush(out);
    return;
  }
  fprintf(out, "MemLeakExit() -> Beginning report of unfreed ptrs...\n");
  fflush(out);
  for (const auto& entry : reg.blocks) {
    const BlockRecord* rec = entry.second;
    fprintf(out, "Unfreed Ptr: 0x%p (len: %u), %s, %s, line %d\n", entry.first, rec->length,
            rec->tag, file_part_of(rec->file), rec->line);
    fflush(out);
    hexdump(out, entry.first, rec->length);
  }
  fprintf(out, "MemLeakExit() -> End of report...\n");
  fflush(out);
}

void MemLeakExitFile(const char* path) {
  FILE* out = fopen(path, "wb");
  if (!out) {
    printf("Error opening %s for output!!!\n", path);
    return;
  }
  MemLeakExit(out);
  fclose(out);
}

void MemLeak_Message(int level, const char* message, const char* file, int line) {
  if (level != 1 && level != 2) return;
  printf("MemLeak : Level %d Message : %s : File : %s:%d\n", level, message, file ? file : "",
         line);
}

void hexdump(FILE* out, const void* ptr, uint32_t len) {
  const unsigned char* p = static_cast<const unsigned char*>(ptr);
  for (uint32_t row = 0; row < len; row += 16) {
    uint32_t n = len - row < 16 ? len - row : 16;
    fprintf(out, "%08xh: ", row);
    for (uint32_t i = 0; i < n; i++) fprintf(out, "%02X ", p[row + i]);
    for (uint32_t i = n; i < 16; i++) fputs("   ", out);
    fputs(" ; ", out);
    for (uint32_t i = 0; i < n; i++) {
      unsigned char c = p[row + i];
      fputc(c < 0x20 || c >= 0x80 ? '.' : c, out);
    }
    for (uint32_t i = n; i < 16; i++) fputc(' ', out);
    fputc('\n', out);
  }
  fflush(out);
}

void MemLeak_SetFailCountdown(int64_t countdown, bool persistent) {
  g_fail_tripped = false;
  g_failures = 0;
  g_fail_persistent = persistent;
  g_fail_countdown = countdown > 0 ? countdown : 0;
}

uint64_t MemLeak_InjectedFailures() { return g_failures.load(); }

void* plain_malloc(uint32_t length) { return malloc(length); }
void* plain_realloc(void* ptr, uint32_t length) { return realloc(ptr, length); }
char* plain_strdup(const char* str) { return strdup(str); }
wchar_t* plain_wcsdup(const wchar_t* str) { return wcsdup(str); }
void plain_free(void* ptr) { free(ptr); }
