// What the saved variables hold about the box at one number: once another box takes that
// number, acting on it would treat that box's spools as the old box's.
#pragma once

#include <string>
#include <vector>

#include "klippy/host/variables_file.h"

namespace feedscan {

// Keys about the slots of box `box` (from 1): each slot's state and tag data, the tool
// mappings that name one of them, and the extruder coupling and last loaded slot when
// they name one of them.
std::vector<std::string> saved_keys_of_box(const klippy::VariableMap& variables, int box);

}  // namespace feedscan
