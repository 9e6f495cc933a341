#include "stream_handle.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <new>

#include "GenLib.h"
#include "memleak.h"

namespace {

// A tracked, zero-filled block for the handle's own records; std::bad_alloc when the tracker
// cannot provide it.
void* TakeRecord(size_t length, const char* file, int line) {
  if (length == 0 || length > UINT32_MAX) throw std::bad_alloc();
  void* p = zmalloc(static_cast<uint32_t>(length), file, line);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

StreamHandle* NewHandle() {
  return static_cast<StreamHandle*>(TakeRecord(sizeof(StreamHandle), __FILE__, __LINE__));
}

// ---- files ----

FILE* FileOf(StreamHandle* handle) { return static_cast<FILE*>(handle->data); }

int64_t FileSeek(StreamHandle* handle, int64_t offset, int whence) {
  return fseek64(FileOf(handle), offset, whence);
}

int64_t FileRead(void* buffer, unsigned int length, StreamHandle* handle) {
  return static_cast<int64_t>(fread(buffer, 1, length, FileOf(handle)));
}

int64_t FileWrite(const void* buffer, unsigned int length, StreamHandle* handle) {
  return static_cast<int64_t>(fwrite(buffer, 1, length, FileOf(handle)));
}

int64_t FileTell(StreamHandle* handle) { return ftell64(FileOf(handle)); }

int FileFlush(StreamHandle* handle) { return fflush(FileOf(handle)); }

// OpenFileHandle handles own their FILE.
int FileClose(StreamHandle* handle) {
  int result = fclose(FileOf(handle));
  zfree(handle, __FILE__, __LINE__);
  return result;
}

// WrapFileHandle handles close the FILE only when their flag says so.
int WrappedFileClose(StreamHandle* handle) {
  int result = 0;
  if (handle->close_file != nullptr && *handle->close_file) result = fclose(FileOf(handle));
  if (handle->close_file != nullptr) zfree(handle->close_file, __FILE__, __LINE__);
  zfree(handle, __FILE__, __LINE__);
  return result;
}

// ---- memory blocks ----

MemoryBuffer* MemOf(StreamHandle* handle) { return static_cast<MemoryBuffer*>(handle->data); }

// Number of bytes a transfer of length bytes may move at the current position; 0 at or past the
// end of the block.
int64_t MemCount(const MemoryBuffer* mem, unsigned int length) {
  if (mem->position >= mem->size) return 0;
  int64_t count = static_cast<int64_t>(length);
  if (count > mem->size - mem->position) count = mem->size - mem->position;
  return count > 0 ? count : 0;
}

int64_t MemRead(void* buffer, unsigned int length, StreamHandle* handle) {
  MemoryBuffer* mem = MemOf(handle);
  int64_t count = MemCount(mem, length);
  if (count == 0) return 0;
  memcpy(buffer, mem->buffer + mem->position, static_cast<size_t>(count));
  mem->position += count;
  return count;
}

int64_t MemWrite(const void* buffer, unsigned int length, StreamHandle* handle) {
  MemoryBuffer* mem = MemOf(handle);
  int64_t count = MemCount(mem, length);
  if (count == 0) return 0;
  memcpy(mem->buffer + mem->position, buffer, static_cast<size_t>(count));
  mem->position += count;
  return count;
}

// Adds without overflowing: a sum past the int64 range saturates, which the clamp below then
// turns into the end or the start of the block.
int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
  return sum;
}

int64_t MemSeek(StreamHandle* handle, int64_t offset, int whence) {
  MemoryBuffer* mem = MemOf(handle);
  int64_t position = mem->position;
  switch (whence) {
    case 0:
      position = offset;
      break;
    case 1:
      position = SaturatingAdd(mem->position, offset);
      break;
    case 2:
      position = SaturatingAdd(mem->size, offset);
      break;
    default:
      break;
  }
  if (position > mem->size) position = mem->size;
  if (position < 0) position = 0;
  mem->position = position;
  return 0;
}

int64_t MemTell(StreamHandle* handle) { return MemOf(handle)->position; }

int MemClose(StreamHandle* handle) {
  MemoryBuffer* mem = MemOf(handle);
  if (mem->owned && mem->buffer != nullptr) zfree(mem->buffer, __FILE__, __LINE__);
  zfree(mem, __FILE__, __LINE__);
  zfree(handle, __FILE__, __LINE__);
  return 0;
}

StreamHandle* NewMemoryHandle(unsigned char* block, bool owned, int64_t size) {
  MemoryBuffer* mem =
      static_cast<MemoryBuffer*>(TakeRecord(sizeof(MemoryBuffer), __FILE__, __LINE__));
  StreamHandle* handle;
  try {
    handle = NewHandle();
  } catch (const std::bad_alloc&) {
    zfree(mem, __FILE__, __LINE__);
    throw;
  }
  mem->buffer = block;
  mem->owned = owned;
  mem->position = 0;
  mem->size = size;
  handle->seek = MemSeek;
  handle->read = MemRead;
  handle->write = MemWrite;
  handle->tell = MemTell;
  handle->flush = nullptr;
  handle->close = MemClose;
  handle->data = mem;
  handle->close_file = nullptr;
  return handle;
}

}  // namespace

StreamHandle* OpenFileHandle(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  FILE* fp = fopen(path, mode);
  if (fp == nullptr) return nullptr;
  StreamHandle* handle;
  try {
    handle = NewHandle();
  } catch (const std::bad_alloc&) {
    fclose(fp);
    throw;
  }
  handle->seek = FileSeek;
  handle->read = FileRead;
  handle->write = FileWrite;
  handle->tell = FileTell;
  handle->flush = FileFlush;
  handle->close = FileClose;
  handle->data = fp;
  handle->close_file = nullptr;
  return handle;
}

StreamHandle* WrapFileHandle(FILE* fp, bool close_the_file) {
  if (fp == nullptr) return nullptr;
  bool* flag = static_cast<bool*>(TakeRecord(sizeof(bool), __FILE__, __LINE__));
  StreamHandle* handle;
  try {
    handle = NewHandle();
  } catch (const std::bad_alloc&) {
    zfree(flag, __FILE__, __LINE__);
    throw;
  }
  *flag = close_the_file;
  handle->seek = FileSeek;
  handle->read = FileRead;
  handle->write = FileWrite;
  handle->tell = FileTell;
  handle->flush = nullptr;
  handle->close = WrappedFileClose;
  handle->data = fp;
  handle->close_file = flag;
  return handle;
}

StreamHandle* CreateMemoryHandle(size_t size) {
  unsigned char* block = nullptr;
  if (size > 0) block = static_cast<unsigned char*>(TakeRecord(size, __FILE__, __LINE__));
  try {
    return NewMemoryHandle(block, true, static_cast<int64_t>(size));
  } catch (const std::bad_alloc&) {
    if (block != nullptr) zfree(block, __FILE__, __LINE__);
    throw;
  }
}

StreamHandle* WrapMemoryHandle(void* buffer, size_t size) {
  if ((buffer == nullptr && size != 0) || size > static_cast<size_t>(INT64_MAX)) return nullptr;
  return NewMemoryHandle(static_cast<unsigned char*>(buffer), false, static_cast<int64_t>(size));
}
