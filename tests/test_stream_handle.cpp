#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "memleak.h"
#include "stream_handle.h"
#include "test_util.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

// Switches the allocation countdown off again whatever happens in the test.
struct FailCountdown {
  FailCountdown(int64_t k, bool persistent) { MemLeak_SetFailCountdown(k, persistent); }
  ~FailCountdown() { MemLeak_SetFailCountdown(0, false); }
};

// Number of open descriptors of this process.
int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// Position after a seek, through the handle's own tell.
int64_t SeekTell(StreamHandle* h, int64_t offset, int whence) {
  EXPECT_EQ(0, h->seek(h, offset, whence));
  return h->tell(h);
}

TEST(MemoryHandle, SeekClampsToTheBlock) {
  StreamHandle* h = CreateMemoryHandle(10);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(0, h->tell(h));
  EXPECT_EQ(10, SeekTell(h, 0, 2));
  EXPECT_EQ(10, SeekTell(h, 100, 0));
  EXPECT_EQ(0, SeekTell(h, -5, 0));
  EXPECT_EQ(9, SeekTell(h, -1, 2));
  EXPECT_EQ(6, SeekTell(h, -3, 1));
  EXPECT_EQ(8, SeekTell(h, 2, 1));
  EXPECT_EQ(10, SeekTell(h, 50, 1));
  EXPECT_EQ(0, SeekTell(h, -50, 1));
  EXPECT_EQ(10, SeekTell(h, 5, 2));
  EXPECT_EQ(0, SeekTell(h, -11, 2));
  // An unknown whence leaves the position alone.
  EXPECT_EQ(4, SeekTell(h, 4, 0));
  EXPECT_EQ(4, SeekTell(h, 1, 3));
  EXPECT_EQ(4, SeekTell(h, 1, -1));
  // Offsets at the ends of the 64-bit range do not wrap around.
  EXPECT_EQ(10, SeekTell(h, INT64_MAX, 1));
  EXPECT_EQ(10, SeekTell(h, INT64_MAX, 2));
  EXPECT_EQ(0, SeekTell(h, INT64_MIN, 1));
  EXPECT_EQ(0, SeekTell(h, INT64_MIN, 2));
  EXPECT_EQ(0, h->close(h));
}

TEST(MemoryHandle, WritesAreShortenedAtTheEnd) {
  StreamHandle* h = CreateMemoryHandle(10);
  const char data[] = "ABCDEFGH";
  EXPECT_EQ(8, h->write(data, 8, h));
  EXPECT_EQ(2, h->write(data, 8, h));
  EXPECT_EQ(0, h->write(data, 8, h));
  EXPECT_EQ(10, h->tell(h));
  EXPECT_EQ(0, h->write(data, 1, h));

  char back[16];
  memset(back, '#', sizeof(back));
  h->seek(h, 0, 0);
  EXPECT_EQ(10, h->read(back, sizeof(back), h));
  EXPECT_EQ(std::string("ABCDEFGHAB######"), std::string(back, sizeof(back)));
  h->close(h);
}

TEST(MemoryHandle, ReadsStopAtTheEnd) {
  char block[] = "0123456789";
  StreamHandle* h = WrapMemoryHandle(block, 10);
  ASSERT_NE(nullptr, h);
  char buf[8];
  EXPECT_EQ(8, h->read(buf, 8, h));
  EXPECT_EQ("01234567", std::string(buf, 8));
  EXPECT_EQ(2, h->read(buf, 8, h));
  EXPECT_EQ("89", std::string(buf, 2));
  EXPECT_EQ(0, h->read(buf, 8, h));
  EXPECT_EQ(0, h->read(buf, 1, h));
  h->seek(h, -1, 2);
  EXPECT_EQ(1, h->read(buf, 8, h));
  EXPECT_EQ('9', buf[0]);
  EXPECT_EQ(0, h->read(buf, 0, h));
  h->close(h);
}

TEST(MemoryHandle, CreatedBlockStartsZeroFilled) {
  StreamHandle* h = CreateMemoryHandle(4096);
  std::vector<unsigned char> buf(4096, 0xEE);
  EXPECT_EQ(4096, h->read(buf.data(), 4096, h));
  for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(0, buf[i]) << "byte " << i;
  h->close(h);
}

TEST(MemoryHandle, EmptyBlockDoesNothing) {
  for (int kind = 0; kind < 2; ++kind) {
    StreamHandle* h = kind == 0 ? CreateMemoryHandle(0) : WrapMemoryHandle(nullptr, 0);
    ASSERT_NE(nullptr, h);
    char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, h->read(buf, 4, h));
    EXPECT_EQ(0, h->write(buf, 4, h));
    EXPECT_EQ(0, SeekTell(h, 5, 0));
    EXPECT_EQ(0, SeekTell(h, -5, 2));
    EXPECT_EQ(0, SeekTell(h, 3, 1));
    EXPECT_EQ(0, h->close(h));
  }
}

