// The simulated toolhead ("toolhead"): a cartesian machine that plans each move as one
// trapezoid on its XYZ queue (and the extruder's queue for E), and keeps the print time as
// the host does: moves are appended at the end of the queued motion, an idle toolhead
// restarts shortly after the estimated print time, and callers are held back while more
// than a couple of seconds of motion is queued.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"
#include "sim/host/axis_rail.h"
#include "sim/host/extruder.h"
#include "sim/world/trapq.h"

namespace sim {

class SimEnvironment;
class SimIdleTimeout;
class SimStepperEnable;

struct ToolheadLimits {
  std::string kinematics;
  double max_velocity_mm_s = 0.;
  double max_accel_mm_s2 = 0.;
  double max_z_velocity_mm_s = 0.;
  double max_z_accel_mm_s2 = 0.;
  double square_corner_velocity_mm_s = 5.;
  double minimum_cruise_ratio = 0.5;
  // The cartesian axes' rails; none for kinematics "none", which checks no move.
  std::optional<std::array<AxisRail, 3>> rails;
};

// The [printer] section, read while the configuration loads; the toolhead itself is built
// from it once every section has loaded.
class SimPrinterSettings final : public klippy::PrinterObject {
 public:
  explicit SimPrinterSettings(klippy::ConfigSection& config);
  const ToolheadLimits& limits() const { return limits_; }

 private:
  ToolheadLimits limits_;
};

class SimToolhead final : public klippy::Toolhead {
 public:
  // How far ahead of the estimated print time an idle toolhead restarts.
  static constexpr double kBufferTimeStart_s = 0.25;
  // How far ahead of the estimated print time the host's background flush generates the
  // steps of noted motion.
  static constexpr double kBackgroundFlushAhead_s = 0.2;
  // Callers adding motion wait while more than this is queued.
  static constexpr double kBufferTimeHigh_s = 2.0;
  // Executed motion kept for queries about the recent past.
  static constexpr double kMoveHistory_s = 30.0;

  // Registers G4, M400, M204 and SET_VELOCITY_LIMIT; uses the "extruder" object if any.
  SimToolhead(klippy::Printer& printer, const ToolheadLimits& limits);
  ~SimToolhead() override;

  double get_last_move_time() override;
  void dwell(double delay_s) override;
  void wait_moves() override;
  void note_kinematic_activity(double print_time) override;
  // Generates the steps of all motion noted so far: the print time never restarts before them.
  void flush_step_generation() override;
  unsigned long step_flush_count() const override { return step_flush_count_; }
  klippy::Extruder& get_extruder() override;
  klippy::Position get_position() const override { return commanded_pos_; }
  // Sends "toolhead:set_position".
  void set_position(const klippy::Position& position) override;
  // CommandError (nothing queued) for moves the kinematics or the extruder refuse: "Must
  // home axis first: X Y Z [E]" for an axis not homed, "Move out of range: X Y Z [E]" outside
  // its rail's position_min..position_max.
  void move(const klippy::Position& newpos, double speed_mm_s) override;
  std::optional<klippy::Value> get_status(double eventtime) override;

  const std::shared_ptr<SimTrapq>& trapq() const { return trapq_; }
  double estimated_print_time() const;
  // End of the queued motion, without the idle restart of get_last_move_time().
  double print_time() const { return print_time_; }
  // G28: the axes ("xyz" letters) stand at their endstops, and may move within their range.
  void home_axes(const std::string& axes);
  std::string homed_axes() const;
  double max_accel() const { return max_accel_mm_s2_; }
  // Told of every planned move: where it starts and ends, and the print time it ends at.
  using MoveObserver = std::function<void(const klippy::Position& start,
                                          const klippy::Position& end, double end_print_time)>;
  void add_move_observer(MoveObserver observer) { move_observers_.push_back(std::move(observer)); }

 private:
  void cmd_M204(klippy::GCodeCommand& gcmd);
  void cmd_SET_VELOCITY_LIMIT(klippy::GCodeCommand& gcmd);
  void check_kinematic_move(PlannedMove& move) const;
  // [X, Y, Z, E] of the rails' position_min (or position_max), as the host's status gives it.
  klippy::Value axis_range_value(bool maximum) const;
  void check_axis_limits(const PlannedMove& move) const;
  // Tells the idle timeout how long the printer stays busy.
  void note_busy();
  // Holds the caller while more than kBufferTimeHigh_s of motion is queued.
  void check_pause();
  void drop_old_motion(double est_print_time);

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  SimEnvironment& environment_;
  SimIdleTimeout* idle_timeout_;
  SimStepperEnable* stepper_enable_;
  ToolheadLimits limits_;
  double max_accel_mm_s2_;
  std::shared_ptr<SimTrapq> trapq_ = std::make_shared<SimTrapq>();
  SimExtruder* extruder_;
  std::unique_ptr<klippy::Extruder> no_extruder_;
  klippy::Position commanded_pos_{};
  double print_time_ = 0.;
  double activity_end_ = 0.;
  // Where the steps of noted motion have been generated to, as the host's flushes leave it.
  double steps_generated_end_ = 0.;
  double history_dropped_at_ = 0.;
  // Per axis the range a move may end in; min > max while the axis is not homed.
  std::array<std::pair<double, double>, 3> axis_limits_;
  std::vector<MoveObserver> move_observers_;
  unsigned long step_flush_count_ = 0;
};

}  // namespace sim
