#include "sim/host/restart_commands.h"

#include "klippy/host/toolhead.h"

namespace sim {
namespace {

// As the host does: tell every object, let queued moves finish, then end the run.
void request_restart(klippy::Printer& printer, const std::string& result) {
  if (auto* toolhead = printer.lookup_object_or_null<klippy::Toolhead>("toolhead")) {
    toolhead->get_last_move_time();
    printer.send_event("gcode:request_restart");
    toolhead->dwell(0.5);
    toolhead->wait_moves();
  } else {
    printer.send_event("gcode:request_restart");
  }
  printer.request_exit(result);
}

}  // namespace

void register_restart_commands(klippy::Printer& printer, klippy::GCodeDispatch& gcode) {
  gcode.register_command(
      "RESTART", [&printer](klippy::GCodeCommand&) { request_restart(printer, "restart"); },
      "Reload the configuration and restart the host");
  gcode.register_command(
      "FIRMWARE_RESTART",
      [&printer](klippy::GCodeCommand&) { request_restart(printer, "firmware_restart"); },
      "Restart the micro-controllers and the host");
}

}  // namespace sim
