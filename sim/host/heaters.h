// The registry of every heater ("heaters"): temperature waits, the temperature report and the
// commands that act on all heaters at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"

namespace sim {

class SimHeater;

class SimHeaters final : public klippy::PrinterObject {
 public:
  static constexpr const char* kName = "heaters";

  // Registers TURN_OFF_HEATERS and M105.
  explicit SimHeaters(klippy::Printer& printer);

  // Heaters stay owned by their section's object, which the printer keeps alive longer
  // than any command that could use this registry.
  void add_heater(SimHeater& heater);
  // Configuration error "Unknown heater '<name>'" when none has that short name.
  SimHeater& lookup_heater(const std::string& name) const;
  // Sets the target; with `wait` (and a non-zero target) suspends the calling task until the
  // heater has settled or its waits are switched off, reporting temperatures every second.
  void set_temperature(SimHeater& heater, double degrees, bool wait);
  void turn_off_all_heaters();
  // "T0:25.0 /200.0 ..." for every heater with a G-code id; "T:0" when none has one.
  std::string temperature_report(double eventtime) const;
  std::optional<klippy::Value> get_status(double eventtime) override;

 private:
  void wait_for_temperature(SimHeater& heater);

  klippy::Printer& printer_;
  std::vector<SimHeater*> heaters_;
};

}  // namespace sim
