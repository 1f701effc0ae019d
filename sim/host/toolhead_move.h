// One move of the toolhead as the planner sees it: distances, direction ratios, the speed and
// acceleration that apply after every limit, and the trapezoid it runs as. Moves start and
// end at rest: there is no look-ahead joining them.
#pragma once

#include <array>

#include "klippy/host/toolhead.h"

namespace sim {

struct PlannedMove {
  // An XYZ move runs at up to `max_velocity_mm_s` with `max_accel_mm_s2`; a move without XYZ
  // travel is extrude-only and gets its limits from the extruder.
  PlannedMove(const klippy::Position& start, const klippy::Position& end, double speed_mm_s,
              double max_velocity_mm_s, double max_accel_mm_s2);

  void limit_speed(double speed_mm_s, double accel_mm_s2);
  // Splits the move into its accelerate, cruise and decelerate phases.
  void plan();
  double duration_s() const { return accel_t + cruise_t + decel_t; }

  klippy::Position start_pos;
  klippy::Position end_pos;
  std::array<double, 4> axes_d{};
  std::array<double, 4> axes_r{};
  double move_d = 0.;  // XYZ length, or |E| for an extrude-only move
  bool is_kinematic = true;
  double velocity_mm_s = 0.;
  double accel_mm_s2 = 0.;
  double accel_t = 0., cruise_t = 0., decel_t = 0., cruise_v = 0.;
};

}  // namespace sim
