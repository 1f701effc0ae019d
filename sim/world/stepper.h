// A simulated stepper: follows axis 0 of whichever motion queue it is attached to.
#pragma once

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/motion.h"
#include "sim/world/trapq.h"

namespace sim {

struct StepperParams {
  std::string name;  // full section name
  double rotation_distance_mm = 0.;
  int microsteps = 16;
  int full_steps_per_rotation = 200;
  double gear_ratio = 1.;
};

class SimStepper : public klippy::Stepper {
 public:
  // Throws klippy::ConfigError naming the stepper when a parameter is not positive.
  explicit SimStepper(StepperParams params);

  const std::string& get_name() const override { return params_.name; }
  // Motion already queued on either queue belongs to the old attachment; the new queue
  // drives the stepper from the later of the two queues' end times on.
  klippy::TrapqPtr set_trapq(klippy::TrapqPtr trapq) override;
  klippy::TrapqPtr get_trapq() const override { return trapq_; }
  // The queue's final position maps to coord[0] from now on.
  void set_position(klippy::Coord coord) override;
  double calc_position_from_coord(klippy::Coord coord) const override { return coord[0]; }
  double get_step_dist() const override;
  double get_commanded_position(double print_time) const override;

  // An endstop trip at `t`: the stepper holds its position from `t` on.
  void stop_at(double t);

  // Motion of this stepper in [t0, t1], across queue changes, in time order.
  std::vector<Segment> segments(double t0, double t1) const;
  // The queue that drives the stepper at print time `t` (nullptr: none, or not simulated).
  const SimTrapq* queue_at(double t) const;
  // Forgets attachments that ended before `t`.
  void drop_history_before(double t);

 private:
  struct Attachment {
    std::shared_ptr<SimTrapq> queue;
    double from;   // print time from which it drove the stepper
    double until;  // print time at which the next attachment took over
  };

  StepperParams params_;
  klippy::TrapqPtr trapq_;
  std::shared_ptr<SimTrapq> sim_trapq_;  // trapq_ when it is simulated
  double offset_mm_ = 0.;
  double attached_since_ = -std::numeric_limits<double>::infinity();
  std::vector<Attachment> history_;
};

}  // namespace sim
