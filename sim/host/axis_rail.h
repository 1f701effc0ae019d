// The rail of one cartesian axis ([stepper_x], [stepper_y], [stepper_z]): its stepper and
// endstop pins and the range the toolhead may move it in once it is homed.
#pragma once

#include <array>
#include <string>

#include "klippy/host/config.h"

namespace sim {

struct AxisRail {
  std::string name;  // full section name
  double position_min_mm = 0.;
  double position_max_mm = 0.;
  double position_endstop_mm = 0.;
};

// Reads a rail's section as the host does, with its option errors: step_pin, dir_pin,
// rotation_distance, microsteps, endstop_pin, position_endstop and position_max are
// required. The pins are reserved, so that no other section may drive them.
AxisRail read_axis_rail(klippy::ConfigSection& config);

// [stepper_x], [stepper_y] and [stepper_z], missing sections failing on their first
// required option.
std::array<AxisRail, 3> read_cartesian_rails(klippy::ConfigSection& printer_config);

}  // namespace sim
