#include "tests/extras/feedlane_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "klippy/extras/feedhub/module.h"
#include "klippy/extras/feedlane/module.h"

namespace feedlane_test {
namespace {

std::string slot_section(int slot) {
  const std::string n = std::to_string(slot);
  // Inverted pins: the sensors read 1 while filament covers them, the box wants 1 for
  // "no filament" (runout, outlet clear).
  return "[feedlane slot" + n + "]\nrunout_pin: ^!mcu_box1:" + runout_pin(slot) +
         "\nstep_pin: mcu_box1:PC" + n + "\ndir_pin: mcu_box1:PD" + n +
         "\nenable_pin: !mcu_box1:PE" + n +
         "\nmicrosteps: 16\nrotation_distance: 22.67\ngear_ratio: 50:17\nred_pin: mcu_box1:PF" + n +
         "\nwhite_pin: mcu_box1:PG" + n + "\n";
}

}  // namespace

std::string runout_pin(int slot) {
  return "PA" + std::to_string(slot + 1);
}

std::string printer_config(const PrinterSetup& setup) {
  std::string text =
      "[mcu]\nserial: /dev/serial/by-id/usb-printer\n"
      "[mcu mcu_box1]\nserial: /dev/serial/by-id/usb-box1\n"
      "[printer]\nkinematics: cartesian\nmax_velocity: 300\nmax_accel: 3000\n"
      "max_z_velocity: 5\n" +
      testing_support::cartesian_rails() +
      "[extruder]\nstep_pin: PB3\ndir_pin: PB4\nenable_pin: !PC3\nmicrosteps: 16\n"
      "rotation_distance: 22.67\nnozzle_diameter: 0.4\nfilament_diameter: 1.75\n"
      "max_extrude_only_distance: 2000\nmin_extrude_temp: 0\nheater_pin: PA1\n"
      "sensor_type: EPCOS 100K B57560G104F\nsensor_pin: PA0\ncontrol: watermark\n"
      "min_temp: 0\nmax_temp: 300\n"
      "[save_variables]\nfilename: " +
      std::string(kVariablesPath) +
      "\n[gcode_macro RESUME_PRINT]\ngcode:\n    RESUME\n"
      "[gcode_macro MOVE_TO_TRASH]\ngcode:\n    G90\n    G1 X300 Y310 F12000\n" +
      testing_support::kConditionalHomeMacro +
      "[filament_motion_sensor box_motion_sensor]\nswitch_pin: mcu_box1:" + kEncoderPin +
      "\nextruder: extruder\ndetection_length: 7\npause_on_runout: False\n"
      "runout_gcode: _BOX_FILAMENT_STOPPED\n" +
      testing_support::hall_sensor_section("PC0", "PC1") + setup.extra +
      "[feedhub]\nb_button_pin: ^!mcu_box1:" + kOutletPin +
      "\nb_endstop_pin: mcu_box1:PB1\ne_endstop_pin: mcu_box1:PB2\n" +
      (setup.progress_lines ? "" : "progress_lines: False\n");
  for (int slot = 0; slot < setup.slots; ++slot) {
    text += slot == 0 && !setup.slot0_section.empty() ? setup.slot0_section : slot_section(slot);
  }
  if (setup.world) {
    text += "[filament_world]\nbox1_outlet_pin: mcu_box1:" + std::string(kOutletPin) +
            "\nencoder_pin: mcu_box1:" + kEncoderPin + "\n";
    for (int slot = 0; slot < setup.slots; ++slot)
      text += "slot" + std::to_string(slot) + "_runout_pin: mcu_box1:" + runout_pin(slot) + "\n";
    text += setup.world_options;
  }
  return text;
}

LaneHost::LaneHost() {
  add_modules(host());
}

void LaneHost::add_modules(sim::SimHost& host) {
  host.add_module(feedhub::feedhub_module());
  host.add_module(feedlane::feedlane_module());
  host.logger().set_tap([log = info_log_](klippy::LogLevel level, const std::string& line) {
    if (level == klippy::LogLevel::Info) log->push_back(line);
  });
}

void LaneHost::start(const PrinterSetup& setup, const std::string& variables) {
  if (!variables.empty()) testing_support::write_file(test_.path(kVariablesPath), variables);
  setup_ = setup;
  test_.start(printer_config(setup));
  hub().sensors().set_can_load_slot(setup.auto_load_new_spools);
  until_sensors_report();
}

void LaneHost::until_sensors_report() {
  // The host's sensors report from 1.5 to 3 s after it connected; a user's first command
  // comes later.
  constexpr double kFirstReportsS = 3.0;
  host().advance(kFirstReportsS);
}

void LaneHost::restart() {
  test_.restart(printer_config(setup_), [this](sim::SimHost& host) { add_modules(host); });
  hub().sensors().set_can_load_slot(setup_.auto_load_new_spools);
  until_sensors_report();
}

feedhub::FeedHub& LaneHost::hub() {
  return host().printer().lookup_object<feedhub::FeedHub>("feedhub");
}

feedlane::BoxExtruderStepper& LaneHost::lane(int slot) {
  return host().printer().lookup_object<feedlane::BoxExtruderStepper>("feedlane slot" +
                                                                      std::to_string(slot));
}

sim::SimToolhead& LaneHost::toolhead() {
  return host().printer().lookup_object<sim::SimToolhead>("toolhead");
}

sim::SimMcu& LaneHost::box_mcu() {
  return host().printer().lookup_object<sim::SimMcu>("mcu mcu_box1");
}

sim::SimFilamentWorld& LaneHost::world() {
  return host().printer().lookup_object<sim::SimFilamentWorld>(sim::SimFilamentWorld::kName);
}

klippy::StepperEnableLine& LaneHost::enable_line(int slot) {
  return host()
      .printer()
      .lookup_object<klippy::StepperEnable>("stepper_enable")
      .lookup_enable("feedlane slot" + std::to_string(slot));
}

void LaneHost::run_task(const std::function<void()>& body, const std::function<void()>& each_step) {
  auto done = std::make_shared<bool>(false);
  auto error = std::make_shared<std::exception_ptr>();
  host().reactor().register_callback([body, done, error](double) {
    try {
      body();
    } catch (...) {
      *error = std::current_exception();
    }
    *done = true;
    return klippy::Value();
  });
  const bool finished = host().run_until(
      [&each_step, done] {
        if (each_step) each_step();
        return *done;
      },
      sim::SimHost::kCommandTimeoutS);
  // A task still waiting at the timeout is a fault of the code under test (a wait that is
  // never woken), not a result to check further.
  if (!finished)
    ADD_FAILURE() << "the task did not finish within " << sim::SimHost::kCommandTimeoutS
                  << " simulated seconds";
  if (*error) std::rethrow_exception(*error);
}

sim::StrandState LaneHost::strand(int slot) {
  return world().world().strand(slot, print_time());
}

bool LaneHost::park(int slot) {
  command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=insert");
  host().advance(0.2);
  bool loaded = false;
  run_task([&] { loaded = feedhub::conclude(hub(), lane(slot).slot_load()); });
  settle(slot);
  return loaded;
}

void LaneHost::settle(int slot) {
  const double until = lane(slot).next_cmd_time() + 0.1;
  host().run_until([this, until] { return print_time() > until; }, 3600);
}

std::shared_ptr<sim::ScheduledSignal> LaneHost::drive_pin(const std::string& pin, int start_level) {
  auto signal = std::make_shared<sim::ScheduledSignal>(start_level);
  box_mcu().attach_signal(pin, signal);
  box_mcu().notify_changed();
  return signal;
}

klippy::Value LaneHost::variable(const std::string& name, const klippy::Value& default_value) {
  return hub().variables().get_value_by_key(name, default_value);
}

void LaneHost::save(const std::string& name, const std::string& literal) {
  // The command line drops one level of quotes, as the host's does.
  const bool quoted = !literal.empty() && literal.front() == '"';
  command("SAVE_VARIABLE VARIABLE=" + name +
          " VALUE=" + (quoted ? literal : "\"" + literal + "\""));
}

bool LaneHost::output_contains(const std::string& line) {
  const auto& out = test_.output();
  return std::find(out.begin(), out.end(), line) != out.end();
}

}  // namespace feedlane_test
