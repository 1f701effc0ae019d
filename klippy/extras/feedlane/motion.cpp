// The slot's move clock and its feed moves on the private queue.
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"
#include "klippy/host/toolhead.h"

namespace feedlane {
namespace {

// How long finished moves stay on the slot's queue for position queries.
constexpr double kMoveHistoryS = 30.;

}  // namespace

void BoxExtruderStepper::sync_print_time() {
  klippy::Toolhead& head = toolhead();
  const double print_time = head.get_last_move_time();
  if (next_cmd_time_ > print_time) {
    // Later toolhead moves, the extruder's among them, start after the slot's moves.
    head.dwell(next_cmd_time_ - print_time);
  } else {
    next_cmd_time_ = print_time;
  }
}

void BoxExtruderStepper::do_move(double movepos_mm, double speed_mm_s, double accel_mm_s2) {
  queue_move(movepos_mm, speed_mm_s, accel_mm_s2);
  toolhead().note_kinematic_activity(next_cmd_time_);
}

double BoxExtruderStepper::queue_move(double movepos_mm, double speed_mm_s, double accel_mm_s2) {
  sync_print_time();
  // The position reset below is only sound once the earlier moves have their steps.
  toolhead().flush_step_generation();
  trapq_->finalize_moves(next_cmd_time_, next_cmd_time_ - kMoveHistoryS);
  // Takes the motor off the extruder's queue if it followed it.
  stepper_.set_trapq(trapq_);
  follows_extruder_ = false;
  // Every move is relative to wherever the filament stands; no slot position is kept.
  stepper_.set_position({0., 0., 0.});
  const klippy::MoveTime move = klippy::calc_move_time(movepos_mm, speed_mm_s, accel_mm_s2);
  // The direction rides on the signs of velocity and acceleration along a fixed axis.
  trapq_->append(next_cmd_time_, move.accel_t, move.cruise_t, move.accel_t, {0., 0., 0.},
                 {1., 0., 0.}, 0., move.cruise_v * move.axis_r, accel_mm_s2 * move.axis_r);
  const double start_time = next_cmd_time_;
  next_cmd_time_ += move.accel_t + move.cruise_t + move.accel_t;
  black_box_.feed_move(stepper_num_, movepos_mm, move.cruise_v, accel_mm_s2, start_time,
                       next_cmd_time_);
  variables_.stats().add_fed_mm(stepper_num_, movepos_mm);
  return start_time;
}

double BoxExtruderStepper::queued_moves_end() {
  const double now = reactor_.monotonic();
  const feedhub::EndstopList& endstops = r_endstop_.get_endstops();
  if (endstops.empty()) return now;
  const double left = next_cmd_time_ - endstops.front().first->get_mcu().estimated_print_time(now);
  return left > 0. ? now + left : now;
}

void BoxExtruderStepper::dwell(double delay_s) {
  next_cmd_time_ += delay_s > 0. ? delay_s : 0.;
}

void BoxExtruderStepper::disable_stepper() {
  dwell(DISABLE_DELAY);
  sync_print_time();
  // A slot that pushes with the extruder keeps its motor on and goes back to following it.
  if (follow_extruder_if_coupled()) return;
  se_.motor_disable(next_cmd_time_);
}

}  // namespace feedlane
