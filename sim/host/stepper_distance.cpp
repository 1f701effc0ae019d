#include "sim/host/stepper_distance.h"

#include <cstdlib>
#include <sstream>
#include <string>

namespace sim {
namespace {

std::string trim(const std::string& text) {
  auto begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

double parse_positive(const std::string& text, const std::string& section) {
  char* end = nullptr;
  const std::string t = trim(text);
  const double value = std::strtod(t.c_str(), &end);
  if (t.empty() || *end != '\0' || !(value > 0.))
    throw klippy::ConfigError("Unable to parse option 'gear_ratio' in section '" + section +
                              "'; write it as pairs like '50:17, 80:20'");
  return value;
}

double parse_gear_ratio(const std::string& text, const std::string& section) {
  double ratio = 1.;
  std::stringstream pairs(text);
  std::string pair;
  while (std::getline(pairs, pair, ',')) {
    if (trim(pair).empty()) continue;
    const auto colon = pair.find(':');
    if (colon == std::string::npos) parse_positive("", section);
    ratio *= parse_positive(pair.substr(0, colon), section) /
             parse_positive(pair.substr(colon + 1), section);
  }
  return ratio;
}

}  // namespace

StepperParams read_stepper_distance(klippy::ConfigSection& config) {
  StepperParams params;
  params.name = config.get_name();
  params.rotation_distance_mm = config.getfloat("rotation_distance", {}, {.above = 0.});
  params.microsteps = static_cast<int>(config.getint("microsteps", {}, {.minval = 1}));
  params.full_steps_per_rotation =
      static_cast<int>(config.getint("full_steps_per_rotation", 200, {.minval = 1}));
  params.gear_ratio = parse_gear_ratio(config.get("gear_ratio", ""), params.name);
  return params;
}

}  // namespace sim
