// Tracked heap allocator. Every raw heap block of the system comes from zmalloc and friends:
// each block records the source file and line that asked for it, is fenced by a 16-byte guard
// pattern on both sides, and is registered, so that zfree can check the guards and a leak
// report can list what is still allocated. plain_* are untracked wrappers of the system
// allocator for memory that must bypass the registry.
//
// Thread rules: every function may be called from any thread. The registry is guarded by the
// tracker's own mutex, which is always the innermost lock: callers may hold any other lock.
#ifndef VELMOR_MEMLEAK_H_
#define VELMOR_MEMLEAK_H_

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

// One per tracked block.
struct BlockRecord {
  char file[256];   // caller's source file, cut to 255 characters
  char tag[16];     // "zmalloc", or "zrealloc" after a resize
  int32_t line;     // caller's source line
  uint32_t length;  // caller's byte count
  void* block;      // start of the whole block (the front guard)
};

// Length zero bytes, or null for a length of 0 or when memory runs out.
void* zmalloc(uint32_t length, const char* file, int line);
// Tracked copy of str, or null when memory runs out.
char* zstrdup(const char* str, const char* file, int line);
// Tracked copy of a wide string, or null when memory runs out.
wchar_t* zwcsdup(const wchar_t* str, const char* file, int line);
// Resized block, keeping its contents up to the smaller length. A null ptr behaves as zmalloc;
// a length of 0 frees ptr and returns null. An unregistered ptr is reported and null returned.
// When memory runs out, returns null and leaves the old block registered and intact.
void* zrealloc(void* ptr, uint32_t length, const char* file, int line);
// Checks the guards of ptr and releases it. Unregistered pointers (null, foreign, freed twice)
// are reported and ignored.
void zfree(void* ptr, const char* file, int line);
// Tracked string with the formatted text; "vasprintf error" when formatting fails.
char* zmprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
char* zvmprintf(const char* fmt, va_list args);
// Releases every registered block (in address order) with zfree, passing file and line.
void zfreeall(const char* file, int line);
// The record of ptr, or null when it is not registered. With remove set, ptr is also taken out
// of the registry (counters and memory unchanged; the caller then owns both).
BlockRecord* zlookup(void* ptr, bool remove);
// Sum of the lengths of the live blocks.
uint64_t zmem_bytes();
// Number of live blocks.
uint64_t zmem_blocks();

// Writes the report of all live blocks to out.
void MemLeakExit(FILE* out);
// Writes the report to the file at path (mode "wb"); prints an error line when it cannot open it.
void MemLeakExitFile(const char* path);
// Prints one tracker warning line to standard output for levels 1 and 2; others print nothing.
void MemLeak_Message(int level, const char* message, const char* file, int line);
// Hex and character dump of len bytes at ptr, 16 to a row; flushes out.
void hexdump(FILE* out, const void* ptr, uint32_t len);

// Fault injection for tests: after `countdown` more successful tracked allocations (zmalloc,
// zstrdup, zrealloc growing or moving a block, ...), the next one fails as if memory had run out;
// with persistent set, every one after it fails too. A countdown of 0 or less switches it off.
// The tracker's own bookkeeping and the untracked wrappers are never made to fail.
void MemLeak_SetFailCountdown(int64_t countdown, bool persistent);
// How many tracked allocations were made to fail since the countdown was last set.
uint64_t MemLeak_InjectedFailures();

// Owns one tracked block (from zmalloc and friends) and releases it with zfree when it goes.
// Moves, never copies.
class TrackedBlock {
 public:
  TrackedBlock() = default;
  // Takes block, which may be null (a failed allocation); source names the owner in the
  // tracker's reports of a damaged block when it is freed.
  explicit TrackedBlock(void* block, const char* source = "TrackedBlock")
      : p_(block), source_(source) {}
  ~TrackedBlock() { reset(); }
  TrackedBlock(const TrackedBlock&) = delete;
  TrackedBlock& operator=(const TrackedBlock&) = delete;
  TrackedBlock(TrackedBlock&& other) noexcept : p_(other.release()), source_(other.source_) {}
  TrackedBlock& operator=(TrackedBlock&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  // The block, or null.
  void* get() const { return p_; }
  uint8_t* bytes() const { return static_cast<uint8_t*>(p_); }
  char* chars() const { return static_cast<char*>(p_); }
  // Frees the block held, then holds block.
  void reset(void* block = nullptr) {
    if (p_ && p_ != block) zfree(p_, source_, __LINE__);
    p_ = block;
  }
  // Gives the block up to the caller, who then frees it; returns it.
  void* release() {
    void* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  void* p_ = nullptr;
  const char* source_ = "TrackedBlock";
};

// Untracked wrappers of the system allocator.
void* plain_malloc(uint32_t length);
void* plain_realloc(void* ptr, uint32_t length);
char* plain_strdup(const char* str);
wchar_t* plain_wcsdup(const wchar_t* str);
void plain_free(void* ptr);

#endif  // VELMOR_MEMLEAK_H_
