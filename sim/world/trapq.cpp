#include "sim/world/trapq.h"

#include <algorithm>

namespace sim {

klippy::Coord SimTrapq::Phase::position_after(double dt) const {
  const double dist = distance_at(dt);
  return {start_pos[0] + axes_r[0] * dist, start_pos[1] + axes_r[1] * dist,
          start_pos[2] + axes_r[2] * dist};
}

void SimTrapq::append(double print_time, double accel_t, double cruise_t, double decel_t,
                      klippy::Coord start_pos, klippy::Coord axes_r, double start_v,
                      double cruise_v, double accel) {
  Phase phase{print_time, 0., start_v, 0.5 * accel, start_pos, axes_r};
  if (accel_t > 0.) {
    phase.duration = accel_t;
    add_phase(phase);
    phase.start_pos = phase.position_after(accel_t);
    phase.start_time += accel_t;
  }
  if (cruise_t > 0.) {
    phase.duration = cruise_t;
    phase.start_v = cruise_v;
    phase.half_accel = 0.;
    add_phase(phase);
    phase.start_pos = phase.position_after(cruise_t);
    phase.start_time += cruise_t;
  }
  if (decel_t > 0.) {
    phase.duration = decel_t;
    phase.start_v = cruise_v;
    phase.half_accel = -0.5 * accel;
    add_phase(phase);
  }
}

void SimTrapq::add_phase(const Phase& phase) {
  end_time_ = std::max(end_time_, phase.end_time());
  if (phases_.empty() || phases_.back().start_time <= phase.start_time) {
    phases_.push_back(phase);
    return;
  }
  auto pos = std::upper_bound(phases_.begin(), phases_.end(), phase.start_time,
                              [](double t, const Phase& p) { return t < p.start_time; });
  phases_.insert(pos, phase);
}

void SimTrapq::finalize_moves(double print_time, double clear_history_time) {
  while (!phases_.empty()) {
    const Phase& first = phases_.front();
    const double end = first.end_time();
    if (end > print_time || end >= clear_history_time) break;
    freed_end_pos_ = first.position_after(first.duration);
    freed_any_ = true;
    phases_.pop_front();
  }
}

long SimTrapq::last_started(double t) const {
  auto it = std::upper_bound(phases_.begin(), phases_.end(), t,
                             [](double v, const Phase& p) { return v < p.start_time; });
  return static_cast<long>(it - phases_.begin()) - 1;
}

klippy::Coord SimTrapq::position_at(double print_time) const {
  const long idx = last_started(print_time);
  if (idx < 0) {
    if (freed_any_ || phases_.empty()) return freed_end_pos_;
    return phases_.front().start_pos;
  }
  const Phase& phase = phases_[static_cast<std::size_t>(idx)];
  const double dt = std::min(print_time - phase.start_time, phase.duration);
  return phase.position_after(dt);
}

klippy::Coord SimTrapq::end_position() const {
  if (phases_.empty()) return freed_end_pos_;
  const Phase& last = phases_.back();
  return last.position_after(last.duration);
}

std::vector<Segment> SimTrapq::segments(double t0, double t1) const {
  std::vector<Segment> out;
  if (t1 <= t0) return out;
  long idx = std::max(last_started(t0), 0L);
  for (auto i = static_cast<std::size_t>(idx); i < phases_.size(); ++i) {
    const Phase& p = phases_[i];
    if (p.start_time >= t1) break;
    const double s = std::max(t0, p.start_time);
    const double e = std::min(t1, p.end_time());
    if (e <= s) continue;
    const double dt = s - p.start_time;
    out.push_back({s, e, p.start_pos[0] + p.axes_r[0] * p.distance_at(dt),
                   p.axes_r[0] * (p.start_v + 2. * p.half_accel * dt),
                   p.axes_r[0] * 2. * p.half_accel});
  }
  return out;
}

void SimTrapq::truncate_at(double t) {
  while (!phases_.empty() && phases_.back().start_time >= t) phases_.pop_back();
  if (!phases_.empty() && phases_.back().end_time() > t)
    phases_.back().duration = t - phases_.back().start_time;
  end_time_ = std::min(end_time_, t);
}

}  // namespace sim
