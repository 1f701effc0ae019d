// The box-outlet sensor callback, the mirror timers that copy the box sensors onto the
// endstop pins during homing moves, and the sensor log line.
#include <algorithm>
#include <cstdint>
#include <exception>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"

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

void FeedHub::b_button_callback(double eventtime, int state) {
  black_box_.sensor_report(RecordedSensor::Outlet, -1, state == 0, eventtime);
  b_endstop_state_ = state;
}

double FeedHub::update_b_endstop(double eventtime) {
  b_output_.set_pin(b_endstop_state_);
  return eventtime + kMirrorPeriodS;
}

double FeedHub::update_e_endstop(double eventtime) {
  // The endstop trips on filament: low while the hall sensor sees it.
  e_output_.set_pin(filament_at_extruder_entry() ? 0.0 : 1.0);
  return eventtime + kMirrorPeriodS;
}

void FeedHub::print_sensor_state_to_log(double /*eventtime*/) noexcept {
  // Only a log line, written on the way out of failed operations: nothing here may stop its
  // caller, neither a box_count beyond the configured slots nor a missing sensor.
  try {
    // 1 means filament detected throughout; the outlet and runout states are stored the
    // other way round.
    std::string shared = fill(sensor_str_tips_, "{b_endstop_state}", b_endstop_state_ ? "0" : "1");
    auto* hall = printer_.lookup_object_or_null<klippy::HallFilamentWidthSensor>(kHallSensorName);
    shared = fill(shared, "{e_endstop_state}", hall && filament_seen(*hall) ? "1" : "0");
    std::string slots;
    const klippy::Value box_count = get_value_by_key("box_count");
    const int slot_count = box_count.is_int()
                               ? slot_count_of_boxes(static_cast<int>(
                                     std::clamp<std::int64_t>(box_count.as_int(), 0, kMaxBoxCount)))
                               : 0;
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
