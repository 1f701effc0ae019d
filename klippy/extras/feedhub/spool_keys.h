// The saved keys that describe the spool in a slot (named "slot3"): the codes a tag read
// saves, and what BOX_SET_SLOT keeps beside them when the user's words say more than a
// code can: the colour as given in hex, the material by a name the filament table lacks.
#pragma once

#include <string>
#include <vector>

namespace feedhub {

inline std::string hexcolor_key(const std::string& slot) {
  return "hexcolor_" + slot;
}
inline std::string material_key(const std::string& slot) {
  return "material_" + slot;
}
// The user's own words, which a tag read or another description replaces.
inline std::vector<std::string> described_spool_keys(const std::string& slot) {
  return {hexcolor_key(slot), material_key(slot)};
}
inline std::vector<std::string> spool_keys(const std::string& slot) {
  return {"filament_" + slot, "color_" + slot, "vendor_" + slot, hexcolor_key(slot),
          material_key(slot)};
}

}  // namespace feedhub
