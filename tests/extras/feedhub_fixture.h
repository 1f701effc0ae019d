// A simulated printer with one filament box for the controller's tests: box MCU pins driven
// by test signals, a hall sensor whose diameter the test sets, and an optional stand-in for
// the slot feeders.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "sim/host/digital_out.h"
#include "sim/host/mcu.h"
#include "tests/support/test_host.h"

namespace feedhub_test {

inline constexpr const char* kVariablesPath = "/home/zur/printer_data/config/saved_variables.cfg";
inline constexpr const char* kButtonPin = "PB0";
inline constexpr const char* kBEndstopPin = "PB1";
inline constexpr const char* kEEndstopPin = "PB2";
inline constexpr const char* kMotionPin = "PA0";

// The sections every box printer has, [feedhub] last. `feedhub_options` replaces the
// three pin options; `extra` goes before [feedhub].
std::string box_config(const std::string& extra = "", const std::string& feedhub_options = "");

// What the controller uses of a slot feeder, recording the couplings asked of it and, in
// `calls`, every feed move ("move -25"), dwell ("dwell 0.5"), "disable" and "sync 0|1".
class FakeSlotFeeder final : public feedhub::SlotFeeder {
 public:
  explicit FakeSlotFeeder(klippy::ConfigSection& config);
  void slot_sync(bool sync) override {
    sync_calls.push_back(sync);
    note(sync ? "sync 1" : "sync 0");
  }
  bool follow_extruder_if_coupled() override {
    slot_sync(true);
    return true;
  }
  int r_endstop_state() const override { return runout_; }
  bool follows_extruder() const override { return !sync_calls.empty() && sync_calls.back(); }
  bool is_drying() const override { return drying; }
  const std::string& stepper_name() const override { return name_; }
  int stepper_num() const override { return std::stoi(name_.substr(4)); }
  // No filament moves; with `moves_take_time` the motor switch-off waits out the dwells
  // queued since the last one, as a real feeder waits for its queued moves.
  void do_move(double movepos_mm, double, double) override;
  void dwell(double delay_s) override;
  void disable_stepper() override;
  feedhub::OpResult slot_load() override { return feedhub::OpResult::not_run("not modelled"); }
  void cmd_EXTRUDER_LOAD(klippy::GCodeCommand&) override {}
  feedhub::OpResult extruder_load() override { return feedhub::OpResult::done(); }
  void cmd_EXTRUDER_UNLOAD(klippy::GCodeCommand&, bool) override {}
  feedhub::OpResult extruder_unload(bool) override { return feedhub::OpResult::done(); }
  feedhub::OpResult slot_unload() override { return feedhub::OpResult::done(); }
  int switch_next_slot() override { return -1; }
  bool read_slot_tag() override { return true; }
  void set_drying(bool now_drying) override { drying = now_drying; }
  void turn_over(double distance_mm, double speed_mm_s, double accel_mm_s2) override {
    do_move(-distance_mm, speed_mm_s, accel_mm_s2);
    do_move(distance_mm, speed_mm_s, accel_mm_s2);
  }

  std::vector<bool> sync_calls;
  std::vector<std::string> calls;
  // Told of every call as it is made, after it is recorded.
  std::function<void(FakeSlotFeeder&, const std::string&)> on_call;
  bool moves_take_time = false;
  bool drying = false;

 private:
  void note(const std::string& call);

  klippy::Reactor& reactor_;
  std::string name_;
  int runout_;
  double queued_s_ = 0.0;
};
// "feedlane slotN" sections with an optional "runout: 0|1" option build FakeSlotFeeders.
klippy::ExtraModule fake_feedlane_module();
// "[hall_diameter]\ndiameter: <mm>" sets what the hall sensor measures from the start on.
klippy::ExtraModule hall_diameter_module();

class BoxHost {
 public:
  explicit BoxHost(sim::ClockKind clock = sim::ClockKind::Virtual);
  // Starts the host; ConfigError escapes. Writes `variables` as the saved-variables file
  // first when given.
  void start(const std::string& config = box_config(), const std::string& variables = "");

  testing_support::TestHost& test() { return test_; }
  sim::SimHost& host() { return test_.host(); }
  feedhub::FeedHub& hub();
  sim::SimMcu& box_mcu();
  double now() { return host().reactor().monotonic(); }
  double print_time() { return box_mcu().estimated_print_time(now()); }

  // Level a pin of the box MCU has at `print_time`, as an endstop on it sees it.
  int pin_level(const std::string& pin, double print_time);
  // A signal the test schedules levels on, now driving `pin` of the box MCU.
  std::shared_ptr<sim::ScheduledSignal> drive_pin(const std::string& pin, int start_level);
  // Tells the simulated hardware that a driven signal changed.
  void notify() { box_mcu().notify_changed(); }
  void set_diameter(double diameter_mm);

  std::string variables_file();
  std::vector<std::string>& output() { return test_.output(); }
  bool output_contains(const std::string& line);
  const std::vector<std::string>& info_log() const { return *info_log_; }
  void info_log_clear() { info_log_->clear(); }

 private:
  testing_support::TestHost test_;
  std::shared_ptr<std::vector<std::string>> info_log_ =
      std::make_shared<std::vector<std::string>>();
};

}  // namespace feedhub_test
