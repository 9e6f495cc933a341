// A transport clock for tests: every reading of the time moves it on by a fixed step, back-off
// sleeps are recorded instead of slept, and the jitter is a fixed number. With it no test waits
// for a real time-out or back-off.
//
// Thread rules: used by the one thread that runs the transfers.
#ifndef TESTS_SUPPORT_TEST_CLOCK_H_
#define TESTS_SUPPORT_TEST_CLOCK_H_

#include <stdint.h>

#include <vector>

#include "transport.h"

namespace testutil {

class SteppingClock : public TransportClock {
 public:
  explicit SteppingClock(int64_t step_ms, double random = 0.5) : step_(step_ms), random_(random) {}
  int64_t NowMs() override { return now_ += step_; }
  void SleepMs(int64_t ms) override { sleeps.push_back(ms); }
  double Random() override { return random_; }
  int64_t WallSeconds() override { return wall; }
  std::vector<int64_t> sleeps;  // every back-off asked for, in order
  int64_t wall = 784111777;     // Sun, 06 Nov 1994 08:49:37 GMT

 private:
  int64_t now_ = 1000000;
  int64_t step_;
  double random_;
};

}  // namespace testutil

#endif  // TESTS_SUPPORT_TEST_CLOCK_H_
