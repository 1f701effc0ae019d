// Motion primitives of the host: trapezoid queues, steppers and their enable lines.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/object.h"

namespace klippy {

using Coord = std::array<double, 3>;

// A queue of trapezoidal moves on print time; steppers attached to it follow its position.
class Trapq {
 public:
  virtual ~Trapq() = default;
  virtual void append(double print_time, double accel_t, double cruise_t, double decel_t,
                      Coord start_pos, Coord axes_r, double start_v, double cruise_v,
                      double accel) = 0;
  // Moves ending by `print_time` become history; history ending before
  // `clear_history_time` is dropped.
  virtual void finalize_moves(double print_time, double clear_history_time) = 0;
  virtual Coord position_at(double print_time) const = 0;
};
using TrapqPtr = std::shared_ptr<Trapq>;

class Stepper {
 public:
  virtual ~Stepper() = default;
  virtual const std::string& get_name() const = 0;
  // Returns the queue the stepper followed before.
  virtual TrapqPtr set_trapq(TrapqPtr trapq) = 0;
  virtual TrapqPtr get_trapq() const = 0;
  virtual void set_position(Coord coord) = 0;
  virtual double calc_position_from_coord(Coord coord) const = 0;
  virtual double get_step_dist() const = 0;
  // Commanded position (mm) at `print_time`.
  virtual double get_commanded_position(double print_time) const = 0;
};

// A stepper built from a section's stepper options that can follow an extruder.
class ExtruderStepper : public PrinterObject {
 public:
  virtual Stepper& stepper() = 0;
  // Empty name uncouples; an unknown name: "'<name>' is not a valid extruder.".
  virtual void sync_to_extruder(const std::string& extruder_name) = 0;
  virtual std::string synced_extruder() const = 0;
};

struct MoveTime {
  double axis_r, accel_t, cruise_t, cruise_v;
};
// Splits a move of `dist` at `speed` with `accel` into its phases, as force_move does.
MoveTime calc_move_time(double dist, double speed, double accel);

class StepperEnableLine {
 public:
  virtual ~StepperEnableLine() = default;
  virtual void motor_enable(double print_time) = 0;
  virtual void motor_disable(double print_time) = 0;
  virtual bool is_motor_enabled() const = 0;
};

class StepperEnable : public PrinterObject {
 public:
  // "Unknown stepper '<name>'" when nothing of that name exists.
  virtual StepperEnableLine& lookup_enable(const std::string& stepper_name) = 0;
};

}  // namespace klippy
