// What the simulated hardware shares: the print clock, and the notice that planned motion
// or a scheduled pin level has changed (armed endstops and watched buttons then look for
// their next level change again). Registered as the printer object "sim_environment".
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/object.h"
#include "sim/host/print_clock.h"

namespace sim {

class SimStepper;

class SimEnvironment final : public klippy::PrinterObject {
 public:
  static constexpr const char* kName = "sim_environment";

  explicit SimEnvironment(double origin_eventtime) : clock_(origin_eventtime) {}

  const PrintClock& clock() const { return clock_; }

  // Called by whatever changes future pin levels: moves appended or cut short, outputs
  // scheduled, steppers coupled, spools inserted, faults injected.
  void notify_changed() {
    for (const auto& listener : listeners_) listener();
  }
  void on_change(std::function<void()> listener) { listeners_.push_back(std::move(listener)); }

  // Feed motors that modules built through the host factory, by section name, so that the
  // filament world can find the motor of each slot.
  void note_feed_stepper(const std::string& section, std::shared_ptr<SimStepper> stepper) {
    feed_steppers_[section] = std::move(stepper);
  }
  std::shared_ptr<SimStepper> feed_stepper(const std::string& section) const {
    auto it = feed_steppers_.find(section);
    return it == feed_steppers_.end() ? nullptr : it->second;
  }

 private:
  PrintClock clock_;
  std::vector<std::function<void()>> listeners_;
  std::map<std::string, std::shared_ptr<SimStepper>> feed_steppers_;
};

}  // namespace sim
