#include "sim/host/extruder_stepper.h"

#include <cstdlib>
#include <limits>
#include <sstream>

#include "sim/host/environment.h"
#include "sim/host/extruder.h"
#include "sim/host/pins.h"
#include "sim/host/stepper_distance.h"
#include "sim/host/stepper_enable.h"

namespace sim {
namespace {

std::string last_word(const std::string& section) {
  auto space = section.rfind(' ');
  return space == std::string::npos ? section : section.substr(space + 1);
}

}  // namespace

StepperParams read_stepper_params(klippy::ConfigSection& config) {
  const std::string name = config.get_name();
  // Reserved as the host does, so that two steppers on one step pin fail at start.
  auto& pins = config.get_printer().lookup_object<SimPins>("pins");
  const klippy::PinParams step = pins.lookup_pin_option(config, "step_pin", true, false);
  const klippy::PinParams dir = pins.lookup_pin_option(config, "dir_pin", true, false);
  if (step.chip_name != dir.chip_name)
    throw klippy::ConfigError("Stepper dir pin must be on same mcu as step pin (section '" + name +
                              "'); put both on one MCU");
  if (config.get_optional("enable_pin"))
    pins.lookup_pin_option(config, "enable_pin", true, false, "stepper_enable");
  config.getfloat("step_pulse_duration", 0., {.minval = 0., .maxval = 0.001});
  return read_stepper_distance(config);
}

SimExtruderStepper::SimExtruderStepper(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      short_name_(last_word(config.get_name())),
      stepper_(std::make_shared<SimStepper>(read_stepper_params(config))),
      pressure_advance_s_(config.getfloat("pressure_advance", 0., {.minval = 0.})),
      smooth_time_s_(
          config.getfloat("pressure_advance_smooth_time", 0.040, {.maxval = 0.2, .above = 0.})) {
  printer_.lookup_object<SimStepperEnable>(SimStepperEnable::kName).register_stepper(stepper_);
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_mux_command(
      "SYNC_EXTRUDER_MOTION", "EXTRUDER", short_name_,
      [this](klippy::GCodeCommand& gcmd) { cmd_SYNC_EXTRUDER_MOTION(gcmd); },
      "Set extruder stepper motion queue");
}

void SimExtruderStepper::follow(const std::string& extruder_name, const klippy::TrapqPtr& trapq,
                                double position_mm) {
  stepper_->set_trapq(trapq);
  stepper_->set_position({position_mm, 0., 0.});
  motion_queue_ = extruder_name;
  if (auto* env = printer_.lookup_object_or_null<SimEnvironment>(SimEnvironment::kName))
    env->notify_changed();
}

void SimExtruderStepper::sync_to_extruder(const std::string& extruder_name) {
  if (extruder_name.empty()) {
    // Where the motor stands once the queue it follows has run out is where it stays.
    const double end_mm = stepper_->get_commanded_position(std::numeric_limits<double>::max());
    stepper_->set_trapq(nullptr);
    stepper_->set_position({end_mm, 0., 0.});
    motion_queue_.clear();
    if (auto* env = printer_.lookup_object_or_null<SimEnvironment>(SimEnvironment::kName))
      env->notify_changed();
    return;
  }
  auto* extruder = printer_.lookup_object_or_null<SimExtruder>(extruder_name);
  if (!extruder) throw klippy::CommandError("'" + extruder_name + "' is not a valid extruder.");
  follow(extruder_name, extruder->get_trapq(), extruder->last_position());
}

void SimExtruderStepper::cmd_SYNC_EXTRUDER_MOTION(klippy::GCodeCommand& gcmd) {
  const std::string queue = gcmd.get("MOTION_QUEUE");
  sync_to_extruder(queue);
  gcmd.respond_info("Extruder '" + short_name_ + "' now syncing with '" + queue + "'");
}

std::optional<klippy::Value> SimExtruderStepper::get_status(double /*eventtime*/) {
  return klippy::Value(klippy::Value::Dict{
      {"pressure_advance", pressure_advance_s_},
      {"smooth_time", smooth_time_s_},
      {"motion_queue", motion_queue_.empty() ? klippy::Value() : klippy::Value(motion_queue_)}});
}

std::shared_ptr<klippy::ExtruderStepper> make_extruder_stepper(klippy::ConfigSection& config) {
  return std::make_shared<SimExtruderStepper>(config);
}

}  // namespace sim
