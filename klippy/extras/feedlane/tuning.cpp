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

double read_checked(const feedhub::FeedHub& hub, const std::string& varname, double default_value,
                    bool must_be_positive) {
  const klippy::Value value = hub.get_value_by_key(varname, klippy::Value(default_value));
  if (is_plain_number(value) && (!must_be_positive || value.as_float() > 0.))
    return value.as_float();
  const std::string wanted = must_be_positive ? "a positive number" : "a number";
  throw klippy::CommandError("Saved variable " + varname + " = " + value.repr() + " is not " +
                             wanted + "; set it with SAVE_VARIABLE VARIABLE=" + varname +
                             " VALUE=" + default_text(default_value) +
                             " (the default) and try again");
}

}  // namespace

FeedMove read_feed_move(const feedhub::FeedHub& hub, const TuningKey& key) {
  const std::string name(key.key);
  return {read_checked(hub, name, key.length_mm, false),
          read_checked(hub, name + "_speed", key.speed_mm_s, true),
          read_checked(hub, name + "_accel", key.accel_mm_s2, true)};
}

}  // namespace feedlane
