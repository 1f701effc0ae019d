// A box sensor used as a homing endstop on a box MCU pin, with the flag through which the
// motion monitor tells the homing code that it forced the endstop.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/mcu.h"

namespace feedhub {

// (endstop, name) pairs: the form in which homing code takes endstops.
using EndstopList = std::vector<std::pair<klippy::McuEndstop*, std::string>>;

class BoxEndstop {
 public:
  // `reuse` creates the endstop straight on the pin's MCU without reserving the pin, for a
  // pin that another component (the slot's runout button) already holds. The endstop is
  // registered with the host's endstop query under `name`.
  BoxEndstop(klippy::ConfigSection& config, std::string name, const std::string& pin,
             bool reuse = false);

  // The stepper stops when this endstop trips during a homing move.
  void add_stepper(klippy::Stepper& stepper) { endstop_->add_stepper(stepper); }
  const EndstopList& get_endstops() const { return endstops_; }
  klippy::McuEndstop& endstop() { return *endstop_; }
  const std::string& name() const { return endstops_.front().second; }

  // True between an abort by the motion monitor and the homing code's reset after the move.
  bool scram() const { return scram_; }
  void set_scram(bool value) { scram_ = value; }

 private:
  std::unique_ptr<klippy::McuEndstop> endstop_;
  EndstopList endstops_;
  bool scram_ = false;
};

}  // namespace feedhub
