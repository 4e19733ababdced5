// The clock and the sleep that a thread's loop paces itself by. The program
// runs on the real ones; tests hand in a clock of their own that records what
// each loop asks for and moves time on without waiting.
#pragma once

#include <thread>

#include "state/live_state.h"

namespace tavrik {

class LoopClock {
 public:
  virtual ~LoopClock() = default;
  virtual Instant now() { return MonotonicClock::now(); }
  virtual void sleep_for(MonotonicClock::duration span) { std::this_thread::sleep_for(span); }
};

// The real clock and sleep, shared by every loop of the program.
inline LoopClock& real_loop_clock() {
  static LoopClock clock;
  return clock;
}

}  // namespace tavrik
