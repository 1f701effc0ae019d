// The box part of the simulator's printer configuration, for `feedbox run --boxes N`:
// one MCU per box, a slot feeder per slot, and the filament world's sensor pins and
// spools for those slots.
#pragma once

#include <string>

#include "klippy/extras/feedhub/slots.h"

namespace feedbox {

inline constexpr int kMaxBoxes = feedhub::kMaxBoxCount;
inline constexpr int kDefaultBoxes = 1;

// [mcu mcu_boxB], [feedlane slotN] and [feedtag card_reader_N] sections of boxes 1 to `boxes`, and
// with the first box the controller [feedhub] and its motion sensor (0 to 4 boxes; anything else
// throws klippy::ConfigError saying what is allowed). Goes after the printer's own sections.
std::string box_sections(int boxes);
// Options of the [filament_world] section for the same boxes: outlet, runout and card
// reader pins and a spool in every slot.
std::string box_world_options(int boxes);

}  // namespace feedbox
