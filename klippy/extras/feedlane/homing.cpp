// Homing moves of a slot against the box sensors: the sensor is armed on the box MCU before
// the move starts, the MCU stops the motor when it trips, and the rest of the move is
// dropped.
#include <algorithm>
#include <cmath>

#include "klippy/extras/feedhub/box_motion.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

// How far a move of `length_mm` that ends at `end` (print time) has gone by `at`.
double travelled_by(double length_mm, double speed_mm_s, double accel_mm_s2, double end,
                    double at) {
  const klippy::MoveTime move = klippy::calc_move_time(length_mm, speed_mm_s, accel_mm_s2);
  const double speed = std::abs(move.cruise_v);
  const double accel = move.accel_t > 0. ? speed / move.accel_t : 0.;
  const double total_t = 2. * move.accel_t + move.cruise_t;
  const double t = std::clamp(at - (end - total_t), 0., total_t);
  const double ramp_mm = 0.5 * accel * move.accel_t * move.accel_t;
  if (t <= move.accel_t) return 0.5 * accel * t * t;
  if (t <= move.accel_t + move.cruise_t) return ramp_mm + speed * (t - move.accel_t);
  const double braking_t = t - move.accel_t - move.cruise_t;
  return std::min(length_mm, ramp_mm + speed * move.cruise_t + speed * braking_t -
                                 0.5 * accel * braking_t * braking_t);
}

// Slower retries after a jam never go below this speed.
constexpr double kMinRetrySpeedMmS = 10.;
constexpr int kJamRetries = 3;
constexpr double kJamRetryPauseS = 1.;
constexpr double kJamBackOffMm = 5.;
constexpr double kJamBackOffSpeedMmS = 10.;
constexpr double kJamBackOffAccelMmS2 = 10.;
// A homing move's steps are asked for in slices this long, at most this far ahead of the MCU.
constexpr double kDripSegmentS = 0.05;
constexpr double kDripAheadS = 0.1;
constexpr double kDripWaitResolutionS = 0.001;
// Far enough ahead that finalising drops every move still planned on the queue.
constexpr double kDropPlannedMovesS = 99999.9;

}  // namespace

bool BoxExtruderStepper::do_home(const feedhub::EndstopList& endstops, double movepos_mm,
                                 double speed_mm_s, double accel_mm_s2, bool triggered,
                                 bool motion) {
  dwell(DISABLE_DELAY);
  sync_print_time();
  const HomingPos pos{movepos_mm, 0., 0., 0.};
  std::vector<klippy::CompletionPtr> endstop_waits;
  for (const auto& [endstop, name] : endstops) {
    const double rest_time = _calc_endstop_rate(*endstop, pos, speed_mm_s);
    endstop_waits.push_back(endstop->home_start(next_cmd_time_, ENDSTOP_SAMPLE_TIME,
                                                ENDSTOP_SAMPLE_COUNT, rest_time, triggered));
  }
  klippy::CompletionPtr all_endstop_trigger = multi_complete(endstop_waits);
  dwell(HOMING_START_DELAY);

  const double move_start = next_cmd_time_;
  const std::string first_name = endstops.empty() ? std::string() : endstops.front().second;
  if (motion) {
    // Only the cruise phase is watched for a stall.
    const klippy::MoveTime move = klippy::calc_move_time(movepos_mm, speed_mm_s, accel_mm_s2);
    b_motion_.init_box_motion(first_name, speed_mm_s, move.accel_t, move.accel_t + move.cruise_t);
    // The move may start seconds from now, behind the slot's earlier moves and pauses (a
    // cut's pull-back, a jam retry's back-off): the monitor's clock, and so its wait for the
    // first encoder change, starts with the move, or it stops a move that has barely begun.
    const double now = reactor_.monotonic();
    double wake = now;
    if (!endstops.empty()) {
      const double ahead = move_start - endstops.front().first->get_mcu().estimated_print_time(now);
      if (ahead > 0.) wake = now + ahead;
    }
    reactor_.update_timer(b_motion_.box_motion_timer(), wake);
  }

  std::optional<std::string> error;
  try {
    drip_move(pos, speed_mm_s, accel_mm_s2, all_endstop_trigger);
  } catch (const klippy::CommandError& e) {
    error = std::string("Error during homing move: ") + e.what();
  }
  const double planned_end = next_cmd_time_;

  bool home_success = false;
  for (const auto& [endstop, name] : endstops) {
    double trigger_time = 0.;
    try {
      trigger_time = endstop->home_wait(next_cmd_time_);
    } catch (const klippy::CommandError& e) {
      if (!error) error = "Error during homing " + name + ": " + e.what();
      continue;
    }
    if (trigger_time > 0.) {
      // The next move starts shortly after the trip, not where the planned move would end.
      black_box_.move_stopped(stepper_num_, trigger_time);
      // The feed counted the whole move as it was queued; the first trip cut it short. The
      // correction waits for the next save like any count.
      if (movepos_mm > 0. && !home_success) {
        feedhub::StatsBySlot correction;
        correction[stepper_num_].fed_mm =
            travelled_by(movepos_mm, speed_mm_s, accel_mm_s2, planned_end, trigger_time) -
            movepos_mm;
        variables_.stats().put_back(correction);
      }
      next_cmd_time_ = trigger_time + DISABLE_DELAY;
      trapq_->finalize_moves(next_cmd_time_ + kDropPlannedMovesS,
                             next_cmd_time_ + kDropPlannedMovesS);
      home_success = true;
    }
  }
  // As the host does after every homing move: the steps of what is left of the move are
  // generated now, before anything resets the slot's position.
  toolhead().flush_step_generation();
  if (motion) {
    b_motion_.init_box_motion(first_name, 0, 0, 0);
    reactor_.update_timer(b_motion_.box_motion_timer(), klippy::Reactor::NEVER);
  }
  if (error) throw klippy::CommandError(*error);
  return home_success;
}

