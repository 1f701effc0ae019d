#include "devices.h"

#include <iterator>

namespace mcu_emu {

bool Devices::oid_taken(std::uint32_t oid) const {
  return digital_outs.contains(oid) || pwm_outs.contains(oid) || analog_ins.contains(oid) ||
         buttons.contains(oid) || spis.contains(oid) || card_readers.contains(oid) ||
         others.contains(oid) || steppers.contains(oid) || endstops.contains(oid) ||
         trsyncs.contains(oid);
}

std::uint32_t Devices::level(std::uint32_t pin) const {
  if (const auto it = pin_levels.find(pin); it != pin_levels.end()) return it->second;
  const auto pull = pull_ups.find(pin);
  return pull != pull_ups.end() && pull->second > 0 ? 1 : 0;
}

std::uint32_t Devices::level_at(std::uint32_t pin, std::uint64_t clock) const {
  if (const auto queued = scheduled_levels.find(pin); queued != scheduled_levels.end()) {
    auto it = queued->second.upper_bound(clock);
    if (it != queued->second.begin()) return std::prev(it)->second;
  }
  return level(pin);
}

void Devices::apply_scheduled_levels(std::uint64_t now) {
  for (auto it = scheduled_levels.begin(); it != scheduled_levels.end();) {
    auto& changes = it->second;
    const auto due_end = changes.upper_bound(now);
    if (due_end != changes.begin()) pin_levels[it->first] = std::prev(due_end)->second;
    changes.erase(changes.begin(), due_end);
    it = changes.empty() ? scheduled_levels.erase(it) : std::next(it);
  }
}

}  // namespace mcu_emu
