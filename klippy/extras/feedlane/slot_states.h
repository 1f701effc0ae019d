// Slot states, saved under the slot's name ("slot5") and shown by the slot LED.
#pragma once

namespace feedlane {

inline constexpr int kSlotEmpty = 0;            // the runout sensor sees no filament
inline constexpr int kSlotParkedInBox = 1;      // loaded into the box, parked behind the outlet
inline constexpr int kSlotInExtruder = 2;       // loaded into the extruder and coupled to it
inline constexpr int kSlotAtSensor = 3;         // at the slot sensor, or a move has started
inline constexpr int kSlotFailed = -1;          // a slot move failed, or nothing to unload
inline constexpr int kSlotExtruderFailed = -2;  // an extruder load or unload failed

}  // namespace feedlane
