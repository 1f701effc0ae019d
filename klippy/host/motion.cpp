// The phase split that force_move uses for a single-axis move.
#include "klippy/host/motion.h"

#include <cmath>

namespace klippy {

MoveTime calc_move_time(double dist, double speed, double accel) {
  double axis_r = 1.;
  if (dist < 0.) {
    axis_r = -1.;
    dist = -dist;
  }
  if (accel == 0. || dist == 0.) return {axis_r, 0., dist / speed, speed};
  // Too short to reach the requested speed: the move becomes a pure accel/decel triangle.
  const double max_cruise_v2 = dist * accel;
  if (max_cruise_v2 < speed * speed) speed = std::sqrt(max_cruise_v2);
  const double accel_t = speed / accel;
  const double accel_decel_d = accel_t * speed;
  const double cruise_t = (dist - accel_decel_d) / speed;
  return {axis_r, accel_t, cruise_t, speed};
}

}  // namespace klippy
