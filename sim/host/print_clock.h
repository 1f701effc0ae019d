// The fixed mapping between reactor time and print time shared by every simulated MCU.
#pragma once

namespace sim {

class PrintClock {
 public:
  // Print time 0 is reactor time `origin_eventtime`.
  explicit PrintClock(double origin_eventtime) : origin_(origin_eventtime) {}
  double print_time(double eventtime) const { return eventtime - origin_; }
  double eventtime(double print_time) const { return print_time + origin_; }

 private:
  double origin_;
};

}  // namespace sim
