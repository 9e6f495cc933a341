#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <thread>

#include "memleak.h"
#include "test_util.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Renders hexdump output into a string through a temporary file.
std::string DumpToString(const void* p, uint32_t n) {
  testutil::TempDir dir;
  std::string path = dir.Sub("dump");
  FILE* f = fopen(path.c_str(), "w+b");
  hexdump(f, p, n);
  fclose(f);
  return testutil::ReadFileOr(path);
}

std::string ReportToString() {
  testutil::TempDir dir;
  std::string path = dir.Sub("report");
  MemLeakExitFile(path.c_str());
  return testutil::ReadFileOr(path);
}

}  // namespace

TEST(MemLeak, AllocationIsZeroedAndCounted) {
  uint64_t blocks = zmem_blocks(), bytes = zmem_bytes();
  unsigned char* p = static_cast<unsigned char*>(zmalloc(10, __FILE__, __LINE__));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 10; i++) EXPECT_EQ(p[i], 0);
  EXPECT_EQ(zmem_blocks(), blocks + 1);
  EXPECT_EQ(zmem_bytes(), bytes + 10);
  BlockRecord* rec = zlookup(p, false);
  ASSERT_NE(rec, nullptr);
  EXPECT_STREQ(rec->tag, "zmalloc");
  EXPECT_EQ(rec->length, 10u);
  EXPECT_EQ(memcmp(static_cast<unsigned char*>(rec->block), "VELMORAS_MEMLEAK", 16), 0);
  EXPECT_EQ(memcmp(p + 10, "VELMORAS_MEMLEAK", 16), 0);
  zfree(p, __FILE__, __LINE__);
  EXPECT_EQ(zmem_blocks(), blocks);
  EXPECT_EQ(zmem_bytes(), bytes);
  EXPECT_EQ(zmalloc(0, __FILE__, __LINE__), nullptr);
}

TEST(MemLeak, DoubleFreeAndForeignPointersAreReportedNotFreed) {
  void* p = zmalloc(4, "a.cpp", 1);
  zfree(p, "a.cpp", 2);
  uint64_t blocks = zmem_blocks();
  CaptureStdout();
  zfree(p, "second.cpp", 77);
  int local = 0;
  zfree(&local, "x.cpp", 5);
  zfree(nullptr, "n.cpp", 9);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out,
            "MemLeak : Level 1 Message : Warning! Attempted to zfree() non-registered pointer! : "
            "File : second.cpp:77\n"
            "MemLeak : Level 1 Message : Warning! Attempted to zfree() non-registered pointer! : "
            "File : x.cpp:5\n"
            "MemLeak : Level 1 Message : Warning! Attempted to zfree() non-registered pointer! : "
            "File : n.cpp:9\n");
  EXPECT_EQ(zmem_blocks(), blocks);
}

TEST(MemLeak, OverrunIsReportedWithDumpAndBlockStillFreed) {
  uint64_t blocks = zmem_blocks();
  char* p = static_cast<char*>(zmalloc(10, "owner.cpp", 12));
  memcpy(p, "0123456789", 10);
  void* start = zlookup(p, false)->block;
  p[10] = 'X';  // one byte past the end, into the back guard
  CaptureStdout();
  zfree(p, "freer.cpp", 34);
  std::string out = GetCapturedStdout();
  char ffl[200];
  snprintf(ffl, sizeof(ffl),
           "MemLeak : Level 2 Message : ^ Last FFL -> zmalloc, size: 10, ptr: %p : File : "
           "owner.cpp:12\n",
           start);
  std::string expected =
      "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (post, zfree, "
      "XELMORAS)! : File : freer.cpp:34\n" +
      std::string(ffl) +
      "00000000h: 56 45 4C 4D 4F 52 41 53 5F 4D 45 4D 4C 45 41 4B  ; VELMORAS_MEMLEAK\n"
      "00000010h: 30 31 32 33 34 35 36 37 38 39 58 45 4C 4D 4F 52  ; 0123456789XELMOR\n"
      "00000020h: 41 53 5F 4D 45 4D 4C 45 41 4B                    ; AS_MEMLEAK      \n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(zmem_blocks(), blocks);
}

TEST(MemLeak, UnderrunIsReportedAsPre) {
  char* p = static_cast<char*>(zmalloc(3, "o.cpp", 1));
  p[-1] = '!';
  CaptureStdout();
  zfree(p, "f.cpp", 2);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Warning! Pointer has been corrupted (pre, zfree, VELMORAS)! : File : "
                     "f.cpp:2\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("post"), std::string::npos);
}

