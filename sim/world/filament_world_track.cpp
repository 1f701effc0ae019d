#include "sim/world/filament_world_track.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {
double direction(double v, double a) {
  if (v != 0.) return v > 0. ? 1. : -1.;
  if (a != 0.) return a > 0. ? 1. : -1.;
  return 0.;
}
}  // namespace

double crossing_time(const TipPiece& piece, double p) {
  const double dx = p - piece.x0;
  const double duration = piece.t1 - piece.t0;
  double dt;
  if (piece.accel == 0.) {
    dt = piece.v0 != 0. ? dx / piece.v0 : 0.;
  } else {
    // Root of x0 + v0 dt + a dt^2 / 2 = p on the side the piece moves towards, in the form
    // that does not cancel when v0 dominates.
    const double disc = std::max(0., piece.v0 * piece.v0 + 2. * piece.accel * dx);
    const double q = piece.v0 + std::copysign(std::sqrt(disc), direction(piece.v0, piece.accel));
    dt = q != 0. ? 2. * dx / q : 0.;
  }
  return piece.t0 + std::clamp(dt, 0., duration);
}

double TipTrackBuilder::emit(double u0, double u1, double v, double a, bool stop_at_gears) {
  double splits[3] = {u0, u1, u1};
  int count = 1;
  if (a != 0.) {
    const double vertex = u0 - v / a;
    if (vertex > u0 && vertex < u1) splits[count++] = vertex;
  }
  splits[count] = u1;
  for (int i = 0; i < count; ++i) {
    const double s = splits[i], e = splits[i + 1];
    const double vs = v + a * (s - u0);
    const double dt = e - s;
    TipPiece piece{s, e, tip_mm_, tip_mm_ + (vs + 0.5 * a * dt) * dt, vs, a};
    if (piece.x1 == piece.x0) continue;
    if (limit_mm_ && piece.x1 > *limit_mm_ && piece.x1 > piece.x0) {
      if (piece.x0 >= *limit_mm_) continue;
      piece.t1 = crossing_time(piece, *limit_mm_);
      piece.x1 = *limit_mm_;
      if (piece.t1 > piece.t0) pieces_.push_back(piece);
      tip_mm_ = *limit_mm_;
      continue;
    }
    // Engaged means at or past the gears, so a strand that just let go sits exactly on them.
    const bool leaves = engaged_ ? piece.x0 >= gears_mm_ && piece.x1 < gears_mm_
                                 : piece.x0 <= gears_mm_ && piece.x1 >= gears_mm_;
    if (stop_at_gears && leaves) {
      piece.t1 = crossing_time(piece, gears_mm_);
      piece.x1 = gears_mm_;
      if (piece.t1 > piece.t0) pieces_.push_back(piece);
      tip_mm_ = gears_mm_;
      return piece.t1;
    }
    pieces_.push_back(piece);
    tip_mm_ = piece.x1;
  }
  return u1;
}

void TipTrackBuilder::jump(double time, double to_mm) {
  pieces_.push_back({time, time, tip_mm_, to_mm, 0., 0.});
  tip_mm_ = to_mm;
  engaged_ = tip_mm_ >= gears_mm_;
}

void TipTrackBuilder::drive(double u0, double u1, double slot_v, double slot_a,
                            bool extruder_drives, double ext_v, double ext_a) {
  if (!extruder_drives) {
    emit(u0, u1, slot_v, slot_a, false);
    engaged_ = tip_mm_ >= gears_mm_;
    return;
  }
  double u = u0;
  for (int flips = 0; u < u1; ++flips) {
    const double sv = slot_v + slot_a * (u - u0), ev = ext_v + ext_a * (u - u0);
    const double v = engaged_ ? sv + ev : sv, a = engaged_ ? slot_a + ext_a : slot_a;
    const double stopped = emit(u, u1, v, a, true);
    if (stopped >= u1) return;
    engaged_ = !engaged_;
    u = stopped;
    // Pushed in by the slot while the gears pull it back (or the reverse): the tip stays at
    // the gears until the drives change.
    const double svn = slot_v + slot_a * (u - u0), evn = ext_v + ext_a * (u - u0);
    const double next_dir =
        engaged_ ? direction(svn + evn, slot_a + ext_a) : direction(svn, slot_a);
    const bool bounces_back = engaged_ ? next_dir < 0. : next_dir > 0.;
    if (bounces_back || flips > 4) {
      engaged_ = true;
      return;
    }
  }
}

}  // namespace sim
