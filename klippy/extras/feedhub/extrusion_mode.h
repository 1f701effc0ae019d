// The box's purges extrude relative to wherever the filament stands; a print may extrude
// absolute. These scripts switch to relative extrusion and afterwards give the print back
// its mode and its E coordinate, so that its next absolute E value is not read as a huge
// retraction.
#pragma once

#include <string>

#include "klippy/host/toolhead.h"

namespace feedhub {

struct ExtrusionMode {
  bool absolute = false;
  double e_mm = 0.;  // E as the print's G-code sees it
};

// What the G-code move object says now; relative at E 0 when it says nothing.
ExtrusionMode extrusion_mode(klippy::GCodeMove& gcode_move, double eventtime);
// The lines that bring back `mode` after relative extrusions.
std::string restore_extrusion(const ExtrusionMode& mode);
// `script` run in relative extrusion, followed by the lines that bring back `mode`.
std::string with_relative_extrusion(const std::string& script, const ExtrusionMode& mode);

}  // namespace feedhub
