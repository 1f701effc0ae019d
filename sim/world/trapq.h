// A trapezoid motion queue on print time, with the queries the filament world needs.
#pragma once

#include <deque>
#include <limits>
#include <vector>

#include "klippy/host/motion.h"

namespace sim {

// One constant-acceleration stretch of axis-0 motion, clipped to a query window.
struct Segment {
  double start_time;
  double end_time;
  double start_pos;  // axis-0 position at start_time
  double start_v;    // axis-0 velocity at start_time (signed)
  double accel;      // axis-0 acceleration (signed)

  double position_at(double t) const {
    const double dt = t - start_time;
    return start_pos + (start_v + 0.5 * accel * dt) * dt;
  }
  double velocity_at(double t) const { return start_v + accel * (t - start_time); }
};

class SimTrapq : public klippy::Trapq {
 public:
  void append(double print_time, double accel_t, double cruise_t, double decel_t,
              klippy::Coord start_pos, klippy::Coord axes_r, double start_v, double cruise_v,
              double accel) override;
  void finalize_moves(double print_time, double clear_history_time) override;
  // Before the first move and after the last one the position holds.
  klippy::Coord position_at(double print_time) const override;

  // Every phase overlapping [t0, t1], clipped to it, in time order.
  std::vector<Segment> segments(double t0, double t1) const;
  // An endstop trip at `t`: motion stops there and nothing queued after it is executed.
  void truncate_at(double t);

  // End of the last queued move (or of the last one freed); -infinity for a new queue.
  double end_time() const { return end_time_; }
  // Position once every queued move has run.
  klippy::Coord end_position() const;
  std::size_t queued_phases() const { return phases_.size(); }
  // True while moves are queued whose steps the real host would not have generated yet.
  virtual bool has_ungenerated_moves() const { return false; }

 private:
  struct Phase {
    double start_time;
    double duration;
    double start_v;
    double half_accel;
    klippy::Coord start_pos;
    klippy::Coord axes_r;

    double end_time() const { return start_time + duration; }
    double distance_at(double dt) const { return (start_v + half_accel * dt) * dt; }
    klippy::Coord position_after(double dt) const;
  };
  void add_phase(const Phase& phase);
  // Index of the last phase starting at or before `t`, or -1.
  long last_started(double t) const;

  std::deque<Phase> phases_;
  klippy::Coord freed_end_pos_{};  // where the newest freed phase left off
  bool freed_any_ = false;
  double end_time_ = -std::numeric_limits<double>::infinity();
};

}  // namespace sim
