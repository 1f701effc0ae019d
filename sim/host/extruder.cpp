#include "sim/host/extruder.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "sim/host/heaters.h"
#include "sim/host/stepper_enable.h"

namespace sim {
namespace {

std::string format(const char* pattern, double a, double b) {
  char text[200];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

}  // namespace

SimExtruder::SimExtruder(klippy::ConfigSection& config)
    : printer_(config.get_printer()), name_(config.get_name()) {
  nozzle_diameter_mm_ = config.getfloat("nozzle_diameter", {}, {.above = 0.});
  const double filament_diameter_mm =
      config.getfloat("filament_diameter", {}, {.minval = nozzle_diameter_mm_});
  filament_area_mm2_ = std::numbers::pi * filament_diameter_mm * filament_diameter_mm / 4.;
  const double default_cross_section_mm2 = 4. * nozzle_diameter_mm_ * nozzle_diameter_mm_;
  max_extrude_ratio_ =
      config.getfloat("max_extrude_cross_section", default_cross_section_mm2, {.above = 0.}) /
      filament_area_mm2_;
  if (config.get_optional("max_extrude_only_velocity"))
    configured_max_e_velocity_ = config.getfloat("max_extrude_only_velocity", {}, {.above = 0.});
  if (config.get_optional("max_extrude_only_accel"))
    configured_max_e_accel_ = config.getfloat("max_extrude_only_accel", {}, {.above = 0.});
  max_e_dist_mm_ = config.getfloat("max_extrude_only_distance", 50., {.minval = 0.});
  config.getfloat("instantaneous_corner_velocity", 1., {.minval = 0.});
  pressure_advance_s_ = config.getfloat("pressure_advance", 0., {.minval = 0.});

  heater_ = std::make_shared<SimHeater>(config, kDefaultTimeConstant_s);
  heater_->set_gcode_id(name_ == "extruder" ? "T0" : "T" + name_.substr(8));
  if (config.get_optional("step_pin")) {
    stepper_ = std::make_shared<SimExtruderStepper>(config);
    stepper_->follow(name_, trapq_, 0.);
  } else {
    config.getfloat("pressure_advance_smooth_time", 0.040, {.maxval = 0.2, .above = 0.});
  }
  if (name_ == "extruder") {
    auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
    gcode.register_command("M104", [this](klippy::GCodeCommand& gcmd) { cmd_M104(gcmd, false); });
    gcode.register_command("M109", [this](klippy::GCodeCommand& gcmd) { cmd_M104(gcmd, true); });
  }
}

void SimExtruder::set_toolhead_limits(double max_velocity_mm_s, double max_accel_mm_s2) {
  const double default_ratio = 4. * nozzle_diameter_mm_ * nozzle_diameter_mm_ / filament_area_mm2_;
  max_e_velocity_mm_s_ = configured_max_e_velocity_.value_or(max_velocity_mm_s * default_ratio);
  max_e_accel_mm_s2_ = configured_max_e_accel_.value_or(max_accel_mm_s2 * default_ratio);
}

void SimExtruder::check_move(PlannedMove& move, double eventtime) const {
  const double axis_r = move.axes_r[3];
  if (!heater_->can_extrude(eventtime))
    throw klippy::CommandError(
        "Extrude below minimum temp\nSee the 'min_extrude_temp' config option for details");
  if (!move.is_kinematic || axis_r < 0.) {
    if (std::abs(move.axes_d[3]) > max_e_dist_mm_)
      throw klippy::CommandError(
          format("Extrude only move too long (%.3fmm vs %.3fmm)\nSee the "
                 "'max_extrude_only_distance' config option for details",
                 move.axes_d[3], max_e_dist_mm_));
    const double inv_extrude_r = 1. / std::abs(axis_r);
    move.limit_speed(max_e_velocity_mm_s_ * inv_extrude_r, max_e_accel_mm_s2_ * inv_extrude_r);
  } else if (axis_r > max_extrude_ratio_) {
    // A tiny amount extruded over a short move is let through, as the host does.
    if (move.axes_d[3] <= nozzle_diameter_mm_ * max_extrude_ratio_) return;
    throw klippy::CommandError(
        format("Move exceeds maximum extrusion (%.3fmm^2 vs %.3fmm^2)\nSee the "
               "'max_extrude_cross_section' config option for details",
               axis_r * filament_area_mm2_, max_extrude_ratio_ * filament_area_mm2_));
  }
}

void SimExtruder::append_move(double print_time, const PlannedMove& move) {
  const double axis_r = move.axes_r[3];
  trapq_->append(print_time, move.accel_t, move.cruise_t, move.decel_t, {move.start_pos[3], 0., 0.},
                 {1., 0., 0.}, 0., move.cruise_v * axis_r, move.accel_mm_s2 * axis_r);
  last_position_mm_ = move.end_pos[3];
  printer_.lookup_object<SimStepperEnable>(SimStepperEnable::kName)
      .enable_followers(trapq_.get(), print_time);
}

void SimExtruder::finalize_moves(double print_time, double clear_history_time) {
  trapq_->finalize_moves(print_time, clear_history_time);
}

void SimExtruder::cmd_M104(klippy::GCodeCommand& gcmd, bool wait) {
  const double degrees = gcmd.get_float("S", 0.);
  klippy::Extruder* extruder = nullptr;
  if (gcmd.has("T")) {
    const long long index = gcmd.get_int("T", {}, {.minval = 0});
    const std::string section = index ? "extruder" + std::to_string(index) : "extruder";
    extruder = printer_.lookup_object_or_null<klippy::Extruder>(section);
    if (!extruder) {
      if (degrees <= 0.) return;
      throw gcmd.error("Extruder not configured");
    }
  } else {
    extruder = &printer_.lookup_object<klippy::Toolhead>("toolhead").get_extruder();
  }
  auto* heater = dynamic_cast<SimHeater*>(&extruder->get_heater());
  if (!heater) throw gcmd.error("Extruder '" + extruder->get_name() + "' has no heater");
  printer_.lookup_object<SimHeaters>(SimHeaters::kName).set_temperature(*heater, degrees, wait);
}

std::optional<klippy::Value> SimExtruder::get_status(double eventtime) {
  klippy::Value::Dict status = heater_->get_status(eventtime)->as_dict();
  status.emplace_back("can_extrude", heater_->can_extrude(eventtime));
  if (stepper_) {
    const klippy::Value stepper_status = *stepper_->get_status(eventtime);
    for (const auto& entry : stepper_status.as_dict()) status.push_back(entry);
  } else {
    status.emplace_back("pressure_advance", pressure_advance_s_);
  }
  return klippy::Value(status);
}

}  // namespace sim
