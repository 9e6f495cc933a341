#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "threads.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// A latch the test opens to let its threads finish.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> l(m_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

struct Worker {
  Gate release;
  std::atomic<int> started{0};
  std::atomic<void*> seen_arg{nullptr};
};

// Registered start routine: reports in, waits for the gate, removes its own record.
void* GatedThread(void* p) {
  ThreadInfo* info = static_cast<ThreadInfo*>(p);
  Worker* w = static_cast<Worker*>(info->arg);
  w->seen_arg = info->arg;
  w->started++;
  w->release.Wait();
  info->remove(info);
  return nullptr;
}

// Waits (bounded) until cond holds.
template <typename F>
bool WaitFor(F cond) {
  for (int i = 0; i < 1000; i++) {
    if (cond()) return true;
    safe_sleep(10, true);
  }
  return cond();
}

std::string Printed(void (*fn)()) {
  CaptureStdout();
  fn();
  return GetCapturedStdout();
}

std::string PrintedOfKind(int32_t kind) {
  CaptureStdout();
  print_threads_of_kind(kind);
  return GetCapturedStdout();
}

double ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
      .count();
}

}  // namespace

TEST(ThreadRegistry, EmptyRegistryListsNothing) {
  ASSERT_EQ(thread_count(), 0);
  EXPECT_EQ(Printed(print_threads), "Running threads:\n");
  EXPECT_EQ(PrintedOfKind(3), "Running threads:\n");
  EXPECT_EQ(thread_count_of_kind(3), 0);
}

TEST(ThreadRegistry, RegistersNamesCountsAndRemovesItself) {
  Worker w;
  ThreadInfo* a = thread_create(GatedThread, &w, "alpha", 7);
  ThreadInfo* b = thread_create(GatedThread, &w, "beta", 8);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(WaitFor([&] { return w.started == 2; }));
  EXPECT_EQ(w.seen_arg.load(), &w);  // the routine got its record, holding the argument
  EXPECT_EQ(a->remove, &thread_remove);
  EXPECT_STREQ(a->name, "alpha");
  EXPECT_EQ(a->kind, 7);

  EXPECT_EQ(thread_count(), 2);
  EXPECT_EQ(thread_count_of_kind(7), 1);
  EXPECT_EQ(thread_count_of_kind(8), 1);
  EXPECT_EQ(thread_count_of_kind(9), 0);
  EXPECT_EQ(PrintedOfKind(8), "Running threads: [beta]\n");
  std::string all = Printed(print_threads);
  EXPECT_TRUE(all == "Running threads: [alpha] [beta]\n" ||
              all == "Running threads: [beta] [alpha]\n")
      << all;

  char sys_name[32] = "";
  ASSERT_EQ(pthread_getname_np(a->handle, sys_name, sizeof(sys_name)), 0);
  EXPECT_STREQ(sys_name, "alpha");

  w.release.Open();
  EXPECT_TRUE(WaitFor([] { return thread_count() == 0; }));
  EXPECT_EQ(Printed(print_threads), "Running threads:\n");
}

TEST(ThreadRegistry, LongNameIsCutAndNullNameIsEmpty) {
  Worker w;
  std::string long_name(300, 'n');
  ThreadInfo* t = thread_create(GatedThread, &w, long_name.c_str(), 1);
  ThreadInfo* u = thread_create(GatedThread, &w, nullptr, 1);
  ASSERT_NE(t, nullptr);
  ASSERT_NE(u, nullptr);
  ASSERT_TRUE(WaitFor([&] { return w.started == 2; }));
  EXPECT_EQ(std::string(t->name), long_name.substr(0, 255));
  EXPECT_STREQ(u->name, "");
  EXPECT_EQ(thread_count_of_kind(1), 2);
  w.release.Open();
  EXPECT_TRUE(WaitFor([] { return thread_count() == 0; }));
}

TEST(ThreadRegistry, ManyShortThreadsAllRemoveThemselves) {
  static std::atomic<int> ran{0};
  ran = 0;
  auto quick = [](void* p) -> void* {
    ThreadInfo* info = static_cast<ThreadInfo*>(p);
    ran++;
    info->remove(info);
    return nullptr;
  };
  for (int i = 0; i < 40; i++) ASSERT_NE(thread_create(quick, nullptr, "quick", 5), nullptr);
  EXPECT_TRUE(WaitFor([] { return ran == 40 && thread_count() == 0; }));
  EXPECT_EQ(thread_count_of_kind(5), 0);
}