TEST(MemoryHandle, WrappedBlockIsTheCallersAndSurvivesClose) {
  std::vector<char> block(8, '.');
  StreamHandle* h = WrapMemoryHandle(block.data(), 5);
  EXPECT_EQ(5, h->write("hello world", 11, h));
  EXPECT_EQ(0, h->close(h));
  // Only the first five bytes were the handle's; the caller's block is still usable.
  EXPECT_EQ("hello...", std::string(block.data(), block.size()));
  EXPECT_EQ(nullptr, WrapMemoryHandle(nullptr, 5));
}

TEST(MemoryHandle, HasNoFlushAndCloseReleasesEverything) {
  uint64_t before = zmem_blocks();
  StreamHandle* owned = CreateMemoryHandle(100);
  char block[3];
  StreamHandle* wrapped = WrapMemoryHandle(block, sizeof(block));
  EXPECT_EQ(nullptr, owned->flush);
  EXPECT_EQ(nullptr, wrapped->flush);
  EXPECT_EQ(nullptr, owned->close_file);
  EXPECT_GT(zmem_blocks(), before);
  EXPECT_EQ(0, owned->close(owned));
  EXPECT_EQ(0, wrapped->close(wrapped));
  EXPECT_EQ(before, zmem_blocks());
}

TEST(FileHandle, WriteThenReadBack) {
  TempDir dir;
  std::string path = dir.Sub("out.bin");
  uint64_t before = zmem_blocks();
  StreamHandle* h = OpenFileHandle(path.c_str(), "wb");
  ASSERT_NE(nullptr, h);
  ASSERT_NE(nullptr, h->flush);
  EXPECT_EQ(5, h->write("abcde", 5, h));
  EXPECT_EQ(3, h->write("fgh", 3, h));
  EXPECT_EQ(8, h->tell(h));
  EXPECT_EQ(0, h->flush(h));
  // Flushed bytes are in the file while the handle is still open.
  EXPECT_EQ("abcdefgh", testutil::ReadFileOr(path));
  EXPECT_EQ(0, h->seek(h, 2, 0));
  EXPECT_EQ(2, h->write("XY", 2, h));
  EXPECT_EQ(0, h->close(h));
  EXPECT_EQ(before, zmem_blocks());
  EXPECT_EQ("abXYefgh", testutil::ReadFileOr(path));

  h = OpenFileHandle(path.c_str(), "rb");
  ASSERT_NE(nullptr, h);
  char buf[16];
  EXPECT_EQ(0, h->seek(h, -3, 2));
  EXPECT_EQ(5, h->tell(h));
  EXPECT_EQ(3, h->read(buf, sizeof(buf), h));
  EXPECT_EQ("fgh", std::string(buf, 3));
  EXPECT_EQ(0, h->read(buf, sizeof(buf), h));
  EXPECT_EQ(0, h->seek(h, 0, 0));
  EXPECT_EQ(8, h->read(buf, sizeof(buf), h));
  EXPECT_EQ(0, h->seek(h, -4, 1));
  EXPECT_EQ(4, h->tell(h));
  // A position before the start is refused and reported.
  EXPECT_EQ(-1, h->seek(h, -1, 0));
  // A read-only stream takes no bytes.
  EXPECT_EQ(0, h->write("z", 1, h));
  EXPECT_EQ(0, h->close(h));
}

TEST(FileHandle, OpenFailureLeavesErrno) {
  TempDir dir;
  errno = 0;
  EXPECT_EQ(nullptr, OpenFileHandle(dir.Sub("missing/file").c_str(), "rb"));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_EQ(nullptr, OpenFileHandle(dir.path().c_str(), "wb"));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ(nullptr, OpenFileHandle(nullptr, "rb"));
  EXPECT_EQ(nullptr, OpenFileHandle(dir.Sub("x").c_str(), nullptr));
}

TEST(FileHandle, OffsetsBeyondFourGigabytes) {
  TempDir dir;
  std::string path = dir.Sub("sparse.bin");
  const int64_t far = (int64_t{5} << 30) + 7;
  StreamHandle* h = OpenFileHandle(path.c_str(), "w+b");
  ASSERT_NE(nullptr, h);
  ASSERT_EQ(0, h->seek(h, far, 0));
  EXPECT_EQ(far, h->tell(h));
  EXPECT_EQ(1, h->write("!", 1, h));
  EXPECT_EQ(0, h->seek(h, 0, 2));
  EXPECT_EQ(far + 1, h->tell(h));
  EXPECT_EQ(0, h->seek(h, -1, 2));
  char c = 0;
  EXPECT_EQ(1, h->read(&c, 1, h));
  EXPECT_EQ('!', c);
  EXPECT_EQ(0, h->close(h));
}