TEST(MemLeak, ReallocKeepsContentsAndRetags) {
  uint64_t bytes = zmem_bytes(), blocks = zmem_blocks();
  char* p = static_cast<char*>(zmalloc(10, "r.cpp", 1));
  memcpy(p, "abcdefghij", 10);
  char* q = static_cast<char*>(zrealloc(p, 100, "grow.cpp", 55));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(memcmp(q, "abcdefghij", 10), 0);
  EXPECT_EQ(zmem_bytes(), bytes + 100);
  EXPECT_EQ(zmem_blocks(), blocks + 1);
  BlockRecord* rec = zlookup(q, false);
  ASSERT_NE(rec, nullptr);
  EXPECT_STREQ(rec->tag, "zrealloc");
  EXPECT_STREQ(rec->file, "grow.cpp");
  EXPECT_EQ(rec->line, 55);
  EXPECT_EQ(memcmp(q + 100, "VELMORAS_MEMLEAK", 16), 0);
  q = static_cast<char*>(zrealloc(q, 4, "shrink.cpp", 1));
  EXPECT_EQ(memcmp(q, "abcd", 4), 0);
  EXPECT_EQ(zmem_bytes(), bytes + 4);
  EXPECT_EQ(zrealloc(q, 0, "f.cpp", 1), nullptr);
  EXPECT_EQ(zmem_blocks(), blocks);
  char* fresh = static_cast<char*>(zrealloc(nullptr, 8, "n.cpp", 1));
  ASSERT_NE(fresh, nullptr);
  EXPECT_STREQ(zlookup(fresh, false)->tag, "zmalloc");
  zfree(fresh, __FILE__, __LINE__);
}

TEST(MemLeak, ReallocFailureKeepsOldBlock) {
  char* p = static_cast<char*>(zmalloc(16, "r.cpp", 1));
  memcpy(p, "keep me intact!", 16);
  uint64_t bytes = zmem_bytes();
  // Nearly 4 GiB plus guards: more than this process may take under the sanitizers, and a
  // length whose +32 would wrap in 32-bit arithmetic.
  void* q = zrealloc(p, UINT32_MAX - 8, "big.cpp", 2);
  if (q == nullptr) {
    EXPECT_STREQ(p, "keep me intact!");
    EXPECT_EQ(zmem_bytes(), bytes);
    ASSERT_NE(zlookup(p, false), nullptr);
    zfree(p, __FILE__, __LINE__);
  } else {
    // The allocator could satisfy it: then contents must have moved intact.
    EXPECT_STREQ(static_cast<char*>(q), "keep me intact!");
    zfree(q, __FILE__, __LINE__);
  }
}

TEST(MemLeak, ReallocOfUnregisteredPointerWarnsAndDoesNotHoldLock) {
  int local = 7;
  CaptureStdout();
  EXPECT_EQ(zrealloc(&local, 5, "u.cpp", 3), nullptr);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out,
            "MemLeak : Level 2 Message : Warning! Attempted to zrealloc() an unregistered ptr! : "
            "File : u.cpp:3\n");
  EXPECT_EQ(local, 7);
  void* other = nullptr;
  std::thread t([&] { other = zmalloc(1, __FILE__, __LINE__); });
  t.join();
  EXPECT_NE(other, nullptr);
  zfree(other, __FILE__, __LINE__);
}

TEST(MemLeak, HexdumpRows) {
  EXPECT_EQ(DumpToString("", 0), "");
  const char data[] = "ABCDEFGHIJKLMNOP\x01\x7f\x80z";
  EXPECT_EQ(DumpToString(data, 20),
            "00000000h: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ; ABCDEFGHIJKLMNOP\n"
            "00000010h: 01 7F 80 7A " +
                std::string(36, ' ') + " ; .\x7f.z" + std::string(12, ' ') + "\n");
}

TEST(MemLeak, LeakReport) {
  // Other tests leave nothing behind, so the registry starts empty here.
  ASSERT_EQ(zmem_blocks(), 0u);
  EXPECT_EQ(ReportToString(), "MemLeakExit() -> No Unfreed Ptrs Found (That is good)\n");
  char* a = zstrdup("hi", "/src/deep/path/owner.cpp", 42);
  char* b = zmprintf("%d-%s", 5, "x");
  EXPECT_STREQ(b, "5-x");
  std::string report = ReportToString();
  char* first = a < b ? a : b;
  char line_a[200];
  snprintf(line_a, sizeof(line_a), "Unfreed Ptr: 0x%p (len: 3), zmalloc, owner.cpp, line 42\n",
           static_cast<void*>(a));
  EXPECT_EQ(report.rfind("MemLeakExit() -> Beginning report of unfreed ptrs...\n", 0), 0u);
  EXPECT_NE(report.find(std::string(line_a) + "00000000h: 68 69 00 "), std::string::npos) << report;
  EXPECT_NE(report.find("(len: 4), zmalloc, memleak.cpp, line "), std::string::npos) << report;
  char first_line[64];
  snprintf(first_line, sizeof(first_line), "Unfreed Ptr: 0x%p", static_cast<void*>(first));
  size_t body = report.find("Unfreed Ptr");
  EXPECT_EQ(report.compare(body, strlen(first_line), first_line), 0) << "address order";
  EXPECT_EQ(report.substr(report.size() - 34), "MemLeakExit() -> End of report...\n");
  zfreeall(__FILE__, __LINE__);
  EXPECT_EQ(zmem_blocks(), 0u);
  EXPECT_EQ(zmem_bytes(), 0u);
}

