// The filament in the box and the printer: spools, strands and the sensors they cover.
// Positions follow the steppers' motion queues exactly; sensor level changes are solved
// from the queued trapezoids, so an endstop trips at the very print time a tip reaches it.
// Independent of the reactor: every query and change takes a print time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/world/filament_world_track.h"
#include "sim/world/stepper.h"
#include "sim/world/trapq.h"
#include "sim/world/world_geometry.h"

namespace sim {

enum class SensorKind { slot_runout, box_outlet, extruder_entry, motion_encoder };

struct SensorId {
  SensorKind kind;
  int index = 0;  // slot for a runout sensor, box for an outlet sensor

  static SensorId runout(int slot) { return {SensorKind::slot_runout, slot}; }
  static SensorId outlet(int box) { return {SensorKind::box_outlet, box}; }
  static SensorId extruder_entry() { return {SensorKind::extruder_entry, 0}; }
  static SensorId encoder() { return {SensorKind::motion_encoder, 0}; }
  bool operator==(const SensorId&) const = default;
};

struct SpoolSpec {
  std::string filament_type = "PLA";
  std::string color = "FFFFFF";
  std::optional<double> length_mm;  // filament on the spool; the geometry's default if absent
  // The data block of the spool's tag (see spool_tag.h); absent when the spool has no tag.
  std::optional<std::vector<std::uint8_t>> tag;
  bool tag_unreadable = false;
  // Where the strand's tip starts, mm along the path; just past the runout sensor if absent.
  std::optional<double> tip_mm;
};

struct Spool {
  bool present = false;
  std::string filament_type;
  std::string color;
  std::optional<std::vector<std::uint8_t>> tag;
  bool tag_unreadable = false;
};

// A strand that the extruder entry refuses: it reaches the entry sensor once, springs back
// behind it when the push stops, and from then on the entry stays closed to it.
enum class EntryRefusal { none, waiting, closed };

struct StrandState {
  bool present = false;
  double tip_mm = 0.;
  double tail_mm = 0.;  // tip - length: past the runout sensor once the spool is used up
  double length_mm = 0.;
  bool jammed = false;
  bool gripped_by_extruder = false;
  EntryRefusal entry_refusal = EntryRefusal::none;
  double slip = 0.;
};

// Filament cut off in the hotend; the next strand to arrive pushes it out of the nozzle.
struct LoosePiece {
  double tail_mm;
  double tip_mm;
};

// What a spool taken out left in the path: the strand beyond the slot, cut free of it. Only
// the extruder gears or a strand pushing from behind still move it.
struct FreeStrand {
  int slot = 0;  // the slot it came from, whose channel and outlet it lies in
  StrandState state;
};

// Spools, strands and loose pieces, without the motors: what stays where it is while the
// host software restarts.
struct WorldSnapshot {
  std::vector<Spool> spools;
  std::vector<StrandState> strands;
  std::vector<LoosePiece> loose_pieces;
  int encoder_level = 0;
  std::vector<FreeStrand> free_strands;
};

class FilamentWorld {
 public:
  // Throws klippy::ConfigError when the geometry is inconsistent.
  explicit FilamentWorld(WorldGeometry geometry = {});

  const WorldGeometry& geometry() const { return geometry_; }
  // The stepper that drives the slot's strand; it must outlive the world.
  void attach_slot_stepper(int slot, SimStepper& stepper);
  // The extruder's queue, which drives every strand gripped by the extruder gears and not
  // already following it through its slot motor.
  void attach_extruder_queue(std::shared_ptr<const SimTrapq> queue);
  // For queues rebuilt from step queues, which do not say which slot motor the host synced
  // to the extruder: a slot motor moving with the extruder at its speed is taken to follow
  // it, so the two do not push the strand twice.
  void infer_extruder_following() { infer_following_ = true; }

  // Records the world at `print_time` (earlier times are ignored). Queues may drop history
  // up to anchor_time(); queries before it see the state at anchor_time().
  void advance_to(double print_time);
  double anchor_time() const { return anchor_time_; }

