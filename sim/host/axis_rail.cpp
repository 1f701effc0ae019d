#include "sim/host/axis_rail.h"

#include "klippy/host/printer.h"
#include "sim/host/extruder_stepper.h"
#include "sim/host/pins.h"

namespace sim {
namespace {

void read_homing_options(klippy::ConfigSection& config, const AxisRail& rail) {
  const double homing_speed = config.getfloat("homing_speed", 5., {.above = 0.});
  config.getfloat("second_homing_speed", homing_speed / 2., {.above = 0.});
  config.getfloat("homing_retract_speed", homing_speed, {.above = 0.});
  config.getfloat("homing_retract_dist", 5., {.minval = 0.});
  if (config.get_optional("homing_positive_dir")) {
    const bool positive = config.getboolean("homing_positive_dir", false);
    if ((positive && rail.position_endstop_mm == rail.position_min_mm) ||
        (!positive && rail.position_endstop_mm == rail.position_max_mm))
      throw klippy::ConfigError("Invalid homing_positive_dir / position_endstop in '" + rail.name +
                                "'");
    return;
  }
  // Without the option the direction follows from where the endstop sits.
  const double length = rail.position_max_mm - rail.position_min_mm;
  if (rail.position_endstop_mm > rail.position_min_mm + length / 4. &&
      rail.position_endstop_mm < rail.position_max_mm - length / 4.)
    throw klippy::ConfigError("Unable to infer homing_positive_dir in section '" + rail.name + "'");
}

}  // namespace

AxisRail read_axis_rail(klippy::ConfigSection& config) {
  auto& pins = config.get_printer().lookup_object<SimPins>("pins");
  AxisRail rail;
  rail.name = config.get_name();
  const StepperParams stepper = read_stepper_params(config);
  if (stepper.full_steps_per_rotation % 4)
    throw klippy::ConfigError("full_steps_per_rotation invalid in section '" + rail.name + "'");
  pins.lookup_pin_option(config, "endstop_pin", true, true);
  rail.position_endstop_mm = config.getfloat("position_endstop", {}, {});
  rail.position_min_mm = config.getfloat("position_min", 0., {});
  rail.position_max_mm = config.getfloat("position_max", {}, {.above = rail.position_min_mm});
  if (rail.position_endstop_mm < rail.position_min_mm ||
      rail.position_endstop_mm > rail.position_max_mm)
    throw klippy::ConfigError("position_endstop in section '" + rail.name +
                              "' must be between position_min and position_max");
  read_homing_options(config, rail);
  return rail;
}

std::array<AxisRail, 3> read_cartesian_rails(klippy::ConfigSection& printer_config) {
  std::array<AxisRail, 3> rails;
  const char* names[] = {"stepper_x", "stepper_y", "stepper_z"};
  for (int axis = 0; axis < 3; ++axis)
    rails[axis] = read_axis_rail(printer_config.getsection(names[axis]));
  return rails;
}

}  // namespace sim
