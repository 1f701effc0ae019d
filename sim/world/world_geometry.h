// Where things sit along a filament path. Coordinates are mm along the strand's path,
// 0 at the slot's runout sensor, negative towards the spool.
#pragma once

namespace sim {

struct WorldGeometry {
  // Bounds that keep every computation of the world finite and quick: a path of 100 m, a
  // spool of 10 km (a 1 kg spool of 1.75 mm filament holds about 330 m), encoder marks at
  // least half a millimetre apart.
  static constexpr double kMaxPathMm = 100000.;
  static constexpr double kMaxSpoolMm = 1e7;
  static constexpr double kMinDetectionMm = 0.5;

  int slot_count = 16;
  int slots_per_box = 4;
  // Chained boxes: every slot's filament also passes box 1's outlet sensor on its way.
  bool boxes_share_outlet = false;
  double outlet_mm = 350.;  // box outlet sensor, shared by the slots of a box
  // The motion encoder on the box's common channel, just before the outlet sensor: the
  // filament still covers it when a pull-back clears the outlet.
  double encoder_mm = 330.;
  double detection_length_mm = 7.;    // filament length between two encoder level changes
  double tube_length_mm = 1000.;      // outlet to the extruder-entry (hall) sensor
  double gears_after_entry_mm = 20.;  // extruder gears, measured from the entry sensor
  double cutter_after_entry_mm = 40.;
  double nozzle_after_entry_mm = 80.;
  double inserted_tip_mm = 10.;  // tip of a freshly inserted spool's filament
  // The card reader of two neighbouring slots sits on both their paths between the parked
  // tips (about 90 mm: the outlet less the 260 mm park move) and the outlet, so a parked
  // neighbour never covers it while a tag read runs its strand past. The tag rides on the
  // strand's first tag_length_mm; at the feed speed of a tag read (80 mm/s) it stays in
  // front of the reader for about 0.4 s, long enough for three polls of the reader.
  double reader_mm = 200.;
  double tag_length_mm = 30.;
  double filament_diameter_mm = 1.75;
  double default_spool_length_mm = 330000.;  // about 1 kg of 1.75 mm PLA

  double entry_mm() const { return outlet_mm + tube_length_mm; }
  double gears_mm() const { return entry_mm() + gears_after_entry_mm; }
  double cutter_mm() const { return entry_mm() + cutter_after_entry_mm; }
  double nozzle_mm() const { return entry_mm() + nozzle_after_entry_mm; }
  int box_of(int slot) const { return slot / slots_per_box; }
  // The box whose outlet sensor sees the slot's filament.
  int outlet_of(int slot) const { return boxes_share_outlet ? 0 : box_of(slot); }
  int box_count() const { return (slot_count + slots_per_box - 1) / slots_per_box; }

  // Throws klippy::ConfigError naming the first inconsistent value.
  void validate() const;
};

}  // namespace sim
