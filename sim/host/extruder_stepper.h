// A stepper built from the stepper options of any section, that can follow an extruder's
// motion queue (the host's ExtruderStepper). Feed motors of the filament box are made so.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/motion.h"
#include "klippy/host/printer.h"
#include "sim/world/stepper.h"

namespace sim {

// Reads step_pin, dir_pin, enable_pin (pins are only read), microsteps, rotation_distance,
// full_steps_per_rotation, gear_ratio ("3:1" or "50:17, 80:20") and step_pulse_duration.
StepperParams read_stepper_params(klippy::ConfigSection& config);

class SimExtruderStepper final : public klippy::ExtruderStepper {
 public:
  // Registers the stepper with "stepper_enable" and SYNC_EXTRUDER_MOTION for the last word
  // of the section name.
  explicit SimExtruderStepper(klippy::ConfigSection& config);

  klippy::Stepper& stepper() override { return *stepper_; }
  // Coupling: the stepper follows the extruder's queue from the end of what is queued on
  // it, starting from the extruder's last position. Uncoupling: it stays where its motion
  // ends. CommandError "'<name>' is not a valid extruder." for anything but an extruder.
  void sync_to_extruder(const std::string& extruder_name) override;
  std::string synced_extruder() const override { return motion_queue_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

  const std::shared_ptr<SimStepper>& sim_stepper() const { return stepper_; }
  // Follows `trapq` (the queue of extruder `extruder_name`), whose last position is
  // `position_mm`.
  void follow(const std::string& extruder_name, const klippy::TrapqPtr& trapq, double position_mm);

 private:
  void cmd_SYNC_EXTRUDER_MOTION(klippy::GCodeCommand& gcmd);

  klippy::Printer& printer_;
  std::string short_name_;
  std::shared_ptr<SimStepper> stepper_;
  std::string motion_queue_;
  double pressure_advance_s_;
  double smooth_time_s_;
};

// What the host factory hands to modules that build a feed motor from their section.
std::shared_ptr<klippy::ExtruderStepper> make_extruder_stepper(klippy::ConfigSection& config);

}  // namespace sim
