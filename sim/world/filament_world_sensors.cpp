// Strand motion and the sensor levels that follow from it.
#include <algorithm>
#include <cmath>
#include <limits>

#include "sim/world/filament_world.h"

namespace sim {

namespace {
bool is_still(const Segment& s) {
  return s.start_v == 0. && s.accel == 0.;
}

std::vector<Segment> moving(std::vector<Segment> segments) {
  std::erase_if(segments, is_still);
  return segments;
}

constexpr double kForever = std::numeric_limits<double>::infinity();

// A strand stopped by an endstop at a sensor ends there up to rounding; it counts as having
// reached the sensor, not as still covering it.
constexpr double kAtSensorTolerance_mm = 1e-6;

bool past(double x_mm, double sensor_mm) {
  return x_mm > sensor_mm + kAtSensorTolerance_mm;
}

// Whether two motors move alike at `time`: a synced slot motor's steps reproduce the
// extruder's moves, up to how blocks of steps approximate them.
bool same_motion(const Segment& a, const Segment& b, double time) {
  const double va = a.velocity_at(time), vb = b.velocity_at(time);
  constexpr double kSlackMmS = 1.0, kShare = 0.25;
  return std::abs(va - vb) <= kSlackMmS + kShare * std::max(std::abs(va), std::abs(vb));
}

// Whether the slot motor still pushes forward right after `time`.
bool pushes_on(const std::vector<Segment>& queued, double time) {
  for (const Segment& s : queued) {
    if (s.start_time > time) break;
    if (s.end_time <= time) continue;
    const double v = s.velocity_at(time);
    return v > 0. || (v == 0. && s.accel > 0.);
  }
  return false;
}

struct Crossing {
  double time;
  int strand;  // index into the sweep's strand list
  enum What { front, back, count } what;
  long long value;  // new side (front/back) or new encoder count
};
}  // namespace

FilamentWorld::Track FilamentWorld::track(int slot, double until_time) const {
  return track(Body{&strands_[slot], steppers_[slot]}, until_time);
}

FilamentWorld::Track FilamentWorld::track(const Body& body, double until_time) const {
  const Strand& strand = *body.strand;
  TipTrackBuilder builder(strand.tip_mm, strand.engaged, geometry_.gears_mm());
  EntryRefusal refusal = strand.refusal;
  const double entry = geometry_.entry_mm(), closed_at = entry - kRefusalSpringBackMm;
  if (refusal == EntryRefusal::closed) builder.set_limit(closed_at);
  if (!strand.present || strand.jammed || until_time <= anchor_time_)
    return {{}, strand.tip_mm, strand.engaged, refusal};
  const SimStepper* stepper = body.stepper;
  const auto own =
      stepper ? moving(stepper->segments(anchor_time_, until_time)) : std::vector<Segment>{};
  const auto ext = extruder_queue_ ? moving(extruder_queue_->segments(anchor_time_, until_time))
                                   : std::vector<Segment>{};
  // A refused strand springs back once its push stops, which may be after `until_time`.
  const auto queued = refusal == EntryRefusal::waiting && stepper
                          ? moving(stepper->segments(anchor_time_, kForever))
                          : std::vector<Segment>{};
  std::size_t i = 0, j = 0;
  double t = anchor_time_;
  while (i < own.size() || j < ext.size()) {
    while (i < own.size() && own[i].end_time <= t) ++i;
    while (j < ext.size() && ext[j].end_time <= t) ++j;
    const double own_start = i < own.size() ? own[i].start_time : kForever;
    const double ext_start = j < ext.size() ? ext[j].start_time : kForever;
    if (own_start == kForever && ext_start == kForever) break;
    t = std::max(t, std::min(own_start, ext_start));
    const bool own_on = own_start <= t, ext_on = ext_start <= t;
    const double end =
        std::min(own_on ? own[i].end_time : own_start, ext_on ? ext[j].end_time : ext_start);
    // A slipping feed gear passes on only part of its motor's motion.
    const double grip = 1. - strand.slip;
    const double slot_v = own_on ? grip * own[i].velocity_at(t) : 0.;
    const double slot_a = own_on ? grip * own[i].accel : 0.;
    bool ext_drives = ext_on;
    if (ext_drives && stepper)
      ext_drives = stepper->queue_at(0.5 * (t + end)) != extruder_queue_.get();
    if (ext_drives && own_on && infer_following_)
      ext_drives = !same_motion(own[i], ext[j], 0.5 * (t + end));
    builder.drive(t, end, slot_v, slot_a, ext_drives, ext_on ? ext[j].velocity_at(t) : 0.,
                  ext_on ? ext[j].accel : 0.);
    t = end;
    // The refused strand covers the entry sensor until the push that brought it there stops.
    if (refusal == EntryRefusal::waiting && past(builder.tip(), entry) && !pushes_on(queued, end)) {
      builder.jump(end, closed_at);
      builder.set_limit(closed_at);
      refusal = EntryRefusal::closed;
    }
  }
  return {std::move(builder.pieces()), builder.tip(), builder.engaged(), refusal};
}

long long FilamentWorld::encoder_count(double tip_mm) const {
  // Number of detection marks strictly behind the tip; marks sit at encoder + k * length.
  const double enc = geometry_.encoder_mm, len = geometry_.detection_length_mm;
  if (tip_mm <= enc) return 0;
  auto k = static_cast<long long>(std::ceil((tip_mm - enc) / len)) - 1;
  while (k > 0 && enc + static_cast<double>(k) * len >= tip_mm) --k;
  while (enc + static_cast<double>(k + 1) * len < tip_mm) ++k;
  return k;
}

std::vector<FilamentWorld::Body> FilamentWorld::strands_seen_by(SensorId sensor) const {
  auto seen_from = [&](int slot) {
    if (sensor.kind == SensorKind::slot_runout) return slot == sensor.index;
    if (sensor.kind == SensorKind::box_outlet) return geometry_.outlet_of(slot) == sensor.index;
    return true;
  };
  std::vector<Body> bodies;
  for (int s = 0; s < geometry_.slot_count; ++s)
    if (strands_[s].present && seen_from(s)) bodies.push_back({&strands_[s], steppers_[s]});
  // A cut-free strand begins where the slot's sensor was cut from it: that sensor is clear.
  for (const CutFree& free : free_strands_)
    if (sensor.kind != SensorKind::slot_runout && seen_from(free.slot))
      bodies.push_back({&free.strand, nullptr});
  return bodies;
}

double FilamentWorld::position_of(SensorId sensor) const {
  switch (sensor.kind) {
    case SensorKind::slot_runout:
      return 0.;
    case SensorKind::box_outlet:
      return geometry_.outlet_mm;
    case SensorKind::extruder_entry:
      return geometry_.entry_mm();
    case SensorKind::motion_encoder:
      return geometry_.encoder_mm;
  }
  return 0.;
}

FilamentWorld::SweepResult FilamentWorld::sweep(SensorId sensor, double after_time,
                                                double until_time) const {
  const double p = position_of(sensor);
  const bool is_encoder = sensor.kind == SensorKind::motion_encoder;
  const std::vector<Body> bodies = strands_seen_by(sensor);
  struct Side {
    bool front, back;  // tip past the sensor; tail past the sensor
    long long count;
  };
  std::vector<Side> sides;
  std::vector<Crossing> crossings;
  for (std::size_t n = 0; n < bodies.size(); ++n) {
    const Strand& strand = *bodies[n].strand;
    const double back_p = p + strand.length_mm;
    sides.push_back(
        {past(strand.tip_mm, p), past(strand.tip_mm, back_p), encoder_count(strand.tip_mm)});
    const int idx = static_cast<int>(n);
    // The whole queued future, so a crossing solves to the same time whatever the window.
    for (const TipPiece& piece : track(bodies[n], kForever).pieces) {
      for (auto [what, at] : {std::pair{Crossing::front, p}, std::pair{Crossing::back, back_p}}) {
        const bool before = past(piece.x0, at), after = past(piece.x1, at);
        if (before != after) crossings.push_back({crossing_time(piece, at), idx, what, after});
      }
      if (!is_encoder) continue;
      const long long k0 = encoder_count(piece.x0), k1 = encoder_count(piece.x1);
      const double len = geometry_.detection_length_mm;
      for (long long k = k0 + 1; k <= k1; ++k)
        crossings.push_back(
            {crossing_time(piece, p + static_cast<double>(k) * len), idx, Crossing::count, k});
      for (long long k = k0; k > k1; --k)
        crossings.push_back(
            {crossing_time(piece, p + static_cast<double>(k) * len), idx, Crossing::count, k - 1});
    }
  }
  std::stable_sort(crossings.begin(), crossings.end(),
                   [](const Crossing& a, const Crossing& b) { return a.time < b.time; });

  int held = encoder_level_;
  auto current_level = [&]() {
    for (const Side& side : sides) {
      if (!side.front || side.back) continue;
      if (!is_encoder) return 1;
      held = static_cast<int>(side.count & 1);
      return held;
    }
    return is_encoder ? held : 0;
  };
  int level = current_level();
  for (std::size_t n = 0; n < crossings.size();) {
    const double time = crossings[n].time;
    if (time > until_time) break;
    for (; n < crossings.size() && crossings[n].time == time; ++n) {
      const Crossing& c = crossings[n];
      Side& side = sides[static_cast<std::size_t>(c.strand)];
      if (c.what == Crossing::front) side.front = c.value != 0;
      if (c.what == Crossing::back) side.back = c.value != 0;
      if (c.what == Crossing::count) side.count = c.value;
    }
    const int next = current_level();
    if (next != level && time > after_time) return {next, time};
    level = next;
  }
  return {level, std::nullopt};
}

int FilamentWorld::level(SensorId sensor, double print_time) const {
  return sweep(sensor, print_time, print_time).level;
}

double FilamentWorld::hall_diameter_mm(double print_time) const {
  return level(SensorId::extruder_entry(), print_time) ? geometry_.filament_diameter_mm : 0.;
}

std::optional<double> FilamentWorld::next_change(SensorId sensor, double after_time,
                                                 double until_time) const {
  if (until_time <= after_time) return std::nullopt;
  return sweep(sensor, after_time, until_time).change;
}

}  // namespace sim
