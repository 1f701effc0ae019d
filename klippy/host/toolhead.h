// Toolhead, extruder, heaters and the G-code move state.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "klippy/host/motion.h"
#include "klippy/host/object.h"

namespace klippy {

using Position = std::array<double, 4>;  // X, Y, Z, E

class Heater {
 public:
  virtual ~Heater() = default;
  virtual const std::string& get_name() const = 0;
  // "Requested temperature (%.1f) out of range (%.1f:%.1f)" outside the configured range.
  virtual void set_temp(double degrees) = 0;
  // (current, target)
  virtual std::pair<double, double> get_temp(double eventtime) const = 0;
  // While false, waits on this heater return at once.
  virtual void set_can_wait(bool can_wait) = 0;
  virtual bool can_wait() const = 0;
};

class Extruder : public PrinterObject {
 public:
  virtual const std::string& get_name() const = 0;
  virtual Heater& get_heater() = 0;
  virtual TrapqPtr get_trapq() = 0;
  virtual double last_position() const = 0;
};

class Toolhead : public PrinterObject {
 public:
  // When idle, print time restarts at the estimated time + 0.25 s.
  virtual double get_last_move_time() = 0;
  virtual void dwell(double delay_s) = 0;
  // Suspends the calling task until every queued move has been executed.
  virtual void wait_moves() = 0;
  virtual void note_kinematic_activity(double print_time) = 0;
  // Generates the steps of every queued move of every motion queue. A stepper's position
  // may only be reset once the moves queued before the reset have their steps: the host
  // would otherwise step from the new position along the old moves.
  virtual void flush_step_generation() = 0;
  // Flushes made so far; lets a motion queue tell whether its moves have their steps.
  virtual unsigned long step_flush_count() const = 0;
  virtual Extruder& get_extruder() = 0;
  virtual Position get_position() const = 0;
  virtual void set_position(const Position& position) = 0;
  virtual void move(const Position& newpos, double speed) = 0;
};

// What gcode_move sends moves through: the toolhead or a transform stacked on it.
class MoveTransform {
 public:
  virtual ~MoveTransform() = default;
  virtual void move(const Position& newpos, double speed) = 0;
  virtual Position get_position() = 0;
};

class GCodeMove : public PrinterObject {
 public:
  // Without `force` a second transform is an error; returns the previous transform.
  virtual std::shared_ptr<MoveTransform> set_move_transform(
      std::shared_ptr<MoveTransform> transform, bool force = false) = 0;
  virtual void reset_last_position() = 0;
  virtual Position last_position() const = 0;
};

}  // namespace klippy
