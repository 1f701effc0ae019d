// The box's own log, printer_data/logs/box.log: what the box did and why, apart from the
// host's busy log, rotated by size so that it never fills an SD card. Its lines reach the
// host's log as well.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace bridge {

// The Python logger the box writes to.
pybind11::object box_logger();
// Starts writing box_logger()'s lines to `path` (and its rotated copies) from a background
// thread, so that a slow disk never holds up the host; ends the file of a host before a
// restart. A log folder that is missing (printer_data/logs is Moonraker's; the base folder
// is wrong without it) or cannot be written leaves the box logging into the host's log only,
// and says so there.
void open_box_log(const std::string& path);
// Writes out what is queued and closes the file (the host stops or restarts).
void close_box_log();

}  // namespace bridge
