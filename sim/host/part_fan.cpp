#include "sim/host/part_fan.h"

#include <algorithm>

#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"

namespace sim {

SimPartFan::SimPartFan(klippy::ConfigSection& config)
    : max_power_(config.getfloat("max_power", 1., {.maxval = 1., .above = 0.})),
      off_below_(config.getfloat("off_below", 0., {.minval = 0., .maxval = 1.})) {
  config.get("pin");
  config.get("enable_pin", "");
  config.getfloat("cycle_time", 0.010, {.above = 0.});
  config.getboolean("hardware_pwm", false);
  config.getfloat("kick_start_time", 0.1, {.minval = 0.});
  config.getfloat("shutdown_speed", 0., {.minval = 0., .maxval = 1.});
  config.get("tachometer_pin", "");
  config.getint("tachometer_ppr", 2, {.minval = 1});
  config.getfloat("tachometer_poll_interval", 0.0015, {.above = 0.});
  auto& gcode = config.get_printer().lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command("M106", [this](klippy::GCodeCommand& gcmd) {
    const double value = gcmd.get_float("S", 255., {.minval = 0.}) / 255.;
    speed_ = std::clamp(value * max_power_, 0., max_power_);
    if (speed_ < off_below_) speed_ = 0.;
  });
  gcode.register_command("M107", [this](klippy::GCodeCommand&) { speed_ = 0.; });
}

std::optional<klippy::Value> SimPartFan::get_status(double /*eventtime*/) {
  return klippy::Value(klippy::Value::Dict{{"speed", speed_}, {"rpm", klippy::Value()}});
}

}  // namespace sim
