// Entry point of the box detection plug-in: the host calls add_printer_objects at start.
#pragma once

#include "klippy/host/config.h"
#include "klippy/host/module.h"

namespace feedscan {

// Creates the detection object and registers it as "feedscan".
void add_printer_objects(klippy::ConfigSection& config);

klippy::ExtraModule feedscan_module();

}  // namespace feedscan
