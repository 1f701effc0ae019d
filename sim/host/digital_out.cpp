#include "sim/host/digital_out.h"

#include <iterator>

#include "klippy/host/errors.h"
#include "sim/host/mcu.h"

namespace sim {
namespace {

// Levels older than this before the newest schedule no longer matter to anyone.
constexpr double kHistoryKept_s = 600.;

}  // namespace

void ScheduledSignal::schedule(double print_time, int level) {
  levels_[print_time] = level;
  // Fold old history into the start level so a long run keeps a short schedule.
  const double horizon = levels_.rbegin()->first - kHistoryKept_s;
  while (levels_.size() > 1 && levels_.begin()->first < horizon) {
    start_level_ = levels_.begin()->second;
    levels_.erase(levels_.begin());
  }
}

int ScheduledSignal::level(double print_time) const {
  auto it = levels_.upper_bound(print_time);
  return it == levels_.begin() ? start_level_ : std::prev(it)->second;
}

std::optional<double> ScheduledSignal::next_change(double after, double until) const {
  const int current = level(after);
  for (auto it = levels_.upper_bound(after); it != levels_.end() && it->first <= until; ++it) {
    if (it->second != current) return it->first;
  }
  return std::nullopt;
}

SimDigitalOut::SimDigitalOut(SimMcu& mcu, klippy::PinParams pin)
    : mcu_(mcu), pin_(std::move(pin)), signal_(std::make_shared<ScheduledSignal>(pin_.invert)) {
  const int oid = mcu_.create_oid();
  mcu_.add_config_cmd("config_digital_out oid=" + std::to_string(oid) + " pin=" + pin_.pin);
  mcu_.attach_signal(pin_.pin, signal_);
  std::weak_ptr<bool> alive = alive_;
  mcu_.register_config_callback([this, alive] {
    if (alive.lock()) check_config();
  });
}

void SimDigitalOut::setup_max_duration(double max_duration_s) {
  max_duration_s_ = max_duration_s;
  if (mcu_.is_configured()) check_config();
}

void SimDigitalOut::setup_start_value(double start_value, double shutdown_value) {
  start_value_ = start_value != 0.;
  shutdown_value_ = shutdown_value != 0.;
  signal_->set_start_level(start_value_ ^ pin_.invert);
  mcu_.notify_changed();
  if (mcu_.is_configured()) check_config();
}

void SimDigitalOut::set_digital(double print_time, double value) {
  if (!mcu_.accept_scheduled(print_time)) return;
  signal_->schedule(print_time, (value != 0.) ^ pin_.invert);
  mcu_.notify_changed();
}

void SimDigitalOut::check_config() const {
  if (max_duration_s_ != 0. && start_value_ != shutdown_value_)
    throw klippy::ConfigError("Pin " + pin_.pin + " of mcu '" + mcu_.get_name() +
                              "' has a max duration, so its start value must equal its "
                              "shutdown value; make them equal or set the max duration to 0");
}

}  // namespace sim
