#include "sim/world/world_geometry.h"

#include <string>

#include "klippy/host/errors.h"

namespace sim {

namespace {
void require(bool ok, const std::string& what) {
  if (!ok) throw klippy::ConfigError("Filament path geometry: " + what);
}
}  // namespace

void WorldGeometry::validate() const {
  require(slot_count > 0 && slots_per_box > 0,
          "slot_count and slots_per_box must be positive integers");
  require(outlet_mm > 0., "outlet_mm must be above 0 (past the slot runout sensor)");
  require(nozzle_mm() <= kMaxPathMm, "the path to the nozzle must not exceed " +
                                         std::to_string(static_cast<int>(kMaxPathMm)) + " mm");
  require(detection_length_mm >= kMinDetectionMm, "detection_length must be at least 0.5 mm");
  require(default_spool_length_mm <= kMaxSpoolMm, "spool_length_mm must not exceed 10000000 mm");
  require(encoder_mm > 0. && encoder_mm < entry_mm(),
          "encoder_mm must lie between the slot runout sensor and the extruder-entry sensor");
  require(detection_length_mm > 0., "detection_length must be above 0");
  require(tube_length_mm > 0., "tube_length_mm must be above 0");
  require(gears_after_entry_mm > 0. && cutter_after_entry_mm > gears_after_entry_mm &&
              nozzle_after_entry_mm > cutter_after_entry_mm,
          "the extruder gears, cutter and nozzle must follow the entry sensor in that order");
  require(inserted_tip_mm > 0. && inserted_tip_mm < outlet_mm,
          "inserted_tip_mm must lie between the slot runout sensor and the box outlet");
  require(reader_mm > 0. && reader_mm < outlet_mm,
          "reader_mm must lie between the slot runout sensor and the box outlet");
  require(tag_length_mm > 0., "tag_length_mm must be above 0");
  require(filament_diameter_mm > 0., "filament_diameter_mm must be above 0");
  require(default_spool_length_mm > 0., "default_spool_length_mm must be above 0");
}

}  // namespace sim
