#include "klippy/extras/feedhub/head_paths.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

#include "klippy/host/errors.h"
#include "klippy/host/value.h"

namespace feedhub {
namespace {

constexpr const char* kAxisLetters = "XY";

std::string mm_text(double mm) {
  std::ostringstream text;
  text << mm;
  return text.str();
}

// Widens `reach` by every X and Y word of the script's G1 lines.
void add_script(HeadReach& reach, const std::string& script) {
  std::istringstream lines(script);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word != "G1") continue;
    while (words >> word) {
      const char* axis = std::strchr(kAxisLetters, word[0]);
      if (!axis || word.size() < 2) continue;
      const int index = static_cast<int>(axis - kAxisLetters);
      const double mm = std::strtod(word.c_str() + 1, nullptr);
      reach.min[index] = std::min(reach.min[index], mm);
      reach.max[index] = std::max(reach.max[index], mm);
    }
  }
}

HeadReach reach_of(std::string name, const std::vector<std::string>& scripts) {
  HeadReach reach{std::move(name), {1e9, 1e9}, {-1e9, -1e9}};
  for (const auto& script : scripts) add_script(reach, script);
  return reach;
}

std::optional<double> axis_value(const klippy::Value& status, const char* key, int axis) {
  const klippy::Value* range = status.find(key);
  if (!range) return std::nullopt;
  if (range->is_list() && range->as_list().size() > static_cast<size_t>(axis))
    return range->as_list()[static_cast<size_t>(axis)].as_float();
  if (range->is_tuple() && range->as_tuple().size() > static_cast<size_t>(axis))
    return range->as_tuple()[static_cast<size_t>(axis)].as_float();
  return std::nullopt;
}

}  // namespace

std::vector<HeadReach> box_head_reach() {
  const std::string approach_band =
      "G1 Y" + mm_text(kCutterApproachMinY) + "\nG1 Y" + mm_text(kCutterApproachMaxY) + "\n";
  return {
      reach_of("cutter", {kCutterApproachScript, kCutScript, approach_band}),
      reach_of("wiper", {kFlushWipeScript, kOozeWipeScript}),
      reach_of("trash", {kFirstTrashScript, kSecondTrashScript}),
      reach_of("park", {kParkHeadScript}),
  };
}

void check_head_reach(klippy::Toolhead& toolhead, double eventtime) {
  const std::optional<klippy::Value> status = toolhead.get_status(eventtime);
  if (!status) return;
  double low[2], high[2];
  for (int axis = 0; axis < 2; ++axis) {
    const auto minimum = axis_value(*status, "axis_minimum", axis);
    const auto maximum = axis_value(*status, "axis_maximum", axis);
    if (!minimum || !maximum) return;
    low[axis] = *minimum;
    high[axis] = *maximum;
  }
  // Kinematics that check no move ("none") report an empty range.
  if (low[0] == high[0] && low[1] == high[1]) return;
  std::string faults;
  for (const HeadReach& place : box_head_reach()) {
    for (int axis = 0; axis < 2; ++axis) {
      if (place.min[axis] >= low[axis] && place.max[axis] <= high[axis]) continue;
      const std::string letter(1, kAxisLetters[axis]);
      faults += (faults.empty() ? "" : "; ") + place.name + " at " + letter + " " +
                mm_text(place.min[axis]) + " to " + mm_text(place.max[axis]) + " (stepper_" +
                static_cast<char>(std::tolower(letter[0])) + " reaches " + mm_text(low[axis]) +
                " to " + mm_text(high[axis]) + ")";
    }
  }
  if (faults.empty()) return;
  throw klippy::ConfigError(
      "Section 'feedhub': the printer's axis limits leave out the box's head positions: " + faults +
      ". Set position_min and position_max of [stepper_x] and [stepper_y] so that "
      "the head reaches them.");
}

}  // namespace feedhub
