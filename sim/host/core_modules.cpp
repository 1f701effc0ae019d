#include "sim/host/core_modules.h"

#include "klippy/host/printer.h"
#include "sim/host/display_status.h"
#include "sim/host/gcode_macro.h"
#include "sim/host/print_job.h"
#include "sim/host/print_stats.h"
#include "sim/host/save_variables.h"
#include "sim/host/world_module.h"

namespace sim {
namespace {

// [pause_resume]: its option is checked; PAUSE, RESUME and CANCEL_PRINT come with the
// print job, which this host always has.
class SimPauseResume final : public klippy::PrinterObject {
 public:
  explicit SimPauseResume(klippy::ConfigSection& config) {
    config.getfloat("recover_velocity", 50., {.above = 0.});
  }
};

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
  modules.push_back({"pause_resume", make<SimPauseResume>(), {}, {}});
  modules.push_back({"display_status", make<SimDisplayStatus>(), {}, {}});
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
