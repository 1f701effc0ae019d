#include "klippy/extras/feedscan/box_slot_data.h"

#include <algorithm>

#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/spool_keys.h"

namespace feedscan {

std::vector<std::string> saved_keys_of_box(const klippy::VariableMap& variables, int box) {
  std::vector<std::string> keys, slots;
  for (int i = 0; i < feedhub::kSlotsPerBox; ++i) {
    const std::string slot = "slot" + std::to_string((box - 1) * feedhub::kSlotsPerBox + i);
    slots.push_back(slot);
    if (variables.count(slot)) keys.push_back(slot);
    for (const std::string& key : feedhub::spool_keys(slot))
      if (variables.count(key)) keys.push_back(key);
  }
  for (const auto& [key, value] : variables) {
    const bool names_a_slot =
        key.rfind("value_t", 0) == 0 || key == "slot_sync" || key == "last_load_slot";
    if (names_a_slot && value.is_string() &&
        std::find(slots.begin(), slots.end(), value.as_string()) != slots.end())
      keys.push_back(key);
  }
  return keys;
}

}  // namespace feedscan
