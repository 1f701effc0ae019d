// A digital output on a box sensor's endstop pin: the controller drives the pin level
// that the endstop of the same pin sees, so that a sensor read by the host can stop a
// homing move on the MCU.
#pragma once

#include <memory>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/mcu.h"
#include "klippy/host/reactor.h"

namespace feedhub {

class BoxOutput {
 public:
  // The host's minimum schedule time (MIN_SCHEDULE_TIME): a level change is scheduled
  // this far ahead, and two changes at least this far apart, as the host's own outputs
  // are. A command closer than that may reach a busy MCU after its time has passed, and
  // the MCU shuts down ("Timer too close").
  static constexpr double kMinScheduleS = 0.1;

  // The output is created without reserving the pin: the endstop on the same pin holds it.
  BoxOutput(klippy::ConfigSection& config, const std::string& pin);

  // Requests level 0.0 or 1.0. The current level sends nothing; a change too soon after
  // the previous one is scheduled for when the spacing allows.
  void set_pin(double value);

  double digital_out_value() const { return digital_out_value_; }
  // Print time of the last scheduled level change (0 before the first).
  double last_time() const { return last_time_; }

 private:
  klippy::Reactor& reactor_;
  // The printer's main MCU, only for converting reactor time to print time.
  klippy::Mcu& mcu_;
  std::unique_ptr<klippy::McuDigitalOut> digital_out_;
  double digital_out_value_ = 0.0;
  double last_time_ = 0.0;
};

}  // namespace feedhub
