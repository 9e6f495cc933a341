// The transfer pool: every job runs once with its worker's own transport, no more than N at a
// time, the first failure stops the run cleanly (no new job starts, running jobs see
// stopping() and are waited for) and ticks come on the caller's thread. The jobs here only
// record what happened; they wait on each other, never on a clock.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

#include "transfer_pool.h"
#include "transport.h"

namespace {

std::unique_ptr<Transport> MakeTransport() { return std::unique_ptr<Transport>(new Transport()); }

TEST(TransferPoolTest, EveryJobOnceWithAtMostNAtATime) {
  for (unsigned workers : {1u, 3u}) {
    SCOPED_TRACE(workers);
    TransferPool pool(workers, MakeTransport);
    std::mutex lock;
    std::vector<int> runs(20, 0);
    std::set<Transport*> transports;
    int running = 0, most = 0;
    const pthread_t caller = pthread_self();
    bool ticksOnCaller = true;
    size_t failed = 99;
    std::string error;
    bool ok = pool.run(
        runs.size(),
        [&](size_t index, Transport* t, std::string*) {
          std::lock_guard<std::mutex> hold(lock);
          runs[index]++;
          transports.insert(t);
          most = std::max(most, ++running);
          running--;
          return true;
        },
        [&](const std::vector<size_t>&) {
          if (!pthread_equal(pthread_self(), caller)) ticksOnCaller = false;
        },
        &failed, &error);
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), 20);
    EXPECT_LE(transports.size(), workers);
    EXPECT_LE(most, static_cast<int>(workers));
    EXPECT_TRUE(ticksOnCaller);
  }
}

TEST(TransferPoolTest, AFailureStopsTheRunAfterTheRunningJobsEnd) {
  // Job 2 fails while jobs 0 and 1 are still running; they go on until they see stopping(),
  // and no job after the three ever starts.
  TransferPool pool(3, MakeTransport);
  std::mutex lock;
  std::condition_variable changed;
  int started = 0;
  std::vector<bool> ran(10, false), sawStop(10, false);
  size_t failed = 99;
  std::string error;
  bool ok = pool.run(
      ran.size(),
      [&](size_t index, Transport*, std::string* why) {
        std::unique_lock<std::mutex> hold(lock);
        ran[index] = true;
        started++;
        changed.notify_all();
        if (index == 2) {
          changed.wait(hold, [&] { return started >= 3; });
          *why = "job 2 failed";
          return false;
        }
        // A transfer in progress: it stops when the pool says so.
        changed.wait(hold, [&] { return pool.stopping() || started < 0; });
        sawStop[index] = pool.stopping();
        return true;
      },
      [&](const std::vector<size_t>&) {
        std::lock_guard<std::mutex> hold(lock);
        changed.notify_all();  // let waiting jobs look at stopping() again
      },
      &failed, &error);
  EXPECT_FALSE(ok);
  EXPECT_EQ(failed, 2u);
  EXPECT_EQ(error, "job 2 failed");
  EXPECT_EQ(started, 3);
  EXPECT_TRUE(sawStop[0]);
  EXPECT_TRUE(sawStop[1]);
  for (size_t i = 3; i < ran.size(); i++) EXPECT_FALSE(ran[i]) << i;
}

TEST(TransferPoolTest, OneWorkerRunsOnTheCallersThreadAndStopsAtTheFirstFailure) {
  TransferPool pool(1, MakeTransport);
  const pthread_t caller = pthread_self();
  std::vector<size_t> done;
  size_t failed = 99;
  std::string error;
  bool ok = pool.run(
      5,
      [&](size_t index, Transport*, std::string* why) {
        EXPECT_TRUE(pthread_equal(pthread_self(), caller));
        done.push_back(index);
        if (index == 1) *why = "second";
        return index != 1;
      },
      nullptr, &failed, &error);
  EXPECT_FALSE(ok);
  EXPECT_EQ(done, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(error, "second");
  // No transport, no run.
  TransferPool none(2, [] { return std::unique_ptr<Transport>(); });
  EXPECT_FALSE(none.run(
      3, [](size_t, Transport*, std::string*) { return true; }, nullptr, &failed, &error));
  EXPECT_EQ(failed, 3u);
}

}  // namespace
