// Stepper enable lines ("stepper_enable"): one per stepper the configuration creates, with
// M84/M18 to release every motor. It also keeps the simulated steppers by name, so that the
// simulation can reach every motor the host drives.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "klippy/host/gcode.h"
#include "klippy/host/motion.h"
#include "klippy/host/printer.h"
#include "sim/world/stepper.h"

namespace sim {

class SimEnableLine final : public klippy::StepperEnableLine {
 public:
  void motor_enable(double print_time) override;
  void motor_disable(double print_time) override;
  bool is_motor_enabled() const override { return enabled_; }
  // Print time of the last change of state (-1 before any).
  double changed_at() const { return changed_at_; }

 private:
  bool enabled_ = false;
  double changed_at_ = -1.;
};

class SimStepperEnable final : public klippy::StepperEnable {
 public:
  static constexpr const char* kName = "stepper_enable";

  // Registers M84 and M18.
  explicit SimStepperEnable(klippy::Printer& printer);

  // "Unknown stepper '<name>'" (a command error) when no stepper has that name.
  klippy::StepperEnableLine& lookup_enable(const std::string& stepper_name) override;
  std::optional<klippy::Value> get_status(double eventtime) override;

  // Gives the stepper its enable line; a stepper of the same name replaces the old one.
  void register_stepper(std::shared_ptr<SimStepper> stepper);
  std::shared_ptr<SimStepper> find_stepper(const std::string& name) const;
  std::vector<std::string> stepper_names() const;
  // Motors start when they are given something to do: enables every stepper following
  // `trapq` from `print_time` on.
  void enable_followers(const klippy::Trapq* trapq, double print_time);
  // Forgets queue attachments of every stepper that ended before `print_time`.
  void drop_history_before(double print_time);
  // Releases every motor at `print_time`.
  void disable_all(double print_time);

 private:
  struct Entry {
    std::shared_ptr<SimStepper> stepper;
    std::unique_ptr<SimEnableLine> line;
  };
  void cmd_M84();

  klippy::Printer& printer_;
  std::map<std::string, Entry> steppers_;
};

}  // namespace sim
