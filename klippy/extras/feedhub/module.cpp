#include "klippy/extras/feedhub/module.h"

#include <memory>

#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {

klippy::ExtraModule feedhub_module() {
  klippy::ExtraModule module;
  module.name = FeedHub::kObjectName;
  module.load_config = [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    return std::make_shared<FeedHub>(config);
  };
  return module;
}

}  // namespace feedhub
