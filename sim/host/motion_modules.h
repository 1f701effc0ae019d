// The toolhead, extruders, heaters, fan and stepper services of the simulated printer,
// offered to the printer as modules.
#pragma once

#include <vector>

#include "klippy/host/module.h"

namespace sim {

// "printer" ([printer] settings; the toolhead and "gcode_move" are built once every section
// has loaded, as the host does), "extruder", "heater_generic", "extruder_stepper", "fan" and
// the always present "heaters" and "stepper_enable".
std::vector<klippy::ExtraModule> motion_modules();

}  // namespace sim
