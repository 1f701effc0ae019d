// The host's MCUs, pin registry, buttons and endstop queries.
#include "bridge/bridge_mcu.h"
#include "bridge/bridge_printer.h"

namespace bridge {
namespace {

class BridgePins final : public HostAdapter<klippy::PrinterPins> {
 public:
  BridgePins(BridgePrinter& printer, py::object pins)
      : HostAdapter(std::move(pins), printer.link()), printer_(printer) {}
  klippy::PinParams parse_pin(const std::string& pin_desc, bool can_invert,
                              bool can_pullup) override {
    py::dict params = link_.invoke(object_, "parse_pin", pin_desc, can_invert, can_pullup);
    klippy::PinParams pin;
    pin.chip = &mcu_of(printer_, params["chip"]);
    pin.chip_name = params["chip_name"].cast<std::string>();
    pin.pin = params["pin"].cast<std::string>();
    pin.invert = params["invert"].cast<int>() != 0;
    pin.pullup = params["pullup"].cast<int>();
    return pin;
  }
  std::unique_ptr<klippy::McuEndstop> setup_endstop(const std::string& pin_desc) override {
    return wrap_endstop(printer_, link_.invoke(object_, "setup_pin", "endstop", pin_desc));
  }
  std::unique_ptr<klippy::McuDigitalOut> setup_digital_out(const std::string& pin_desc) override {
    return wrap_digital_out(link_, link_.invoke(object_, "setup_pin", "digital_out", pin_desc));
  }

 private:
  BridgePrinter& printer_;
};

class BridgeButtons final : public HostAdapter<klippy::PrinterButtons> {
 public:
  using HostAdapter::HostAdapter;
  void register_buttons(const std::vector<std::string>& pins,
                        klippy::ButtonCallback callback) override {
    py::list host_pins;
    for (const std::string& pin : pins) host_pins.append(pin);
    py::object fn =
        link_.callable("button callback", [callback = std::move(callback)](const py::tuple& args) {
          callback(args[0].cast<double>(), args[1].cast<int>());
          return py::none();
        });
    link_.invoke(object_, "register_buttons", host_pins, fn);
  }
};

class BridgeQueryEndstops final : public HostAdapter<klippy::QueryEndstops> {
 public:
  using HostAdapter::HostAdapter;
  void register_endstop(klippy::McuEndstop& endstop, const std::string& name) override {
    link_.invoke(object_, "register_endstop", host_endstop_of(endstop), name);
  }
};

}  // namespace

std::shared_ptr<klippy::PrinterObject> make_mcu_adapter(BridgePrinter& printer,
                                                        const std::string& name,
                                                        py::object object) {
  if (name == "mcu" || name.rfind("mcu ", 0) == 0) {
    return std::make_shared<BridgeMcu>(printer, std::move(object));
  }
  if (name == "pins") return std::make_shared<BridgePins>(printer, std::move(object));
  if (name == "buttons") return std::make_shared<BridgeButtons>(std::move(object), printer.link());
  if (name == "query_endstops") {
    return std::make_shared<BridgeQueryEndstops>(std::move(object), printer.link());
  }
  return nullptr;
}

}  // namespace bridge
