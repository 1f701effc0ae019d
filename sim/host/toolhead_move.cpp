#include "sim/host/toolhead_move.h"

#include <algorithm>
#include <cmath>

#include "klippy/host/motion.h"

namespace sim {
namespace {

// The host lets extrude-only moves accelerate freely; the extruder's own limit then applies.
constexpr double kUnlimitedAccel = 99999999.9;
constexpr double kMinMove_mm = 1e-9;

}  // namespace

PlannedMove::PlannedMove(const klippy::Position& start, const klippy::Position& end,
                         double speed_mm_s, double max_velocity_mm_s, double max_accel_mm_s2)
    : start_pos(start), end_pos(end) {
  for (int i = 0; i < 4; ++i) axes_d[i] = end[i] - start[i];
  move_d = std::sqrt(axes_d[0] * axes_d[0] + axes_d[1] * axes_d[1] + axes_d[2] * axes_d[2]);
  velocity_mm_s = std::min(speed_mm_s, max_velocity_mm_s);
  accel_mm_s2 = max_accel_mm_s2;
  if (move_d < kMinMove_mm) {
    for (int i = 0; i < 3; ++i) {
      end_pos[i] = start[i];
      axes_d[i] = 0.;
    }
    move_d = std::abs(axes_d[3]);
    velocity_mm_s = speed_mm_s;
    accel_mm_s2 = kUnlimitedAccel;
    is_kinematic = false;
  }
  const double inv_move_d = move_d > 0. ? 1. / move_d : 0.;
  for (int i = 0; i < 4; ++i) axes_r[i] = axes_d[i] * inv_move_d;
}

void PlannedMove::limit_speed(double speed_mm_s, double accel_mm_s2_limit) {
  velocity_mm_s = std::min(velocity_mm_s, speed_mm_s);
  accel_mm_s2 = std::min(accel_mm_s2, accel_mm_s2_limit);
}

void PlannedMove::plan() {
  if (move_d <= 0.) return;
  const klippy::MoveTime phases = klippy::calc_move_time(move_d, velocity_mm_s, accel_mm_s2);
  accel_t = phases.accel_t;
  cruise_t = std::max(0., phases.cruise_t);
  decel_t = phases.accel_t;
  cruise_v = phases.cruise_v;
}

}  // namespace sim
