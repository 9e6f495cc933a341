// Stream handles: a small record of operations (seek, read, write, tell, flush, close) over one
// byte stream, so that downloads and digests can write to or read from a file or a fixed memory
// block without knowing which. Files go through stdio with 64-bit offsets; memory blocks have a
// fixed size and never grow. Every handle is released by calling its own close operation.
//
// Thread rules: a handle is used by one thread at a time; handles share nothing, so different
// handles may be used from different threads at once.
#ifndef VELMOR_STREAM_HANDLE_H_
#define VELMOR_STREAM_HANDLE_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

struct StreamHandle;

// whence: 0 from the start, 1 from the current position, 2 from the end.
typedef int64_t (*StreamSeekFunc)(StreamHandle* handle, int64_t offset, int whence);
typedef int64_t (*StreamReadFunc)(void* buffer, unsigned int length, StreamHandle* handle);
typedef int64_t (*StreamWriteFunc)(const void* buffer, unsigned int length, StreamHandle* handle);
typedef int64_t (*StreamTellFunc)(StreamHandle* handle);
typedef int (*StreamFlushFunc)(StreamHandle* handle);
typedef int (*StreamCloseFunc)(StreamHandle* handle);

struct StreamHandle {
  // File handles: 0 on success, -1 on failure. Memory handles: always 0; the position is
  // clamped to [0, size].
  StreamSeekFunc seek;
  // Bytes copied into the buffer; 0 at the end. Fewer than asked means end or error.
  StreamReadFunc read;
  // Bytes taken from the buffer. Fewer than asked means the stream is full or failed.
  StreamWriteFunc write;
  // Current position (-1 when a file position cannot be told).
  StreamTellFunc tell;
  // Flushes the stdio stream (its result). Null except on handles made by OpenFileHandle;
  // callers must not call it when null.
  StreamFlushFunc flush;
  // Finishes the stream and releases the handle; the handle must not be used afterwards.
  // Returns the fclose result when a file is closed, otherwise 0.
  StreamCloseFunc close;
  // The FILE or the MemoryBuffer behind the operations.
  void* data;
  // Present only on WrapFileHandle handles: whether close also closes the FILE.
  bool* close_file;
};

// The stream behind a memory handle.
struct MemoryBuffer {
  unsigned char* buffer;  // the memory block
  bool owned;             // released when the handle is closed
  int64_t position;       // next byte to read or write
  int64_t size;           // fixed size of the block
};

// Opens path with the stdio mode text. Returns a file handle that owns the FILE, or null when
// the file cannot be opened (the system's error stays in errno; EINVAL for a null argument).
// Running out of memory for the handle throws std::bad_alloc.
StreamHandle* OpenFileHandle(const char* path, const char* mode);

// A file handle over the caller's open stream; close closes fp only when close_the_file is true.
// Returns null for a null fp. Running out of memory throws std::bad_alloc.
StreamHandle* WrapFileHandle(FILE* fp, bool close_the_file);

// A memory handle over a new zero-filled block of size bytes, owned by the handle. Running out
// of memory (or a size the allocator cannot serve) throws std::bad_alloc.
StreamHandle* CreateMemoryHandle(size_t size);

// A memory handle over the caller's block of size bytes, not owned; the block must outlive the
// handle. Returns null when buffer is null and size is not 0, or when size exceeds INT64_MAX.
// Running out of memory throws std::bad_alloc.
StreamHandle* WrapMemoryHandle(void* buffer, size_t size);

#endif  // VELMOR_STREAM_HANDLE_H_
