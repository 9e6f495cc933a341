// A fixed set of worker threads that run queued jobs, for work that spreads over all cores
// (hashing many files, say). Jobs run in any order on any worker; a caller that needs its
// results in a given order keeps one result slot per job and reads them after wait().
//
// Thread rules: submit() and wait() are called by the thread that owns the pool, not by its
// jobs. A job must not touch what another job of the same batch touches, nor what the owner
// reads before wait() returns. With one thread (or when no worker could be started) jobs run
// in the owner's thread inside submit().
#ifndef VELMOR_WORK_POOL_H_
#define VELMOR_WORK_POOL_H_

#include <pthread.h>
#include <stddef.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

class WorkPool {
 public:
  // Starts threads workers (0: one per core this process may run on). At most queueLimit jobs
  // wait at a time (0: four per worker); submit() blocks beyond that, which bounds the memory
  // of a long batch. Workers that the system refuses are simply not there.
  explicit WorkPool(unsigned threads = 0, size_t queueLimit = 0);
  // Waits for the queued jobs, then stops and joins the workers.
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // Queues job, waiting while the queue is full; runs it at once when there are no workers.
  void submit(std::function<void()> job);
  // Returns when every job submitted so far has finished.
  void wait();
  // Number of running workers (0 when jobs run in the owner's thread).
  unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

  // Cores this process may run on (its CPU affinity), at least 1.
  static unsigned coreCount();

 private:
  static void* run(void* self);
  void loop();

  std::vector<pthread_t> threads_;
  std::deque<std::function<void()>> queue_;
  size_t queueLimit_;
  size_t busy_ = 0;
  bool stopping_ = false;
  std::mutex lock_;
  std::condition_variable work_;  // a job was queued, or the pool stops
  std::condition_variable room_;  // the queue has room again
  std::condition_variable idle_;  // the queue is empty and no job runs
};

#endif  // VELMOR_WORK_POOL_H_
