// RESTART and FIRMWARE_RESTART: the host's commands that end its run so that it starts
// again, re-reading its configuration.
#pragma once

#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"

namespace sim {

void register_restart_commands(klippy::Printer& printer, klippy::GCodeDispatch& gcode);

}  // namespace sim
