// The filament world behind the emulated controllers' pins: the slot feeders' and the
// extruder's step queues move its strands, its sensors drive the input pins and the hall
// sensor's analog inputs. The controllers were powered together: each clock counts from the
// same moment at its own frequency, and the world's time is seconds since then.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "sim/mcu_emu/mcu.h"
#include "sim/world/filament_world.h"
#include "sim/world/stepper.h"
#include "sim/world/trapq.h"

namespace sim {
class SimConfig;
}

namespace mcu_emu {

class WorldLink {
 public:
  // Reads the printer configuration at `config_path` (the host's sections and
  // [filament_world]) and binds pins of the controllers in `mcus`, named as the
  // configuration names them ("mcu", "mcu_box1"); `now_s` is the time since power-on.
  // Throws klippy::ConfigError for a configuration that does not describe a world, or names
  // a controller not emulated.
  WorldLink(const std::string& config_path, const std::map<std::string, Mcu*>& mcus,
            std::function<double()> now_s);
  ~WorldLink();
  WorldLink(const WorldLink&) = delete;
  WorldLink& operator=(const WorldLink&) = delete;

  // Lets the world forget motion older than a second or two.
  void poll();
  // Every strand and sensor now, one per line, and how far ahead the host queued steps.
  std::string describe() const;
  double now() const { return now_s_(); }
  // One of the simulator's world commands, applied now: "SIM_SPOOL SLOT=n ACTION=insert
  // [FILAMENT= COLOR= LENGTH=]", "SIM_SPOOL SLOT=n ACTION=remove", "SIM_FAULT SLOT=n
  // KIND=jam|entry_refused|tag_unreadable|clear", "SIM_FAULT SLOT=n KIND=runout LENGTH=mm",
  // "SIM_FAULT SLOT=n KIND=slip RATIO=r", "SIM_STATE". Returns its answer's lines; throws
  // std::invalid_argument or klippy::CommandError naming what is wrong.
  std::string command(const std::string& line);
  const sim::FilamentWorld& world() const { return *world_; }

 private:
  struct Motor;
  struct PinRef {
    std::string chip;
    std::uint32_t pin;
    bool invert;
  };

  void attach_axis_endstops(sim::SimConfig& config);
  void attach_card_readers(klippy::ConfigSection& world_section, int slot_count);
  static PinRef parse_pin(const std::string& text, const std::string& where);
  Mcu& mcu_of(const PinRef& pin, const std::string& where) const;
  Motor& add_motor(const std::string& section, const sim::StepperParams& params,
                   const std::string& step_pin, const std::string& dir_pin);
  static double seconds(const Mcu& mcu, std::uint64_t clock) {
    return static_cast<double>(clock) / mcu.clock_freq();
  }

  // A carriage of the axes: where it is, from where it started and its motor's steps.
  struct Carriage {
    const Motor* motor = nullptr;
    double start_mm = 0.;
  };
  double carriage_mm(const Carriage& carriage, double t) const;
  // The cutter lever: a stroke of the head into it cuts the strands that reach past it.
  void watch_cutter();

  std::map<std::string, Mcu*> mcus_;
  Carriage carriages_[3];
  bool head_at_cutter_ = false;
  std::function<double()> now_s_;
  std::unique_ptr<sim::FilamentWorld> world_;
  std::vector<std::unique_ptr<Motor>> motors_;
  int shown_slots_ = 0;
  double max_lead_s_ = 0.;  // how far ahead of the clock the host queued a first step
};

}  // namespace mcu_emu
