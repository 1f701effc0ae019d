// A digital output of a simulated MCU. Its schedule of levels is the pin's level source, so
// an endstop or a button on the same pin sees each level from its print time on.
#pragma once

#include <map>
#include <memory>
#include <optional>

#include "klippy/host/mcu.h"
#include "sim/host/pin_signal.h"

namespace sim {

class SimMcu;

// Levels set at print times; before the first one, the start level.
class ScheduledSignal final : public PinSignal {
 public:
  explicit ScheduledSignal(int start_level) : start_level_(start_level) {}

  void set_start_level(int level) { start_level_ = level; }
  // A later schedule for the same print time replaces the earlier one.
  void schedule(double print_time, int level);
  int level(double print_time) const override;
  std::optional<double> next_change(double after, double until) const override;

 private:
  int start_level_;
  std::map<double, int> levels_;
};

class SimDigitalOut final : public klippy::McuDigitalOut {
 public:
  static constexpr double kDefaultMaxDuration_s = 2.0;

  SimDigitalOut(SimMcu& mcu, klippy::PinParams pin);

  // The firmware's watchdog on a stale output is not simulated; the duration only takes
  // part in the start/shutdown check made when the MCU configuration is built.
  void setup_max_duration(double max_duration_s) override;
  void setup_start_value(double start_value, double shutdown_value) override;
  void set_digital(double print_time, double value) override;

 private:
  void check_config() const;

  SimMcu& mcu_;
  klippy::PinParams pin_;
  std::shared_ptr<ScheduledSignal> signal_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  double max_duration_s_ = kDefaultMaxDuration_s;
  bool start_value_ = false;
  bool shutdown_value_ = false;
};

}  // namespace sim
