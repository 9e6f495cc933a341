// Up to N transfers at once, each worker with a Transport of its own (so each keeps its own
// connection alive from one request to the next). The jobs are numbered 0..count-1 and start in
// that order; the caller's job function does the whole transfer of one job (its sink, bounds,
// resumption and checks), exactly as it would in a serial loop.
//
// The first failure stops the run cleanly: no further job starts, the jobs still running see
// stopping() turn true (a transfer's progress callback returns false on it, which aborts the
// transfer) and are waited for; what they leave behind stays for a later run to resume.
//
// Thread rules: run() is called by one thread, which also receives every tick; the job function
// runs on the workers (or, with one worker, on the calling thread) and must keep to its own
// job's data. stopping() may be called from any thread.
#ifndef VELMOR_TRANSFER_POOL_H_
#define VELMOR_TRANSFER_POOL_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Transport;

class TransferPool {
 public:
  // Does job index with transport. True on success; false with the message in *error.
  using Job = std::function<bool(size_t index, Transport* transport, std::string* error)>;
  // Called on run()'s thread when jobs start or end and every refreshMs while they run, with
  // the indices of the running jobs in ascending order.
  using Tick = std::function<void(const std::vector<size_t>& running)>;
  // A transport for one worker.
  using MakeTransport = std::function<std::unique_ptr<Transport>()>;

  // workers: most jobs at once (at least 1). refreshMs: the longest time between two ticks.
  TransferPool(unsigned workers, MakeTransport makeTransport, unsigned refreshMs = 100);
  ~TransferPool();
  TransferPool(const TransferPool&) = delete;
  TransferPool& operator=(const TransferPool&) = delete;

  // Runs the jobs. True when every job succeeded. False after the first failure (the jobs
  // running then are waited for) with the lowest failed index in *failed and its message in
  // *error; also false when no transport could be made (*failed = count).
  bool run(size_t count, const Job& job, const Tick& tick, size_t* failed, std::string* error);

  // True once a job of the current run has failed.
  bool stopping() const { return stopping_.load(); }

 private:
  struct Shared;
  struct WorkerArg;
  static void* worker(void* arg);

  unsigned workers_;
  MakeTransport makeTransport_;
  unsigned refreshMs_;
  std::atomic<bool> stopping_{false};
};

#endif  // VELMOR_TRANSFER_POOL_H_