  // Filament changes; each first advances the world to `print_time`. Invalid slots, a second
  // spool or removing a missing one throw klippy::CommandError.
  void insert_spool(int slot, const SpoolSpec& wanted, double print_time);
  // A strand whose tip still lies before the box outlet slides out with its spool; one that
  // reaches further is cut at the slot, and what lies beyond stays where it is.
  void remove_spool(int slot, double print_time);
  void set_jammed(int slot, bool jammed, double print_time);
  void set_entry_refused(int slot, bool refused, double print_time);
  // A slipping feed gear: only (1 - ratio) of the slot motor's motion moves the strand.
  // CommandError for a ratio outside 0 to 0.9.
  void set_slip(int slot, double ratio, double print_time);
  void set_tag_unreadable(int slot, bool unreadable);
  void clear_faults(int slot, double print_time);
  // The spool runs out once `length_mm` more filament has left it. CommandError for a slot
  // without filament.
  void set_runout_after(int slot, double length_mm, double print_time);
  // Cuts every strand that reaches past the cutter; returns how many were cut.
  int cut(double print_time);

  const Spool& spool(int slot) const;
  StrandState strand(int slot, double print_time) const;
  const std::vector<LoosePiece>& loose_pieces() const { return loose_pieces_; }
  std::vector<FreeStrand> free_strands(double print_time) const;

  // True while the slot's tag (on the first tag_length_mm behind the strand's tip) lies in
  // front of the card reader at reader_mm. Spools without a tag never are.
  bool tag_at_reader(int slot, double print_time) const;
  // 1 while filament covers the sensor (runout, outlet, entry) or the encoder's switch level.
  int level(SensorId sensor, double print_time) const;
  double hall_diameter_mm(double print_time) const;
  // First print time in (after_time, until_time] at which the level changes, given the
  // motion queued now.
  std::optional<double> next_change(SensorId sensor, double after_time, double until_time) const;
  // The print time at which the last motion queued now for any strand ends; the anchor time
  // when nothing is queued.
  double motion_queued_until() const;
  // The world at `print_time` (advanced there first).
  WorldSnapshot snapshot(double print_time);
  // Puts the filament back as `snapshot` recorded it, from `print_time` on; motion queued
  // before then is not applied to it.
  void restore(const WorldSnapshot& snapshot, double print_time);
  // Each strand (where it is, what is left on its spool) and each sensor, one per line: the
  // first `shown_slots` slots and any other slot that holds a spool, and the outlet sensors of
  // the boxes shown.
  std::string describe(double print_time, int shown_slots = 1 << 30) const;

 private:
  struct Strand {
    bool present = false;
    double tip_mm = 0.;
    double length_mm = 0.;
    bool jammed = false;
    bool engaged = false;  // tip at or past the extruder gears
    EntryRefusal refusal = EntryRefusal::none;
    double slip = 0.;  // share of the slot motor's motion lost at its feed gear
  };
  struct Track {
    std::vector<TipPiece> pieces;
    double end_tip_mm;
    bool end_engaged;
    EntryRefusal end_refusal;
  };
  struct SweepResult {
    int level;
    std::optional<double> change;
  };

  struct Body {
    const Strand* strand;
    const SimStepper* stepper;  // none for a strand cut free of its slot
  };
  struct CutFree {
    int slot;
    Strand strand;
  };

  void check_slot(int slot) const;
  Track track(int slot, double until_time) const;
  Track track(const Body& body, double until_time) const;
  StrandState state_at(const Body& body, double print_time) const;
  // Strands behind a cut-free piece push it on once they reach it.
  void push_free_strands();
  // Replays sensor levels from the anchor to `until_time`; reports the first change after
  // `after_time`.
  SweepResult sweep(SensorId sensor, double after_time, double until_time) const;
  std::vector<Body> strands_seen_by(SensorId sensor) const;
  double position_of(SensorId sensor) const;
  long long encoder_count(double tip_mm) const;
  std::string where(const StrandState& strand) const;

  // How far a refused strand springs back behind the entry sensor.
  static constexpr double kRefusalSpringBackMm = 5.;

  WorldGeometry geometry_;
  std::vector<Spool> spools_;
  std::vector<Strand> strands_;
  std::vector<SimStepper*> steppers_;
  std::shared_ptr<const SimTrapq> extruder_queue_;
  std::vector<LoosePiece> loose_pieces_;
  std::vector<CutFree> free_strands_;
  double anchor_time_ = 0.;
  int encoder_level_ = 0;  // the encoder keeps its level while nothing covers it
  bool infer_following_ = false;
};

}  // namespace sim
