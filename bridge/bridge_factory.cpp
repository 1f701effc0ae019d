#include "bridge/bridge_factory.h"

#include "bridge/adapters.h"
#include "bridge/bridge_config.h"
#include "bridge/bridge_mcu.h"
#include "bridge/bridge_motion.h"
#include "bridge/bridge_printer.h"
#include "klippy/host/devices.h"

namespace bridge {
namespace {

class BridgeExtruderStepper final : public HostAdapter<klippy::ExtruderStepper> {
 public:
  BridgeExtruderStepper(py::object stepper, const HostLink& link)
      : HostAdapter(std::move(stepper), link),
        stepper_(link_.get<py::object>(object_, "stepper"), link_) {}
  klippy::Stepper& stepper() override { return stepper_; }
  void sync_to_extruder(const std::string& extruder_name) override {
    link_.invoke(object_, "sync_to_extruder", extruder_name);
    synced_ = extruder_name;
  }
  std::string synced_extruder() const override { return synced_; }

 private:
  BridgeStepper stepper_;
  std::string synced_;
};

class BridgePwmLed final : public HostAdapter<klippy::PwmLed> {
 public:
  using HostAdapter::HostAdapter;
  void update_leds(const std::vector<klippy::Color>& colors,
                   std::optional<double> print_time) override {
    py::list state;
    for (const klippy::Color& color : colors) {
      state.append(py::make_tuple(color[0], color[1], color[2], color[3]));
    }
    py::object when = print_time ? py::object(py::float_(*print_time)) : py::object(py::none());
    link_.invoke(object_, "update_leds", state, when);
  }
};

class BridgeFactory final : public klippy::HostFactory {
 public:
  explicit BridgeFactory(BridgePrinter& printer) : printer_(printer) {}

  std::shared_ptr<klippy::ExtruderStepper> create_extruder_stepper(
      klippy::ConfigSection& config) override {
    py::object cls = host_class("kinematics.extruder", "ExtruderStepper");
    return std::make_shared<BridgeExtruderStepper>(call(cls, BridgePrinter::host_config(config)),
                                                   printer_.link());
  }
  std::shared_ptr<klippy::PwmLed> create_pwm_led(klippy::ConfigSection& config) override {
    py::object cls = host_class("extras.led", "PrinterPWMLED");
    return std::make_shared<BridgePwmLed>(call(cls, BridgePrinter::host_config(config)),
                                          printer_.link());
  }
  std::unique_ptr<klippy::SpiDevice> create_spi(klippy::ConfigSection& config, int mode,
                                                const std::string& pin_option, int default_speed,
                                                const std::string& share_type) override {
    py::object from_config = host_class("extras.bus", "MCU_SPI_from_config");
    py::object share = share_type.empty() ? py::object(py::none()) : py::str(share_type);
    py::object spi = printer_.link().invoke(
        from_config, "__call__", BridgePrinter::host_config(config), mode,
        py::arg("pin_option") = pin_option, py::arg("default_speed") = default_speed,
        py::arg("share_type") = share);
    return wrap_spi(printer_, std::move(spi));
  }
  klippy::TrapqPtr create_trapq() override { return BridgeTrapq::allocate(printer_.link()); }

 private:
  py::object host_class(const char* module, const char* name) {
    try {
      return py::module_::import(module).attr(name);
    } catch (py::error_already_set&) {
      // Copied out: the import error itself says nothing a printer owner can act on.
    }
    throw klippy::ConfigError(std::string("This Klipper has no ") + module + "." + name +
                              ", which the filament box needs; update Klipper");
  }
  py::object call(const py::object& cls, const py::object& config) {
    return printer_.link().invoke(cls, "__call__", config);
  }

  BridgePrinter& printer_;
};

}  // namespace

std::unique_ptr<klippy::HostFactory> make_bridge_factory(BridgePrinter& printer) {
  return std::make_unique<BridgeFactory>(printer);
}

}  // namespace bridge
