#include "klippy/extras/feedhub/saved_values.h"

#include <algorithm>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/slot_feeder.h"

namespace feedhub {

klippy::CommandError bad_saved_value(const std::string& key, const klippy::Value& found,
                                     const std::string& expected) {
  return klippy::CommandError("Saved variable " + key + " = " + found.repr() + " is not " +
                              expected + "; correct it with SAVE_VARIABLE VARIABLE=" + key +
                              " VALUE=<value> and try again");
}

long long saved_int(const FeedHub& hub, const std::string& key, long long default_value,
                    long long min, long long max) {
  const klippy::Value value = hub.variables().get_value_by_key(key, klippy::Value(default_value));
  if ((value.is_int() || value.is_bool()) && value.as_int() >= min && value.as_int() <= max)
    return value.as_int();
  throw bad_saved_value(key, value,
                        "an integer from " + std::to_string(min) + " to " + std::to_string(max));
}

int saved_box_count(const FeedHub& hub, int default_count) {
  // Box detection saves box_count only once it has run; until then the boxes are those
  // whose slot feeders are configured, or a multi-box printer would load nothing.
  // Absent, not None: a None written by hand is a bad value like any other.
  const bool absent =
      hub.variables().get_value_by_key("box_count", klippy::Value(0)) == klippy::Value(0) &&
      hub.variables().get_value_by_key("box_count", klippy::Value(1)) == klippy::Value(1);
  if (absent) return std::max(default_count, configured_box_count(hub));
  return static_cast<int>(saved_int(hub, "box_count", default_count, 0, kMaxBoxCount));
}

int configured_box_count(const FeedHub& hub) {
  int feeders = 0;
  for (int slot = 0; slot < kMaxSlots; ++slot) feeders += hub.feeder_of(slot) != nullptr;
  return feeders / kSlotsPerBox;
}

}  // namespace feedhub
