#include "sim/host/mcu_modules.h"

#include "klippy/host/printer.h"
#include "sim/host/buttons.h"
#include "sim/host/filament_sensors.h"
#include "sim/host/led.h"
#include "sim/host/mcu.h"
#include "sim/host/pins.h"
#include "sim/host/query_endstops.h"

namespace sim {
namespace {

template <class T>
klippy::LoadConfigFn make() {
  return [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    return std::make_shared<T>(config);
  };
}

// Like the host, every MCU exists before any other section is loaded, so that pins of any
// chip can be parsed from the first section on. [mcu] itself may be left out.
void add_mcu_objects(klippy::ConfigSection& root) {
  klippy::Printer& printer = root.get_printer();
  printer.add_object("pins", std::make_shared<SimPins>());
  printer.add_object("buttons", std::make_shared<SimButtons>(printer));
  printer.add_object("query_endstops", std::make_shared<SimQueryEndstops>(printer));
  printer.load_object_any(root, "mcu");
  for (klippy::ConfigSection* section : root.get_prefix_sections("mcu "))
    printer.load_object_any(root, section->get_name());
}

}  // namespace

std::vector<klippy::ExtraModule> mcu_modules() {
  std::vector<klippy::ExtraModule> modules;
  modules.push_back({"mcu", make<SimMcu>(), make<SimMcu>(), add_mcu_objects});
  modules.push_back({"led",
                     {},
                     [](klippy::ConfigSection& config) {
                       return std::static_pointer_cast<klippy::PrinterObject>(make_pwm_led(config));
                     },
                     {}});
  modules.push_back({"filament_motion_sensor", {}, make<SimFilamentMotionSensor>(), {}});
  modules.push_back({"hall_filament_width_sensor", make<SimHallFilamentWidthSensor>(), {}, {}});
  return modules;
}

}  // namespace sim
