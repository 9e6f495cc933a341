#include "transfer_pool.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "transport.h"

// What the workers of one run share, under lock.
struct TransferPool::Shared {
  TransferPool* pool;
  size_t count;
  const Job* job;
  std::mutex lock;
  std::condition_variable changed;  // a job started or ended
  size_t nextJob = 0;
  std::set<size_t> running;
  size_t failed;  // lowest failed index; count while none
  std::string error;
  unsigned live = 0;  // workers still looping
  bool dirty = true;  // running changed since the last tick
};

struct TransferPool::WorkerArg {
  Shared* shared;
  std::unique_ptr<Transport> transport;
  // Set when the worker runs on run()'s own thread: it then gives the ticks itself.
  const Tick* tick = nullptr;
};

TransferPool::TransferPool(unsigned workers, MakeTransport makeTransport, unsigned refreshMs)
    : workers_(workers ? workers : 1),
      makeTransport_(std::move(makeTransport)),
      refreshMs_(refreshMs ? refreshMs : 100) {}

TransferPool::~TransferPool() = default;

void* TransferPool::worker(void* arg) {
  WorkerArg* w = static_cast<WorkerArg*>(arg);
  Shared* s = w->shared;
  std::unique_lock<std::mutex> hold(s->lock);
  while (!s->pool->stopping_.load() && s->nextJob < s->count) {
    const size_t index = s->nextJob++;
    s->running.insert(index);
    s->dirty = true;
    s->changed.notify_all();
    if (w->tick && *w->tick) {
      std::vector<size_t> now(s->running.begin(), s->running.end());
      hold.unlock();
      (*w->tick)(now);
    } else {
      hold.unlock();
    }
    std::string error;
    const bool ok = (*s->job)(index, w->transport.get(), &error);
    hold.lock();
    s->running.erase(index);
    s->dirty = true;
    if (!ok) {
      s->pool->stopping_.store(true);
      if (index < s->failed) {
        s->failed = index;
        s->error = error;
      }
    }
    s->changed.notify_all();
  }
  s->live--;
  s->changed.notify_all();
  return nullptr;
}

bool TransferPool::run(size_t count, const Job& job, const Tick& tick, size_t* failed,
                       std::string* error) {
  stopping_.store(false);
  Shared s;
  s.pool = this;
  s.count = count;
  s.job = &job;
  s.failed = count;
  if (count == 0) return true;
  const unsigned want = static_cast<unsigned>(std::min<size_t>(workers_, count));

  std::vector<std::unique_ptr<WorkerArg>> args;
  for (unsigned i = 0; i < want; i++) {
    std::unique_ptr<Transport> t = makeTransport_();
    if (!t) break;
    args.emplace_back(new WorkerArg{&s, std::move(t), nullptr});
  }
  if (args.empty()) {
    *failed = count;
    *error = "no transport for the downloads";
    return false;
  }

  std::vector<pthread_t> threads;
  if (args.size() > 1) {
    std::lock_guard<std::mutex> hold(s.lock);
    for (auto& a : args) {
      pthread_t t;
      if (pthread_create(&t, nullptr, &TransferPool::worker, a.get()) != 0) break;
      threads.push_back(t);
      s.live++;
    }
  }
  if (threads.empty()) {
    // One worker (or none could start): the jobs run here, one after the other.
    s.live = 1;
    args[0]->tick = &tick;
    worker(args[0].get());
    if (tick) tick(std::vector<size_t>());
  } else {
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
      {
        std::vector<size_t> running(s.running.begin(), s.running.end());
        s.dirty = false;
        hold.unlock();
        if (tick) tick(running);
        hold.lock();
      }
      if (s.live == 0) break;
      s.changed.wait_for(hold, std::chrono::milliseconds(refreshMs_),
                         [&] { return s.dirty || s.live == 0; });
    }
    hold.unlock();
    for (pthread_t t : threads) pthread_join(t, nullptr);
  }
  if (s.failed < count) {
    *failed = s.failed;
    *error = s.error;
    return false;
  }
  return true;
}
