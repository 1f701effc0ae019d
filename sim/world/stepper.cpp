#include "sim/world/stepper.h"

#include <algorithm>
#include <stdexcept>

#include "klippy/host/errors.h"

namespace sim {

SimStepper::SimStepper(StepperParams params) : params_(std::move(params)) {
  if (!(params_.rotation_distance_mm > 0.))
    throw klippy::ConfigError("Option 'rotation_distance' in section '" + params_.name +
                              "' must be above 0; give the distance one motor turn moves");
  if (params_.microsteps <= 0 || params_.full_steps_per_rotation <= 0)
    throw klippy::ConfigError("Options 'microsteps' and 'full_steps_per_rotation' in section '" +
                              params_.name + "' must be positive integers");
  if (!(params_.gear_ratio > 0.))
    throw klippy::ConfigError("Option 'gear_ratio' in section '" + params_.name +
                              "' must be above 0");
}

double SimStepper::get_step_dist() const {
  return params_.rotation_distance_mm /
         (params_.full_steps_per_rotation * params_.microsteps * params_.gear_ratio);
}

klippy::TrapqPtr SimStepper::set_trapq(klippy::TrapqPtr trapq) {
  double switch_time = attached_since_;
  if (sim_trapq_) switch_time = std::max(switch_time, sim_trapq_->end_time());
  auto new_sim = std::dynamic_pointer_cast<SimTrapq>(trapq);
  if (new_sim) switch_time = std::max(switch_time, new_sim->end_time());
  if (sim_trapq_) history_.push_back({sim_trapq_, attached_since_, switch_time});
  attached_since_ = switch_time;
  sim_trapq_ = std::move(new_sim);
  klippy::TrapqPtr previous = std::move(trapq_);
  trapq_ = std::move(trapq);
  return previous;
}

void SimStepper::set_position(klippy::Coord coord) {
  if (sim_trapq_ && sim_trapq_->has_ungenerated_moves()) {
    // The real host steps the old moves from the new position and its step compression
    // fails ("Invalid sequence"), which shuts the printer down.
    throw std::logic_error("Internal error in stepcompress: the position of '" + params_.name +
                           "' was reset before its queued moves had their steps");
  }
  const double queue_pos = trapq_ ? (sim_trapq_ ? sim_trapq_->end_position()[0]
                                                : trapq_->position_at(attached_since_)[0])
                                  : 0.;
  offset_mm_ = calc_position_from_coord(coord) - queue_pos;
}

double SimStepper::get_commanded_position(double print_time) const {
  if (!trapq_) return offset_mm_;
  return trapq_->position_at(print_time)[0] + offset_mm_;
}

void SimStepper::stop_at(double t) {
  if (sim_trapq_) sim_trapq_->truncate_at(t);
}

std::vector<Segment> SimStepper::segments(double t0, double t1) const {
  std::vector<Segment> out;
  auto add = [&](const SimTrapq& queue, double from, double until) {
    const double lo = std::max(t0, from), hi = std::min(t1, until);
    if (hi <= lo) return;
    auto part = queue.segments(lo, hi);
    out.insert(out.end(), part.begin(), part.end());
  };
  for (const Attachment& a : history_) add(*a.queue, a.from, a.until);
  if (sim_trapq_) add(*sim_trapq_, attached_since_, std::numeric_limits<double>::infinity());
  return out;
}

const SimTrapq* SimStepper::queue_at(double t) const {
  if (t >= attached_since_) return sim_trapq_.get();
  for (const Attachment& a : history_)
    if (t >= a.from && t < a.until) return a.queue.get();
  return nullptr;
}

void SimStepper::drop_history_before(double t) {
  std::erase_if(history_, [t](const Attachment& a) { return a.until < t; });
}

}  // namespace sim
