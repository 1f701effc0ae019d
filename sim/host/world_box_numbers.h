// The filament world keeps each box's strands under the box's number in the host's
// configuration. Box detection may give a box another number (box 1 unplugged, box 2 is box 1
// now): the physical box keeps its spools and strands, so after the restart they move to
// where its new number puts them.
#pragma once

#include <optional>
#include <vector>

#include "klippy/host/config.h"
#include "sim/world/filament_world.h"

namespace sim {

// For each of the world's `boxes` box positions, the physical box (the number in its USB
// link) that the [mcu mcu_boxN] section of that position names; none where there is none.
std::vector<std::optional<int>> physical_boxes_in(klippy::ConfigSection& config, int boxes);

// `snapshot` with every box's spools and strands moved from the position `before` gave its
// physical box to the one `after` gives it. Boxes no longer configured keep their position
// if it is free, else take the first free one.
WorldSnapshot follow_box_numbers(const WorldSnapshot& snapshot,
                                 const std::vector<std::optional<int>>& before,
                                 const std::vector<std::optional<int>>& after, int slots_per_box);

}  // namespace sim