bool BoxExtruderStepper::do_home_repeatedly(feedhub::BoxEndstop& box_endstop, double movepos_mm,
                                            double speed_mm_s, double accel_mm_s2, bool triggered) {
  const feedhub::EndstopList& endstops = box_endstop.get_endstops();
  bool home_success = do_home(endstops, movepos_mm, speed_mm_s, accel_mm_s2, triggered, true);
  for (int retry = 0; retry < kJamRetries && box_endstop.scram(); ++retry) {
    speed_mm_s = std::max(kMinRetrySpeedMmS, speed_mm_s / 2.);
    box_endstop.set_scram(false);
    dwell(kJamRetryPauseS);
    // Backs off against the homing direction to loosen the filament.
    do_move(movepos_mm > 0. ? -kJamBackOffMm : kJamBackOffMm, kJamBackOffSpeedMmS,
            kJamBackOffAccelMmS2);
    home_success = do_home(endstops, movepos_mm, speed_mm_s, accel_mm_s2, triggered, true);
  }
  if (box_endstop.scram()) home_success = false;
  return home_success;
}

double BoxExtruderStepper::_calc_endstop_rate(klippy::McuEndstop& mcu_endstop,
                                              const HomingPos& movepos, double speed_mm_s) const {
  const HomingPos startpos{0., 0., 0., 0.};
  HomingPos axes_d{};
  for (std::size_t i = 0; i < axes_d.size(); ++i) axes_d[i] = movepos[i] - startpos[i];
  const double move_d =
      std::sqrt(axes_d[0] * axes_d[0] + axes_d[1] * axes_d[1] + axes_d[2] * axes_d[2]);
  const double move_t = move_d / speed_mm_s;
  double max_steps = 0.;
  for (klippy::Stepper* stepper : mcu_endstop.get_steppers()) {
    const double from = stepper->calc_position_from_coord({startpos[0], startpos[1], startpos[2]});
    const double to = stepper->calc_position_from_coord({movepos[0], movepos[1], movepos[2]});
    max_steps = std::max(max_steps, std::abs(from - to) / stepper->get_step_dist());
  }
  if (max_steps <= 0.) return 0.001;
  return move_t / max_steps;
}

void BoxExtruderStepper::drip_move(const HomingPos& newpos, double speed_mm_s, double accel_mm_s2,
                                   const klippy::CompletionPtr& drip_completion) {
  // The host is asked for the move's steps a little at a time, as its own homing does: steps
  // asked for are steps the toolhead waits out, so asking for the whole move at once would
  // hold every later move until the planned end, however early the sensor trips.
  const double start_time = queue_move(newpos[0], speed_mm_s, accel_mm_s2);
  const double end_time = next_cmd_time_;
  const feedhub::EndstopList& endstops = r_endstop_.get_endstops();
  double flush_time = start_time;
  while (flush_time < end_time) {
    if (drip_completion->test()) break;
    const double now = reactor_.monotonic();
    const double est_print_time =
        endstops.empty() ? flush_time : endstops.front().first->get_mcu().estimated_print_time(now);
    const double wait_s = flush_time - est_print_time - kDripAheadS;
    // A wait shorter than the clocks' rounding would never let the MCU's clock catch up.
    // In batch mode no clock runs: the host's own homing does not wait either.
    const bool can_pause = endstops.empty() || !endstops.front().first->get_mcu().is_fileoutput();
    if (can_pause && wait_s > kDripWaitResolutionS) {
      drip_completion->wait(now + wait_s);
      continue;
    }
    flush_time = std::min(flush_time + kDripSegmentS, end_time);
    toolhead().note_kinematic_activity(flush_time);
  }
}

klippy::CompletionPtr BoxExtruderStepper::multi_complete(
    const std::vector<klippy::CompletionPtr>& completions) {
  if (completions.size() == 1) return completions.front();
  klippy::CompletionPtr cp = reactor_.register_callback([completions](double) {
    klippy::Value::List results;
    for (const auto& c : completions) results.push_back(c->wait());
    return klippy::Value(std::move(results));
  });
  // Any trip ends the join early.
  for (const auto& c : completions) {
    reactor_.register_callback([cp, c](double) {
      if (c->wait().truthy()) cp->complete(klippy::Value(1));
      return klippy::Value(0);
    });
  }
  return cp;
}

}  // namespace feedlane
