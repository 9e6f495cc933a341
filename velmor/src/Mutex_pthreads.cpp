#include "Mutex_pthreads.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

// A failed POSIX lock or unlock is a programming error that must stop the process with an
// assertion in every build, release builds (which define NDEBUG) included.
#undef NDEBUG
#include <cassert>

Orvex_Mutex_pthreads::Orvex_Mutex_pthreads(int32_t timeout_ms)
    : owner_(0), count_(0), timeout_(timeout_ms) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_NONE);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

Orvex_Mutex_pthreads::~Orvex_Mutex_pthreads() { pthread_mutex_destroy(&mutex_); }

void Orvex_Mutex_pthreads::TakeOwnership() {
  owner_ = pthread_self();
  count_++;
  if (count_ <= 0) count_ = 1;
}

bool Orvex_Mutex_pthreads::Lock() {
  if (timeout_ >= 0) return TimedLock(timeout_);
  int err = pthread_mutex_lock(&mutex_);
  if (err != 0) {
    printf("Error locking mutex! (%p, %p, %d, %s)\n", static_cast<void*>(this),
           static_cast<void*>(&mutex_), err, strerror(err));
    fflush(stdout);
    assert(!"Orvex_Mutex_pthreads::Lock: pthread_mutex_lock failed");
    abort();
  }
  TakeOwnership();
  return true;
}

bool Orvex_Mutex_pthreads::TimedLock(int32_t timeout_ms) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  int32_t secs = timeout_ms / 1000;
  deadline.tv_sec += secs;
  deadline.tv_nsec += static_cast<long>(timeout_ms - secs * 1000) * 1000000L;
  while (deadline.tv_nsec > 999999999L) {
    deadline.tv_nsec -= 1000000000L;
    deadline.tv_sec++;
  }
  if (deadline.tv_nsec < 0) {
    printf("Timed mutex lock nsec < 0! (%p, %p)\n", static_cast<void*>(this),
           static_cast<void*>(&mutex_));
    deadline.tv_nsec = 0;
  }
  int err = pthread_mutex_timedlock(&mutex_, &deadline);
  if (err == 0) {
    TakeOwnership();
    return true;
  }
  if (timeout_ms - timeout_ms / 1000 > 1000) {
    printf("Error locking mutex! (%p, %p, %d, %s)\n", static_cast<void*>(this),
           static_cast<void*>(&mutex_), err, strerror(err));
    printf("%ld / %ld\n", static_cast<long>(deadline.tv_sec), static_cast<long>(deadline.tv_nsec));
  }
  return false;
}

void Orvex_Mutex_pthreads::Release() {
  count_--;
  if (count_ <= 0) owner_ = 0;
  int err = pthread_mutex_unlock(&mutex_);
  if (err != 0) {
    printf("Error unlocking mutex! (%p, %p, %d, %s)\n", static_cast<void*>(this),
           static_cast<void*>(&mutex_), err, strerror(err));
    fflush(stdout);
    assert(!"Orvex_Mutex_pthreads::Release: pthread_mutex_unlock failed");
    abort();
  }
}

void Orvex_Mutex_pthreads::SetLockTimeout(int32_t timeout_ms) { timeout_ = timeout_ms; }

bool Orvex_Mutex_pthreads::IsLocked() { return count_ > 0; }

bool Orvex_Mutex_pthreads::IsLockMine() {
  return count_ > 0 && pthread_equal(owner_, pthread_self());
}

pthread_t Orvex_Mutex_pthreads::GetLockingThread() { return owner_; }