TEST(FileHandle, WrapWithoutFlagLeavesTheFileOpenWhereItWas) {
  TempDir dir;
  std::string path = dir.Sub("w.txt");
  ASSERT_TRUE(WriteFile(path, "0123456789"));
  FILE* fp = fopen(path.c_str(), "r+b");
  ASSERT_NE(nullptr, fp);
  uint64_t before = zmem_blocks();
  StreamHandle* h = WrapFileHandle(fp, false);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(nullptr, h->flush);
  ASSERT_NE(nullptr, h->close_file);
  EXPECT_FALSE(*h->close_file);
  char buf[4];
  EXPECT_EQ(4, h->read(buf, 4, h));
  EXPECT_EQ("0123", std::string(buf, 4));
  EXPECT_EQ(0, h->close(h));
  EXPECT_EQ(before, zmem_blocks());
  // Still open and positioned after the bytes read.
  EXPECT_EQ(4, ftello(fp));
  EXPECT_EQ(2u, fread(buf, 1, 2, fp));
  EXPECT_EQ("45", std::string(buf, 2));
  EXPECT_EQ(0, fclose(fp));
}

TEST(FileHandle, WrapWithFlagClosesTheFile) {
  TempDir dir;
  std::string path = dir.Sub("w.txt");
  FILE* fp = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, fp);
  int fd = fileno(fp);
  ASSERT_NE(-1, fcntl(fd, F_GETFD));
  StreamHandle* h = WrapFileHandle(fp, true);
  ASSERT_NE(nullptr, h);
  EXPECT_TRUE(*h->close_file);
  EXPECT_EQ(6, h->write("closed", 6, h));
  EXPECT_EQ(0, h->close(h));
  // The descriptor is gone, and the buffered bytes reached the file.
  errno = 0;
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));
  EXPECT_EQ(EBADF, errno);
  EXPECT_EQ("closed", testutil::ReadFileOr(path));
  EXPECT_EQ(nullptr, WrapFileHandle(nullptr, true));
}

TEST(FileHandle, CloseReportsAFailedFinalWrite) {
  // /dev/full accepts the buffered bytes and fails them when they are written out.
  StreamHandle* h = OpenFileHandle("/dev/full", "wb");
  if (h == nullptr) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(3, h->write("abc", 3, h));
  EXPECT_NE(0, h->flush(h));
  EXPECT_EQ(0, h->close(h));

  h = OpenFileHandle("/dev/full", "wb");
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(3, h->write("abc", 3, h));
  EXPECT_NE(0, h->close(h));
}

// Every way of making a handle, with the k-th tracked allocation failing: either a working
// handle or std::bad_alloc, and in both cases nothing left behind.
TEST(HandleFaults, CreationUnderAllocationFailure) {
  TempDir dir;
  std::string path = dir.Sub("f");
  ASSERT_TRUE(WriteFile(path, "data"));
  char block[4];
  for (int kind = 0; kind < 4; ++kind) {
    bool succeeded = false;
    for (int64_t k = 1; k <= 4 && !succeeded; ++k) {
      uint64_t blocks = zmem_blocks(), bytes = zmem_bytes();
      int fds = OpenDescriptors();
      FILE* fp = kind == 3 ? fopen(path.c_str(), "rb") : nullptr;
      StreamHandle* h = nullptr;
      bool threw = false;
      {
        FailCountdown fail(k, true);
        try {
          switch (kind) {
            case 0:
              h = CreateMemoryHandle(64);
              break;
            case 1:
              h = WrapMemoryHandle(block, sizeof(block));
              break;
            case 2:
              h = OpenFileHandle(path.c_str(), "rb");
              break;
            default:
              h = WrapFileHandle(fp, true);
              break;
          }
        } catch (const std::bad_alloc&) {
          threw = true;
        }
      }
      if (threw) {
        EXPECT_EQ(nullptr, h);
      } else {
        ASSERT_NE(nullptr, h) << "kind " << kind << " k=" << k;
        succeeded = true;
        char c;
        EXPECT_EQ(1, h->read(&c, 1, h));
        EXPECT_EQ(0, h->close(h));
        fp = nullptr;  // closed with the handle
      }
      if (fp != nullptr) {
        // A failed wrap leaves the caller's stream to the caller.
        EXPECT_EQ(0, fseeko(fp, 0, SEEK_SET)) << "kind " << kind << " k=" << k;
        fclose(fp);
      }
      EXPECT_EQ(blocks, zmem_blocks()) << "kind " << kind << " k=" << k;
      EXPECT_EQ(bytes, zmem_bytes()) << "kind " << kind << " k=" << k;
      EXPECT_EQ(fds, OpenDescriptors()) << "kind " << kind << " k=" << k;
    }
    EXPECT_TRUE(succeeded) << "kind " << kind << " never got past the injected failures";
  }
}

}  // namespace
