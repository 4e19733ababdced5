// A loop clock for tests: time moves only when the loop sleeps, at once and
// by exactly what it asked for, and every sleep is recorded.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "state/loop_clock.h"

namespace tavrik {

// Thrown from `on_sleep` to leave a loop that never returns by itself.
struct StopLoop {};

class FakeLoopClock : public LoopClock {
 public:
  explicit FakeLoopClock(Instant start = Instant{} + std::chrono::hours(1)) : now_(start) {}

  Instant now() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }

  // Runs `on_sleep` with the number of sleeps so far, after time has moved.
  void sleep_for(MonotonicClock::duration span) override {
    std::size_t count;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sleeps_.push_back(span);
      now_ += span;
      count = sleeps_.size();
    }
    if (on_sleep) on_sleep(count);
  }

  std::vector<MonotonicClock::duration> sleeps() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
  }

  std::function<void(std::size_t)> on_sleep;

 private:
  std::mutex mutex_;
  Instant now_;
  std::vector<MonotonicClock::duration> sleeps_;
};

}  // namespace tavrik
