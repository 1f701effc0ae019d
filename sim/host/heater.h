// A simulated heater with its temperature sensor. The temperature relaxes toward the target
// (or toward the ambient temperature when off) with a first-order lag, so heating up takes
// realistic virtual time and a temperature wait ends when the host's tolerance is met.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/reactor.h"
#include "klippy/host/toolhead.h"

namespace sim {

class SimHeaters;

class SimHeater final : public klippy::PrinterObject, public klippy::Heater {
 public:
  // Reads the heater and sensor options of `config` (pins are only read), registers
  // SET_HEATER_TEMPERATURE for the last word of the section name and joins "heaters".
  // `sim_time_constant` (seconds) and `sim_ambient_temp` shape the simulated response.
  SimHeater(klippy::ConfigSection& config, double default_time_constant_s);

  const std::string& get_name() const override { return name_; }
  // The configuration section the heater came from ("heater_generic heater_box1").
  const std::string& section_name() const { return section_name_; }
  // 0 always switches the heater off; other values must lie in [min_temp, max_temp].
  void set_temp(double degrees) override;
  std::pair<double, double> get_temp(double eventtime) const override;
  void set_can_wait(bool can_wait) override { can_wait_ = can_wait; }
  bool can_wait() const override { return can_wait_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

  // Whether a temperature wait on this heater has to go on (the host's settle tolerance).
  bool check_busy(double eventtime) const;
  bool can_extrude(double eventtime) const;
  double power(double eventtime) const;
  // The id shown in temperature reports ("T0"); empty: not reported.
  const std::string& gcode_id() const { return gcode_id_; }
  void set_gcode_id(std::string id) { gcode_id_ = std::move(id); }
  // Told of every target set, whoever set it. One observer at a time; empty removes it.
  void set_target_observer(std::function<void(double degrees)> observer) {
    target_observer_ = std::move(observer);
  }

 private:
  double temperature_at(double eventtime) const;

  klippy::Reactor& reactor_;
  SimHeaters& heaters_;
  std::string section_name_;
  std::string name_;
  std::string gcode_id_;
  double min_temp_c_;
  double max_temp_c_;
  double min_extrude_temp_c_;
  double max_power_;
  bool pid_control_;
  double max_delta_c_ = 2.;
  double ambient_c_;
  double time_constant_s_;
  double target_c_ = 0.;
  // The temperature at ref_time_; it relaxes toward the current target from there.
  double ref_time_;
  double ref_temp_c_;
  bool can_wait_ = true;
  std::function<void(double)> target_observer_;
};

}  // namespace sim
