// Fault injection swept over k: the k-th tracked allocation fails, the k-th byte written goes
// past a file-size limit. Every case must end with a clear failure, no crash, no leaked block,
// and no damaged file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ini-reader.h"
#include "memleak.h"
#include "test_util.h"

namespace {

// Switches the allocation countdown off again whatever happens in the test.
struct FailCountdown {
  FailCountdown(int64_t k, bool persistent) { MemLeak_SetFailCountdown(k, persistent); }
  ~FailCountdown() { MemLeak_SetFailCountdown(0, false); }
};

const char kIni[] =
    "[groups]\r\n"
    "core=1\r\n"
    "docs=2\r\n"
    "[other]\r\n"
    "x=1\r\n";

}  // namespace

TEST(Faults, IniWriteUnderAllocationFailures) {
  testutil::TempDir dir;
  std::string path = dir.Sub(".updater.ini");
  int injected_cases = 0;
  for (int64_t k = 1; k < 50; k++) {
    ASSERT_TRUE(testutil::WriteFile(path, kIni));
    uint64_t blocks = zmem_blocks(), bytes = zmem_bytes();
    int rc;
    uint64_t failures;
    {
      FailCountdown fail(k, true);
      rc = Write_INI_String(path.c_str(), "groups", "plugins", "1");
      failures = MemLeak_InjectedFailures();
    }
    EXPECT_EQ(zmem_blocks(), blocks) << "k=" << k;
    EXPECT_EQ(zmem_bytes(), bytes) << "k=" << k;
    std::string now = testutil::ReadFileOr(path);
    if (failures == 0) {
      // The countdown never ran out: the write needs fewer allocations than k.
      EXPECT_EQ(rc, 0);
      EXPECT_NE(now.find("plugins=1\r\n"), std::string::npos);
      break;
    }
    injected_cases++;
    if (rc != 0) {
      EXPECT_EQ(now, kIni) << "k=" << k << ": a failed write changed the file";
    } else {
      EXPECT_NE(now.find("plugins=1\r\n"), std::string::npos) << "k=" << k;
    }
  }
  EXPECT_GT(injected_cases, 0);
}

TEST(Faults, IniReadUnderAllocationFailures) {
  testutil::TempDir dir;
  std::string path = dir.Sub("a.ini");
  ASSERT_TRUE(testutil::WriteFile(path, kIni));
  for (int64_t k = 1; k < 20; k++) {
    uint64_t blocks = zmem_blocks();
    int64_t v;
    uint64_t failures;
    {
      FailCountdown fail(k, true);
      v = Get_INI_Int(path.c_str(), "groups", "docs", -7);
      failures = MemLeak_InjectedFailures();
    }
    EXPECT_EQ(zmem_blocks(), blocks) << "k=" << k;
    if (failures == 0) {
      EXPECT_EQ(v, 2);
      break;
    }
    EXPECT_TRUE(v == 2 || v == -7) << "k=" << k << " gave " << v;
  }
}

// A child process writes the INI file under RLIMIT_FSIZE of n bytes; the file must then hold
// either its old text or the complete new text.
TEST(Faults, IniWriteUnderFileSizeLimit) {
  testutil::TempDir dir;
  std::string path = dir.Sub("limit.ini");
  std::string big_value(300, 'v');
  for (rlim_t limit = 0; limit <= 400; limit += 25) {
    ASSERT_TRUE(testutil::WriteFile(path, kIni));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {limit, limit};
      setrlimit(RLIMIT_FSIZE, &rl);
      int rc = Write_INI_String(path.c_str(), "groups", "big", big_value.c_str());
      _exit(rc == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "limit " << limit;
    std::string now = testutil::ReadFileOr(path);
    if (WEXITSTATUS(status) == 0) {
      EXPECT_NE(now.find("big=" + big_value + "\r\n"), std::string::npos) << "limit " << limit;
    } else {
      EXPECT_EQ(now, kIni) << "limit " << limit;
    }
  }
}
