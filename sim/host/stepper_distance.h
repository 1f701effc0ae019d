// How far a stepper moves per step, from the options every stepper section has.
#pragma once

#include "klippy/host/config.h"
#include "sim/world/stepper.h"

namespace sim {

// Reads rotation_distance, microsteps, full_steps_per_rotation and gear_ratio ("3:1" or
// "50:17, 80:20"); ConfigError naming the section when one is malformed.
StepperParams read_stepper_distance(klippy::ConfigSection& config);

}  // namespace sim
