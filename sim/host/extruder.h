// The extruder ("extruder"): its own motion queue for E (axis 0), its stepper and its
// heater, the extrusion limits the host applies, and M104/M109.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"
#include "sim/host/extruder_stepper.h"
#include "sim/host/heater.h"
#include "sim/host/toolhead_move.h"
#include "sim/world/trapq.h"

namespace sim {

class SimHeaters;

class SimExtruder final : public klippy::Extruder {
 public:
  static constexpr double kDefaultTimeConstant_s = 30.;

  explicit SimExtruder(klippy::ConfigSection& config);

  const std::string& get_name() const override { return name_; }
  klippy::Heater& get_heater() override { return *heater_; }
  klippy::TrapqPtr get_trapq() override { return trapq_; }
  // E position (toolhead coordinates) at the end of the last queued move.
  double last_position() const override { return last_position_mm_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

  SimHeater& heater() { return *heater_; }
  const std::shared_ptr<SimTrapq>& sim_trapq() const { return trapq_; }
  // The stepper of the extruder's own section; nullptr when it has no step_pin.
  SimExtruderStepper* extruder_stepper() { return stepper_.get(); }

  // Extrude-only limits default to the toolhead's limits scaled by the nozzle's cross
  // section, as the host derives them when it builds the extruder.
  void set_toolhead_limits(double max_velocity_mm_s, double max_accel_mm_s2);
  // Refuses (CommandError) what the host refuses: extruding while cold, too long
  // extrude-only moves, over-extrusion; otherwise lowers the move's speed to the limits.
  void check_move(PlannedMove& move, double eventtime) const;
  // Queues the E part of `move` starting at `print_time`.
  void append_move(double print_time, const PlannedMove& move);
  void finalize_moves(double print_time, double clear_history_time);

 private:
  void cmd_M104(klippy::GCodeCommand& gcmd, bool wait);

  klippy::Printer& printer_;
  std::string name_;
  std::shared_ptr<SimTrapq> trapq_ = std::make_shared<SimTrapq>();
  std::shared_ptr<SimHeater> heater_;
  std::shared_ptr<SimExtruderStepper> stepper_;
  double nozzle_diameter_mm_;
  double filament_area_mm2_;
  double max_extrude_ratio_;
  std::optional<double> configured_max_e_velocity_;
  std::optional<double> configured_max_e_accel_;
  double max_e_velocity_mm_s_ = 0.;
  double max_e_accel_mm_s2_ = 0.;
  double max_e_dist_mm_;
  double pressure_advance_s_;
  double last_position_mm_ = 0.;
};

}  // namespace sim
