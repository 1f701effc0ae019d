#include "klippy/extras/feedhub/box_endstop.h"

#include "klippy/host/printer.h"

namespace feedhub {

BoxEndstop::BoxEndstop(klippy::ConfigSection& config, std::string name, const std::string& pin,
                       bool reuse) {
  klippy::Printer& printer = config.get_printer();
  auto& pins = printer.lookup_object<klippy::PrinterPins>("pins");
  if (reuse) {
    klippy::PinParams params = pins.parse_pin(pin, true, true);
    endstop_ = params.chip->setup_endstop(params);
  } else {
    endstop_ = pins.setup_endstop(pin);
  }
  endstops_.emplace_back(endstop_.get(), std::move(name));
  auto& query = printer.load_object<klippy::QueryEndstops>(config, "query_endstops");
  query.register_endstop(*endstop_, endstops_.front().second);
}

}  // namespace feedhub
