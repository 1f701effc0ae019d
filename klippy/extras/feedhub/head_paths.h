// Where the box takes the print head: the cutter lever, the wiper, the purge positions of
// a failed extruder load and the parking spot. Scripts in absolute coordinates, mm and
// mm/min; the printer's axes must reach every X and Y they name (checked at start).
#pragma once

#include <string>
#include <vector>

#include "klippy/host/toolhead.h"

namespace feedhub {

// The head comes to the lever at X304, then strokes it twice.
inline constexpr const char* kCutterApproachScript = "G1 X304 F24000\nG1 Y20 F24000\n";
inline constexpr const char* kCutScript =
    "G1 Y4.5 F5000\nG4 P500\nG1 Y8 F9000\nG1 Y4.3 F1500\nG4 P500\nG1 Y20 F9000\n";
// Before it travels to the cutter, the head comes back into this Y band, so that it never
// crosses the wiper or the cutter lever sideways.
inline constexpr double kCutterApproachMaxY = 300.;
inline constexpr double kCutterApproachMinY = 25.;

inline constexpr const char* kFlushWipeScript =
    "M204 S10000\nG1 Y308 F10000\nG1 X80 F12000\nG1 Y314 F1500\nG1 Y316 F10000\n"
    "G1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\n"
    "G1 Y324 F1200\nG1 X95 F6000\nG1 Y308 F10000\nG1 X80 F12000\nG1 Y314 F1500\n"
    "G1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\n"
    "G1 Y314 F1500\nG1 Y324 F1200\nG1 X95 F12000\nG1 Y308 F10000\nG1 X80 F12000\n"
    "G1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\n"
    "G1 Y316 F10000\nG1 Y314 F1500\nG1 Y324 F1200\nG1 X95 F6000";
inline constexpr const char* kOozeWipeScript =
    "M204 S10000\nG1 X75 F12000\nG1 X58 Y318 F12000\nG1 X75 F12000\nG1 X58 Y324 F9000\n"
    "G1 Y318 F12000\nG1 X75 Y324 F9000\nG1 X95 F12000";

// Where filament that did not arrive at the extruder is purged, one pass after the other.
inline constexpr const char* kFirstTrashScript =
    "G1 Y300 F9000\nG1 X0 F9000\nG1 X0 Y0 F15000\nM400";
inline constexpr const char* kSecondTrashScript =
    "G1 X0 Y300 F15000\nG1 X35 F15000\nG1 Y305 F15000\nG1 X305 Y305 F15000\nM400";

// The head may only move once the printer is homed; the configuration's _CG28 homes it
// unless it is homed already.
inline constexpr const char* kHomeIfNeeded = "_CG28\n";
inline constexpr const char* kMoveToTrash = "_CG28\nMOVE_TO_TRASH\n";
inline constexpr const char* kParkHeadScript = "_CG28\nG1 X95 Y290\n";

// The X and Y a group of these scripts moves the head to.
struct HeadReach {
  std::string name;
  double min[2];
  double max[2];
};

// One entry per place: cutter, wiper, trash, park.
std::vector<HeadReach> box_head_reach();

// ConfigError naming every place the printer's axis limits (the toolhead's status
// axis_minimum/axis_maximum) leave out; kinematics without limits pass.
void check_head_reach(klippy::Toolhead& toolhead, double eventtime);

}  // namespace feedhub
