#include "sim/host/world_box_numbers.h"

#include <algorithm>
#include <string>

#include "sim/host/usb_boxes.h"

namespace sim {

std::vector<std::optional<int>> physical_boxes_in(klippy::ConfigSection& config, int boxes) {
  std::vector<std::optional<int>> physical(static_cast<std::size_t>(boxes));
  for (int b = 0; b < boxes; ++b) {
    const std::string section = "mcu mcu_box" + std::to_string(b + 1);
    if (!config.has_section(section)) continue;
    if (const auto serial = config.getsection(section).get_optional("serial"))
      physical[static_cast<std::size_t>(b)] = SimUsbBoxes::box_in_link(*serial);
  }
  return physical;
}

WorldSnapshot follow_box_numbers(const WorldSnapshot& snapshot,
                                 const std::vector<std::optional<int>>& before,
                                 const std::vector<std::optional<int>>& after, int slots_per_box) {
  const int boxes = static_cast<int>(snapshot.spools.size()) / slots_per_box;
  auto at = [](const std::vector<std::optional<int>>& v, int i) {
    return i < static_cast<int>(v.size()) ? v[static_cast<std::size_t>(i)] : std::nullopt;
  };
  std::vector<int> destination(static_cast<std::size_t>(boxes), -1);
  std::vector<bool> taken(static_cast<std::size_t>(boxes), false);
  for (int to = 0; to < boxes; ++to) {
    const auto wanted = at(after, to);
    if (!wanted) continue;
    for (int from = 0; from < boxes; ++from) {
      if (at(before, from) != wanted || destination[from] >= 0) continue;
      destination[from] = to;
      taken[to] = true;
      break;
    }
  }
  for (int from = 0; from < boxes; ++from)
    if (destination[from] < 0 && !taken[from]) destination[from] = from, taken[from] = true;
  for (int from = 0; from < boxes; ++from) {
    if (destination[from] >= 0) continue;
    const auto free = std::find(taken.begin(), taken.end(), false);
    destination[from] = static_cast<int>(free - taken.begin());
    *free = true;
  }
  auto moved_slot = [&](int slot) {
    const int box = slot / slots_per_box;
    return box < boxes ? destination[box] * slots_per_box + slot % slots_per_box : slot;
  };
  WorldSnapshot moved = snapshot;
  for (std::size_t slot = 0; slot < snapshot.spools.size(); ++slot) {
    const auto to = static_cast<std::size_t>(moved_slot(static_cast<int>(slot)));
    moved.spools[to] = snapshot.spools[slot];
    if (slot < snapshot.strands.size() && to < moved.strands.size())
      moved.strands[to] = snapshot.strands[slot];
  }
  for (FreeStrand& free : moved.free_strands) free.slot = moved_slot(free.slot);
  return moved;
}

}  // namespace sim
