#include "klippy/extras/feedhub/module.h"

#include <memory>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/preflight_command.h"

namespace feedhub {

klippy::ExtraModule feedhub_module() {
  klippy::ExtraModule module;
  module.name = FeedHub::kObjectName;
  module.load_config = [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    auto hub = std::make_shared<FeedHub>(config);
    register_preflight_command(config, hub);
    return hub;
  };
  return module;
}

}  // namespace feedhub
