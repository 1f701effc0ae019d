#include "sim/world/filament_world.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sstream>

#include "klippy/host/errors.h"

namespace sim {

FilamentWorld::FilamentWorld(WorldGeometry geometry) : geometry_(geometry) {
  geometry_.validate();
  const auto slots = static_cast<std::size_t>(geometry_.slot_count);
  spools_.resize(slots);
  strands_.resize(slots);
  steppers_.resize(slots, nullptr);
}

void FilamentWorld::check_slot(int slot) const {
  if (slot < 0 || slot >= geometry_.slot_count)
    throw klippy::CommandError("Slot " + std::to_string(slot) + " does not exist; use 0 to " +
                               std::to_string(geometry_.slot_count - 1));
}

void FilamentWorld::attach_slot_stepper(int slot, SimStepper& stepper) {
  check_slot(slot);
  steppers_[slot] = &stepper;
}

void FilamentWorld::attach_extruder_queue(std::shared_ptr<const SimTrapq> queue) {
  extruder_queue_ = std::move(queue);
}

void FilamentWorld::advance_to(double print_time) {
  if (print_time <= anchor_time_) return;
  encoder_level_ = level(SensorId::encoder(), print_time);
  auto settle = [&](Strand& strand, const SimStepper* stepper) {
    const Track t = track(Body{&strand, stepper}, print_time);
    strand.tip_mm = t.end_tip_mm;
    strand.engaged = t.end_engaged;
    strand.refusal = t.end_refusal;
  };
  for (int s = 0; s < geometry_.slot_count; ++s) settle(strands_[s], steppers_[s]);
  for (CutFree& free : free_strands_) settle(free.strand, nullptr);
  anchor_time_ = print_time;
  push_free_strands();
  for (SimStepper* stepper : steppers_)
    if (stepper) stepper->drop_history_before(print_time);
  // Whatever arrives behind a loose piece pushes it on; out of the nozzle it is gone.
  for (LoosePiece& piece : loose_pieces_) {
    for (const Strand& strand : strands_) {
      if (!strand.present || strand.tip_mm <= piece.tail_mm) continue;
      const double push = strand.tip_mm - piece.tail_mm;
      piece.tail_mm += push;
      piece.tip_mm += push;
    }
  }
  std::erase_if(loose_pieces_,
                [&](const LoosePiece& p) { return p.tail_mm >= geometry_.nozzle_mm(); });
}

void FilamentWorld::push_free_strands() {
  // Behind the outlet each slot has its own channel; the tube and the extruder are shared by
  // every strand that leaves through the same outlet, and the extruder by all.
  auto shares_path = [&](int a, int b, double at_mm) {
    if (a == b || at_mm >= geometry_.entry_mm()) return true;
    return at_mm > geometry_.outlet_mm && geometry_.outlet_of(a) == geometry_.outlet_of(b);
  };
  auto push = [&](const Strand& pusher, int pusher_slot, CutFree& free) {
    const double tail = free.strand.tip_mm - free.strand.length_mm;
    if (&pusher == &free.strand || !pusher.present || pusher.tip_mm <= tail) return;
    if (pusher.tip_mm - pusher.length_mm >= tail) return;  // lies wholly ahead of it
    if (!shares_path(pusher_slot, free.slot, tail)) return;
    free.strand.tip_mm += pusher.tip_mm - tail;
    free.strand.engaged = free.strand.tip_mm >= geometry_.gears_mm();
  };
  for (CutFree& free : free_strands_) {
    for (int s = 0; s < geometry_.slot_count; ++s) push(strands_[s], s, free);
    for (const CutFree& other : free_strands_) push(other.strand, other.slot, free);
  }
  // Out of the nozzle it is gone.
  std::erase_if(free_strands_, [&](const CutFree& f) {
    return f.strand.tip_mm - f.strand.length_mm >= geometry_.nozzle_mm();
  });
}

void FilamentWorld::insert_spool(int slot, const SpoolSpec& wanted, double print_time) {
  check_slot(slot);
  if (spools_[slot].present)
    throw klippy::CommandError("Slot " + std::to_string(slot) +
                               " already holds a spool; remove it first");
  const double length = wanted.length_mm.value_or(geometry_.default_spool_length_mm);
  if (!(length > 0. && length <= WorldGeometry::kMaxSpoolMm))
    throw klippy::CommandError("Spool length must be above 0 and at most 10000000 mm");
  advance_to(print_time);
  spools_[slot] =
      Spool{true, wanted.filament_type, wanted.color, wanted.tag, wanted.tag_unreadable};
  const double tip = wanted.tip_mm.value_or(geometry_.inserted_tip_mm);
  strands_[slot] =
      Strand{true, tip, length, false, tip >= geometry_.gears_mm(), EntryRefusal::none, 0.};
}

void FilamentWorld::remove_spool(int slot, double print_time) {
  check_slot(slot);
  if (!spools_[slot].present)
    throw klippy::CommandError("Slot " + std::to_string(slot) + " holds no spool to remove");
  advance_to(print_time);
  const Strand& strand = strands_[slot];
  const double cut_at = std::max(strand.tip_mm - strand.length_mm, 0.);
  // Filament that left the box is held by the tube and the extruder: the spool comes out
  // without it, and it goes on covering the sensors it reaches.
  if (strand.present && strand.tip_mm > geometry_.outlet_mm && cut_at < geometry_.nozzle_mm()) {
    Strand free = strand;
    free.length_mm = strand.tip_mm - cut_at;
    free.jammed = false;
    free.slip = 0.;
    free_strands_.push_back({slot, free});
  }
  spools_[slot] = Spool{};
  strands_[slot] = Strand{};
}

void FilamentWorld::set_jammed(int slot, bool jammed, double print_time) {
  check_slot(slot);
  advance_to(print_time);
  strands_[slot].jammed = jammed;
}

void FilamentWorld::set_entry_refused(int slot, bool refused, double print_time) {
  check_slot(slot);
  advance_to(print_time);
  strands_[slot].refusal = refused ? EntryRefusal::waiting : EntryRefusal::none;
}

void FilamentWorld::set_slip(int slot, double ratio, double print_time) {
  check_slot(slot);
  if (!(ratio >= 0. && ratio <= 0.9))
    throw klippy::CommandError(
        "Slip ratio must be from 0 to 0.9 (the share of the motor's motion "
        "lost), not " +
        std::to_string(ratio));
  advance_to(print_time);
  strands_[slot].slip = ratio;
}

void FilamentWorld::set_tag_unreadable(int slot, bool unreadable) {
  check_slot(slot);
  spools_[slot].tag_unreadable = unreadable;
}

void FilamentWorld::clear_faults(int slot, double print_time) {
  set_jammed(slot, false, print_time);
  set_entry_refused(slot, false, print_time);
  strands_[slot].slip = 0.;
  set_tag_unreadable(slot, false);
}

void FilamentWorld::set_runout_after(int slot, double length_mm, double print_time) {
  check_slot(slot);
  advance_to(print_time);
  if (!(length_mm >= 0. && length_mm <= WorldGeometry::kMaxSpoolMm))
    throw klippy::CommandError("Runout length must be from 0 to 10000000 mm");
  Strand& strand = strands_[slot];
  if (!strand.present)
    throw klippy::CommandError("slot" + std::to_string(slot) +
                               " holds no filament; insert a spool first (SIM_SPOOL)");
  // The strand's tail is the end of the spool: behind the runout sensor by what is left.
  strand.length_mm = std::max(strand.tip_mm, 0.) + length_mm;
}

int FilamentWorld::cut(double print_time) {
  advance_to(print_time);
  const double cutter = geometry_.cutter_mm(), nozzle = geometry_.nozzle_mm();
  int cuts = 0;
  std::vector<Strand*> cuttable;
  for (Strand& strand : strands_) cuttable.push_back(&strand);
  for (CutFree& free : free_strands_) cuttable.push_back(&free.strand);
  for (Strand* each : cuttable) {
    Strand& strand = *each;
    if (!strand.present || strand.tip_mm <= cutter || strand.tip_mm - strand.length_mm >= cutter)
      continue;
    // What already left the nozzle is not part of the piece.
    const double piece_tip = std::min(strand.tip_mm, nozzle);
    if (piece_tip > cutter) loose_pieces_.push_back({cutter, piece_tip});
    strand.length_mm -= strand.tip_mm - cutter;
    strand.tip_mm = cutter;
    ++cuts;
  }
  return cuts;
}

bool FilamentWorld::tag_at_reader(int slot, double print_time) const {
  check_slot(slot);
  if (!spools_[slot].present || !spools_[slot].tag) return false;
  const StrandState s = strand(slot, print_time);
  return s.present && s.tip_mm >= geometry_.reader_mm &&
         s.tip_mm - geometry_.tag_length_mm <= geometry_.reader_mm;
}

double FilamentWorld::motion_queued_until() const {
  double end = anchor_time_;
  const double forever = std::numeric_limits<double>::infinity();
  for (const SimStepper* stepper : steppers_) {
    if (!stepper) continue;
    const auto queued = stepper->segments(anchor_time_, forever);
    if (!queued.empty()) end = std::max(end, queued.back().end_time);
  }
  if (extruder_queue_) end = std::max(end, extruder_queue_->end_time());
  return end;
}

WorldSnapshot FilamentWorld::snapshot(double print_time) {
  advance_to(print_time);
  WorldSnapshot snapshot{spools_, {}, loose_pieces_, encoder_level_};
  for (const Strand& s : strands_)
    snapshot.strands.push_back({s.present, s.tip_mm, s.tip_mm - s.length_mm, s.length_mm, s.jammed,
                                s.engaged, s.refusal, s.slip});
  snapshot.free_strands = free_strands(print_time);
  return snapshot;
}

void FilamentWorld::restore(const WorldSnapshot& snapshot, double print_time) {
  const std::size_t slots = std::min(spools_.size(), snapshot.spools.size());
  for (std::size_t i = 0; i < slots && i < snapshot.strands.size(); ++i) {
    const StrandState& s = snapshot.strands[i];
    spools_[i] = snapshot.spools[i];
    strands_[i] = Strand{s.present,       s.tip_mm, s.length_mm, s.jammed, s.gripped_by_extruder,
                         s.entry_refusal, s.slip};
  }
  loose_pieces_ = snapshot.loose_pieces;
  free_strands_.clear();
  for (const FreeStrand& free : snapshot.free_strands) {
    const StrandState& s = free.state;
    free_strands_.push_back({free.slot, Strand{true, s.tip_mm, s.length_mm, false,
                                               s.gripped_by_extruder, s.entry_refusal, 0.}});
  }
  encoder_level_ = snapshot.encoder_level;
  anchor_time_ = print_time;
}

const Spool& FilamentWorld::spool(int slot) const {
  check_slot(slot);
  return spools_[slot];
}

StrandState FilamentWorld::strand(int slot, double print_time) const {
  check_slot(slot);
  return state_at(Body{&strands_[slot], steppers_[slot]}, print_time);
}

std::vector<FreeStrand> FilamentWorld::free_strands(double print_time) const {
  std::vector<FreeStrand> out;
  for (const CutFree& free : free_strands_)
    out.push_back({free.slot, state_at(Body{&free.strand, nullptr}, print_time)});
  return out;
}

StrandState FilamentWorld::state_at(const Body& body, double print_time) const {
  const Strand& s = *body.strand;
  if (!s.present) return {};
  const Track t = track(body, print_time);
  // Pieces may run on past `print_time` (a move under way, a spring-back when it ends).
  double tip = t.end_tip_mm;
  for (const TipPiece& piece : t.pieces) {
    if (piece.t1 <= print_time) continue;
    tip = piece.t0 <= print_time ? piece.position_at(print_time) : piece.x0;
    break;
  }
  return {true,     tip,           tip - s.length_mm, s.length_mm,
          s.jammed, t.end_engaged, t.end_refusal,     s.slip};
}

std::string FilamentWorld::where(const StrandState& strand) const {
  const double tip = strand.tip_mm;
  if (strand.tail_mm >= geometry_.nozzle_mm()) return "purged: none of it is left in the path";
  if (tip <= 0.) return "on the spool, behind the slot sensor";
  if (tip <= geometry_.outlet_mm) return "parked in the box";
  if (tip <= geometry_.entry_mm()) return "in the tube";
  if (tip < geometry_.gears_mm()) return "at the extruder entry";
  if (tip < geometry_.nozzle_mm()) return "in the extruder";
  return "in the extruder, out of the nozzle";
}

namespace {
std::string label(int slot, int slots_per_box) {
  return std::to_string(slot / slots_per_box + 1) + static_cast<char>('A' + slot % slots_per_box);
}
}  // namespace

std::string FilamentWorld::describe(double print_time, int shown_slots) const {
  std::ostringstream out;
  char buf[160];
  const int slots = std::clamp(shown_slots, 0, geometry_.slot_count);
  for (int s = 0; s < geometry_.slot_count; ++s) {
    const Spool& sp = spools_[s];
    if (s >= slots && !sp.present) continue;
    out << "slot" << s << " (" << label(s, geometry_.slots_per_box) << "): ";
    if (!sp.present) {
      out << "no spool\n";
      continue;
    }
    const StrandState st = strand(s, print_time);
    const bool purged = st.tail_mm >= geometry_.nozzle_mm();
    const double on_spool = std::clamp(-st.tail_mm, 0., st.length_mm);
    // Names come from the user and may be long: only the numbers go through the buffer.
    std::snprintf(buf, sizeof buf, " (tip at %.1f mm along the path), %.2f m on the spool",
                  st.tip_mm, on_spool / 1000.);
    out << sp.filament_type << " " << sp.color << ", " << where(st) << buf
        << (on_spool <= 0. ? " (used up)" : "")
        << (st.gripped_by_extruder && !purged ? ", gripped by the extruder" : "")
        << (st.jammed ? ", JAMMED" : "")
        << (st.entry_refusal != EntryRefusal::none ? ", refused by the extruder entry" : "")
        << (st.slip > 0. ? ", feed gear slipping" : "")
        << (sp.tag_unreadable ? ", tag unreadable" : "") << "\n";
  }
  for (const FreeStrand& free : free_strands(print_time)) {
    std::snprintf(buf, sizeof buf, "%.1f to %.1f mm along the path",
                  std::max(free.state.tail_mm, 0.), free.state.tip_mm);
    out << "strand cut free from slot" << free.slot << " ("
        << label(free.slot, geometry_.slots_per_box) << "): " << where(free.state) << " (" << buf
        << ")" << (free.state.gripped_by_extruder ? ", gripped by the extruder" : "") << "\n";
  }
  const int boxes = (std::max(slots, 1) + geometry_.slots_per_box - 1) / geometry_.slots_per_box;
  for (int b = 0; b < std::min(boxes, geometry_.box_count()); ++b)
    out << "box" << b + 1
        << " outlet sensor: " << (level(SensorId::outlet(b), print_time) ? "filament" : "clear")
        << "\n";
  const double diameter = hall_diameter_mm(print_time);
  if (diameter > 0.)
    std::snprintf(buf, sizeof buf, "extruder entry: filament (%.2f mm)", diameter);
  else
    std::snprintf(buf, sizeof buf, "extruder entry: clear");
  out << buf << ", motion encoder level " << level(SensorId::encoder(), print_time) << "\n";
  for (const LoosePiece& piece : loose_pieces_) {
    std::snprintf(buf, sizeof buf, "cut piece in the hotend: %.1f to %.1f mm along the path\n",
                  piece.tail_mm, piece.tip_mm);
    out << buf;
  }
  return out.str();
}

}  // namespace sim
