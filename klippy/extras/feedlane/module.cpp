#include "klippy/extras/feedlane/module.h"

#include <memory>

#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {

klippy::ExtraModule feedlane_module() {
  klippy::ExtraModule module;
  module.name = "feedlane";
  module.load_config_prefix =
      [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    return std::make_shared<BoxExtruderStepper>(config);
  };
  return module;
}

}  // namespace feedlane
