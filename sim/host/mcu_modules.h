// The simulated micro-controllers and what hangs off their pins, offered as modules: [mcu],
// [mcu NAME], [led NAME], [filament_motion_sensor NAME], [hall_filament_width_sensor], and
// the objects every printer has: "pins", "buttons" and "query_endstops".
#pragma once

#include <vector>

#include "klippy/host/module.h"

namespace sim {

std::vector<klippy::ExtraModule> mcu_modules();

}  // namespace sim
