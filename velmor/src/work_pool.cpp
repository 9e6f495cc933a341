#include "work_pool.h"

#include <sched.h>
#include <unistd.h>

WorkPool::WorkPool(unsigned threads, size_t queueLimit) {
  if (threads == 0) threads = coreCount();
  queueLimit_ = queueLimit ? queueLimit : 4 * static_cast<size_t>(threads);
  if (threads < 2) return;
  for (unsigned i = 0; i < threads; i++) {
    pthread_t t;
    if (pthread_create(&t, nullptr, &WorkPool::run, this) != 0) break;
    threads_.push_back(t);
  }
}

WorkPool::~WorkPool() {
  wait();
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  work_.notify_all();
  for (pthread_t t : threads_) pthread_join(t, nullptr);
}

unsigned WorkPool::coreCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

void WorkPool::submit(std::function<void()> job) {
  if (threads_.empty()) {
    job();
    return;
  }
  std::unique_lock<std::mutex> hold(lock_);
  room_.wait(hold, [&] { return queue_.size() < queueLimit_; });
  queue_.push_back(std::move(job));
  hold.unlock();
  work_.notify_one();
}

void WorkPool::wait() {
  std::unique_lock<std::mutex> hold(lock_);
  idle_.wait(hold, [&] { return queue_.empty() && busy_ == 0; });
}

void* WorkPool::run(void* self) {
  static_cast<WorkPool*>(self)->loop();
  return nullptr;
}

void WorkPool::loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    work_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, nothing left
    std::function<void()> job = std::move(queue_.front());
    queue_.pop_front();
    busy_++;
    hold.unlock();
    room_.notify_one();
    job();
    job = nullptr;
    hold.lock();
    busy_--;
    if (queue_.empty() && busy_ == 0) idle_.notify_all();
  }
}
