// The filament world behind the emulated controllers' pins: the slot feeders' and the
// extruder's step queues move its strands, its sensors drive the input pins and the hall
// sensor's analog inputs, all on the controllers' shared clock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/mcu_emu/mcu.h"
#include "sim/world/filament_world.h"
#include "sim/world/stepper.h"
#include "sim/world/trapq.h"

namespace mcu_emu {

class WorldLink {
 public:
  // Reads the printer configuration at `config_path` (the host's sections and
  // [filament_world]) and binds pins of the controllers in `mcus`, named as the
  // configuration names them ("mcu", "mcu_box1"). Throws klippy::ConfigError for a
  // configuration that does not describe a world, or names a controller not emulated.
  WorldLink(const std::string& config_path, const std::map<std::string, Mcu*>& mcus,
            Mcu::Clock clock, std::uint32_t clock_freq);
  ~WorldLink();
  WorldLink(const WorldLink&) = delete;
  WorldLink& operator=(const WorldLink&) = delete;

  // Lets the world forget motion older than a second or two before `now`.
  void poll(std::uint64_t now);
  // Every strand and sensor at `now`, one per line, and how far ahead the host queued steps.
  std::string describe(std::uint64_t now) const;
  const sim::FilamentWorld& world() const { return *world_; }

 private:
  struct Motor;
  struct PinRef {
    std::string chip;
    std::uint32_t pin;
    bool invert;
  };

  static PinRef parse_pin(const std::string& text, const std::string& where);
  Mcu& mcu_of(const PinRef& pin, const std::string& where) const;
  Motor& add_motor(const std::string& section, const sim::StepperParams& params,
                   const std::string& step_pin, const std::string& dir_pin);
  double seconds(std::uint64_t clock) const { return static_cast<double>(clock) / clock_freq_; }

  std::map<std::string, Mcu*> mcus_;
  Mcu::Clock clock_;
  std::uint32_t clock_freq_;
  std::unique_ptr<sim::FilamentWorld> world_;
  std::vector<std::unique_ptr<Motor>> motors_;
  int shown_slots_ = 0;
  double max_lead_s_ = 0.;  // how far ahead of the clock the host queued a first step
};

}  // namespace mcu_emu
