// The system's one kind of lock: a recursive POSIX mutex that counts how often its owner holds
// it, remembers the owning thread and waits at most a configurable time. AutoMutex holds one
// for the length of a scope.
//
// Thread rules: any thread may lock and release. The owner and count are written only by the
// thread that holds the mutex; IsLocked, IsLockMine and GetLockingThread read them unlocked, so
// their answer about other threads is a snapshot.
#ifndef VELMOR_MUTEX_PTHREADS_H_
#define VELMOR_MUTEX_PTHREADS_H_

#include <pthread.h>
#include <stdint.h>

// Time-out of every mutex in the system, in milliseconds (30 minutes).
#define DEFAULT_LOCK_TIMEOUT 1800000

class Orvex_Mutex_Base {
 public:
  // Waits at most timeout_ms for the lock; true when taken, false when the time ran out.
  virtual bool TimedLock(int32_t timeout_ms) = 0;
  // Takes the lock, waiting at most the configured time-out (forever when negative).
  virtual bool Lock() = 0;
  // Gives up one hold of the lock. Releasing a lock this thread does not hold stops the process.
  virtual void Release() = 0;
  // Replaces the time-out that Lock uses.
  virtual void SetLockTimeout(int32_t timeout_ms) = 0;
  // True when some thread holds the lock.
  virtual bool IsLocked() = 0;
  // True when the calling thread holds the lock.
  virtual bool IsLockMine() = 0;
  // The thread that took the lock last, or 0 when it is free.
  virtual pthread_t GetLockingThread() = 0;
};

class Orvex_Mutex_pthreads : public Orvex_Mutex_Base {
 public:
  explicit Orvex_Mutex_pthreads(int32_t timeout_ms = DEFAULT_LOCK_TIMEOUT);
  ~Orvex_Mutex_pthreads();
  Orvex_Mutex_pthreads(const Orvex_Mutex_pthreads&) = delete;
  Orvex_Mutex_pthreads& operator=(const Orvex_Mutex_pthreads&) = delete;

  bool TimedLock(int32_t timeout_ms) override;
  bool Lock() override;
  void Release() override;
  void SetLockTimeout(int32_t timeout_ms) override;
  bool IsLocked() override;
  bool IsLockMine() override;
  pthread_t GetLockingThread() override;

 private:
  void TakeOwnership();

  pthread_t owner_;
  int32_t count_;
  int32_t timeout_;
  pthread_mutex_t mutex_;
};

// Locks for the length of a scope. When the lock could not be taken (a timed lock ran out),
// the holder remembers that and does not release a lock it never got.
class AutoMutex {
 public:
  explicit AutoMutex(Orvex_Mutex_Base* mutex) : mutex_(mutex), locked_(mutex_->Lock()) {}
  explicit AutoMutex(Orvex_Mutex_Base& mutex) : AutoMutex(&mutex) {}
  ~AutoMutex() {
    if (locked_) mutex_->Release();
  }
  AutoMutex(const AutoMutex&) = delete;
  AutoMutex& operator=(const AutoMutex&) = delete;
  // Whether the lock was taken.
  bool locked() const { return locked_; }

 private:
  Orvex_Mutex_Base* mutex_;
  bool locked_;
};

#endif  // VELMOR_MUTEX_PTHREADS_H_
