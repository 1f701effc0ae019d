#include "devices.h"

namespace mcu_emu {

bool Devices::oid_taken(std::uint32_t oid) const {
  return digital_outs.contains(oid) || pwm_outs.contains(oid) || analog_ins.contains(oid) ||
         buttons.contains(oid) || spis.contains(oid) || card_readers.contains(oid) ||
         others.contains(oid);
}

std::uint32_t Devices::level(std::uint32_t pin) const {
  if (const auto it = pin_levels.find(pin); it != pin_levels.end()) return it->second;
  const auto pull = pull_ups.find(pin);
  return pull != pull_ups.end() && pull->second > 0 ? 1 : 0;
}

}  // namespace mcu_emu
