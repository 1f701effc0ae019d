#include "sim/host/toolhead.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim/host/environment.h"
#include "sim/host/print_stats.h"
#include "sim/host/stepper_enable.h"

namespace sim {
namespace {

// Executed motion is dropped from the steppers' records at most this often.
constexpr double kHistoryDropInterval_s = 1.;

constexpr std::pair<double, double> kNotHomed{1., -1.};
constexpr const char* kAxisLetters = "xyz";

// The host's text for a refused move names where it would have ended.
klippy::CommandError move_error(const PlannedMove& move, const char* what) {
  const klippy::Position& end = move.end_pos;
  char text[160];
  std::snprintf(text, sizeof text, "%s: %.3f %.3f %.3f [%.3f]", what, end[0], end[1], end[2],
                end[3]);
  return klippy::CommandError(text);
}

// What the host has in place of an extruder when none is configured.
class NoExtruder final : public klippy::Extruder {
 public:
  const std::string& get_name() const override { return name_; }
  klippy::Heater& get_heater() override { throw klippy::CommandError("Extruder not configured"); }
  klippy::TrapqPtr get_trapq() override { return nullptr; }
  double last_position() const override { return 0.; }

 private:
  std::string name_;
};

klippy::Value position_value(const klippy::Position& pos) {
  return klippy::Value(klippy::Value::List(pos.begin(), pos.end()));
}

}  // namespace

SimPrinterSettings::SimPrinterSettings(klippy::ConfigSection& config) {
  limits_.kinematics = config.getchoice("kinematics", {"cartesian", "corexy", "none"});
  limits_.max_velocity_mm_s = config.getfloat("max_velocity", {}, {.above = 0.});
  limits_.max_accel_mm_s2 = config.getfloat("max_accel", {}, {.above = 0.});
  limits_.minimum_cruise_ratio =
      config.getfloat("minimum_cruise_ratio", 0.5, {.minval = 0., .below = 1.});
  limits_.square_corner_velocity_mm_s =
      config.getfloat("square_corner_velocity", 5., {.minval = 0.});
  limits_.max_z_velocity_mm_s = limits_.max_velocity_mm_s;
  limits_.max_z_accel_mm_s2 = limits_.max_accel_mm_s2;
  if (limits_.kinematics == "none") return;
  limits_.rails = read_cartesian_rails(config);
  limits_.max_z_velocity_mm_s = config.getfloat("max_z_velocity", limits_.max_velocity_mm_s,
                                                {.maxval = limits_.max_velocity_mm_s, .above = 0.});
  limits_.max_z_accel_mm_s2 = config.getfloat("max_z_accel", limits_.max_accel_mm_s2,
                                              {.maxval = limits_.max_accel_mm_s2, .above = 0.});
}

SimToolhead::SimToolhead(klippy::Printer& printer, const ToolheadLimits& limits)
    : printer_(printer),
      reactor_(printer.get_reactor()),
      environment_(printer.lookup_object<SimEnvironment>(SimEnvironment::kName)),
      idle_timeout_(printer.lookup_object_or_null<SimIdleTimeout>("idle_timeout")),
      stepper_enable_(printer.lookup_object_or_null<SimStepperEnable>(SimStepperEnable::kName)),
      limits_(limits),
      max_accel_mm_s2_(limits.max_accel_mm_s2),
      extruder_(printer.lookup_object_or_null<SimExtruder>("extruder")) {
  for (auto& [name, object] : printer.lookup_objects("extruder")) {
    if (auto* extruder = dynamic_cast<SimExtruder*>(object))
      extruder->set_toolhead_limits(limits.max_velocity_mm_s, limits.max_accel_mm_s2);
  }
  if (!extruder_) no_extruder_ = std::make_unique<NoExtruder>();
  print_time_ = estimated_print_time();
  auto& gcode = printer.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command("G4", [this](klippy::GCodeCommand& gcmd) {
    dwell(gcmd.get_float("P", 0., {.minval = 0.}) / 1000.);
  });
  gcode.register_command("M400", [this](klippy::GCodeCommand&) { wait_moves(); });
  gcode.register_command("M204", [this](klippy::GCodeCommand& gcmd) { cmd_M204(gcmd); });
  gcode.register_command(
      "SET_VELOCITY_LIMIT", [this](klippy::GCodeCommand& gcmd) { cmd_SET_VELOCITY_LIMIT(gcmd); },
      "Set printer velocity limits");
  axis_limits_.fill(kNotHomed);
  printer.register_event_handler("stepper_enable:motor_off",
                                 [this] { axis_limits_.fill(kNotHomed); });
}

SimToolhead::~SimToolhead() = default;

double SimToolhead::estimated_print_time() const {
  return environment_.clock().print_time(reactor_.monotonic());
}

klippy::Extruder& SimToolhead::get_extruder() {
  if (extruder_) return *extruder_;
  return *no_extruder_;
}

double SimToolhead::get_last_move_time() {
  const double est_print_time = estimated_print_time();
  // The host keeps generating noted motion's steps in the background, and steps once
  // generated are sent: an idle toolhead restarts only after them, even when a trip has
  // stopped the motor long before.
  steps_generated_end_ = std::max(
      steps_generated_end_, std::min(activity_end_, est_print_time + kBackgroundFlushAhead_s));
  const double restart = std::max(est_print_time + kBufferTimeStart_s, steps_generated_end_);
  if (print_time_ < restart) {
    print_time_ = restart;
    note_busy();
  }
  return print_time_;
}

void SimToolhead::dwell(double delay_s) {
  print_time_ = get_last_move_time() + std::max(0., delay_s);
  note_busy();
  check_pause();
}

void SimToolhead::wait_moves() {
  for (;;) {
    const double wake = environment_.clock().eventtime(std::max(print_time_, activity_end_));
    if (reactor_.monotonic() >= wake) return;
    reactor_.pause(wake);
  }
}

void SimToolhead::flush_step_generation() {
  ++step_flush_count_;
  steps_generated_end_ = std::max(steps_generated_end_, activity_end_);
}

void SimToolhead::note_kinematic_activity(double print_time) {
  activity_end_ = std::max(activity_end_, print_time);
  note_busy();
  environment_.notify_changed();
}

void SimToolhead::set_position(const klippy::Position& position) {
  commanded_pos_ = position;
  environment_.notify_changed();
  printer_.send_event("toolhead:set_position");
}

// Only axes that move are checked, as the host's cartesian kinematics does.
void SimToolhead::check_axis_limits(const PlannedMove& move) const {
  for (int axis = 0; axis < 3; ++axis) {
    const auto [low, high] = axis_limits_[axis];
    const double end = move.end_pos[axis];
    if (move.axes_d[axis] == 0. || (end >= low && end <= high)) continue;
    if (low > high) throw move_error(move, "Must home axis first");
    throw move_error(move, "Move out of range");
  }
}

void SimToolhead::check_kinematic_move(PlannedMove& move) const {
  if (!limits_.rails) return;
  const double x = move.end_pos[0], y = move.end_pos[1];
  if (x < axis_limits_[0].first || x > axis_limits_[0].second || y < axis_limits_[1].first ||
      y > axis_limits_[1].second)
    check_axis_limits(move);
  if (move.axes_d[2] == 0.) return;
  check_axis_limits(move);
  const double z_ratio = move.move_d / std::abs(move.axes_d[2]);
  move.limit_speed(limits_.max_z_velocity_mm_s * z_ratio, limits_.max_z_accel_mm_s2 * z_ratio);
}

void SimToolhead::move(const klippy::Position& newpos, double speed_mm_s) {
  PlannedMove move(commanded_pos_, newpos, speed_mm_s, limits_.max_velocity_mm_s, max_accel_mm_s2_);
  if (move.move_d <= 0.) return;
  if (move.is_kinematic) check_kinematic_move(move);
  if (move.axes_d[3] != 0.) {
    if (!extruder_) throw klippy::CommandError("Extrude when no extruder present");
    extruder_->check_move(move, reactor_.monotonic());
  }
  move.plan();
  const double start = get_last_move_time();
  {
    // Queuing a move must not wait, as in the host: what hooks into it (the extruder's queue,
    // observers) runs with pauses prevented.
    const klippy::NoPauseScope no_waits(reactor_);
    if (move.is_kinematic) {
      trapq_->append(start, move.accel_t, move.cruise_t, move.decel_t,
                     {move.start_pos[0], move.start_pos[1], move.start_pos[2]},
                     {move.axes_r[0], move.axes_r[1], move.axes_r[2]}, 0., move.cruise_v,
                     move.accel_mm_s2);
    }
    if (move.axes_d[3] != 0.) extruder_->append_move(start, move);
    print_time_ = start + move.duration_s();
    const klippy::Position move_start = commanded_pos_;
    commanded_pos_ = move.end_pos;
    for (const auto& observer : move_observers_) observer(move_start, commanded_pos_, print_time_);
  }
  note_busy();
  drop_old_motion(estimated_print_time());
  environment_.notify_changed();
  check_pause();
}

void SimToolhead::note_busy() {
  if (!idle_timeout_) return;
  const double busy_until = environment_.clock().eventtime(std::max(print_time_, activity_end_));
  idle_timeout_->note_activity(reactor_.monotonic(), busy_until);
}

void SimToolhead::check_pause() {
  for (;;) {
    const double wake = environment_.clock().eventtime(print_time_ - kBufferTimeHigh_s);
    if (reactor_.monotonic() >= wake) return;
    reactor_.pause(wake);
  }
}

void SimToolhead::drop_old_motion(double est_print_time) {
  const double horizon = est_print_time - kMoveHistory_s;
  trapq_->finalize_moves(est_print_time, horizon);
  if (extruder_) extruder_->finalize_moves(est_print_time, horizon);
  if (stepper_enable_ && est_print_time - history_dropped_at_ >= kHistoryDropInterval_s) {
    stepper_enable_->drop_history_before(horizon);
    history_dropped_at_ = est_print_time;
  }
}

void SimToolhead::home_axes(const std::string& axes) {
  wait_moves();
  klippy::Position pos = commanded_pos_;
  for (int axis = 0; axis < 3; ++axis) {
    if (axes.find(kAxisLetters[axis]) == std::string::npos) continue;
    if (limits_.rails) {
      const AxisRail& rail = (*limits_.rails)[axis];
      pos[axis] = rail.position_endstop_mm;
      axis_limits_[axis] = {rail.position_min_mm, rail.position_max_mm};
    } else {
      pos[axis] = 0.;
    }
  }
  set_position(pos);
}

std::string SimToolhead::homed_axes() const {
  std::string homed;
  if (!limits_.rails) return homed;
  for (int axis = 0; axis < 3; ++axis)
    if (axis_limits_[axis].first <= axis_limits_[axis].second) homed += kAxisLetters[axis];
  return homed;
}

klippy::Value SimToolhead::axis_range_value(bool maximum) const {
  klippy::Value::List range(4, klippy::Value(0.));
  if (limits_.rails) {
    for (int axis = 0; axis < 3; ++axis) {
      const AxisRail& rail = (*limits_.rails)[axis];
      range[axis] = maximum ? rail.position_max_mm : rail.position_min_mm;
    }
  }
  return klippy::Value(std::move(range));
}

void SimToolhead::cmd_M204(klippy::GCodeCommand& gcmd) {
  if (gcmd.has("S")) {
    max_accel_mm_s2_ = gcmd.get_float("S", {}, {.above = 0.});
    return;
  }
  if (!gcmd.has("P") || !gcmd.has("T")) {
    gcmd.respond_info("Invalid M204 command \"" + gcmd.get_commandline() +
                      "\"; give the acceleration as S<mm/s^2>");
    return;
  }
  const double p = gcmd.get_float("P", {}, {.above = 0.});
  const double t = gcmd.get_float("T", {}, {.above = 0.});
  max_accel_mm_s2_ = std::min(p, t);
}

void SimToolhead::cmd_SET_VELOCITY_LIMIT(klippy::GCodeCommand& gcmd) {
  auto read = [&gcmd](const char* name, double current, klippy::FloatLimits limits) {
    return gcmd.has(name) ? gcmd.get_float(name, {}, limits) : current;
  };
  const double velocity = read("VELOCITY", limits_.max_velocity_mm_s, {.above = 0.});
  const double accel = read("ACCEL", max_accel_mm_s2_, {.above = 0.});
  const double corner =
      read("SQUARE_CORNER_VELOCITY", limits_.square_corner_velocity_mm_s, {.minval = 0.});
  const double cruise =
      read("MINIMUM_CRUISE_RATIO", limits_.minimum_cruise_ratio, {.minval = 0., .below = 1.});
  limits_.max_velocity_mm_s = velocity;
  max_accel_mm_s2_ = accel;
  limits_.square_corner_velocity_mm_s = corner;
  limits_.minimum_cruise_ratio = cruise;
  if (!gcmd.get_command_parameters().empty()) return;
  char text[200];
  std::snprintf(text, sizeof text,
                "max_velocity: %.6f\nmax_accel: %.6f\nminimum_cruise_ratio: %.6f\n"
                "square_corner_velocity: %.6f",
                velocity, accel, cruise, corner);
  gcmd.respond_info(text);
}

std::optional<klippy::Value> SimToolhead::get_status(double eventtime) {
  return klippy::Value(klippy::Value::Dict{
      {"print_time", print_time_},
      {"estimated_print_time", environment_.clock().print_time(eventtime)},
      {"position", position_value(commanded_pos_)},
      {"extruder", get_extruder().get_name()},
      {"homed_axes", homed_axes()},
      {"axis_minimum", axis_range_value(false)},
      {"axis_maximum", axis_range_value(true)},
      {"max_velocity", limits_.max_velocity_mm_s},
      {"max_accel", max_accel_mm_s2_},
      {"square_corner_velocity", limits_.square_corner_velocity_mm_s},
      {"minimum_cruise_ratio", limits_.minimum_cruise_ratio},
      {"stalls", 0},
  });
}

}  // namespace sim
