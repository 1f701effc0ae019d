#include "klippy/extras/feedlane/tuning.h"

#include <cmath>
#include <string>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/host/errors.h"
#include "klippy/host/value.h"

namespace feedlane {
namespace {

// True/False count as numbers in the host language, but nobody means a length by them.
bool is_plain_number(const klippy::Value& value) {
  return (value.is_int() || value.is_float()) && std::isfinite(value.as_float());
}

// The defaults are whole numbers; show them as the user would type them.
std::string default_text(double value) {
  return value == std::trunc(value) ? std::to_string(static_cast<long long>(value))
                                    : klippy::format_float(value);
}

// What a box can physically use: its feed motors move at most some hundred mm/s. Far
// larger saved values plan moves that run for hours or exhaust memory in step generation.
constexpr double kMaxSpeedMmS = 1000.0;
constexpr double kMaxAccelMmS2 = 10000.0;

[[noreturn]] void refuse(const std::string& varname, const klippy::Value& value,
                         const std::string& wanted, double default_value) {
  throw klippy::CommandError("Saved variable " + varname + " = " + value.repr() + " is not " +
                             wanted + "; set it with SAVE_VARIABLE VARIABLE=" + varname +
                             " VALUE=" + default_text(default_value) +
                             " (the default) and try again");
}

double read_length(const feedhub::FeedHub& hub, const std::string& varname, double default_value) {
  const klippy::Value value =
      hub.variables().get_value_by_key(varname, klippy::Value(default_value));
  if (!is_plain_number(value)) refuse(varname, value, "a number", default_value);
  if (std::abs(value.as_float()) > kMaxFeedLengthMm)
    refuse(varname, value, "a length from -10000 to 10000 mm", default_value);
  return value.as_float();
}

double read_rate(const feedhub::FeedHub& hub, const std::string& varname, double default_value,
                 double max_value, const char* unit) {
  const klippy::Value value =
      hub.variables().get_value_by_key(varname, klippy::Value(default_value));
  if (!is_plain_number(value) || value.as_float() <= 0.)
    refuse(varname, value, "a positive number", default_value);
  if (value.as_float() > max_value)
    refuse(varname, value, "a positive number up to " + default_text(max_value) + " " + unit,
           default_value);
  return value.as_float();
}

}  // namespace

FeedMove read_feed_move(const feedhub::FeedHub& hub, const TuningKey& key) {
  const std::string name(key.key);
  return {read_length(hub, name, key.length_mm),
          read_rate(hub, name + "_speed", key.speed_mm_s, kMaxSpeedMmS, "mm/s"),
          read_rate(hub, name + "_accel", key.accel_mm_s2, kMaxAccelMmS2, "mm/s^2")};
}

}  // namespace feedlane
