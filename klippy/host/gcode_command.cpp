#include <cmath>
#include <cstdlib>

#include "klippy/host/gcode.h"
#include "klippy/host/value.h"

namespace klippy {
namespace {

std::string trim(const std::string& s) {
  auto begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  auto end = s.find_last_not_of(" \t");
  return s.substr(begin, end - begin + 1);
}

}  // namespace

GCodeCommand::GCodeCommand(GCodeDispatch& gcode, std::string command, std::string commandline,
                           std::map<std::string, std::string> params)
    : gcode_(gcode),
      command_(std::move(command)),
      commandline_(std::move(commandline)),
      params_(std::move(params)) {}

std::string GCodeCommand::get(const std::string& name,
                              std::optional<std::string> default_value) const {
  auto it = params_.find(name);
  if (it != params_.end()) return it->second;
  if (default_value) return *default_value;
  throw CommandError("Error on '" + commandline_ + "': missing " + name);
}

long long GCodeCommand::get_int(const std::string& name, std::optional<long long> default_value,
                                IntLimits limits) const {
  if (!has(name) && default_value) return *default_value;
  const std::string raw = get(name);  // the host's "missing" error when there is no default
  std::string text = trim(raw);
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE) {
    throw CommandError("Error on '" + commandline_ + "': unable to parse " + raw);
  }
  auto prefix = "Error on '" + commandline_ + "': " + name;
  if (limits.minval && value < *limits.minval) {
    throw CommandError(prefix + " must have minimum of " + std::to_string(*limits.minval));
  }
  if (limits.maxval && value > *limits.maxval) {
    throw CommandError(prefix + " must have maximum of " + std::to_string(*limits.maxval));
  }
  return value;
}

double GCodeCommand::get_float(const std::string& name, std::optional<double> default_value,
                               FloatLimits limits) const {
  if (!has(name) && default_value) return *default_value;
  const std::string raw = get(name);  // the host's "missing" error when there is no default
  std::string text = trim(raw);
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  // Infinite and NaN values would plan impossible moves, so they never parse; hexadecimal
  // ("0x10") does not parse in the host either.
  const bool hexadecimal = text.find_first_of("xX") != std::string::npos;
  if (text.empty() || *end != '\0' || !std::isfinite(value) || hexadecimal) {
    throw CommandError("Error on '" + commandline_ + "': unable to parse " + raw);
  }
  auto fail = [&](const char* what, double bound) {
    throw CommandError("Error on '" + commandline_ + "': " + name + " must " + what + " " +
                       format_float(bound));
  };
  if (limits.minval && value < *limits.minval) fail("have minimum of", *limits.minval);
  if (limits.maxval && value > *limits.maxval) fail("have maximum of", *limits.maxval);
  if (limits.above && value <= *limits.above) fail("be above", *limits.above);
  if (limits.below && value >= *limits.below) fail("be below", *limits.below);
  return value;
}

void GCodeCommand::respond_info(const std::string& text) const {
  gcode_.respond_info(text);
}

void GCodeCommand::respond_raw(const std::string& text) const {
  gcode_.respond_raw(text);
}

}  // namespace klippy
