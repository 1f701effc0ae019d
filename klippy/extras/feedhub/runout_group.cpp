#include "klippy/extras/feedhub/runout_group.h"

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {

std::string runout_group_key(int slot) {
  return "runout_group_" + slot_name(slot);
}

int runout_group(const FeedHub& hub, int slot) {
  return static_cast<int>(saved_int(hub, runout_group_key(slot), 0, 0, kMaxRunoutGroup));
}

bool hands_over_on_runout(const FeedHub& hub, int slot) {
  return runout_group(hub, slot) != 0 ||
         hub.variables().get_value_by_key("auto_reload_detect", 0).truthy();
}

std::optional<bool> same_runout_group(const FeedHub& hub, int ran_out, int candidate) {
  const int group = runout_group(hub, ran_out);
  if (group == 0) return std::nullopt;
  return runout_group(hub, candidate) == group;
}

}  // namespace feedhub
