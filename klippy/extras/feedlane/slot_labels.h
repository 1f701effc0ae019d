// Slot names and labels: "slot" + number in configuration and saved variables, box number
// and slot letter ("1A" to "4D") in messages to the user.
#pragma once

#include <array>
#include <string>

namespace feedlane {

inline constexpr int kMaxSlots = 16;
inline constexpr int kSlotsPerBox = 4;

inline constexpr std::array<const char*, kMaxSlots> kSlotLabels = {
    "1A", "1B", "1C", "1D", "2A", "2B", "2C", "2D", "3A", "3B", "3C", "3D", "4A", "4B", "4C", "4D"};

// Second word of a "feedlane slotN" section name ("slot5"); ConfigError naming the
// section when there is none.
std::string slot_name_of_section(const std::string& section_name);

// The slot number of "slot0" ... "slot15"; ConfigError naming `section_name` otherwise.
int slot_number_of(const std::string& slot_name, const std::string& section_name);

}  // namespace feedlane
