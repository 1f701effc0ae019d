#include "sim/host/motion_modules.h"

#include <memory>

#include "klippy/host/printer.h"
#include "sim/host/extruder.h"
#include "sim/host/extruder_stepper.h"
#include "sim/host/gcode_move.h"
#include "sim/host/heater.h"
#include "sim/host/heaters.h"
#include "sim/host/part_fan.h"
#include "sim/host/stepper_enable.h"
#include "sim/host/toolhead.h"

namespace sim {
namespace {

constexpr double kBoxHeaterTimeConstant_s = 120.;

// Builds the toolhead and the G-code move state from the [printer] settings. Runs before
// the MCUs are identified, so that connect and ready handlers find both.
void build_toolhead(klippy::Printer& printer) {
  auto* settings = printer.lookup_object_or_null<SimPrinterSettings>("printer");
  if (!settings) return;
  auto toolhead = std::make_shared<SimToolhead>(printer, settings->limits());
  SimToolhead& toolhead_ref = *toolhead;
  printer.add_object("toolhead", std::move(toolhead));
  printer.add_object("gcode_move", std::make_shared<SimGCodeMove>(printer, toolhead_ref));
}

// [extruder_stepper name]: a stepper that follows the extruder named by `extruder` from the
// moment the printer connects.
class ConfiguredExtruderStepper final : public klippy::PrinterObject {
 public:
  explicit ConfiguredExtruderStepper(klippy::ConfigSection& config)
      : stepper_(std::make_shared<SimExtruderStepper>(config)),
        extruder_name_(config.get("extruder", "")) {
    config.get_printer().register_event_handler("klippy:connect", [this] {
      if (!extruder_name_.empty()) stepper_->sync_to_extruder(extruder_name_);
    });
  }
  std::optional<klippy::Value> get_status(double eventtime) override {
    return stepper_->get_status(eventtime);
  }

 private:
  std::shared_ptr<SimExtruderStepper> stepper_;
  std::string extruder_name_;
};

}  // namespace

std::vector<klippy::ExtraModule> motion_modules() {
  std::vector<klippy::ExtraModule> modules;
  modules.push_back({"printer",
                     [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
                       return std::make_shared<SimPrinterSettings>(config);
                     },
                     {},
                     [](klippy::ConfigSection& root) {
                       klippy::Printer& printer = root.get_printer();
                       printer.add_object(SimHeaters::kName, std::make_shared<SimHeaters>(printer));
                       printer.add_object(SimStepperEnable::kName,
                                          std::make_shared<SimStepperEnable>(printer));
                       printer.register_event_handler("klippy:mcu_identify",
                                                      [&printer] { build_toolhead(printer); });
                     }});
  modules.push_back({"extruder",
                     [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
                       return std::make_shared<SimExtruder>(config);
                     },
                     {},
                     {}});
  modules.push_back({"heater_generic",
                     {},
                     [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
                       return std::make_shared<SimHeater>(config, kBoxHeaterTimeConstant_s);
                     },
                     {}});
  modules.push_back({"extruder_stepper",
                     {},
                     [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
                       return std::make_shared<ConfiguredExtruderStepper>(config);
                     },
                     {}});
  modules.push_back({"fan",
                     [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
                       return std::make_shared<SimPartFan>(config);
                     },
                     {},
                     {}});
  return modules;
}

}  // namespace sim
