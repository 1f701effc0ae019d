// The filament motion monitor: a stall detector that aborts a slot's homing move when the
// filament stops moving, and a toggle counter for the self-inspection, both reading the
// encoder switch of "filament_motion_sensor box_motion_sensor".
#pragma once

#include <optional>
#include <string>

#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/host/config.h"
#include "klippy/host/devices.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"

namespace feedhub {

class BoxMotion {
 public:
  static constexpr double kTickS = 0.01;
  // The first level change must come this long after arming.
  static constexpr double kFirstChangeLimitS = 2.5;
  static constexpr double kCountSampleS = 0.1;

  explicit BoxMotion(klippy::ConfigSection& config);

  // Arms the stall detector for one move on the endstop `name` ("b_endstop", "e_endstop")
  // fed at `speed_mm_s`; the speed is checked only between `start_s` and `end_s` after the
  // first level change. The caller wakes box_motion_timer() and parks it after the move.
  void init_box_motion(std::optional<std::string> name = std::nullopt, double speed_mm_s = 0,
                       double start_s = 0, double end_s = 0);
  double update_box_motion(double eventtime);
  // Forces the monitored move's endstop to its end level and marks it as scrammed.
  void box_scram();
  const klippy::TimerHandle& box_motion_timer() const { return box_motion_timer_.handle(); }

  // Counts level changes for `time_limit_s`; has_change() turns true at `check_num`.
  void check_motion_state(double time_limit_s, int check_num);
  void stop_check_motion();
  bool has_change() const { return has_change_; }
  bool check_motion_active() const { return check_motion_active_; }
  int change_num() const { return change_num_; }

  double detection_length() const { return detection_length_; }
  double motion_speed() const { return motion_speed_; }
  double motion_time() const { return motion_time_; }
  bool start_motion() const { return start_motion_; }
  int stop_count() const { return stop_count_; }
  const std::optional<std::string>& endstop_name() const { return endstop_name_; }

 private:
  double check_motion_callback(double eventtime);

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  klippy::FilamentMotionSensor& box_motion_sensor_;
  // Detection length per tick: divided by a number of ticks it gives a speed in mm/s.
  double detection_length_;
  double motion_speed_ = 5;
  double motion_time_ = 0;
  double motion_start_time_ = 0;
  double motion_end_time_ = 0;
  bool start_motion_ = false;
  int last_state_ = 0;
  int stop_count_ = 0;
  std::optional<std::string> endstop_name_;
  ScopedTimer box_motion_timer_;

  bool check_motion_active_ = false;
  bool has_change_ = false;
  int change_num_ = 0;
  double time_limit_s_ = 0;
  int check_num_ = 0;
  ScopedTimer check_motion_timer_;
  double motion_check_start_time_ = 0;
  int last_button_state_ = 0;
};

}  // namespace feedhub
