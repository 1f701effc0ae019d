#include "klippy/extras/feedlane/slot_sections.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/errors.h"

namespace feedlane {
namespace {

klippy::ConfigError bad_section(const std::string& section_name) {
  return klippy::ConfigError("Section '" + section_name +
                             "' names no slot of the filament boxes; name it 'feedlane slot0' "
                             "to 'feedlane slot15'");
}

}  // namespace

std::string slot_name_of_section(const std::string& section_name) {
  std::istringstream words(section_name);
  std::string first, second;
  if (!(words >> first >> second)) throw bad_section(section_name);
  return second;
}

int slot_number_of(const std::string& slot_name, const std::string& section_name) {
  const std::string prefix = "slot";
  if (slot_name.rfind(prefix, 0) != 0) throw bad_section(section_name);
  const std::string digits = slot_name.substr(prefix.size());
  // Only the plain spelling: "slot05" would be another object name than "slot5".
  if (digits.empty() || digits.size() > 2 ||
      !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
    throw bad_section(section_name);
  const int number = std::stoi(digits);
  if (number >= feedhub::kMaxSlots || std::to_string(number) != digits)
    throw bad_section(section_name);
  return number;
}

}  // namespace feedlane
