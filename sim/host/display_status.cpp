#include "sim/host/display_status.h"

#include <algorithm>

#include "klippy/host/printer.h"

namespace sim {
namespace {

// As in the real host: a progress set by M73 holds for this long, then the print job's own
// progress shows again unless a print is running.
constexpr double kM73TimeoutS = 5.0;

}  // namespace

SimDisplayStatus::SimDisplayStatus(klippy::ConfigSection& config) : printer_(config.get_printer()) {
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command("M73", [this](klippy::GCodeCommand& gcmd) { cmd_M73(gcmd); });
  gcode.register_command("M117", [this](klippy::GCodeCommand& gcmd) { cmd_M117(gcmd); });
  gcode.register_command(
      "SET_DISPLAY_TEXT", [this](klippy::GCodeCommand& gcmd) { cmd_SET_DISPLAY_TEXT(gcmd); },
      "Set or clear the display message");
}

std::optional<klippy::Value> SimDisplayStatus::get_status(double eventtime) {
  if (progress_ && eventtime > progress_expires_) {
    klippy::PrinterObject* idle = printer_.find_object("idle_timeout");
    const std::optional<klippy::Value> idle_status =
        idle ? idle->get_status(eventtime) : std::nullopt;
    const klippy::Value* state = idle_status ? idle_status->find("state") : nullptr;
    if (!state || state->str() != "Printing") progress_.reset();
  }
  double progress = 0.0;
  if (progress_) {
    progress = *progress_;
  } else if (klippy::PrinterObject* sdcard = printer_.find_object("virtual_sdcard")) {
    const std::optional<klippy::Value> status = sdcard->get_status(eventtime);
    const klippy::Value* value = status ? status->find("progress") : nullptr;
    if (value && value->is_number()) progress = value->as_float();
  }
  return klippy::Value(klippy::Value::Dict{
      {"progress", progress},
      {"message", message_ ? klippy::Value(*message_) : klippy::Value()},
  });
}

void SimDisplayStatus::cmd_M73(klippy::GCodeCommand& gcmd) {
  if (!gcmd.has("P")) return;
  progress_ = std::clamp(gcmd.get_float("P") / 100.0, 0.0, 1.0);
  progress_expires_ = printer_.get_reactor().monotonic() + kM73TimeoutS;
}

void SimDisplayStatus::cmd_M117(klippy::GCodeCommand& gcmd) {
  // The whole rest of the line is the message, as the host reads it.
  const std::string& line = gcmd.get_commandline();
  std::size_t start = line.find_first_of(" \t");
  start = start == std::string::npos ? line.size() : line.find_first_not_of(" \t", start);
  if (start == std::string::npos || start >= line.size())
    message_.reset();
  else
    message_ = line.substr(start);
}

void SimDisplayStatus::cmd_SET_DISPLAY_TEXT(klippy::GCodeCommand& gcmd) {
  if (gcmd.has("MSG"))
    message_ = gcmd.get("MSG");
  else
    message_.reset();
}

}  // namespace sim
