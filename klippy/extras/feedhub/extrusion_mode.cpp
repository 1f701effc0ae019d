#include "klippy/extras/feedhub/extrusion_mode.h"

#include <cstdio>

namespace feedhub {
namespace {

const klippy::Value* fourth(const klippy::Value& position) {
  if (position.is_list() && position.as_list().size() > 3) return &position.as_list()[3];
  if (position.is_tuple() && position.as_tuple().size() > 3) return &position.as_tuple()[3];
  return nullptr;
}

}  // namespace

ExtrusionMode extrusion_mode(klippy::GCodeMove& gcode_move, double eventtime) {
  ExtrusionMode mode;
  const std::optional<klippy::Value> status = gcode_move.get_status(eventtime);
  if (!status) return mode;
  if (const klippy::Value* absolute = status->find("absolute_extrude"))
    mode.absolute = absolute->truthy();
  if (const klippy::Value* position = status->find("gcode_position")) {
    if (const klippy::Value* e = fourth(*position); e && e->is_number()) mode.e_mm = e->as_float();
  }
  return mode;
}

std::string restore_extrusion(const ExtrusionMode& mode) {
  char restore[64];
  std::snprintf(restore, sizeof restore, "G92 E%.5f\n%s", mode.e_mm, mode.absolute ? "M82" : "M83");
  return restore;
}

std::string with_relative_extrusion(const std::string& script, const ExtrusionMode& mode) {
  return "M83\n" + script + "\n" + restore_extrusion(mode);
}

}  // namespace feedhub
