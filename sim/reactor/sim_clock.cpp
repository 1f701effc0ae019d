#include "sim/reactor/sim_clock.h"

#include <chrono>

namespace sim {

double SimClock::real_now() {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace sim
