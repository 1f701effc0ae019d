// The path of one strand's tip over time as monotone quadratic pieces, so that every
// sensor crossing can be solved exactly instead of sampled.
#pragma once

#include <optional>
#include <vector>

namespace sim {

// Tip motion over [t0, t1] that never reverses direction within the piece.
struct TipPiece {
  double t0, t1;
  double x0, x1;  // tip at t0 and t1; x1 is also the next piece's x0
  double v0, accel;

  double position_at(double t) const {
    const double dt = t - t0;
    return x0 + (v0 + 0.5 * accel * dt) * dt;
  }
};

// Time within `piece` at which the tip reaches `p`; `p` must lie between x0 and x1.
double crossing_time(const TipPiece& piece, double p);

// Builds the pieces from the drives acting on a strand. The extruder gears drive the strand
// only while its tip is at or past them, so the builder splits motion where the tip crosses
// the gears.
class TipTrackBuilder {
 public:
  TipTrackBuilder(double tip_mm, bool engaged, double gears_mm)
      : tip_mm_(tip_mm), engaged_(engaged), gears_mm_(gears_mm) {}

  // Motion over [u0, u1] with velocities given at u0 and constant accelerations.
  void drive(double u0, double u1, double slot_v, double slot_a, bool extruder_drives, double ext_v,
             double ext_a);

  // Forward motion stops at `limit_mm` (a closed entry): the strand buckles behind it.
  void set_limit(double limit_mm) { limit_mm_ = limit_mm; }
  // The tip moves to `to_mm` at `time` at once (a strand springing back).
  void jump(double time, double to_mm);

  double tip() const { return tip_mm_; }
  bool engaged() const { return engaged_; }
  std::vector<TipPiece>& pieces() { return pieces_; }

 private:
  // Emits monotone pieces from u0 until u1 or until the tip leaves the current side of the
  // gears; returns the time it stopped at.
  double emit(double u0, double u1, double v, double a, bool stop_at_gears);

  double tip_mm_;
  bool engaged_;
  double gears_mm_;
  std::optional<double> limit_mm_;
  std::vector<TipPiece> pieces_;
};

}  // namespace sim
