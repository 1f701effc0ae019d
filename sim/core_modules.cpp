#include "sim/core_modules.h"

#include "klippy/host/printer.h"
#include "sim/gcode_macro.h"
#include "sim/print_job.h"
#include "sim/print_stats.h"
#include "sim/save_variables.h"
#include "sim/world_module.h"

namespace sim {
namespace {

template <class T>
klippy::LoadConfigFn make() {
  return [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    return std::make_shared<T>(config);
  };
}

}  // namespace

std::vector<klippy::ExtraModule> core_modules() {
  std::vector<klippy::ExtraModule> modules;
  modules.push_back({"save_variables", make<SimSaveVariables>(), {}, {}});
  modules.push_back({"print_stats", make<SimPrintStats>(), {}, {}});
  modules.push_back({"idle_timeout", make<SimIdleTimeout>(), {}, {}});
  modules.push_back({"gcode_macro", {}, make<SimGCodeMacro>(), {}});
  modules.push_back({"virtual_sdcard", make<SimPrintJob>(), {}, {}});
  modules.push_back({"filament_world", make<SimFilamentWorld>(), {}, {}});
  // Objects the host always has, whether or not the configuration names them.
  modules.push_back({"host_core", {}, {}, [](klippy::ConfigSection& root) {
                       klippy::Printer& printer = root.get_printer();
                       printer.load_object_any(root, "print_stats");
                       printer.load_object_any(root, "idle_timeout");
                       printer.load_object_any(root, "virtual_sdcard");
                     }});
  return modules;
}

}  // namespace sim
