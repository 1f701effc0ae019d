// Shared pieces of the MCU tests: a pin level source with known change times and a host
// with two MCUs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/host/mcu.h"
#include "sim/host/pin_signal.h"
#include "sim/host/pins.h"
#include "tests/support/test_host.h"

namespace mcu_testing {

// Starts at `initial` and flips at each of `flips` (ascending print times).
class FlipSignal final : public sim::PinSignal {
 public:
  FlipSignal(int initial, std::vector<double> flips)
      : initial_(initial), flips_(std::move(flips)) {}
  int level(double t) const override {
    int level = initial_;
    for (double f : flips_)
      if (f <= t) level ^= 1;
    return level;
  }
  std::optional<double> next_change(double after, double until) const override {
    for (double f : flips_)
      if (f > after && f <= until) return f;
    return std::nullopt;
  }

 private:
  int initial_;
  std::vector<double> flips_;
};

inline const char* kTwoMcus =
    "[mcu]\nserial: /dev/ttyACM0\n"
    "[mcu mcu_box1]\nserial: /dev/ttyACM1\nrestart_method: command\n";

class McuHost : public ::testing::Test {
 protected:
  void start(const std::string& extra = "") { test_host.start(std::string(kTwoMcus) + extra); }
  sim::SimHost& host() { return test_host.host(); }
  sim::SimMcu& mcu(const std::string& name = "mcu") {
    return host().printer().lookup_object<sim::SimMcu>(name);
  }
  sim::SimPins& pins() { return host().printer().lookup_object<sim::SimPins>("pins"); }
  double now_print_time() { return mcu().estimated_print_time(host().reactor().monotonic()); }
  double eventtime(double print_time) { return mcu().print_time_to_clock_time(print_time); }

  testing_support::TestHost test_host;
};

}  // namespace mcu_testing
