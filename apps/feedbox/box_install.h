// The box files inside the simulator's data folder, as a printer of `feedbox run` finds them.
#pragma once

#include "sim/host/printer.h"

namespace feedbox {

// Writes the templates, the per-box files and the flashing script where they are missing,
// and the live box configuration from the template for `boxes` boxes.
void install_box_files(const sim::SimPrinter& printer, int boxes);

}  // namespace feedbox
