#include "bridge/bridge_motion.h"

#include <algorithm>

#include "klippy/host/errors.h"

namespace bridge {

py::list coord_list(const klippy::Coord& coord) {
  py::list list;
  for (double value : coord) list.append(value);
  return list;
}

Chelper Chelper::load(const HostLink& link) {
  py::object chelper = py::module_::import("chelper");
  py::tuple ffi = link.invoke(chelper, "get_ffi");
  return {ffi[0], ffi[1]};
}

BridgeTrapq::BridgeTrapq(py::object handle, Chelper chelper, HostLink link)
    : handle_(std::move(handle)), chelper_(std::move(chelper)), link_(std::move(link)) {}

std::shared_ptr<BridgeTrapq> BridgeTrapq::allocate(const HostLink& link) {
  Chelper chelper = Chelper::load(link);
  py::object raw = link.invoke(chelper.lib, "trapq_alloc");
  py::object handle = link.invoke(chelper.ffi, "gc", raw, chelper.lib.attr("trapq_free"));
  return std::make_shared<BridgeTrapq>(std::move(handle), std::move(chelper), link);
}

void BridgeTrapq::append(double print_time, double accel_t, double cruise_t, double decel_t,
                         klippy::Coord start_pos, klippy::Coord axes_r, double start_v,
                         double cruise_v, double accel) {
  link_.invoke(chelper_.lib, "trapq_append", handle_, print_time, accel_t, cruise_t, decel_t,
               start_pos[0], start_pos[1], start_pos[2], axes_r[0], axes_r[1], axes_r[2], start_v,
               cruise_v, accel);
  moves_.push_back(
      {print_time, accel_t, cruise_t, decel_t, start_pos, axes_r, start_v, cruise_v, accel});
}

void BridgeTrapq::finalize_moves(double print_time, double clear_history_time) {
  // Hosts before the history argument take (queue, print_time); the first call tells.
  if (three_argument_finalize_) {
    py::object finalize = chelper_.lib.attr("trapq_finalize_moves");
    try {
      finalize(handle_, print_time, clear_history_time);
    } catch (py::error_already_set& error) {
      if (!error.matches(PyExc_TypeError)) throw PythonError(std::move(error));
      three_argument_finalize_ = false;
    }
  }
  if (!three_argument_finalize_)
    link_.invoke(chelper_.lib, "trapq_finalize_moves", handle_, print_time);
  while (!moves_.empty() && moves_.front().end_time() < clear_history_time) moves_.pop_front();
}

double BridgeTrapq::Move::distance_at(double t) const {
  t = std::clamp(t - print_time, 0.0, accel_t + cruise_t + decel_t);
  const double in_accel = std::min(t, accel_t);
  double distance = (start_v + 0.5 * accel * in_accel) * in_accel;
  if (t <= accel_t) return distance;
  const double in_cruise = std::min(t - accel_t, cruise_t);
  distance += cruise_v * in_cruise;
  if (t <= accel_t + cruise_t) return distance;
  const double in_decel = t - accel_t - cruise_t;
  return distance + (cruise_v - 0.5 * accel * in_decel) * in_decel;
}

klippy::Coord BridgeTrapq::position_at(double print_time) const {
  const Move* current = nullptr;
  for (const Move& move : moves_) {
    if (move.print_time > print_time) break;
    current = &move;
  }
  if (current == nullptr) {
    if (moves_.empty()) return {0., 0., 0.};
    return moves_.front().start_pos;
  }
  const double distance = current->distance_at(print_time);
  klippy::Coord position = current->start_pos;
  for (std::size_t i = 0; i < position.size(); ++i) position[i] += current->axes_r[i] * distance;
  return position;
}

BridgeStepper::BridgeStepper(py::object stepper, const HostLink& link)
    : stepper_(std::move(stepper)),
      link_(link),
      chelper_(Chelper::load(link)),
      name_(link_.invoke(stepper_, "get_name").cast<std::string>()) {
  trapq_ = std::make_shared<BridgeTrapq>(link_.invoke(stepper_, "get_trapq"), chelper_, link_);
}

klippy::TrapqPtr BridgeStepper::set_trapq(klippy::TrapqPtr trapq) {
  auto* bridged = dynamic_cast<BridgeTrapq*>(trapq.get());
  if (trapq && bridged == nullptr) {
    throw klippy::ConfigError("Stepper '" + name_ +
                              "': a motion queue not made by the host's "
                              "motion library cannot drive it; create it with create_trapq()");
  }
  link_.invoke(stepper_, "set_trapq",
               bridged ? bridged->handle() : py::object(chelper_.ffi.attr("NULL")));
  klippy::TrapqPtr previous = std::move(trapq_);
  trapq_ = std::move(trapq);
  return previous;
}

void BridgeStepper::set_position(klippy::Coord coord) {
  link_.invoke(stepper_, "set_position", coord_list(coord));
}

double BridgeStepper::calc_position_from_coord(klippy::Coord coord) const {
  return link_.invoke(stepper_, "calc_position_from_coord", coord_list(coord)).cast<double>();
}

double BridgeStepper::get_step_dist() const {
  return link_.invoke(stepper_, "get_step_dist").cast<double>();
}

double BridgeStepper::get_commanded_position(double /*print_time*/) const {
  // The host knows only the position of its last generated step.
  return link_.invoke(stepper_, "get_commanded_position").cast<double>();
}

}  // namespace bridge
