#include "sim/host/stepper_enable.h"

#include "klippy/host/toolhead.h"
#include "sim/host/environment.h"

namespace sim {
namespace {

// The host lets the motors come to a stop before releasing them, and waits as long again.
constexpr double kDisableStallTime_s = 0.1;

}  // namespace

void SimEnableLine::motor_enable(double print_time) {
  if (enabled_) return;
  enabled_ = true;
  changed_at_ = print_time;
}

void SimEnableLine::motor_disable(double print_time) {
  if (!enabled_) return;
  enabled_ = false;
  changed_at_ = print_time;
}

SimStepperEnable::SimStepperEnable(klippy::Printer& printer) : printer_(printer) {
  auto& gcode = printer.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command("M84", [this](klippy::GCodeCommand&) { cmd_M84(); });
  gcode.register_command("M18", [this](klippy::GCodeCommand&) { cmd_M84(); });
}

klippy::StepperEnableLine& SimStepperEnable::lookup_enable(const std::string& stepper_name) {
  auto it = steppers_.find(stepper_name);
  if (it == steppers_.end()) throw klippy::CommandError("Unknown stepper '" + stepper_name + "'");
  return *it->second.line;
}

void SimStepperEnable::register_stepper(std::shared_ptr<SimStepper> stepper) {
  const std::string name = stepper->get_name();
  steppers_[name] = Entry{std::move(stepper), std::make_unique<SimEnableLine>()};
}

std::shared_ptr<SimStepper> SimStepperEnable::find_stepper(const std::string& name) const {
  auto it = steppers_.find(name);
  return it == steppers_.end() ? nullptr : it->second.stepper;
}

std::vector<std::string> SimStepperEnable::stepper_names() const {
  std::vector<std::string> names;
  for (const auto& [name, entry] : steppers_) names.push_back(name);
  return names;
}

void SimStepperEnable::enable_followers(const klippy::Trapq* trapq, double print_time) {
  if (!trapq) return;
  for (auto& [name, entry] : steppers_) {
    if (entry.stepper->get_trapq().get() == trapq) entry.line->motor_enable(print_time);
  }
}

void SimStepperEnable::drop_history_before(double print_time) {
  for (auto& [name, entry] : steppers_) entry.stepper->drop_history_before(print_time);
}

void SimStepperEnable::disable_all(double print_time) {
  for (auto& [name, entry] : steppers_) entry.line->motor_disable(print_time);
}

void SimStepperEnable::cmd_M84() {
  auto* toolhead = printer_.lookup_object_or_null<klippy::Toolhead>("toolhead");
  if (!toolhead) {
    const auto& env = printer_.lookup_object<SimEnvironment>(SimEnvironment::kName);
    disable_all(env.clock().print_time(printer_.get_reactor().monotonic()));
    return;
  }
  toolhead->dwell(kDisableStallTime_s);
  disable_all(toolhead->get_last_move_time());
  printer_.send_event("stepper_enable:motor_off");
  toolhead->dwell(kDisableStallTime_s);
}

std::optional<klippy::Value> SimStepperEnable::get_status(double /*eventtime*/) {
  klippy::Value::Dict states;
  for (const auto& [name, entry] : steppers_)
    states.emplace_back(name, entry.line->is_motor_enabled());
  return klippy::Value(klippy::Value::Dict{{"steppers", states}});
}

}  // namespace sim