TEST(ThreadRegistry, CancelRemovesRecord) {
  static std::atomic<bool> in_pause{false};
  in_pause = false;
  auto sleeper = [](void*) -> void* {
    in_pause = true;
    for (;;) pause();  // a cancellation point; never removes itself
    return nullptr;
  };
  ThreadInfo* t = thread_create(sleeper, nullptr, "sleeper", 2);
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(WaitFor([] { return in_pause.load(); }));
  EXPECT_EQ(thread_count(), 1);
  EXPECT_TRUE(thread_cancel(t));
  EXPECT_EQ(thread_count(), 0);
  EXPECT_EQ(thread_count_of_kind(2), 0);
}

TEST(ThreadRegistry, RemovedRecordIsNotRemovedOrCancelledAgain) {
  static std::atomic<int> removed{0};
  static std::atomic<ThreadInfo*> record{nullptr};
  removed = 0;
  auto twice = [](void* p) -> void* {
    ThreadInfo* info = static_cast<ThreadInfo*>(p);
    record = info;
    info->remove(info);
    thread_remove(info);  // a second removal must not free or count again
    removed = 1;
    return nullptr;
  };
  ASSERT_NE(thread_create(twice, nullptr, "twice", 4), nullptr);
  ASSERT_TRUE(WaitFor([] { return removed == 1; }));
  EXPECT_EQ(thread_count(), 0);
  EXPECT_FALSE(thread_cancel(record.load()));  // no longer registered
  EXPECT_EQ(thread_count(), 0);
}

TEST(ThreadRegistry, UnregisteredDetachedThread) {
  static std::atomic<void*> got{nullptr};
  got = nullptr;
  int token = 0;
  auto fn = [](void* arg) -> void* {
    got = arg;
    return nullptr;
  };
  EXPECT_TRUE(thread_create_detached(fn, &token));
  EXPECT_TRUE(WaitFor([&] { return got.load() == &token; }));
  EXPECT_EQ(thread_count(), 0);
  EXPECT_EQ(thread_create(nullptr, nullptr, "none", 0), nullptr);
  EXPECT_EQ(thread_count(), 0);
}

TEST(ThreadRegistry, RegistryMutexBlocksRegistration) {
  Orvex_Mutex_pthreads* m = thread_registry_mutex();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m, thread_registry_mutex());
  Worker w;
  std::atomic<bool> created{false};
  std::thread creator;
  {
    AutoMutex hold(m);
    creator = std::thread([&] {
      ThreadInfo* t = thread_create(GatedThread, &w, "held", 6);
      created = t != nullptr;
    });
    // While the registry is held, a count from this thread still works (recursive) and the
    // other thread cannot have registered.
    safe_sleep(50, true);
    EXPECT_EQ(thread_count(), 0);
    EXPECT_FALSE(created.load());
  }
  creator.join();
  EXPECT_TRUE(created.load());
  EXPECT_EQ(thread_count_of_kind(6), 1);
  w.release.Open();
  EXPECT_TRUE(WaitFor([] { return thread_count() == 0; }));
}

TEST(ThreadSetName, SetsSystemNameAndIgnoresRefusal) {
  Gate g;
  std::thread t([&] { g.Wait(); });
  char name[32] = "";
  thread_set_name(t.native_handle(), "named");
  ASSERT_EQ(pthread_getname_np(t.native_handle(), name, sizeof(name)), 0);
  EXPECT_STREQ(name, "named");
  thread_set_name(t.native_handle(), "a-name-longer-than-fifteen-bytes");  // refused, ignored
  thread_set_name(t.native_handle(), nullptr);
  ASSERT_EQ(pthread_getname_np(t.native_handle(), name, sizeof(name)), 0);
  EXPECT_STREQ(name, "named");
  g.Open();
  t.join();
}

// ---- safe_sleep ----

TEST(SafeSleep, ZeroAndNegativeReturn) {
  safe_sleep(0, true);
  safe_sleep(0, false);
  safe_sleep(-5, true);
  safe_sleep(INT32_MIN, false);  // must not wrap into a huge sleep
  SUCCEED();
}

TEST(SafeSleep, SleepsAtLeastTheAmount) {
  auto start = std::chrono::steady_clock::now();
  safe_sleep(150, true);
  EXPECT_GE(ElapsedMs(start), 150.0);
  start = std::chrono::steady_clock::now();
  safe_sleep(1, false);  // seconds
  EXPECT_GE(ElapsedMs(start), 1000.0);
}

namespace {
std::atomic<int> g_signals{0};
void CountSignal(int) { g_signals++; }
}  // namespace

TEST(SafeSleep, SignalsDoNotShortenIt) {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = CountSignal;  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  g_signals = 0;
  pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  std::thread kicker([&] {
    for (int i = 0; i < 5 && !done; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      if (!done) pthread_kill(sleeper, SIGUSR1);
    }
  });
  auto start = std::chrono::steady_clock::now();
  safe_sleep(400, true);
  double elapsed = ElapsedMs(start);
  done = true;
  kicker.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(g_signals.load(), 1);
  EXPECT_GE(elapsed, 400.0);
}
