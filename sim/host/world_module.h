// The filament world inside the simulated printer: its sensors drive MCU pins and the hall
// sensor, its strands follow the slots' feed motors and the extruder, and the SIM_* commands
// insert spools and inject faults. Section [filament_world], object "filament_world".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/object.h"
#include "klippy/host/reactor.h"
#include "sim/host/world_card_reader.h"
#include "sim/host/world_config.h"
#include "sim/host/world_cutter.h"
#include "sim/world/filament_world.h"

namespace sim {

class SimEnvironment;

class SimFilamentWorld final : public klippy::PrinterObject {
 public:
  static constexpr const char* kName = "filament_world";
  // How often the world records where every strand is, so that motion history can go.
  static constexpr double kAnchorPeriodS = 1.0;

  explicit SimFilamentWorld(klippy::ConfigSection& config);
  std::optional<klippy::Value> get_status(double eventtime) override;

  FilamentWorld& world() { return *world_; }
  // The physical box behind each of the world's box positions (see world_box_numbers.h).
  const std::vector<std::optional<int>>& physical_boxes() const { return physical_boxes_; }
  double print_time_now() const;
  // Tells armed endstops and watched buttons that future levels changed.
  void notify_changed();

 private:
  void attach_pins_and_spools();
  void handle_connect();
  double anchor(double eventtime);
  void cmd_SIM_SPOOL(klippy::GCodeCommand& gcmd);
  void cmd_SIM_FAULT(klippy::GCodeCommand& gcmd);
  void cmd_SIM_STATE(klippy::GCodeCommand& gcmd);

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  SimEnvironment& environment_;
  std::unique_ptr<FilamentWorld> world_;
  std::vector<WorldPinBinding> pins_;
  std::vector<WorldInitialSpool> initial_spools_;
  std::vector<std::optional<int>> physical_boxes_;
  std::unique_ptr<WorldCardReaders> card_readers_;
  klippy::TimerHandle anchor_timer_;
  std::unique_ptr<WorldCutter> cutter_;
};

}  // namespace sim
