// Motion queues and steppers of the host. A queue is a chelper trapq handle; the bridge's
// own queues also remember their recent moves, so that a module can ask where a queue was
// at a print time without the host's history.
#pragma once

#include <pybind11/pybind11.h>

#include <deque>
#include <memory>
#include <string>

#include "bridge/host_link.h"
#include "klippy/host/motion.h"

namespace bridge {

namespace py = pybind11;

// The host's motion helper library (chelper.get_ffi()).
struct Chelper {
  py::object ffi;
  py::object lib;
  static Chelper load(const HostLink& link);
};

class BridgeTrapq final : public klippy::Trapq {
 public:
  // A queue the host made (an extruder's); it only carries the handle.
  BridgeTrapq(py::object handle, Chelper chelper, HostLink link);
  // A queue of the bridge's own, freed by the host's allocator when the last user lets go.
  static std::shared_ptr<BridgeTrapq> allocate(const HostLink& link);

  void append(double print_time, double accel_t, double cruise_t, double decel_t,
              klippy::Coord start_pos, klippy::Coord axes_r, double start_v, double cruise_v,
              double accel) override;
  void finalize_moves(double print_time, double clear_history_time) override;
  klippy::Coord position_at(double print_time) const override;
  const py::object& handle() const { return handle_; }

 private:
  struct Move {
    double print_time, accel_t, cruise_t, decel_t;
    klippy::Coord start_pos, axes_r;
    double start_v, cruise_v, accel;
    double end_time() const { return print_time + accel_t + cruise_t + decel_t; }
    double distance_at(double t) const;
  };

  py::object handle_;
  Chelper chelper_;
  HostLink link_;
  bool three_argument_finalize_ = true;
  std::deque<Move> moves_;
};

class BridgeStepper final : public klippy::Stepper {
 public:
  BridgeStepper(py::object stepper, const HostLink& link);
  const std::string& get_name() const override { return name_; }
  klippy::TrapqPtr set_trapq(klippy::TrapqPtr trapq) override;
  klippy::TrapqPtr get_trapq() const override { return trapq_; }
  void set_position(klippy::Coord coord) override;
  double calc_position_from_coord(klippy::Coord coord) const override;
  double get_step_dist() const override;
  double get_commanded_position(double print_time) const override;
  const py::object& host_stepper() const { return stepper_; }

 private:
  py::object stepper_;
  HostLink link_;
  Chelper chelper_;
  std::string name_;
  klippy::TrapqPtr trapq_;
};

py::list coord_list(const klippy::Coord& coord);

}  // namespace bridge
