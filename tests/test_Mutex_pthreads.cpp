#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Mutex_pthreads.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Runs fn on another thread and returns its result.
template <typename F>
auto OnOtherThread(F fn) -> decltype(fn()) {
  decltype(fn()) result{};
  std::thread t([&] { result = fn(); });
  t.join();
  return result;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(Mutex, RecursiveCountingAndOwnership) {
  Orvex_Mutex_pthreads m(DEFAULT_LOCK_TIMEOUT);
  EXPECT_FALSE(m.IsLocked());
  EXPECT_EQ(m.GetLockingThread(), pthread_t{});
  ASSERT_TRUE(m.Lock());
  ASSERT_TRUE(m.Lock());
  EXPECT_TRUE(m.IsLocked());
  EXPECT_TRUE(m.IsLockMine());
  EXPECT_TRUE(pthread_equal(m.GetLockingThread(), pthread_self()));
  EXPECT_FALSE(OnOtherThread([&] { return m.IsLockMine(); }));
  m.Release();
  EXPECT_TRUE(m.IsLocked());
  m.Release();
  EXPECT_FALSE(m.IsLocked());
  EXPECT_FALSE(m.IsLockMine());
  EXPECT_EQ(m.GetLockingThread(), pthread_t{});
}

TEST(Mutex, ShortTimeoutFailsQuietly) {
  Orvex_Mutex_pthreads m(200);
  ASSERT_TRUE(m.Lock());
  CaptureStdout();
  auto start = std::chrono::steady_clock::now();
  bool got = OnOtherThread([&] { return m.Lock(); });
  double waited = SecondsSince(start);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(got);
  EXPECT_GE(waited, 0.15);
  // The failed attempt changed nothing.
  EXPECT_TRUE(m.IsLockMine());
  m.Release();
  EXPECT_FALSE(m.IsLocked());
}

TEST(Mutex, LongTimeoutPrintsBothFailureLines) {
  Orvex_Mutex_pthreads m(1500);
  ASSERT_TRUE(m.Lock());
  CaptureStdout();
  auto start = std::chrono::steady_clock::now();
  bool got = OnOtherThread([&] { return m.Lock(); });
  double waited = SecondsSince(start);
  std::string out = GetCapturedStdout();
  EXPECT_FALSE(got);
  EXPECT_GE(waited, 1.4);
  char prefix[128];
  snprintf(prefix, sizeof(prefix), "Error locking mutex! (%p, ", static_cast<void*>(&m));
  EXPECT_EQ(out.rfind(prefix, 0), 0u) << out;
  EXPECT_NE(out.find(", 110, Connection timed out)\n"), std::string::npos) << out;
  // Second line: the deadline as "seconds / nanoseconds".
  size_t nl = out.find('\n');
  long sec = 0, nsec = -1;
  ASSERT_EQ(sscanf(out.c_str() + nl + 1, "%ld / %ld\n", &sec, &nsec), 2) << out;
  EXPECT_GE(nsec, 0);
  EXPECT_LE(nsec, 999999999);
  m.Release();
}

TEST(Mutex, TimedLockBoundaryPrintsOnlyAbove1001) {
  Orvex_Mutex_pthreads m;
  ASSERT_TRUE(m.Lock());
  CaptureStdout();
  EXPECT_FALSE(OnOtherThread([&] { return m.TimedLock(1001); }));
  EXPECT_EQ(GetCapturedStdout(), "");
  m.Release();
}

TEST(Mutex, NegativeTimeoutWaitsWithoutLimit) {
  Orvex_Mutex_pthreads m(-1);
  ASSERT_TRUE(m.Lock());
  std::atomic<bool> acquired{false};
  std::thread t([&] {
    acquired = m.Lock();
    m.Release();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(acquired.load());
  m.Release();
  t.join();
  EXPECT_TRUE(acquired.load());
}

TEST(Mutex, NegativeTimedLockUsesPastDeadline) {
  Orvex_Mutex_pthreads m;
  // -999 ms pushes the nanoseconds below zero unless the clock's own are above 999 ms (never).
  CaptureStdout();
  bool free_taken = m.TimedLock(-999);
  std::string out = GetCapturedStdout();
  char expected[128];
  snprintf(expected, sizeof(expected), "Timed mutex lock nsec < 0! (%p, ", static_cast<void*>(&m));
  EXPECT_EQ(out.rfind(expected, 0), 0u) << out;
  EXPECT_TRUE(free_taken);
  CaptureStdout();
  bool held_taken = OnOtherThread([&] { return m.TimedLock(-999); });
  GetCapturedStdout();
  EXPECT_FALSE(held_taken);
  m.Release();
}

TEST(Mutex, AutoMutexSkipsReleaseOfFailedLock) {
  Orvex_Mutex_pthreads m(50);
  ASSERT_TRUE(m.Lock());
  bool locked = OnOtherThread([&] {
    AutoMutex hold(&m);
    return hold.locked();
  });  // leaving the scope must not unlock a mutex this thread never got
  EXPECT_FALSE(locked);
  EXPECT_TRUE(m.IsLockMine());
  m.Release();
  {
    AutoMutex hold(m);
    EXPECT_TRUE(hold.locked());
    EXPECT_TRUE(m.IsLockMine());
  }
  EXPECT_FALSE(m.IsLocked());
}

TEST(MutexDeathTest, ReleaseByNonOwnerStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        dup2(2, 1);  // the message goes to standard output; let the death test see it
        Orvex_Mutex_pthreads m;
        m.Release();
      },
      "Error unlocking mutex!");
}

TEST(MutexDeathTest, UnlockFailureIsAnAssertionNamingReleaseInEveryBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The stop must not depend on the build type: release builds compile plain assert() out.
  EXPECT_DEATH(
      {
        Orvex_Mutex_pthreads m;
        m.Release();
      },
      "Release.*Assertion");
}
