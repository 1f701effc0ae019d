#include "tests/extras/feedhub_fixture.h"

#include <algorithm>
#include <sstream>

#include "klippy/extras/feedhub/module.h"
#include "sim/host/filament_sensors.h"

namespace feedhub_test {

std::string box_config(const std::string& extra, const std::string& feedhub_options) {
  std::string pins = feedhub_options.empty()
                         ? std::string("b_button_pin: ^mcu_box1:") + kButtonPin +
                               "\nb_endstop_pin: mcu_box1:" + kBEndstopPin +
                               "\ne_endstop_pin: mcu_box1:" + kEEndstopPin + "\n"
                         : feedhub_options;
  return std::string("[mcu]\nserial: /dev/serial/by-id/usb-printer\n") +
         "[mcu mcu_box1]\nserial: /dev/serial/by-id/usb-box1\n" +
         "[save_variables]\nfilename: " + kVariablesPath + "\n" +
         "[gcode_macro RESUME_PRINT]\nvariable_etemp: 0\ngcode:\n    RESUME\n" +
         "[filament_motion_sensor box_motion_sensor]\nswitch_pin: mcu_box1:" + kMotionPin +
         "\nextruder: extruder\ndetection_length: 7\npause_on_runout: False\n"
         "runout_gcode: _BOX_FILAMENT_STOPPED\n" +
         testing_support::hall_sensor_section("PC0", "PC1") + extra + "[feedhub]\n" + pins;
}

FakeSlotFeeder::FakeSlotFeeder(klippy::ConfigSection& config)
    : reactor_(config.get_printer().get_reactor()),
      name_(config.get_name().substr(config.get_name().find(' ') + 1)),
      runout_(static_cast<int>(config.getint("runout", 0))) {}

void FakeSlotFeeder::note(const std::string& call) {
  calls.push_back(call);
  if (on_call) on_call(*this, call);
}

namespace {

std::string number_text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

}  // namespace

void FakeSlotFeeder::do_move(double movepos_mm, double, double) {
  note("move " + number_text(movepos_mm));
}

void FakeSlotFeeder::dwell(double delay_s) {
  queued_s_ += delay_s;
  note("dwell " + number_text(delay_s));
}

void FakeSlotFeeder::disable_stepper() {
  note("disable");
  if (moves_take_time) reactor_.pause(reactor_.monotonic() + queued_s_);
  queued_s_ = 0.0;
}

klippy::ExtraModule fake_feedlane_module() {
  klippy::ExtraModule module;
  module.name = "feedlane";
  module.load_config_prefix =
      [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    return std::make_shared<FakeSlotFeeder>(config);
  };
  return module;
}

klippy::ExtraModule hall_diameter_module() {
  klippy::ExtraModule module;
  module.name = "hall_diameter";
  module.load_config = [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    double diameter_mm = config.getfloat("diameter");
    config.get_printer()
        .lookup_object<sim::SimHallFilamentWidthSensor>("hall_filament_width_sensor")
        .set_diameter_source([diameter_mm](double) { return diameter_mm; });
    return std::make_shared<klippy::PrinterObject>();
  };
  return module;
}

BoxHost::BoxHost(sim::ClockKind clock) : test_(clock) {
  host().add_module(feedhub::feedhub_module());
  host().add_module(fake_feedlane_module());
  host().add_module(hall_diameter_module());
  host().logger().set_tap([log = info_log_](klippy::LogLevel level, const std::string& line) {
    if (level == klippy::LogLevel::Info) log->push_back(line);
  });
}

void BoxHost::start(const std::string& config, const std::string& variables) {
  if (!variables.empty()) testing_support::write_file(test_.path(kVariablesPath), variables);
  test_.start(config);
}

feedhub::FeedHub& BoxHost::hub() {
  return host().printer().lookup_object<feedhub::FeedHub>("feedhub");
}

sim::SimMcu& BoxHost::box_mcu() {
  return host().printer().lookup_object<sim::SimMcu>("mcu mcu_box1");
}

int BoxHost::pin_level(const std::string& pin, double print_time) {
  return box_mcu().signal(pin, 0).level(print_time);
}

std::shared_ptr<sim::ScheduledSignal> BoxHost::drive_pin(const std::string& pin, int start_level) {
  auto signal = std::make_shared<sim::ScheduledSignal>(start_level);
  box_mcu().attach_signal(pin, signal);
  notify();
  return signal;
}

void BoxHost::set_diameter(double diameter_mm) {
  host()
      .printer()
      .lookup_object<sim::SimHallFilamentWidthSensor>("hall_filament_width_sensor")
      .set_diameter_source([diameter_mm](double) { return diameter_mm; });
  // Until a whole report of the sensor has sampled it, and the first report is out.
  host().advance(1.0);
  host().run_until(
      [&] {
        return host()
                   .printer()
                   .lookup_object<sim::SimHallFilamentWidthSensor>("hall_filament_width_sensor")
                   .latest_reading_mm() >= 0.;
      },
      2.0);
}

std::string BoxHost::variables_file() {
  return testing_support::read_file(test_.path(kVariablesPath));
}

bool BoxHost::output_contains(const std::string& line) {
  const auto& out = test_.output();
  return std::find(out.begin(), out.end(), line) != out.end();
}

}  // namespace feedhub_test
