#include "threads.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <unordered_set>

#include "GenLib.h"
#include "memleak.h"

namespace {

struct Registry {
  Orvex_Mutex_pthreads mutex{DEFAULT_LOCK_TIMEOUT};
  std::unordered_set<ThreadInfo*> set;
  int32_t count = 0;
};

// Created on first use and never destroyed: detached threads may still end (and remove
// themselves) while the process runs its exit handlers.
Registry& GetRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

// Built during static initialisation, before main.
Registry& g_registry_at_start = GetRegistry();

// Keeps the calling thread from being cancelled while it holds the registry mutex (printing
// is a cancellation point), so a cancelled thread never leaves the mutex held.
class NoCancelScope {
 public:
  NoCancelScope() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
  ~NoCancelScope() { pthread_setcancelstate(old_, nullptr); }

 private:
  int old_ = PTHREAD_CANCEL_ENABLE;
};

void PrintThreads(bool all, int32_t kind) {
  (void)g_registry_at_start;
  Registry& r = GetRegistry();
  NoCancelScope no_cancel;
  AutoMutex lock(&r.mutex);
  if (!lock.locked()) return;
  printf("Running threads:");
  for (ThreadInfo* info : r.set) {
    if (all || info->kind == kind) printf(" [%s]", info->name);
  }
  printf("\n");
}

}  // namespace

Orvex_Mutex_pthreads* thread_registry_mutex() { return &GetRegistry().mutex; }

ThreadInfo* thread_create(ThreadProc proc, void* arg, const char* name, int32_t kind) {
  if (proc == nullptr) return nullptr;
  ThreadInfo* info = static_cast<ThreadInfo*>(plain_malloc(sizeof(ThreadInfo)));
  if (info == nullptr) return nullptr;
  memset(static_cast<void*>(info), 0, sizeof(ThreadInfo));
  if (name != nullptr) strlcpy(info->name, name, sizeof(info->name));
  info->kind = kind;
  info->arg = arg;
  info->remove = thread_remove;

  Registry& r = GetRegistry();
  pthread_t handle;
  {
    // Held until the handle is stored, so the new thread cannot remove (and free) its record
    // before then.
    AutoMutex lock(&r.mutex);
    if (!lock.locked()) {
      plain_free(info);
      return nullptr;
    }
    r.set.insert(info);
    r.count++;
    if (pthread_create(&handle, nullptr, proc, info) != 0) {
      thread_remove(info);
      return nullptr;
    }
    info->handle = handle;
  }
  // The record may be gone already: only the creator's copy of the handle is used from here.
  if (name != nullptr) thread_set_name(handle, name);
  pthread_detach(handle);
  return info;
}

int thread_remove(ThreadInfo* info) {
  if (info == nullptr) return 0;
  Registry& r = GetRegistry();
  AutoMutex lock(&r.mutex);
  if (!lock.locked()) return 0;
  auto it = r.set.find(info);
  if (it == r.set.end()) return 0;  // removed already (cancelled, or removed twice)
  r.set.erase(it);
  r.count--;
  plain_free(info);
  return 0;
}

bool thread_cancel(ThreadInfo* info) {
  if (info == nullptr) return false;
  Registry& r = GetRegistry();
  // While the record is registered its thread has not removed itself yet, so it still exists;
  // holding the mutex keeps it from removing itself until the request is made.
  AutoMutex lock(&r.mutex);
  if (!lock.locked() || r.set.find(info) == r.set.end()) return false;
  if (pthread_cancel(info->handle) != 0) return false;
  thread_remove(info);
  return true;
}

bool thread_create_detached(ThreadProc proc, void* arg) {
  if (proc == nullptr) return false;
  pthread_t handle;
  if (pthread_create(&handle, nullptr, proc, arg) != 0) return false;
  pthread_detach(handle);
  return true;
}

void thread_set_name(pthread_t thread, const char* name) {
  if (name == nullptr) return;
  // Names longer than the system's limit are refused; the thread then keeps its old name.
  (void)pthread_setname_np(thread, name);
}

void print_threads() { PrintThreads(true, 0); }

void print_threads_of_kind(int32_t kind) { PrintThreads(false, kind); }

int32_t thread_count() {
  Registry& r = GetRegistry();
  AutoMutex lock(&r.mutex);
  return r.count;
}

int32_t thread_count_of_kind(int32_t kind) {
  Registry& r = GetRegistry();
  AutoMutex lock(&r.mutex);
  int32_t n = 0;
  for (ThreadInfo* info : r.set) {
    if (info->kind == kind) n++;
  }
  return n;
}

void safe_sleep(int32_t amount, bool msec) {
  int64_t ms = msec ? static_cast<int64_t>(amount) : static_cast<int64_t>(amount) * 1000;
  if (ms <= 0) return;
  struct timespec req;
  req.tv_sec = static_cast<time_t>(ms / 1000);
  req.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  struct timespec rem;
  while (nanosleep(&req, &rem) != 0) {
    if (errno != EINTR) break;
    req = rem;
  }
}
