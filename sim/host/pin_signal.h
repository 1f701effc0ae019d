// What drives the level of a simulated MCU input pin: a sensor of the filament world, a
// digital output of the same pin, or a fixed level. Levels are functions of print time, so
// an endstop or a button can find the exact time a level changes instead of polling.
#pragma once

#include <optional>

namespace sim {

class PinSignal {
 public:
  virtual ~PinSignal() = default;
  // Electrical level (before any inversion in the pin description) at `print_time`.
  virtual int level(double print_time) const = 0;
  // First print time in (after, until] at which the level differs from level(after), given
  // what is known now (queued moves, scheduled outputs). nullopt: no change in that window.
  virtual std::optional<double> next_change(double after, double until) const = 0;
};

// A pin nobody drives: constant level (pull-up reads 1, otherwise 0).
class ConstantSignal final : public PinSignal {
 public:
  explicit ConstantSignal(int level) : level_(level) {}
  int level(double) const override { return level_; }
  std::optional<double> next_change(double, double) const override { return std::nullopt; }

 private:
  int level_;
};

}  // namespace sim
