#include "klippy/extras/feedhub/box_motion.h"

#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {

BoxMotion::BoxMotion(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      reactor_(printer_.get_reactor()),
      box_motion_sensor_(printer_.load_object<klippy::FilamentMotionSensor>(
          config, "filament_motion_sensor box_motion_sensor")),
      detection_length_(box_motion_sensor_.detection_length() / kTickS),
      box_motion_timer_(reactor_,
                        [this](double eventtime) { return update_box_motion(eventtime); }) {}

void BoxMotion::init_box_motion(std::optional<std::string> name, double speed_mm_s, double start_s,
                                double end_s) {
  endstop_name_ = std::move(name);
  stop_count_ = 0;
  motion_time_ = 0;
  motion_start_time_ = start_s;
  motion_end_time_ = end_s;
  motion_speed_ = speed_mm_s / 2;
  start_motion_ = false;
  last_state_ = box_motion_sensor_.button_state();
}

double BoxMotion::update_box_motion(double eventtime) {
  int state = box_motion_sensor_.button_state();
  if (!start_motion_) {
    if (state == last_state_) {
      if (motion_time_ > kFirstChangeLimitS) box_scram();
    } else {
      // The speed window is measured from the first level change.
      start_motion_ = true;
      last_state_ = state;
      motion_time_ = 0;
    }
  } else if (motion_start_time_ < motion_time_ && motion_time_ < motion_end_time_) {
    if (state == last_state_) {
      stop_count_ += 1;
      // Too slow once one detection length takes longer than at half the feed speed.
      if (detection_length_ / stop_count_ < motion_speed_) box_scram();
    } else {
      last_state_ = state;
      stop_count_ = 0;
    }
  }
  motion_time_ += kTickS;
  return eventtime + kTickS;
}

void BoxMotion::box_scram() {
  auto& hub = printer_.lookup_object<FeedHub>(FeedHub::kObjectName);
  if (endstop_name_ == "e_endstop") {
    hub.sensors().e_output().set_pin(0.0);  // filament present at the extruder entry
    hub.sensors().e_endstop().set_scram(true);
  } else if (endstop_name_ == "b_endstop") {
    hub.sensors().b_output().set_pin(1.0);  // box outlet clear
    hub.sensors().b_endstop().set_scram(true);
  }
}

void BoxMotion::check_motion_state(double time_limit_s, int check_num) {
  change_num_ = 0;
  time_limit_s_ = time_limit_s;
  check_num_ = check_num;
  has_change_ = false;
  last_button_state_ = box_motion_sensor_.button_state();
  check_motion_active_ = true;
  motion_check_start_time_ = reactor_.monotonic();
  // Replacing the previous count's timer keeps finished counts from piling up idle timers
  // and keeps a count restarted early from being sampled by two timers.
  check_motion_timer_ = ScopedTimer(
      reactor_, [this](double eventtime) { return check_motion_callback(eventtime); },
      reactor_.monotonic());
}

double BoxMotion::check_motion_callback(double eventtime) {
  if (!check_motion_active_) return klippy::Reactor::NEVER;
  if (reactor_.monotonic() - motion_check_start_time_ >= time_limit_s_) {
    check_motion_active_ = false;
    return klippy::Reactor::NEVER;
  }
  int current = box_motion_sensor_.button_state();
  if (current != last_button_state_) {
    change_num_ += 1;
    last_button_state_ = current;
    if (change_num_ == check_num_) has_change_ = true;
  }
  return eventtime + kCountSampleS;
}

void BoxMotion::stop_check_motion() {
  if (check_motion_active_ && check_motion_timer_) check_motion_timer_.reset();
  check_motion_active_ = false;
}

}  // namespace feedhub
