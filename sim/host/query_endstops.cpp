#include "sim/host/query_endstops.h"

#include "klippy/host/toolhead.h"

namespace sim {

SimQueryEndstops::SimQueryEndstops(klippy::Printer& printer) : printer_(printer) {
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  auto handler = [this](klippy::GCodeCommand& gcmd) { cmd_QUERY_ENDSTOPS(gcmd); };
  gcode.register_command("QUERY_ENDSTOPS", handler, "Report on the status of each endstop");
  gcode.register_command("M119", handler);
}

void SimQueryEndstops::register_endstop(klippy::McuEndstop& endstop, const std::string& name) {
  endstops_.emplace_back(name, &endstop);
}

double SimQueryEndstops::query_time(klippy::McuEndstop& endstop) {
  if (auto* toolhead = printer_.lookup_object_or_null<klippy::Toolhead>("toolhead"))
    return toolhead->get_last_move_time();
  return endstop.get_mcu().estimated_print_time(printer_.get_reactor().monotonic());
}

void SimQueryEndstops::cmd_QUERY_ENDSTOPS(klippy::GCodeCommand& gcmd) {
  last_state_.clear();
  std::string text;
  for (auto& [name, endstop] : endstops_) {
    const bool triggered = endstop->query_endstop(query_time(*endstop));
    last_state_.emplace_back(name, triggered);
    text += (text.empty() ? "" : " ") + name + (triggered ? ":TRIGGERED" : ":open");
  }
  gcmd.respond_info(text);
}

std::optional<klippy::Value> SimQueryEndstops::get_status(double /*eventtime*/) {
  klippy::Value::Dict last;
  for (const auto& [name, triggered] : last_state_) last.emplace_back(name, triggered);
  return klippy::Value(klippy::Value::Dict{{"last_query", klippy::Value(std::move(last))}});
}

}  // namespace sim
