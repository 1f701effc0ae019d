// The print's extrusion between recorded box commands, put back on the replayed printer: a
// strand that the extruder grips moves with every print move, so a box command that finds
// it further along in the record must find it there in the model too.
#pragma once

#include <string>

#include "apps/feedbox/session.h"

namespace feedbox {

// Above this the replay moves the extruder no further between two commands: the strand's
// tip is long past the nozzle, and only the spool's remaining filament, which the replay
// does not know, would still change.
inline constexpr double kMaxReplayedExtrusionMm = 10000.0;

// What the replayed printer needs so that the print's extrusion can be put back: the
// record does not hold the hotend's temperature, and the print extruded hot.
std::string replay_printer_overrides();

// Moves the extruder by `distance_mm` (at most kMaxReplayedExtrusionMm either way), at a
// speed that ends the moves within `within_s` where the extruder allows, and waits for the
// G-code lock as the print's moves did. Returns the distance moved.
double replay_extrusion(Session& session, double distance_mm, double within_s);

}  // namespace feedbox
