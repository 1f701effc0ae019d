#include "sim/host/filament_sensors.h"

#include <cmath>
#include <cstdio>

#include "klippy/host/components.h"
#include "klippy/host/toolhead.h"
#include "sim/host/environment.h"
#include "sim/host/mcu.h"
#include "sim/host/pins.h"

namespace sim {
namespace {

std::string last_word(const std::string& name) {
  const auto space = name.rfind(' ');
  return space == std::string::npos ? name : name.substr(space + 1);
}

double now_print_time(klippy::Printer& printer) {
  auto& env = printer.lookup_object<SimEnvironment>(SimEnvironment::kName);
  return env.clock().print_time(printer.get_reactor().monotonic());
}

}  // namespace

SimFilamentMotionSensor::SimFilamentMotionSensor(klippy::ConfigSection& config)
    : printer_(config.get_printer()), name_(last_word(config.get_name())) {
  const std::string switch_desc = config.get("switch_pin");
  detection_length_mm_ = config.getfloat("detection_length", 7.0, {{}, {}, 0., {}});
  extruder_name_ = config.get("extruder");
  pause_on_runout_ = config.getboolean("pause_on_runout", true);
  runout_gcode_ = config.get("runout_gcode", "");
  insert_gcode_ = config.get("insert_gcode", "");
  event_delay_s_ = config.getfloat("event_delay", 3.0, {.minval = 0.});
  pause_delay_s_ = config.getfloat("pause_delay", 0.5, {.above = 0.});
  auto& pins = printer_.lookup_object<SimPins>("pins");
  try {
    switch_pin_ = pins.parse_pin(switch_desc, true, true);
    mcu_ = &SimPins::sim_chip(switch_pin_);
    printer_.lookup_object<klippy::PrinterButtons>("buttons").register_buttons(
        {switch_desc}, [this](double eventtime, int) { on_toggle(eventtime); });
  } catch (const klippy::ConfigError& e) {
    throw klippy::ConfigError(std::string(e.what()) + " (option 'switch_pin' in section '" +
                              config.get_name() + "')");
  }
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_mux_command(
      "SET_FILAMENT_SENSOR", "SENSOR", name_,
      [this](klippy::GCodeCommand& g) { cmd_SET_FILAMENT_SENSOR(g); },
      "Sets the filament sensor on/off");
  gcode.register_mux_command(
      "QUERY_FILAMENT_SENSOR", "SENSOR", name_,
      [this](klippy::GCodeCommand& g) { cmd_QUERY_FILAMENT_SENSOR(g); },
      "Query the status of the Filament Sensor");
  printer_.register_event_handler("klippy:ready", [this] { handle_ready(); });
}

SimFilamentMotionSensor::~SimFilamentMotionSensor() {
  if (check_timer_) printer_.get_reactor().unregister_timer(check_timer_);
}

int SimFilamentMotionSensor::button_state() const {
  return mcu_->level(switch_pin_, now_print_time(printer_));
}

std::optional<klippy::Value> SimFilamentMotionSensor::get_status(double /*eventtime*/) {
  return klippy::Value(
      klippy::Value::Dict{{"filament_detected", filament_present_}, {"enabled", enabled_}});
}

void SimFilamentMotionSensor::handle_ready() {
  klippy::Reactor& reactor = printer_.get_reactor();
  extruder_ = printer_.lookup_object_or_null<klippy::Extruder>(extruder_name_);
  min_event_time_ = reactor.monotonic() + kStartupQuiet_s;
  if (auto position = extruder_position(reactor.monotonic()))
    runout_position_mm_ = *position + detection_length_mm_;
  if (extruder_)
    check_timer_ = reactor.register_timer([this](double t) { return check_extruder(t); },
                                          klippy::Reactor::NOW);
}

std::optional<double> SimFilamentMotionSensor::extruder_position(double eventtime) const {
  if (!extruder_) return std::nullopt;
  klippy::TrapqPtr queue = extruder_->get_trapq();
  if (!queue) return extruder_->last_position();
  return queue->position_at(mcu_->estimated_print_time(eventtime))[0];
}

void SimFilamentMotionSensor::on_toggle(double eventtime) {
  if (auto position = extruder_position(eventtime))
    runout_position_mm_ = *position + detection_length_mm_;
  note_filament_present(eventtime, true);
}

double SimFilamentMotionSensor::check_extruder(double eventtime) {
  auto position = extruder_position(eventtime);
  if (position && runout_position_mm_)
    note_filament_present(eventtime, *position < *runout_position_mm_);
  return eventtime + kCheckInterval_s;
}

void SimFilamentMotionSensor::note_filament_present(double eventtime, bool present) {
  if (present == filament_present_) return;
  filament_present_ = present;
  if (!enabled_ || eventtime < min_event_time_) return;
  // One event at a time; the next is accepted event_delay after this one ends.
  min_event_time_ = klippy::Reactor::NEVER;
  printer_.get_reactor().register_callback([this, present](double) {
    run_event_gcode(present);
    min_event_time_ = printer_.get_reactor().monotonic() + event_delay_s_;
    return klippy::Value();
  });
}

void SimFilamentMotionSensor::run_event_gcode(bool present) {
  auto* stats = printer_.lookup_object_or_null<klippy::PrintStats>("print_stats");
  const bool printing = stats && stats->state() == "printing";
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  std::string script;
  if (!present && printing) {
    if (pause_on_runout_) {
      gcode.run_script("PAUSE");
      klippy::Reactor& reactor = printer_.get_reactor();
      reactor.pause(reactor.monotonic() + pause_delay_s_);
    }
    script = runout_gcode_;
  } else if (present && !printing) {
    script = insert_gcode_;
  }
  if (script.empty()) return;
  try {
    gcode.run_script(script);
  } catch (const klippy::CommandError& e) {
    printer_.log().error("Filament sensor " + name_ + ": event script failed: " + e.what());
  }
}

void SimFilamentMotionSensor::cmd_SET_FILAMENT_SENSOR(klippy::GCodeCommand& gcmd) {
  enabled_ = gcmd.get_int("ENABLE", 1, {0, 1}) != 0;
}

void SimFilamentMotionSensor::cmd_QUERY_FILAMENT_SENSOR(klippy::GCodeCommand& gcmd) {
  gcmd.respond_info("Filament Sensor " + name_ + ": filament " +
                    (filament_present_ ? "detected" : "not detected"));
}

}  // namespace sim
