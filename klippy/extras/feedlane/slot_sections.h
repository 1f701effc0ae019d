// The slot a "feedlane slotN" section configures.
#pragma once

#include <string>

namespace feedlane {

// Second word of a "feedlane slotN" section name ("slot5"); ConfigError naming the
// section when there is none.
std::string slot_name_of_section(const std::string& section_name);

// The slot number of "slot0" ... "slot15"; ConfigError naming `section_name` otherwise.
int slot_number_of(const std::string& slot_name, const std::string& section_name);

}  // namespace feedlane
