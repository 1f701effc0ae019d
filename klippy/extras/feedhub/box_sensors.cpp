// The box-outlet sensor callback, the mirror timers that copy the box sensors onto the
// endstop pins during homing moves, and the sensor log line.
#include "klippy/extras/feedhub/box_sensors.h"

#include <exception>
#include <utility>

#include "klippy/extras/feedhub/entry_sensor.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/log.h"

namespace feedhub {
namespace {

std::string fill(std::string text, const std::string& placeholder, const std::string& value) {
  for (size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
  return text;
}

}  // namespace

BoxSensors::BoxSensors(klippy::ConfigSection& config, BlackBox& black_box,
                       std::function<int()> slot_count)
    : printer_(config.get_printer()),
      reactor_(printer_.get_reactor()),
      black_box_(black_box),
      slot_count_(std::move(slot_count)),
      sensor_str_tips_(
          "b_endstop_state = {b_endstop_state}\ne_endstop_state = {e_endstop_state}\n"),
      box_sensor_str_tips_("slot{slot_num} = {state}\n"),
      b_button_(config, config.get("b_button_pin"),
                [this](double eventtime, int state) { b_button_callback(eventtime, state); }),
      // The endstop comes first so that it is the one holding the pin in the registry.
      b_endstop_(config, "b_endstop", config.get("b_endstop_pin")),
      b_output_(config, config.get("b_endstop_pin")),
      b_motion_(config),
      b_endstop_timer_(reactor_, [this](double eventtime) { return update_b_endstop(eventtime); }),
      e_endstop_(config, "e_endstop", config.get("e_endstop_pin")),
      e_output_(config, config.get("e_endstop_pin")),
      e_endstop_timer_(reactor_, [this](double eventtime) { return update_e_endstop(eventtime); }) {
}

klippy::HallFilamentWidthSensor* BoxSensors::find_filament_hall() {
  filament_hall_ = printer_.lookup_object_or_null<klippy::HallFilamentWidthSensor>(kHallSensorName);
  return filament_hall_;
}

klippy::HallFilamentWidthSensor& BoxSensors::filament_hall() {
  if (filament_hall_) return *filament_hall_;
  return printer_.lookup_object<klippy::HallFilamentWidthSensor>(kHallSensorName);
}

bool BoxSensors::filament_at_extruder_entry() {
  const bool present = filament_seen(filament_hall());
  // The hall sensor reports no changes; what the box reads of it is what it saw.
  black_box_.sensor_report(RecordedSensor::Entry, -1, present, reactor_.monotonic());
  return present;
}

void BoxSensors::b_button_callback(double eventtime, int state) {
  black_box_.sensor_report(RecordedSensor::Outlet, -1, state == 0, eventtime);
  b_endstop_state_ = state;
  outlet_reported_ = true;
}

bool BoxSensors::first_reports_in(double eventtime) {
  if (first_reports_seen_ || connected_at_ <= 0.) return true;
  // The host starts a sensor's polling at its query slot, the first whole second of print
  // time 0.5 s or more after it configured the MCU, 10 ms later per object id; a hall report
  // then needs its samples. A button reports only a level other than its start level, so
  // an outlet with filament in front of it never reports: its level is known once its first
  // poll has passed.
  constexpr double kButtonsKnownAfterS = 2.0;
  constexpr double kGiveUpAfterS = 3.5;
  const bool outlet_known = outlet_reported_ || eventtime >= connected_at_ + kButtonsKnownAfterS;
  if ((outlet_known && entry_sensor_reported(filament_hall())) ||
      eventtime >= connected_at_ + kGiveUpAfterS)
    first_reports_seen_ = true;
  return first_reports_seen_;
}

void BoxSensors::await_first_reports() {
  constexpr double kPollS = 0.05;
  for (double now = reactor_.monotonic(); !first_reports_in(now); now = reactor_.monotonic())
    reactor_.pause(now + kPollS);
}

double BoxSensors::update_b_endstop(double eventtime) {
  b_output_.set_pin(b_endstop_state_);
  return eventtime + kMirrorPeriodS;
}

double BoxSensors::update_e_endstop(double eventtime) {
  // The endstop trips on filament: low while the hall sensor sees it.
  e_output_.set_pin(filament_at_extruder_entry() ? 0.0 : 1.0);
  return eventtime + kMirrorPeriodS;
}

void BoxSensors::print_sensor_state_to_log(double /*eventtime*/) noexcept {
  // Only a log line, written on the way out of failed operations: nothing here may stop its
  // caller, neither a box_count beyond the configured slots nor a missing sensor.
  try {
    // 1 means filament detected throughout; the outlet and runout states are stored the
    // other way round.
    std::string shared = fill(sensor_str_tips_, "{b_endstop_state}", b_endstop_state_ ? "0" : "1");
    auto* hall = printer_.lookup_object_or_null<klippy::HallFilamentWidthSensor>(kHallSensorName);
    shared = fill(shared, "{e_endstop_state}", hall && filament_seen(*hall) ? "1" : "0");
    std::string slots;
    const int slot_count = slot_count_();
    for (int slot = 0; slot < slot_count; ++slot) {
      SlotFeeder* feeder = find_slot_feeder(printer_, slot_name(slot));
      if (!feeder) continue;
      std::string line = fill(box_sensor_str_tips_, "{slot_num}", std::to_string(slot));
      slots += fill(line, "{state}", feeder->r_endstop_state() ? "0" : "1");
    }
    printer_.log().info("last sensor state: \n" + shared + slots);
  } catch (const std::exception&) {
    // Out of memory at worst; the operation's own report has reached the user already.
  }
}

}  // namespace feedhub