TEST(MemLeak, MessageLevelsAndBadReportPath) {
  CaptureStdout();
  MemLeak_Message(0, "zero", "f", 1);
  MemLeak_Message(3, "three", "f", 1);
  MemLeak_Message(2, "two", "f", 1);
  MemLeakExitFile("/nonexistent-dir/report.txt");
  EXPECT_EQ(GetCapturedStdout(),
            "MemLeak : Level 2 Message : two : File : f:1\n"
            "Error opening /nonexistent-dir/report.txt for output!!!\n");
}

TEST(MemLeak, LookupWithRemoveHandsOverTheBlock) {
  uint64_t blocks = zmem_blocks();
  void* p = zmalloc(5, "l.cpp", 1);
  BlockRecord* rec = zlookup(p, true);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(zlookup(p, false), nullptr);
  EXPECT_EQ(zmem_blocks(), blocks + 1);  // counters stay as they were
  free(rec->block);
  free(rec);
}

TEST(MemLeak, ConcurrentAllocations) {
  uint64_t blocks = zmem_blocks();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([] {
      for (int i = 0; i < 2000; i++) {
        void* p = zmalloc(static_cast<uint32_t>(1 + i % 64), __FILE__, __LINE__);
        zfree(p, __FILE__, __LINE__);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(zmem_blocks(), blocks);
}

TEST(MemLeak, FailCountdownFailsTheKthAllocation) {
  MemLeak_SetFailCountdown(3, false);
  void* a = zmalloc(8, __FILE__, __LINE__);
  void* b = zstrdup("x", __FILE__, __LINE__);
  void* c = zmalloc(8, __FILE__, __LINE__);  // the third: fails
  void* d = zmalloc(8, __FILE__, __LINE__);  // not persistent: works again
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(MemLeak_InjectedFailures(), 1u);
  MemLeak_SetFailCountdown(1, true);
  EXPECT_EQ(zrealloc(a, 4096, __FILE__, __LINE__), nullptr);
  EXPECT_EQ(zmalloc(1, __FILE__, __LINE__), nullptr);
  EXPECT_EQ(MemLeak_InjectedFailures(), 2u);
  MemLeak_SetFailCountdown(0, false);
  void* grown = zrealloc(a, 4096, __FILE__, __LINE__);  // the old block survived the failure
  ASSERT_NE(grown, nullptr);
  zfree(grown, __FILE__, __LINE__);
  zfree(b, __FILE__, __LINE__);
  zfree(d, __FILE__, __LINE__);
}

TEST(MemLeak, ReallocOfDamagedBlockWarnsWithoutDumpAndRepairsGuards) {
  uint64_t blocks = zmem_blocks();
  char* p = static_cast<char*>(zmalloc(10, "owner.cpp", 12));
  void* start = zlookup(p, false)->block;
  p[-16] = 'Z';  // first byte of the front guard
  p[10] = 'Y';   // first byte of the back guard
  CaptureStdout();
  char* q = static_cast<char*>(zrealloc(p, 20, "grow.cpp", 56));
  std::string out = GetCapturedStdout();
  char ffl[200];
  snprintf(ffl, sizeof(ffl),
           "MemLeak : Level 2 Message : ^ Last FFL -> zmalloc, size: 10, ptr: %p : File : "
           "owner.cpp:12\n",
           start);
  EXPECT_EQ(out,
            "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (pre, zrealloc, "
            "ZELMORAS)! : File : grow.cpp:56\n" +
                std::string(ffl) +
                "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (post, zrealloc, "
                "YELMORAS)! : File : grow.cpp:56\n" +
                std::string(ffl));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(zmem_blocks(), blocks + 1);
  // Both guards were written afresh: releasing the block now reports nothing.
  CaptureStdout();
  zfree(q, __FILE__, __LINE__);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(zmem_blocks(), blocks);
}

TEST(MemLeak, TrackedBlockOwnsMovesAndReleases) {
  const uint64_t blocks = zmem_blocks();
  {
    TrackedBlock a(zmalloc(16, __FILE__, __LINE__));
    ASSERT_NE(a.get(), nullptr);
    EXPECT_EQ(zmem_blocks(), blocks + 1);
    TrackedBlock b(std::move(a));
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(zmem_blocks(), blocks + 1);
    b.reset(zmalloc(8, __FILE__, __LINE__));  // the first block is freed
    EXPECT_EQ(zmem_blocks(), blocks + 1);
    void* kept = b.release();
    EXPECT_EQ(b.get(), nullptr);
    zfree(kept, __FILE__, __LINE__);
    EXPECT_EQ(zmem_blocks(), blocks);
    TrackedBlock failed(nullptr);  // a failed allocation: nothing to free
    b = TrackedBlock(zstrdup("text", __FILE__, __LINE__));
    EXPECT_STREQ(b.chars(), "text");
  }
  EXPECT_EQ(zmem_blocks(), blocks);
}
