#include "klippy/extras/feedhub/box_output.h"

#include <algorithm>

#include "klippy/host/printer.h"

namespace feedhub {

BoxOutput::BoxOutput(klippy::ConfigSection& config, const std::string& pin)
    : reactor_(config.get_printer().get_reactor()),
      mcu_(config.get_printer().lookup_object<klippy::Mcu>("mcu")) {
  auto& pins = config.get_printer().lookup_object<klippy::PrinterPins>("pins");
  klippy::PinParams params = pins.parse_pin(pin, true, true);
  digital_out_ = params.chip->setup_digital_out(params);
  // The level is held for as long as a homing move needs it, which has no upper bound.
  digital_out_->setup_max_duration(0.0);
  digital_out_->setup_start_value(0.0, 0.0);
}

void BoxOutput::set_pin(double value) {
  if (value == digital_out_value_) return;
  const double earliest = mcu_.estimated_print_time(reactor_.monotonic() + kMinScheduleS);
  const double print_time = std::max(earliest, last_time_ + kMinScheduleS);
  digital_out_->set_digital(print_time, value);
  digital_out_value_ = value;
  last_time_ = print_time;
}

}  // namespace feedhub
