#include "sim/host/endstop.h"

#include "klippy/host/errors.h"
#include "sim/host/mcu.h"
#include "sim/world/stepper.h"

namespace sim {

SimEndstop::SimEndstop(SimMcu& mcu, klippy::PinParams pin)
    : mcu_(mcu), reactor_(mcu.reactor()), pin_(std::move(pin)) {
  const int oid = mcu_.create_oid();
  mcu_.add_config_cmd("config_endstop oid=" + std::to_string(oid) + " pin=" + pin_.pin +
                      " pull_up=" + std::to_string(pin_.pullup));
}

SimEndstop::~SimEndstop() {
  disarm();
}

klippy::Mcu& SimEndstop::get_mcu() {
  return mcu_;
}

void SimEndstop::add_stepper(klippy::Stepper& stepper) {
  for (klippy::Stepper* s : steppers_)
    if (s == &stepper) return;
  steppers_.push_back(&stepper);
}

klippy::CompletionPtr SimEndstop::home_start(double print_time, double /*sample_time*/,
                                             int /*sample_count*/, double /*rest_time*/,
                                             bool triggered) {
  disarm();
  armed_ = true;
  tripped_ = false;
  triggered_ = triggered;
  start_time_ = print_time;
  completion_ = reactor_.completion();
  timer_ = reactor_.register_timer([this](double) {
    if (armed_ && !tripped_ && pending_trip_) trip(*pending_trip_);
    return klippy::Reactor::NEVER;
  });
  watch_ = mcu_.watch_changes([this] { recompute(); });
  recompute();
  return completion_;
}

std::optional<double> SimEndstop::find_trip() const {
  const PinSignal& signal = mcu_.signal(pin_.pin, pin_.pullup);
  const int wanted = triggered_ ? 1 : 0;
  const int invert = pin_.invert ? 1 : 0;
  if ((signal.level(start_time_) ^ invert) == wanted) return start_time_;
  // The level is binary, so its first change is the crossing into the wanted state.
  return signal.next_change(start_time_, start_time_ + kSearchHorizon_s);
}

void SimEndstop::recompute() {
  if (!armed_ || tripped_) return;
  pending_trip_ = find_trip();
  const double waketime =
      pending_trip_ ? mcu_.clock().eventtime(*pending_trip_) : klippy::Reactor::NEVER;
  reactor_.update_timer(timer_, waketime);
}

void SimEndstop::trip(double print_time) {
  tripped_ = true;
  trip_time_ = print_time;
  watch_.reset();
  for (klippy::Stepper* stepper : steppers_) {
    if (auto* sim_stepper = dynamic_cast<SimStepper*>(stepper)) sim_stepper->stop_at(print_time);
  }
  // Cutting the moves short changes where everything else on those steppers goes.
  mcu_.notify_changed();
  completion_->complete(klippy::Value(print_time));
}

double SimEndstop::home_wait(double home_end_time) {
  if (!armed_) return tripped_ ? trip_time_ : 0.;
  auto completion = completion_;
  if (mcu_.is_connected() && !completion->test())
    completion->wait(mcu_.clock().eventtime(home_end_time));
  if (!mcu_.is_connected()) {
    disarm();
    throw klippy::CommandError("Communication timeout during homing; mcu '" + mcu_.get_name() +
                               "' does not answer, check its connection");
  }
  // A trip exactly at the end of the homing window may still wait in the timer queue.
  if (!tripped_) {
    recompute();
    if (pending_trip_ && *pending_trip_ <= home_end_time) trip(*pending_trip_);
  }
  const double result = tripped_ ? trip_time_ : 0.;
  disarm();
  return result;
}

bool SimEndstop::query_endstop(double print_time) {
  return mcu_.level(pin_, print_time) != 0;
}

void SimEndstop::disarm() {
  armed_ = false;
  pending_trip_.reset();
  watch_.reset();
  if (timer_) {
    reactor_.unregister_timer(timer_);
    timer_.reset();
  }
}

}  // namespace sim
