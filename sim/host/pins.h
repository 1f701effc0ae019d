// The pin registry: parses "[^|~][!][chip:]pin" descriptions against the simulated MCUs and
// reserves pins, so that two sections cannot drive or read the same pin by accident.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/mcu.h"
#include "sim/host/pin_signal.h"

namespace sim {

class SimMcu;

class SimPins final : public klippy::PrinterPins {
 public:
  // Errors: "Unknown pin chip name '<chip>'", "Invalid pin description '<desc>'", and
  // "Pin '<desc>' does not support pullup|invert" when the user may not ask for it.
  klippy::PinParams parse_pin(const std::string& pin_desc, bool can_invert = false,
                              bool can_pullup = false) override;
  // Parses and reserves the pin. Users of the same `share_type` (non-empty) may share it, as
  // may every user of a pin passed to allow_multi_use_pin; otherwise a second reservation
  // fails with "pin <pin> used multiple times in config".
  klippy::PinParams lookup_pin(const std::string& pin_desc, bool can_invert = false,
                               bool can_pullup = false, const std::string& share_type = "");
  // The same, for the pin named by option `option` of `config`; errors name the section.
  klippy::PinParams lookup_pin_option(klippy::ConfigSection& config, const std::string& option,
                                      bool can_invert, bool can_pullup,
                                      const std::string& share_type = "");
  void allow_multi_use_pin(const std::string& pin_desc);

  std::unique_ptr<klippy::McuEndstop> setup_endstop(const std::string& pin_desc) override;
  std::unique_ptr<klippy::McuDigitalOut> setup_digital_out(const std::string& pin_desc) override;

  // The world drives the pin of `pin_desc` (e.g. "mcu_box1:PA3"; '^', '~' and '!' are
  // ignored) with `signal`; see SimMcu::attach_signal.
  void attach_signal(const std::string& pin_desc, std::shared_ptr<PinSignal> signal);

  void register_chip(const std::string& chip_name, SimMcu& mcu);
  SimMcu& chip(const std::string& chip_name) const;
  // The simulated MCU behind parsed pin parameters.
  static SimMcu& sim_chip(const klippy::PinParams& pin);

 private:
  struct Reservation {
    klippy::PinParams params;
    std::string share_type;
  };

  std::map<std::string, SimMcu*> chips_;
  std::map<std::string, Reservation> active_;  // keyed "chip:pin"
  std::set<std::string> multi_use_;
};

}  // namespace sim
