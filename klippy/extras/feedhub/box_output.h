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
  // A level change is scheduled this far ahead of the current print time...
  static constexpr double kScheduleLeadS = 0.01;
  // ...and two changes are never closer than this in print time.
  static constexpr double kMinSpacingS = 0.01;

  // The output is created without reserving the pin: the endstop on the same pin holds it.
  BoxOutput(klippy::ConfigSection& config, const std::string& pin);

  // Requests level 0.0 or 1.0. The current level sends nothing; a change too soon after
  // the previous one is dropped, and the next request for it tries again.
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
