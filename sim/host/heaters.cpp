#include "sim/host/heaters.h"

#include <algorithm>
#include <cstdio>

#include "klippy/host/toolhead.h"
#include "sim/host/heater.h"

namespace sim {
namespace {

constexpr double kReportInterval_s = 1.;

}  // namespace

SimHeaters::SimHeaters(klippy::Printer& printer) : printer_(printer) {
  auto& gcode = printer.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command(
      "TURN_OFF_HEATERS", [this](klippy::GCodeCommand&) { turn_off_all_heaters(); },
      "Turn off all heaters");
  gcode.register_command("M105", [this](klippy::GCodeCommand& gcmd) {
    gcmd.respond_raw(temperature_report(printer_.get_reactor().monotonic()));
  });
}

void SimHeaters::add_heater(SimHeater& heater) {
  for (const SimHeater* known : heaters_) {
    if (known->get_name() == heater.get_name())
      throw klippy::ConfigError("Heater " + heater.get_name() +
                                " already registered; give each heater section its own name");
  }
  heaters_.push_back(&heater);
}

SimHeater& SimHeaters::lookup_heater(const std::string& name) const {
  for (SimHeater* heater : heaters_) {
    if (heater->get_name() == name) return *heater;
  }
  throw klippy::ConfigError("Unknown heater '" + name + "'");
}

void SimHeaters::set_temperature(SimHeater& heater, double degrees, bool wait) {
  heater.set_temp(degrees);
  if (wait && degrees != 0.) wait_for_temperature(heater);
}

void SimHeaters::wait_for_temperature(SimHeater& heater) {
  klippy::Reactor& reactor = printer_.get_reactor();
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  auto* toolhead = printer_.lookup_object_or_null<klippy::Toolhead>("toolhead");
  double eventtime = reactor.monotonic();
  while (heater.can_wait() && heater.check_busy(eventtime)) {
    // As the host does: the printer counts as busy while it waits for a temperature.
    if (toolhead) toolhead->get_last_move_time();
    gcode.respond_raw(temperature_report(eventtime));
    eventtime = reactor.pause(eventtime + kReportInterval_s);
  }
}

void SimHeaters::turn_off_all_heaters() {
  for (SimHeater* heater : heaters_) heater->set_temp(0.);
}

std::string SimHeaters::temperature_report(double eventtime) const {
  std::vector<const SimHeater*> reported;
  for (const SimHeater* heater : heaters_) {
    if (!heater->gcode_id().empty()) reported.push_back(heater);
  }
  if (reported.empty()) return "T:0";
  std::sort(reported.begin(), reported.end(),
            [](const SimHeater* a, const SimHeater* b) { return a->gcode_id() < b->gcode_id(); });
  std::string out;
  for (const SimHeater* heater : reported) {
    auto [current, target] = heater->get_temp(eventtime);
    char text[96];
    std::snprintf(text, sizeof text, "%s:%.1f /%.1f", heater->gcode_id().c_str(), current, target);
    out += (out.empty() ? "" : " ") + std::string(text);
  }
  return out;
}

std::optional<klippy::Value> SimHeaters::get_status(double /*eventtime*/) {
  klippy::Value::List names;
  for (const SimHeater* heater : heaters_) names.emplace_back(heater->section_name());
  return klippy::Value(
      klippy::Value::Dict{{"available_heaters", names}, {"available_sensors", names}});
}

}  // namespace sim
