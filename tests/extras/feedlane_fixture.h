// A simulated printer with one filament box whose slots are real slot feeders, for the
// slot feeder's tests: with or without the filament world behind the box's sensors.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"
#include "sim/host/digital_out.h"
#include "sim/host/mcu.h"
#include "sim/host/stepper_enable.h"
#include "sim/host/toolhead.h"
#include "sim/host/world_module.h"
#include "sim/world/world_geometry.h"
#include "tests/support/test_host.h"

namespace feedlane_test {

// Where the world's sensors sit; the fixture's printer moves none of them unless a test's
// world options do.
inline constexpr sim::WorldGeometry kGeometry{};
// How far behind the outlet sensor a loaded slot parks (the default tuning).
inline constexpr double kParkMm = -feedlane::kSlotLoad3.length_mm;
inline constexpr const char* kVariablesPath = "/home/zur/printer_data/config/saved_variables.cfg";
inline constexpr const char* kOutletPin = "PB0";
inline constexpr const char* kEncoderPin = "PA0";
// The runout pin of slot n is PA<n + 1>.
std::string runout_pin(int slot);

struct PrinterSetup {
  // Slots of box 1 to configure ([feedlane slotN], N from 0).
  int slots = 4;
  // Adds [filament_world] with every box sensor on its pin.
  bool world = false;
  // Replaces the whole section of slot 0 when not empty (for bad sections).
  std::string slot0_section;
  // Goes before [feedhub].
  std::string extra;
  // Further options of [filament_world] (geometry, spools).
  std::string world_options;
  // New filament at a slot starts the automatic reload, as on a printer.
  bool auto_load_new_spools = false;
  // The console's lines on the steps of long operations: off, so that a test reads the
  // lines of what it tests.
  bool progress_lines = false;
};
std::string printer_config(const PrinterSetup& setup);

class LaneHost {
 public:
  LaneHost();
  // Writes `variables` as the saved-variables file first when given; ConfigError escapes.
  void start(const PrinterSetup& setup = {}, const std::string& variables = "");
  // Restarts the host in place with the same printer: saved variables, spools and strands
  // stay where they are.
  void restart();
  // Runs the host until its sensors have made their first reports.
  void until_sensors_report();

  testing_support::TestHost& test() { return test_; }
  sim::SimHost& host() { return test_.host(); }
  feedhub::FeedHub& hub();
  feedlane::BoxExtruderStepper& lane(int slot);
  sim::SimToolhead& toolhead();
  sim::SimMcu& box_mcu();
  sim::SimFilamentWorld& world();
  klippy::StepperEnableLine& enable_line(int slot);
  double now() { return host().reactor().monotonic(); }
  double print_time() { return box_mcu().estimated_print_time(now()); }

  // Runs a console line; returns what it printed.
  std::vector<std::string> command(const std::string& line) { return test_.command(line); }
  // Runs `body` as a task of the reactor (so that it may wait) until it returns; what it
  // throws is thrown here.
  // `each_step`, when given, runs after every step of the simulation meanwhile.
  void run_task(const std::function<void()>& body,
                const std::function<void()>& each_step = nullptr);
  // Lets the simulation run until every move the slot has queued is done.
  void settle(int slot);
  // Where the slot's strand stands now in the filament world.
  sim::StrandState strand(int slot);
  // Inserts a spool into the slot and pulls it into the box, parked behind the outlet;
  // false when the load failed.
  bool park(int slot);
  // A signal the test schedules levels on, now driving `pin` of the box MCU.
  std::shared_ptr<sim::ScheduledSignal> drive_pin(const std::string& pin, int start_level);

  klippy::Value variable(const std::string& name, const klippy::Value& default_value = {});
  // Sets a saved variable the way a user does.
  void save(const std::string& name, const std::string& literal);
  std::vector<std::string>& output() { return test_.output(); }
  bool output_contains(const std::string& line);
  const std::vector<std::string>& info_log() const { return *info_log_; }

 private:
  void add_modules(sim::SimHost& host);

  testing_support::TestHost test_;
  PrinterSetup setup_;
  std::shared_ptr<std::vector<std::string>> info_log_ =
      std::make_shared<std::vector<std::string>>();
};

}  // namespace feedlane_test
